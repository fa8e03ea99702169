// End-to-end tests of recipeshow against the test server.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "report_tool_test.h"

using namespace testsupport;

namespace {

const ReportTool recipeshow_tool = {
    "recipeshow",
    "Command Query: Not enough params.\n               Do nothing!\n",
    recipeshow_query,
    "There no such file, the data file may not be up-to-date",
    "2001",
    "2006",
    "2999",
};

INSTANTIATE_TEST_SUITE_P(Recipeshow, ReportToolCommon, testing::Values(recipeshow_tool), tool_name);

const std::string no_text = "\tNo defined command for this node\n";
const std::string no_exec = "\tNo command is executed to update this node\n";

std::string block(const std::string &path, const std::string &text, const std::string &executed)
{
    return " \n" + equals + "\n \nCommand information for " + path + "\n \n" + dashes + "\n \nCOMMAND TEXT:\n" + text +
           " \n" + dashes + "\n \nEXECUTED COMMAND:\n" + executed + " \n" + equals + "\n \n";
}

class Recipeshow : public ReportRun {};

TEST_F(Recipeshow, WorkedLayout)
{
    EXPECT_EQ(report_of("recipeshow", {"2001"}),
              " \n" + equals + "\n \nCommand information for src/main.o\n" +
              " \n" + dashes + "\n \nCOMMAND TEXT:\n\tcc -c main.c\n" +
              " \n" + dashes + "\n \nEXECUTED COMMAND:\n\tNo command is executed to update this node\n" +
              " \n" + equals + "\n \n\n");
}

TEST_F(Recipeshow, NullAndEmptyCommandTexts)
{
    const struct {
        const char *oid;
        std::string want;
    } cases[] = {
        {"2002", block("./all", no_text, no_exec)},
        {"2003", block("src/empty", "", "")},
        {"2004", block("src/mixed", no_text, "")},
        {"2005", block("src/mixed2", "", no_exec)},
    };
    for (const auto &c : cases)
        EXPECT_EQ(report_of("recipeshow", {c.oid}), c.want + "\n") << c.oid;
}

TEST_F(Recipeshow, CommandsOfSeveralLinesAreWrapped)
{
    std::string line = "cc -o prog ";
    for (int i = 0; i < 13; ++i)
        line += "object.o ";
    line += "-lm";
    ASSERT_EQ(line.size(), 131u);
    const std::string text = "\t\n"
                             "\t" + line.substr(0, 60) + "\n" +
                             "\t" + line.substr(60, 60) + "\n" +
                             "\t" + line.substr(120) + "\n" +
                             "\t\n"
                             "\techo done\n";
    EXPECT_EQ(report_of("recipeshow", {"2006"}), block("bin/prog", text, "\tcc -o prog main.o\n\techo done\n") + "\n");
}

} // namespace

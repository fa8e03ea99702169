// End-to-end tests of procshow against the test server.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "report_tool_test.h"

using namespace testsupport;

namespace {

const ReportTool procshow_tool = {
    "procshow",
    "CmdLine Query: Not enough params. \n               Do nothing!!!\n",
    procshow_query,
    "There no such file, the data file may not be up-to-date",
    "3001",
    "3031",
    "3999",
};

INSTANTIATE_TEST_SUITE_P(Procshow, ReportToolCommon, testing::Values(procshow_tool), tool_name);

std::string block(const std::string &path, const std::string &cmdline)
{
    return " \n" + equals + "\n \nCommand Line for " + path + "\n \n" + dashes + "\n \n" + cmdline + " \n" + equals +
           "\n \n";
}

class Procshow : public ReportRun {};

TEST_F(Procshow, WorkedLayout)
{
    EXPECT_EQ(report_of("procshow", {"3001"}), " \n" + equals + "\n \nCommand Line for src/main.o\n" +
                                                   " \n" + dashes + "\n \n\tmake all\n" +
                                                   " \n" + equals + "\n \n\n");
}

TEST_F(Procshow, CommandLines)
{
    std::string deep = "make -C ";
    for (int i = 0; i < 15; ++i)
        deep += "sub/";
    deep += "dir all";
    ASSERT_EQ(deep.size(), 75u);
    const struct {
        const char *what;
        std::vector<std::string> oids;
        std::string want;
    } cases[] = {
        {"one process, two instances", {"3001", "3002"}, block("src/main.o", "\tmake all\n") + block("lib/util.o", "\tmake all\n")},
        {"NULL command line", {"3011"}, block("src/null.o", "")},
        {"empty command line", {"3021"}, block("src/empty.o", "")},
        {"wrapped, then broken at the newline", {"3031"},
         block("sub/deep.o", "\t" + deep.substr(0, 60) + "\n\t" + deep.substr(60) + "\n\tV=1\n")},
    };
    for (const auto &c : cases)
        EXPECT_EQ(report_of("procshow", c.oids), c.want + "\n") << c.what;
}

TEST_F(Procshow, InstanceWithoutItsProcessRow)
{
    const std::string diagnostic = quiet_diagnostic("There no such file, the data file may not be up-to-date");
    const RunResult r = run("procshow", {"3001", "3041", "3002"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(written(), block("src/main.o", "\tmake all\n") + diagnostic);
}

} // namespace

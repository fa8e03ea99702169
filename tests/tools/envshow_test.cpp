// End-to-end tests of envshow against the test server.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "report_tool_test.h"

using namespace testsupport;

namespace {

const ReportTool envshow_tool = {
    "envshow",
    "Environment Query: Do Not have ENOUGH params. \nDo nothing!\n",
    envshow_query,
    "There no required environment definition",
    "1001",
    "1011",
    "1999",
};

INSTANTIATE_TEST_SUITE_P(Envshow, ReportToolCommon, testing::Values(envshow_tool), tool_name);

std::string block(const std::string &oid, const std::string &records)
{
    return " \n" + equals + "\n Environment at " + oid + " from all\n" + records + " \n" + equals + "\n \n";
}

class Envshow : public ReportRun {};

TEST_F(Envshow, WorkedLayout)
{
    EXPECT_EQ(report_of("envshow", {"1001"}), " \n" + equals + "\n Environment at 1001 from all\n  1 CC=gcc\n  3 SHELL=/bin/sh\n" +
                                                  " \n" + equals + "\n \n\n");
}

TEST_F(Envshow, RecordsInCodeAndNameOrderWithOtherCodesLeftOut)
{
    const std::string path = [] {
        std::string p;
        for (int i = 0; i < 8; ++i)
            p += "/usr/local/bin:";
        return p + "/usr/bin::";
    }();
    const std::string long_name(70, 'L');
    const std::string records = "  1 CC=cc\n"
                                "  1 CFLAGS=-O2 -g\n"
                                // "  2 PATH=" leaves room for 51 value characters.
                                "  2 PATH=" + path.substr(0, 51) + "\n" +
                                "\t" + path.substr(51, 59) + "\n" +
                                "\t" + path.substr(110) + "\n" +
                                // Blanks in the name: shown whole, as typed, cut after "ab c".
                                "  4 ABCDEFGH  =z\n"
                                "  4 NOSPACE=x\n"
                                "  4 ab c=y\n"
                                // A NULL value, then a header longer than a line.
                                "  5 EMPTY=\n"
                                "  5 " + long_name + "=\n" +
                                "\tlong\n"
                                // Nine letters and one blank: the blank is among the last three.
                                "  6 MAKEFLAGS =-j2\n";
    EXPECT_EQ(report_of("envshow", {"1011"}), block("1011", records) + "\n");
}

TEST_F(Envshow, OidIsShownAsTyped)
{
    const std::string records = "  1 CC=gcc\n  3 SHELL=/bin/sh\n";
    EXPECT_EQ(report_of("envshow", {"0001001", "1002", " 1001"}),
              block("0001001", records) + block("1002", records) + block(" 1001", records) + "\n");
}

TEST_F(Envshow, NoVariableWithACodeFromOneToSix)
{
    const std::string diagnostic = quiet_diagnostic("There no required environment definition");
    const struct {
        const char *what;
        std::vector<std::string> oids;
        std::string want;
    } cases[] = {
        {"only other codes", {"1021"}, diagnostic},
        {"process without variables", {"1031"}, diagnostic},
        {"after a complete block", {"1001", "1021", "1002"}, block("1001", "  1 CC=gcc\n  3 SHELL=/bin/sh\n") + diagnostic},
    };
    for (const auto &c : cases) {
        const RunResult r = run("envshow", c.oids);
        EXPECT_EQ(r.exit_code, 1) << c.what;
        EXPECT_EQ(written(), c.want) << c.what;
    }
}

} // namespace

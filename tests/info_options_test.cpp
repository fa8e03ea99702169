// Every program answers a lone --help and --version on standard output with
// status 0; the same words among other arguments are left to the program.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "test_support.h"

using namespace testsupport;

namespace {

const struct {
    const char *program, *usage;
} programs[] = {
    {"envshow", "Usage: envshow REPORT OID...\n"},
    {"recipeshow", "Usage: recipeshow REPORT OID...\n"},
    {"procshow", "Usage: procshow REPORT OID...\n"},
    {"envdiff", "Usage: envdiff REPORT OID_A OID_B\n"},
    {"rulediff", "Usage: rulediff REPORT OID_A OID_B\n"},
    {"changescan", "Usage: changescan LIST OUTPUT VERSION_A VERSION_B\n"},
    {"relplot", "Usage: relplot rsffilename [output dot filename]\n"},
    {"traceview", "Usage: traceview [--port N] [--rsf FILE [--changes LIST]] [--label LABEL [--label LABEL2]]\n"},
};

TEST(InfoOptions, HelpAndVersion)
{
    for (const auto &p : programs) {
        const RunResult help = run_program({bin_path(p.program), "--help"});
        EXPECT_EQ(help.exit_code, 0) << p.program;
        EXPECT_EQ(help.out.rfind(p.usage, 0), 0u) << help.out;
        if (std::string(p.program) != "relplot") {
            EXPECT_NE(help.out.find("PGHOST"), std::string::npos) << p.program;
        }
        const RunResult version = run_program({bin_path(p.program), "--version"});
        EXPECT_EQ(version.exit_code, 0) << p.program;
        EXPECT_EQ(version.out, std::string(p.program) + " (daver) " DAVER_VERSION "\n");
    }
}

TEST(InfoOptions, NotTakenAmongOtherArguments)
{
    // For the tools that need more than two arguments, "--help" followed by
    // another word is a command line with too few arguments: refused as
    // such, nothing answered, nothing created.
    TempDir dir;
    for (const auto &p : programs) {
        if (std::string(p.usage).find("OID...") != std::string::npos || std::string(p.program) == "relplot" ||
            std::string(p.program) == "traceview")
            continue; // there two words make a complete command line (traceview: a server, no files)
        RunOptions options;
        options.cwd = dir.path();
        const RunResult r = run_program({bin_path(p.program), "--help", "--version"}, options);
        EXPECT_EQ(r.exit_code, 0) << p.program;
        EXPECT_EQ(r.out.find("Usage:"), std::string::npos) << p.program << ": " << r.out;
        EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << p.program;
    }
}

} // namespace

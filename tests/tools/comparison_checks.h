// Checks shared by the end-to-end tests of the two comparison tools, envdiff
// and rulediff: their refused command lines and the diagnostic of a query
// that the server rejects.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"
#include "tool_queries.h"

namespace testsupport {

/// Expects `report` to hold `before`, then the diagnostic of the rejected
/// query `message` (the message line, a tab and the server's error text,
/// an empty line), and nothing else.
inline void expect_query_diagnostic(const std::string &report, const std::string &before, const std::string &message)
{
    const std::string head = before + message + "\n\tERROR:  ";
    EXPECT_EQ(report.substr(0, head.size()), head) << report;
    ASSERT_GE(report.size(), head.size() + 2) << report;
    EXPECT_EQ(report.substr(report.size() - 2), "\n\n") << report;
}

/// Runs `program` on the command lines it must refuse: too few arguments
/// (two lines on standard output, status 0, no report) and a report that
/// cannot be created (`cannot_open` on standard output, status 1).  `oids`
/// are two OIDs that compare successfully.  (A report that cannot be
/// written is one of the faults of fault_test.)
inline void expect_command_line_refusals(const std::string &program, const std::string &cannot_open,
                                         const std::vector<std::string> &oids)
{
    TempDir dir;
    const std::string report = dir.file("report.txt");
    for (const auto &args : {std::vector<std::string>{}, {report}, {report, oids.at(0)}}) {
        std::vector<std::string> argv = {bin_path(program)};
        argv.insert(argv.end(), args.begin(), args.end());
        const RunResult r = run_program(argv);
        EXPECT_EQ(r.exit_code, 0) << args.size() << " arguments";
        EXPECT_EQ(r.out, "Environment Comparison: Do Not have ENOUGH params. \nDo nothing!\n");
        EXPECT_FALSE(std::filesystem::exists(report));
    }

    const RunResult r = run_program({bin_path(program), dir.file("no/such/report.txt"), oids.at(0), oids.at(1)});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, cannot_open);
}

} // namespace testsupport

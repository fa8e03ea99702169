// What the end-to-end tests of envshow, recipeshow and procshow share: a
// fixture that runs a report tool and reads its report, and one suite of
// cases common to the three tools, which each tool's test instantiates with
// a description of the tool.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"
#include "tool_queries.h"

namespace testsupport {

/// What the shared cases need to know about one report tool.
struct ReportTool {
    std::string program;      ///< name of the program in the bin folder
    std::string usage;        ///< its two lines for a refused command line
    std::string query;        ///< its fixed query text, "%s" standing for the OID
    std::string no_rows;      ///< die's message when an OID finds nothing
    std::string oid_a, oid_b; ///< two OIDs that give complete blocks
    std::string missing;      ///< an OID that names no instance
};

/// Names the tool in gtest's messages.
void PrintTo(const ReportTool &tool, std::ostream *os);
/// Names each instantiation of the common cases after its program.
std::string tool_name(const testing::TestParamInfo<ReportTool> &info);

/// The 42 "=" that open and close a block and the 42 "-" between its sections.
inline const std::string equals(42, '='), dashes(42, '-');

/// The diagnostic that die writes for `msg` when the connection holds no
/// error text: the message, a line holding a tab, an empty line.
std::string quiet_diagnostic(const std::string &msg);

/// Runs report tools with a report file in a fresh folder.
class ReportRun : public testing::Test {
protected:
    TempDir dir;
    std::string report = dir.file("report.txt");

    /// Runs `program` with the report path and `oids`.
    RunResult run(const std::string &program, const std::vector<std::string> &oids, const RunOptions &options = {});
    /// What the last run left in the report.
    std::string written() const { return read_file(report); }
    /// The report of a successful run of `program` for `oids`.
    std::string report_of(const std::string &program, const std::vector<std::string> &oids);
};

/// The cases common to the report tools.
class ReportToolCommon : public ReportRun, public testing::WithParamInterface<ReportTool> {
protected:
    const ReportTool &tool() const { return GetParam(); }
    /// The block of one OID: its report without the final newline.
    std::string block_of(const std::string &oid);
};

} // namespace testsupport

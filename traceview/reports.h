// The reports of the five query tools on one or two file instances: each
// run as a child that writes its report into a scratch file of the private
// folder, which is read back and removed.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "private_dir.h"

namespace traceview {

/// A request's OIDs when they are one number or two separated by one blank
/// (the only forms that reach a tool), else nothing.
std::optional<std::vector<std::string>> parse_oids(const std::string &text);

/// True for the names of the tools that the page may ask for.
bool is_report_tool(const std::string &tool);

/// A tool's answer.
struct Report {
    bool ok = false;
    std::string text;       ///< the report file's content
    std::string messages;   ///< what the tool printed (its errors)
    std::string error;      ///< a one-line account of a failed run
};

/// Runs the report tools found in one folder.
class ReportRunner {
public:
    ReportRunner(std::string bin_dir, const PrivateDir &scratch, std::chrono::milliseconds time_limit);
    /// Runs `tool` on `oids` (already checked by parse_oids; a comparison tool needs two).
    Report run(const std::string &tool, const std::vector<std::string> &oids) const;
    /// Why the instance `oid` of one of the recorded builds `labels` was
    /// made, as `tracemake why LABEL OID` answers for the build that has it.
    Report why(const std::vector<std::string> &labels, const std::string &oid) const;
    /// The first causes of the recorded build(s) `labels`: of the last, and
    /// since the first when there are two (`tracemake why B --since A`).
    Report first_causes(const std::vector<std::string> &labels) const;

private:
    /// Runs tracemake with `args`; a report of its standard output.
    Report tracemake(const std::vector<std::string> &args) const;

    std::string bin_dir_;
    const PrivateDir &scratch_;
    std::chrono::milliseconds time_limit_;
};

} // namespace traceview

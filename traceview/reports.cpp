#include "reports.h"

#include <regex>

#include "child.h"

namespace traceview {

namespace {

constexpr std::size_t report_cap = 4UL << 20;

// The tools that compare two instances and those that show each one.
bool is_comparison(const std::string &tool) { return tool == "envdiff" || tool == "rulediff"; }

} // namespace

std::optional<std::vector<std::string>> parse_oids(const std::string &text)
{
    static const std::regex form("^[0-9]+( [0-9]+)?$");
    // Digits only, but no more than a bigint holds.
    if (text.size() > 41 || !std::regex_match(text, form))
        return std::nullopt;
    std::vector<std::string> oids;
    const std::size_t blank = text.find(' ');
    oids.push_back(text.substr(0, blank));
    if (blank != std::string::npos)
        oids.push_back(text.substr(blank + 1));
    for (const std::string &oid : oids)
        if (oid.size() > 19)
            return std::nullopt;
    return oids;
}

bool is_report_tool(const std::string &tool)
{
    return tool == "recipeshow" || tool == "procshow" || tool == "envshow" || is_comparison(tool);
}

ReportRunner::ReportRunner(std::string bin_dir, const PrivateDir &scratch, std::chrono::milliseconds time_limit)
    : bin_dir_(std::move(bin_dir)), scratch_(scratch), time_limit_(time_limit)
{
}

Report ReportRunner::run(const std::string &tool, const std::vector<std::string> &oids) const
{
    Report report;
    if (!is_report_tool(tool)) {
        report.error = "no such report tool";
        return report;
    }
    if (is_comparison(tool) && oids.size() != 2) {
        report.error = tool + " compares two instances: give two OIDs";
        return report;
    }
    ScratchFile file(scratch_, "report");
    std::vector<std::string> argv{bin_dir_ + "/" + tool, file.path()};
    argv.insert(argv.end(), oids.begin(), oids.end());
    const child::Result run = child::run(argv, child_options(time_limit_, 64 * 1024));
    bool truncated = false;
    report.text = file.read(report_cap, truncated);
    if (truncated)
        report.text += "\n[report cut at " + std::to_string(report_cap >> 20) + " MB]\n";
    report.messages = run.out + run.err;
    report.ok = run.ok();
    if (!report.ok)
        report.error = tool + " " + run.failure();
    return report;
}

Report ReportRunner::tracemake(const std::vector<std::string> &args) const
{
    std::vector<std::string> argv{bin_dir_ + "/tracemake"};
    argv.insert(argv.end(), args.begin(), args.end());
    const child::Result run = child::run(argv, child_options(time_limit_, report_cap));
    Report report;
    report.text = run.out;
    if (run.truncated)
        report.text += "\n[answer cut at " + std::to_string(report_cap >> 20) + " MB]\n";
    report.messages = run.err;
    report.ok = run.ok();
    if (!report.ok)
        report.error = "tracemake why " + run.failure();
    return report;
}

Report ReportRunner::why(const std::vector<std::string> &labels, const std::string &oid) const
{
    // The OID belongs to one of the builds: the other says it does not know it.
    Report last;
    for (const std::string &label : labels) {
        last = tracemake({"why", label, oid});
        if (last.ok)
            return last;
    }
    if (labels.empty())
        last.error = "the build was not recorded: there are no reasons to show";
    return last;
}

Report ReportRunner::first_causes(const std::vector<std::string> &labels) const
{
    if (labels.empty()) {
        Report report;
        report.error = "the build was not recorded: there are no reasons to show";
        return report;
    }
    if (labels.size() == 1)
        return tracemake({"why", labels[0]});
    return tracemake({"why", labels[1], "--since", labels[0]});
}

} // namespace traceview

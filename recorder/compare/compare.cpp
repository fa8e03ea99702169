#include "compare/compare.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>

#include "compare/change_reasons.h"
#include "compare/child_process.h"
#include "compare/compare_summary.h"
#include "compare/comparison.h"
#include "compare/export_rsf.h"
#include "compare/output_file.h"

namespace compare {

namespace {

namespace fs = std::filesystem;

/// The files of one run, by their role.
struct Outputs {
    explicit Outputs(const std::string &dir)
        : rsf(dir + "/build.rsf"), list(dir + "/changes.list"), diffs(dir + "/changes.rsf"), dot(dir + "/build.dot"),
          svg(dir + "/build.svg"), summary(dir + "/summary.txt"), whole(dir + "/summary-full.txt"),
          log(dir + "/compare.log")
    {
    }
    std::string rsf, list, diffs, dot, svg, summary, whole, log;
};

/// A failed step: what it was and why.
struct StepFailure : std::runtime_error {
    StepFailure(const std::string &step, const std::string &why) : std::runtime_error(why), step(step) {}
    std::string step;
};

/// Says on standard error how long a step took, when that was more than a second.
class StepClock {
public:
    explicit StepClock(std::string step) : step_(std::move(step)), start_(std::chrono::steady_clock::now()) {}
    ~StepClock()
    {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        if (seconds > 1)
            std::fprintf(stderr, "tracemake compare: %s took %.1f s\n", step_.c_str(), seconds);
    }
    StepClock(const StepClock &) = delete;
    StepClock &operator=(const StepClock &) = delete;

private:
    std::string step_;
    std::chrono::steady_clock::time_point start_;
};

/// Runs one child program as the step `step`; anything but success is a StepFailure.
void run_step(const std::string &step, const std::vector<std::string> &argv, const std::string &log)
{
    {
        std::ofstream note(log, std::ios::app);
        note << "$";
        for (const std::string &word : argv)
            note << " " << summary::shell_word(word);
        note << "\n";
    }
    const StepClock clock(step);
    const child::Outcome outcome = child::run(argv, log);
    if (!outcome.started)
        throw StepFailure(step, outcome.error);
    if (outcome.status != 0)
        throw StepFailure(step, argv[0] + " ended with status " + std::to_string(outcome.status) +
                                    "; its output is in " + log);
}

/// Writes a file through `write` as the step `step`.
void write_step(const std::string &step, const std::string &path, const std::function<void(std::FILE *)> &write)
{
    const StepClock clock(step);
    try {
        OutputFile out(path);
        write(out.stream());
        out.commit();
    } catch (const std::runtime_error &e) {
        throw StepFailure(step, e.what());
    }
}

/// Appends the DIFF lines of changescan's output to the RSF.
void append_diffs(const Outputs &files)
{
    std::ifstream in(files.diffs);
    if (!in)
        throw StepFailure("DIFF lines", "cannot read " + files.diffs);
    std::ofstream out(files.rsf, std::ios::app);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("DIFF\t", 0) == 0)
            out << line << '\n';
    out.flush();
    if (in.bad() || !out)
        throw StepFailure("DIFF lines", "cannot append the DIFF lines of " + files.diffs + " to " + files.rsf);
}

} // namespace

int run(const Options &options)
{
    const Outputs files(options.dir);
    std::string text;
    try {
        std::optional<StepClock> clock(std::in_place, "reading and pairing the builds");
        Comparison c = compare_builds(options.label1, options.label2);
        clock.emplace("finding why files changed");
        const auto explained = reasons::explain(c.conn.get(), c.a, c.b, c.pairs, c.set);
        clock.reset();
        c.conn.reset();

        std::error_code ec;
        fs::create_directories(options.dir, ec);
        if (ec)
            throw StepFailure("output folder", "cannot create " + options.dir + ": " + ec.message());
        // What an earlier run left would pass for this run's.
        for (const std::string *stale : {&files.diffs, &files.dot, &files.svg, &files.summary, &files.whole, &files.log})
            fs::remove(*stale, ec);

        write_step("rsf", files.rsf, [&](std::FILE *out) { rsf::write_comparison(out, c.a, c.b, c.pairs); });
        std::vector<std::string> left_out;
        write_step("changes", files.list,
                   [&](std::FILE *out) { left_out = changes::write_list(out, c.a, c.b, c.pairs, c.set); });
        const auto write_text = [](const std::string &path, const std::string &content) {
            write_step("summary", path, [&](std::FILE *out) {
                if (std::fputs(content.c_str(), out) == EOF)
                    throw std::runtime_error("cannot write " + path);
            });
        };
        write_text(files.whole, summary::write(c.a, c.b, c.pairs, c.set, explained, left_out, options.dir, ""));
        text = summary::write(c.a, c.b, c.pairs, c.set, explained, left_out, options.dir, files.whole);
        write_text(files.summary, text);
        run_step("changescan",
                 {child::sibling_program("changescan"), files.list, files.diffs, options.label1, options.label2},
                 files.log);
        append_diffs(files);
        run_step("relplot", {child::sibling_program("relplot"), files.rsf, files.dot}, files.log);
        if (options.picture)
            run_step("dot", {"dot", "-Tsvg", files.dot, "-o", files.svg}, files.log);
    } catch (const StepFailure &e) {
        std::fprintf(stderr, "tracemake compare: step '%s' failed: %s\n", e.step.c_str(), e.what());
        if (!text.empty())
            std::fprintf(stderr, "tracemake compare: the summary and what the earlier steps wrote are in %s\n",
                         options.dir.c_str());
        return 1;
    } catch (const std::runtime_error &e) {  // the builds could not be read or compared
        std::fprintf(stderr, "tracemake compare: %s\n", e.what());
        return 1;
    }
    std::fputs(text.c_str(), stdout);
    std::printf("written into %s: build.rsf changes.list changes.rsf build.dot%s summary.txt summary-full.txt compare.log\n",
                options.dir.c_str(), options.picture ? " build.svg" : "");
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? 0 : 1;
}

} // namespace compare

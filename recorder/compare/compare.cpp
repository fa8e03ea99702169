#include "compare/compare.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <unordered_set>
#include <stdexcept>

#include "common/child.h"
#include "compare/change_reasons.h"
#include "compare/compare_summary.h"
#include "compare/comparison.h"
#include "compare/export_rsf.h"
#include "compare/output_file.h"
#include "compare/picture_view.h"

namespace compare {

namespace {

namespace fs = std::filesystem;

/// The files of one run, by their role.
struct Outputs {
    explicit Outputs(const std::string &dir)
        : rsf(dir + "/build.rsf"), list(dir + "/changes.list"), diffs(dir + "/changes.rsf"), dot(dir + "/build.dot"),
          svg(dir + "/build.svg"), summary(dir + "/summary.txt"), whole(dir + "/summary-full.txt"),
          log(dir + "/compare.log"), view(dir + "/picture.rsf")
    {
    }
    std::string rsf, list, diffs, dot, svg, summary, whole, log, view;
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

/// A child program's start with its output and errors appended to `log`.
child::Options logged_to(const std::string &log)
{
    child::Options options;
    options.out = child::Sink::append;
    options.out_file = log;
    options.err = child::Sink::same_as_out;
    return options;
}

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
    const child::Result result = child::run(argv, logged_to(log));
    if (!result.started)
        throw StepFailure(step, "cannot start " + argv[0] + ": " + result.start_error);
    if (result.status() != 0)
        throw StepFailure(step, argv[0] + " ended with status " + std::to_string(result.status()) +
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

/// Appends the DIFF lines of changescan's output to the RSF `rsf`, those
/// whose node `keep` holds when given.
void append_diffs(const Outputs &files, const std::string &rsf, const std::unordered_set<std::string> *keep = nullptr)
{
    std::ifstream in(files.diffs);
    if (!in)
        throw StepFailure("DIFF lines", "cannot read " + files.diffs);
    std::ofstream out(rsf, std::ios::app);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("DIFF\t", 0) != 0)
            continue;
        const std::size_t end = line.find('\t', 5);
        if (keep == nullptr || keep->count(line.substr(5, end == std::string::npos ? end : end - 5)) != 0)
            out << line << '\n';
    }
    out.flush();
    if (in.bad() || !out)
        throw StepFailure("DIFF lines", "cannot append the DIFF lines of " + files.diffs + " to " + rsf);
}

/// The OIDs of the instances a view draws, as RSF writes them.
std::unordered_set<std::string> drawn_oids(const recorded::Build &a, const recorded::Build &b, const picture::View &view)
{
    std::unordered_set<std::string> oids;
    for (recorded::Index i = 0; i < a.insts.size(); ++i)
        if (view.keep_a[i])
            oids.insert(std::to_string(a.insts[i].oid));
    for (recorded::Index j = 0; j < b.insts.size(); ++j)
        if (view.keep_b[j])
            oids.insert(std::to_string(b.insts[j].oid));
    return oids;
}

/// The line that tells what part of the comparison the picture shows.
std::string view_note(const Comparison &c, const picture::View &view, const Outputs &files)
{
    const auto unpaired = std::count(c.pairs.partner_b.begin(), c.pairs.partner_b.end(), recorded::none);
    const std::size_t all = c.a.insts.size() + static_cast<std::size_t>(unpaired);
    return "the picture shows the changed, added and removed files and what they depend on or make, " +
           std::to_string(view.nodes) + " of " + std::to_string(all) + " nodes, " + std::to_string(view.boxes.size()) +
           " of them boxes counting the files not drawn (" + files.view + "; " + files.rsf + " holds everything)\n";
}

/// dot's picture of the DOT file; what went wrong, or "" when it was drawn.
std::string draw(const Outputs &files, const Options &options)
{
    const StepClock clock("dot");
    {
        std::ofstream note(files.log, std::ios::app);
        note << "$ dot -Tsvg " << summary::shell_word(files.dot) << " -o " << summary::shell_word(files.svg) << "\n";
    }
    child::Options dot = logged_to(files.log);
    dot.limits.wall = std::chrono::seconds(options.dot_seconds);
    dot.limits.cpu_seconds = options.dot_seconds;
    dot.limits.memory_bytes = options.dot_memory;
    const child::Result result = child::run({"dot", "-Tsvg", files.dot, "-o", files.svg}, dot);
    if (!result.started)
        return "cannot start dot: " + result.start_error;
    if (result.timed_out)
        return "dot ran longer than " + std::to_string(options.dot_seconds) + " s and was stopped";
    if (result.status() != 0)
        return "dot ended with status " + std::to_string(result.status()) + "; its output is in " + files.log;
    return "";
}

/// Makes the output folder `dir` and takes out what an earlier run left,
/// which would pass for this run's.
void prepare_folder(const std::string &dir, const Outputs &files)
{
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec)
        throw StepFailure("output folder", "cannot create " + dir + ": " + ec.message());
    for (const std::string *stale :
         {&files.diffs, &files.dot, &files.svg, &files.summary, &files.whole, &files.log, &files.view})
        fs::remove(*stale, ec);
}

/// Writes `content` as the summary file `path`.
void write_text(const std::string &path, const std::string &content)
{
    write_step("summary", path, [&](std::FILE *out) {
        if (std::fputs(content.c_str(), out) == EOF)
            throw std::runtime_error("cannot write " + path);
    });
}

} // namespace

int run(const Options &options)
{
    const Outputs files(options.dir);
    std::string text, no_picture;
    try {
        std::optional<StepClock> clock(std::in_place, "reading and pairing the builds");
        Comparison c = compare_builds(options.label1, options.label2);
        clock.emplace("finding why files changed");
        const auto explained = reasons::explain(c.conn.get(), c.a, c.b, c.pairs, c.set);
        const std::string head = options.head ? options.head(c.conn.get(), c.a, c.b) : std::string();
        clock.reset();
        c.conn.reset();

        prepare_folder(options.dir, files);

        write_step("rsf", files.rsf, [&](std::FILE *out) { rsf::write_comparison(out, c.a, c.b, c.pairs); });
        const picture::View view = picture::select(c.a, c.b, c.pairs, c.set, options.node_limit);
        if (!view.whole)
            write_step("picture", files.view,
                       [&](std::FILE *out) { rsf::write_comparison(out, c.a, c.b, c.pairs, &view); });
        std::vector<std::string> left_out;
        write_step("changes", files.list,
                   [&](std::FILE *out) { left_out = changes::write_list(out, c.a, c.b, c.pairs, c.set); });
        write_text(files.whole, head + summary::write(c.a, c.b, c.pairs, c.set, explained, left_out, options.dir, ""));
        text = head + summary::write(c.a, c.b, c.pairs, c.set, explained, left_out, options.dir, files.whole);
        write_text(files.summary, text);
        run_step("changescan",
                 {child::sibling_program("changescan"), files.list, files.diffs, options.label1, options.label2},
                 files.log);
        append_diffs(files, files.rsf);
        if (!view.whole) {
            const auto drawn = drawn_oids(c.a, c.b, view);
            append_diffs(files, files.view, &drawn);
            text += view_note(c, view, files);
        }
        run_step("relplot", {child::sibling_program("relplot"), view.whole ? files.rsf : files.view, files.dot},
                 files.log);
        if (options.picture)
            no_picture = draw(files, options);
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
    const bool drawn = options.picture && no_picture.empty();
    std::printf("written into %s: build.rsf changes.list changes.rsf%s build.dot%s summary.txt summary-full.txt compare.log\n",
                options.dir.c_str(), fs::exists(files.view) ? " picture.rsf" : "", drawn ? " build.svg" : "");
    if (!no_picture.empty())
        std::fprintf(stderr, "tracemake compare: no picture: %s; build.dot is kept\n", no_picture.c_str());
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? 0 : 1;
}

} // namespace compare

// The subcommands that read recorded builds back: rsf, changes, compare.
#include <cstdio>
#include <functional>
#include <optional>
#include <stdexcept>

#include "cli/commands.h"
#include "compare/compare.h"
#include "compare/comparison.h"
#include "compare/export_rsf.h"
#include "compare/output_file.h"
#include "why/why.h"

namespace {

/// A command line of labels and an optional `-o PATH`.
struct ExportArgs {
    std::vector<std::string> labels;
    std::optional<std::string> output;
    bool picture = true;
};

/// Reads `args`; nullopt (after a message) when it does not fit `usage`.
std::optional<ExportArgs> parse(const Args &args, std::size_t min_labels, std::size_t max_labels, const char *usage,
                                bool picture_option = false)
{
    ExportArgs parsed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-o" && i + 1 < args.size() && !parsed.output) {
            parsed.output = args[++i];
        } else if (picture_option && args[i] == "--no-picture") {
            parsed.picture = false;
        } else if (!args[i].empty() && args[i][0] == '-') {
            parsed.labels.clear();
            break;
        } else {
            parsed.labels.push_back(args[i]);
        }
    }
    if (parsed.labels.size() < min_labels || parsed.labels.size() > max_labels) {
        std::fprintf(stderr, "usage: tracemake %s\n", usage);
        return std::nullopt;
    }
    return parsed;
}

/// Says on standard error that `build` shows only part of its build.
void note_incomplete(const char *command, const recorded::Build &build)
{
    if (!build.complete)
        std::fprintf(stderr, "tracemake %s: note: the build '%s' was recorded incomplete (stopped before its end)\n",
                     command, build.label.c_str());
}

/// Runs `write` on the output file (or standard output); the message of
/// any failure goes to standard error with the command's name.
int export_to(const char *command, const std::optional<std::string> &path, const std::function<void(std::FILE *)> &write)
{
    try {
        if (!path) {
            write(stdout);
            return 0;
        }
        OutputFile out(*path);
        write(out.stream());
        out.commit();
        return 0;
    } catch (const std::runtime_error &e) {
        std::fprintf(stderr, "tracemake %s: %s\n", command, e.what());
        return 1;
    }
}

} // namespace

int cmd_rsf(const Args &args)
{
    const auto parsed = parse(args, 1, 2, "rsf LABEL [LABEL2] [-o FILE]");
    if (!parsed)
        return 2;
    return export_to("rsf", parsed->output, [&](std::FILE *out) {
        const pg::Connection conn = open_snapshot();
        if (parsed->labels.size() == 1) {
            const recorded::Build build = recorded::load_build(conn.get(), parsed->labels[0]);
            note_incomplete("rsf", build);
            rsf::write_build(out, build);
            return;
        }
        const auto [a, b] = recorded::load_two_builds(conn.get(), parsed->labels[0], parsed->labels[1]);
        note_incomplete("rsf", a);
        note_incomplete("rsf", b);
        rsf::write_comparison(out, a, b, pairing::pair_builds(a, b));
    });
}

int cmd_changes(const Args &args)
{
    const auto parsed = parse(args, 2, 2, "changes LABEL1 LABEL2 [-o FILE]");
    if (!parsed)
        return 2;
    return export_to("changes", parsed->output, [&](std::FILE *out) {
        const Comparison c = compare_builds(parsed->labels[0], parsed->labels[1]);
        note_incomplete("changes", c.a);
        note_incomplete("changes", c.b);
        for (const std::string &path : changes::write_list(out, c.a, c.b, c.pairs, c.set))
            std::fprintf(stderr, "tracemake changes: left out (white space in its name or directory): %s\n",
                         path.c_str());
        for (std::uint32_t f : c.set.untold)
            std::fprintf(stderr, "tracemake changes: cannot tell whether %s changed: a digest is missing\n",
                         c.pairs.file_path(f).c_str());
    });
}

int cmd_compare(const Args &args)
{
    const auto parsed = parse(args, 2, 2, "compare LABEL1 LABEL2 [-o DIR] [--no-picture]", true);
    if (!parsed)
        return 2;
    compare::Options options{parsed->labels[0], parsed->labels[1],
                             parsed->output.value_or("compare-" + parsed->labels[0] + "-" + parsed->labels[1]),
                             parsed->picture, nullptr};
    // The summary opens with why the second build rebuilt what it rebuilt,
    // the first taken as the build before it.
    options.head = [](PGconn *conn, const recorded::Build &first, const recorded::Build &second) {
        return "why '" + second.label + "' rebuilt what it rebuilt, since '" + first.label + "':\n" +
               why::first_causes(second, why::load_reasons(conn, second), &first) + "\n";
    };
    return compare::run(options);
}

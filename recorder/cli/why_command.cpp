// The subcommand why: why a recorded build remade what it remade.
#include <cstdio>
#include <stdexcept>

#include "cli/commands.h"
#include "common/pg.h"
#include "compare/comparison.h"
#include "why/why.h"

namespace {

constexpr const char *why_usage = "why LABEL [FILE...] [--since LABEL0]";

bool recorded_label(PGconn *conn, const std::string &label)
{
    const pg::Result res = pg::query(conn, "SELECT EXISTS (SELECT 1 FROM ZTR_BUILD WHERE BLD_LABEL = $1)", {label});
    return pg::text(res, 0, 0) == "t";
}

} // namespace

int cmd_why(const Args &args)
{
    why::Options options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--since" && i + 1 < args.size() && !options.since) {
            options.since = args[++i];
        } else if (args[i].starts_with("-")) {
            options.label.clear();
            break;
        } else if (options.label.empty()) {
            options.label = args[i];
        } else {
            options.files.push_back(args[i]);
        }
    }
    if (options.label.empty()) {
        std::fprintf(stderr, "usage: tracemake %s\n", why_usage);
        return 2;
    }
    try {
        const pg::Connection conn = open_snapshot();
        for (const std::string *label : {&options.label, options.since ? &*options.since : nullptr}) {
            if (label && !recorded_label(conn.get(), *label)) {
                std::fprintf(stderr, "tracemake why: no build is recorded under the label '%s' (see tracemake list)\n",
                             label->c_str());
                return 2;
            }
        }
        if (options.since && *options.since == options.label) {
            std::fprintf(stderr, "tracemake why: --since names the build itself ('%s')\n", options.label.c_str());
            return 2;
        }
        const recorded::Build build = recorded::load_build(conn.get(), options.label);
        const why::Reasons reasons = why::load_reasons(conn.get(), build);
        std::optional<recorded::Build> earlier, previous;
        if (options.since) {
            earlier = recorded::load_build(conn.get(), *options.since);
        } else if (const std::string label = why::previous_label(conn.get(), options.label); !label.empty()) {
            try {
                previous = recorded::load_build(conn.get(), label);
            } catch (const recorded::BuildError &) {
                // A previous build without instances has no commands to compare.
            }
        }
        const recorded::Build *before = earlier ? &*earlier : previous ? &*previous : nullptr;
        const bool known = why::write_answer(stdout, options, build, reasons, earlier ? &*earlier : nullptr, before);
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            std::fprintf(stderr, "tracemake why: cannot write the answer\n");
            return 1;
        }
        return known ? 0 : 1;
    } catch (const recorded::BuildError &e) {
        // A build without instances: no make process printed its data base.
        std::fprintf(stderr, "tracemake why: %s; its reasons are missing\n", e.what());
        return 1;
    } catch (const std::runtime_error &e) {
        std::fprintf(stderr, "tracemake why: %s\n", e.what());
        return 1;
    }
}

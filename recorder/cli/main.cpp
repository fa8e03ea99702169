// tracemake: records a real make build into the trace database "DAVER" and
// turns recorded builds into RSF, change lists and comparisons.  Started
// under the name "make" (through the shim folder the recorder puts first in
// PATH) it is the shim that records one make process of a build.
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/commands.h"
#include "capture/shim.h"
#include "common/pg.h"
#include "common/private_db.h"

namespace {

struct Command {
    const char *name;
    const char *synopsis;
    int (*run)(const Args &);
};

const Command commands[] = {
    {"record", "record --label LABEL [--replace] [--make PATH] [--keep-spool DIR] -- make [ARGS...]", cmd_record},
    {"list", "list", cmd_list},
    {"find", "find [--label LABEL] WORD...", cmd_find},
    {"load", "load DIR", cmd_load},
    {"rsf", "rsf LABEL [LABEL2] [-o FILE]", cmd_rsf},
    {"changes", "changes LABEL1 LABEL2 [-o FILE]", cmd_changes},
    {"compare", "compare LABEL1 LABEL2 [-o DIR] [--no-picture]", cmd_compare},
    {"why", "why LABEL [FILE...] [--since LABEL0]", cmd_why},
    {"db", "db status | start | stop | env", cmd_db},
};

/// The server of a command's first connection: the private database when no
/// server is named and none answers on libpq's default (made and started
/// when need be).  A recorded build does not see it: only a command other
/// than record, whose children (changescan) read libpq's defaults, exports it.
pg::Server choose_server(const Command &command)
{
    try {
        const auto db = privatedb::choose_server("tracemake", true);
        if (!db)
            return {};
        if (command.run != cmd_record)
            privatedb::export_to_environment(*db);
        return {db->host(), db->port()};
    } catch (const privatedb::Error &error) {
        throw pg::DbError(error.what());
    }
}

void usage(std::FILE *to)
{
    std::fputs("usage:\n", to);
    for (const Command &command : commands)
        std::fprintf(to, "  tracemake %s\n", command.synopsis);
    std::fputs("  tracemake --help | --version\n", to);
}

void help()
{
    usage(stdout);
    std::fputs("\n"
               "record runs the build exactly as `make ARGS` would (output, exit status, -j, -k, -C, -n)\n"
               "and stores it in the database \"DAVER\" under LABEL.  Exit status: the build's; 2 when\n"
               "the server is not fit (the build is not run) or the command line is wrong; 3 when the\n"
               "build succeeded but could not be stored (its spool is kept: tracemake load DIR).\n"
               "The server is the one libpq's defaults name (PGHOST, PGHOSTADDR, PGPORT, PGDATABASE, PGUSER,\n"
               "PGSERVICE) or the one answering on its default socket; without either, a private one in\n"
               "$XDG_DATA_HOME/daver (~/.local/share/daver), made and started on first use: tracemake db.\n",
               stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    // Through the shim folder's `make` link, and through $(MAKE), this
    // program is started under make's name.
    if (argc > 0 && std::strcmp(basename(argv[0]), "make") == 0)
        return shim::shim_main(argc, argv);
    if (argc < 2) {
        usage(stderr);
        return 2;
    }
    std::string name = argv[1];
    if (name == "--help") {
        help();
        return 0;
    }
    if (name == "--version") {
        std::printf("tracemake (daver) %s\n", DAVER_VERSION);
        return 0;
    }
    for (const Command &command : commands)
        if (name == command.name) {
            pg::choose_server_with([&command] { return choose_server(command); });
            return command.run(Args(argv + 2, argv + argc));
        }
    std::fprintf(stderr, "tracemake: unknown command '%s'\n", name.c_str());
    usage(stderr);
    return 2;
}

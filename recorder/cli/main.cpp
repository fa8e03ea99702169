// tracemake: records a real make build into the trace database "DAVER" and
// turns recorded builds into RSF, change lists and comparisons.  Started
// under the name "make" (through the shim folder the recorder puts first in
// PATH) it is the shim that records one make process of a build.
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/commands.h"
#include "capture/shim.h"

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
};

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
               "The server is reached through libpq's defaults: PGHOST, PGPORT, PGUSER, ...\n",
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
        if (name == command.name)
            return command.run(Args(argv + 2, argv + argc));
    std::fprintf(stderr, "tracemake: unknown command '%s'\n", name.c_str());
    usage(stderr);
    return 2;
}

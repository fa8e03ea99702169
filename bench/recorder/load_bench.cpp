// How fast a recorded build is stored: a synthetic spool of PROCS make
// processes, each with a data base of VARS variables and FILES files
// (recipes, prerequisites, executed commands, digests), is read, turned into
// rows and loaded into "DAVER" (libpq's defaults; bench/recorder/load.sh
// starts a throwaway cluster).  Prints the time of each step.
//
//   load_bench [PROCS [VARS [FILES]]]     (default 100 10000 1000)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/pg.h"
#include "load/rows.h"
#include "spool/spool.h"
#include "load/store.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

/// A data base as make 4.3 prints it, with `vars` variables of every origin
/// and `files` targets in a directory tree.
std::string data_base(int proc, int vars, int files)
{
    static const char *const origins[] = {"# default", "# environment", "# makefile (from 'Makefile', line 3)",
                                          "# command line", "# 'override' directive", "# automatic"};
    std::string text = "# GNU Make 4.3\n# Built for x86_64-pc-linux-gnu\n\n# Make data base, printed on Mon Dec  7 "
                       "19:42:48 2026\n\n# Variables\n\n";
    text += "# makefile\nCURDIR := /src/proc" + std::to_string(proc) + "\n";
    for (int i = 1; i < vars; ++i) {
        text += origins[i % 6];
        text += '\n';
        text += "VAR_" + std::to_string(i) + (i % 3 == 0 ? " := " : " = ");
        text += "-I/usr/include/some/path" + std::to_string(i) + " -DVALUE=" + std::to_string(i * 7) + "\n";
    }
    text += "# variable set hash-table stats:\n# Load=1/1024=0%, Rehash=0, Collisions=0/1=0%\n\n# Files\n";
    for (int i = 0; i < files; ++i) {
        const std::string name = "dir" + std::to_string(i % 20) + "/file" + std::to_string(i) + ".o";
        text += "\n" + name + ": dir" + std::to_string(i % 20) + "/file" + std::to_string(i) + ".c";
        if (i > 0)
            text += " dir" + std::to_string((i - 1) % 20) + "/file" + std::to_string(i - 1) + ".o";
        text += "\n#  Implicit rule search has not been done.\n#  Last modified 2026-12-07 19:42:48.387484841\n"
                "#  File has been updated.\n#  Successfully updated.\n#  recipe to execute (from 'Makefile', line 9):\n"
                "\t$(CC) $(CFLAGS) -c $< -o $@\n";
    }
    text += "\n# files hash-table stats:\n# Load=1/1024=0%\n# VPATH Search Paths\n\n# No 'vpath' search paths.\n"
            "\n# Finished Make data base on Mon Dec  7 19:42:48 2026\n\n";
    return text;
}

void write_spool(const std::filesystem::path &dir, int procs, int vars, int files)
{
    std::filesystem::create_directories(dir);
    spool::write_keys(dir / spool::build_file,
                      {{"label", "bench"}, {"replace", "1"}, {"topdir", "/src"}, {"command", "make -j2"},
                       {"start", "1765136182.1"}, {"end", "1765136282.2"}, {"status", "0"}, {"complete", "1"},
                       {"shimdir", "/tmp/spool/shim"}, {"preload", "/tmp/spool/libtracemake.so"}});
    for (int p = 0; p < procs; ++p) {
        const auto proc = dir / spool::procs_dir / std::to_string(p);
        std::filesystem::create_directories(proc);
        spool::write_keys(proc / spool::proc_file,
                          {{"parent", p == 0 ? "" : "0"}, {"parent_target", "all"}, {"startdir", "/src"},
                           {"cmdline", "make -C proc" + std::to_string(p)}, {"start", std::to_string(1765136183 + p)},
                           {"end", std::to_string(1765136184 + p)}, {"status", "0"}, {"argv0", "make"}});
        std::ofstream(proc / spool::database_file, std::ios::binary) << data_base(p, vars, files);
        std::string exec, digests;
        for (int i = 0; i < files; ++i) {
            const std::string name = "dir" + std::to_string(i % 20) + "/file" + std::to_string(i);
            exec += spool::join_record({name + ".o", "cc -O2 -c " + name + ".c -o " + name + ".o"});
            digests += spool::join_record({"/src/proc" + std::to_string(p) + "/" + name + ".o",
                                           "5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03"});
        }
        std::ofstream(proc / spool::exec_file, std::ios::binary) << exec;
        std::ofstream(proc / spool::digest_file, std::ios::binary) << digests;
    }
}

} // namespace

int main(int argc, char *argv[])
{
    const int procs = argc > 1 ? std::atoi(argv[1]) : 100;
    const int vars = argc > 2 ? std::atoi(argv[2]) : 10000;
    const int files = argc > 3 ? std::atoi(argv[3]) : 1000;
    const auto dir = std::filesystem::temp_directory_path() / ("tracemake-bench-" + std::to_string(getpid()));

    auto start = Clock::now();
    write_spool(dir, procs, vars, files);
    std::printf("spool of %d processes, %d variables, %d instances written in %.2f s\n", procs, procs * vars,
                procs * files, seconds_since(start));

    start = Clock::now();
    const rows::Spool spool = rows::read_spool(dir);
    const double read_time = seconds_since(start);
    start = Clock::now();
    std::string variables;
    std::size_t nvariables = 0;
    for (std::size_t i = 0; i < spool.procs.size(); ++i)
        nvariables += rows::append_variable_rows(spool.procs[i], static_cast<std::int64_t>(i), variables);
    const rows::Tables tables = rows::make_rows(spool, 0, static_cast<std::int64_t>(spool.procs.size()));
    std::printf("read and parsed: %.2f s; rows made: %.2f s (%zu variables, %zu instances, %zu prerequisites, "
                "%.0f MB of COPY text)\n",
                read_time, seconds_since(start), nvariables, tables.instances, tables.prereqs,
                static_cast<double>(variables.size() + tables.fileinst.size() + tables.prereq.size()) / 1e6);

    for (int run = 1; run <= 2; ++run) {
        start = Clock::now();
        try {
            store::load_spool(dir);
        } catch (const std::exception &error) {
            std::fprintf(stderr, "load_bench: %s\n", error.what());
            std::filesystem::remove_all(dir);
            return 1;
        }
        std::printf("load %d (whole: read, rows, one transaction%s): %.2f s\n", run,
                    run == 1 ? "" : ", replacing the first", seconds_since(start));
    }
    // The server's share: each table's COPY on its own, in a transaction rolled back (after
    // the loads: the dead rows of a rolled-back COPY would slow the loads down).
    {
        const pg::Connection conn = pg::connect();
        pg::query(conn.get(), "BEGIN");
        const std::pair<const char *, const std::string *> copies[] = {
            {rows::makeproc_columns, &tables.makeproc},
            {rows::fileinst_columns, &tables.fileinst},
            {rows::variable_columns, &variables},
            {rows::prereq_columns, &tables.prereq},
        };
        std::printf("COPY alone:");
        for (const auto &[target, text] : copies) {
            start = Clock::now();
            pg::copy_in(conn.get(), target, *text);
            std::printf(" %.*s %.2f s;", static_cast<int>(std::string_view(target).find(' ')), target,
                        seconds_since(start));
        }
        std::printf("\n");
        pg::query(conn.get(), "ROLLBACK");
    }

    std::filesystem::remove_all(dir);
    return 0;
}

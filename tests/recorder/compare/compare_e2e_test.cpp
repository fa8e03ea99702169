// The sample project "calc" (demo/calc-v1, demo/calc-v2) built for real
// under `tracemake record`, one version after the other in folders of
// their own, then compared with `tracemake compare`: from v1 to v2 a
// source and a header are edited, CFLAGS changes, lib/mul.c is added and
// lib/compat.h removed, src/calc's recipe changes, and the doc sub-make
// gets VERSION on its command line.
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "../recorded_rows.h"
#include "test_support.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

class RecordedCalc : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        work = new TempDir;
        for (const char *version : {"v1", "v2"}) {
            const fs::path tree = work->path() / (std::string("calc-") + version);
            fs::copy(fs::path(DAVER_SOURCE_DIR) / "demo" / (std::string("calc-") + version), tree,
                     fs::copy_options::recursive);
            RunOptions options;
            options.cwd = tree;
            const RunResult r = run_program({bin_path("tracemake"), "record", "--label", label(version), "--replace",
                                             "--", "make", "all", "CC=gcc", "PREFIX=/usr/local"},
                                            options);
            ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
        }
        out = (work->path() / "compare").string();
        compared = run_program({bin_path("tracemake"), "compare", label("v1"), label("v2"), "-o", out});
    }
    static void TearDownTestSuite()
    {
        PgSession db;
        delete_builds(db, {label("v1"), label("v2")});
        delete work;
    }
    // CTest runs each case in a process of its own, several at once: each
    // records under labels of its own.
    static std::string label(const std::string &version)
    {
        return "e2e-calc-" + std::to_string(getpid()) + "-" + version;
    }

    /// The DOT node id and attributes of the node labelled `name` in cluster `dir`.
    static std::string node_line(const std::string &dot, const std::string &dir, const std::string &name)
    {
        const std::size_t cluster = dot.find("subgraph \"cluster_" + (work->path() / "calc-v1").string() +
                                             (dir.empty() ? "" : "/" + dir) + "\"");
        const std::size_t at = dot.find("[label=\"" + name + "\"", cluster);
        if (cluster == std::string::npos || at == std::string::npos)
            return "";
        const std::size_t start = dot.rfind('\n', at) + 1;
        return dot.substr(start, dot.find('\n', at) - start);
    }

    static TempDir *work;
    static std::string out;
    static RunResult compared;
};

TempDir *RecordedCalc::work = nullptr;
std::string RecordedCalc::out;
RunResult RecordedCalc::compared;

TEST_F(RecordedCalc, CompareDrawsThePictureAndMarksTheChanges)
{
    ASSERT_EQ(compared.exit_code, 0) << compared.out << compared.err;
    EXPECT_NE(read_file(out + "/build.svg").find("</svg>"), std::string::npos);
    const std::string dot = read_file(out + "/build.dot");
    const struct {
        std::string dir, name, colour;
    } nodes[] = {
        {"lib", "add.o", "orange"},    // rebuilt with the new CFLAGS
        {"lib", "parse.c", "orange"},  // edited
        {"src", "calc", "orange"},     // its recipe changed
        {"doc", "calc.1", "orange"},   // another VERSION
        {"lib", "add.c", "black"},     // the same in both
        {"doc", "calc.1.in", "black"},
        {"lib", "compat.h", "red"},    // only in v1
        {"lib", "mul.c", "green"},     // only in v2
        {"lib", "mul.o", "green"},
    };
    for (const auto &n : nodes) {
        const std::string line = node_line(dot, n.dir, n.name);
        EXPECT_NE(line.find("color=" + n.colour + "]"), std::string::npos) << n.dir << "/" << n.name << ": " << line;
        // A file of both builds is one node of both layers, named by both OIDs.
        const bool both = n.colour == "orange" || n.colour == "black";
        EXPECT_EQ(line.find("layer=\"all\"") != std::string::npos, both) << line;
        EXPECT_EQ(std::regex_search(line, std::regex("^\\s*\"[0-9]+ [0-9]+\"")), both) << line;
    }
    // The sub-makes: dotted edges from the top make's "all" to theirs.
    EXPECT_TRUE(std::regex_search(dot, std::regex("->\"[0-9]+ [0-9]+\"\\[layer=\"all\",style=dotted\\]")));
}

TEST_F(RecordedCalc, OneBuildConvertsAndDraws)
{
    const std::string rsf = (work->path() / "v1.rsf").string(), dot = rsf + ".dot";
    const RunResult r = run_program({bin_path("tracemake"), "rsf", label("v1"), "-o", rsf});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ASSERT_EQ(run_program({bin_path("relplot"), rsf, dot}).exit_code, 0);
    const RunResult drawn = run_program({"/usr/bin/dot", "-Tsvg", dot, "-o", rsf + ".svg"});
    EXPECT_EQ(drawn.exit_code, 0) << drawn.err;
    EXPECT_EQ(drawn.err, "");
    // Four make processes: the top one's cluster holds those of lib, src and doc.
    for (const char *dir : {"/lib\"", "/src\"", "/doc\""})
        EXPECT_NE(read_file(dot).find("subgraph \"cluster_" + (work->path() / "calc-v1").string() + dir),
                  std::string::npos) << dir;
}

TEST_F(RecordedCalc, SummaryNamesEachChangeAndItsReason)
{
    ASSERT_EQ(compared.exit_code, 0) << compared.err;
    const std::string &s = compared.out;
    const std::string expected[] = {
        "files changed: 13, added: 2, removed: 1\n",
        "added (only in " + label("v2") + "):\n  lib/mul.c\n  lib/mul.o\n",
        "removed (only in " + label("v1") + "):\n  lib/compat.h\n",
    };
    for (const std::string &part : expected)
        EXPECT_NE(s.find(part), std::string::npos) << part << "\n--- in:\n" << s;
    // Each changed file's block, as regular expressions over its lines.
    const struct {
        std::string file;
        std::vector<std::string> lines;
    } blocks[] = {
        {"lib/parse.c", {"its content differs", "no rule makes it: it was changed outside the build"}},
        {"lib/add.o", {"its content differs, it was rebuilt with other commands",
                       "variables differ between the two make processes: CFLAGS, OBJS, VERSION \\(its recipe uses CFLAGS\\)",
                       "envdiff .*/envdiff-[0-9]+\\.txt [0-9]+ [0-9]+", "executed commands differ",
                       "rulediff .*", "prerequisite changed: lib/calc.h"}},
        {"lib/parse.o", {".*", ".*", ".*", ".*", ".*", "prerequisite changed: lib/calc.h, lib/parse.c",
                         "prerequisite dropped: lib/compat.h"}},
        {"lib/libcalc.a", {".*", ".*", ".*", ".*", ".*", "prerequisite changed: lib/add.o, lib/parse.o, lib/sub.o",
                           "new prerequisite: lib/mul.o"}},
        {"src/calc", {".*", "variables differ between the two make processes: CFLAGS, LDLIBS, VERSION \\(its recipe uses LDLIBS\\)", ".*",
                      "recipe text and executed commands differ", "rulediff .*",
                      "prerequisite changed: lib/libcalc.a, src/main.o"}},
        {"doc/calc.1", {"its content differs, it was rebuilt with other commands",
                        "variables differ between the two make processes: .*VERSION \\(its recipe uses VERSION\\)"}},
    };
    for (const auto &b : blocks) {
        const std::size_t at = s.find("\n  " + b.file + " (");
        ASSERT_NE(at, std::string::npos) << b.file << "\n" << s;
        std::istringstream in(s.substr(s.find('\n', at + 1) + 1));
        std::string line;
        for (const std::string &want : b.lines) {
            ASSERT_TRUE(std::getline(in, line)) << b.file;
            const std::size_t text = line.find_first_not_of(' ');
            EXPECT_TRUE(std::regex_match(line.substr(text), std::regex(want))) << b.file << ": " << line << " / " << want;
        }
    }
}

TEST_F(RecordedCalc, SummaryOpensWithTheFirstCausesOfTheSecondBuild)
{
    ASSERT_EQ(compared.exit_code, 0) << compared.err;
    // v2 is built in a fresh copy of its tree: every target it made was missing.
    const std::string head = "why '" + label("v2") + "' rebuilt what it rebuilt, since '" + label("v1") + "':\nbuild '" +
                             label("v2") + "': ";
    EXPECT_EQ(compared.out.substr(0, head.size()), head) << compared.out;
    const std::size_t ranked = compared.out.find(" targets rebuilt; first causes, by the targets they led to:\n");
    const std::size_t missing = compared.out.find(": did not exist before the build\n");
    EXPECT_LT(ranked, missing);
    EXPECT_LT(missing, compared.out.find("files changed: "));
}

TEST_F(RecordedCalc, PrintedCommandsRunAndShowTheChange)
{
    ASSERT_EQ(compared.exit_code, 0) << compared.err;
    const struct {
        std::string file, program, shows;
    } cases[] = {
        {"lib/add.o", "envdiff", "CFLAGS=-O2 -g -Wall -Wextra"},
        {"src/calc", "rulediff", "-L../lib -lcalc $(LDLIBS)"},
        {"doc/calc.1", "rulediff", "s/@VERSION@/1.1/g"},
    };
    for (const auto &c : cases) {
        const std::size_t block = compared.out.find("\n  " + c.file + " (");
        const std::size_t at = compared.out.find("      " + c.program + " ", block);
        ASSERT_NE(at, std::string::npos) << c.file;
        std::istringstream words(compared.out.substr(at, compared.out.find('\n', at) - at));
        std::vector<std::string> argv;
        for (std::string w; words >> w;)
            argv.push_back(w);
        argv[0] = bin_path(argv[0]);
        const RunResult r = run_program(argv);
        ASSERT_EQ(r.exit_code, 0) << c.file << r.out;
        std::string report = read_file(argv[1]);
        // Reports wrap long values at 60 columns.
        report = std::regex_replace(report, std::regex("\n\t"), "");
        EXPECT_NE(report.find(c.shows), std::string::npos) << c.file << "\n" << report;
    }
}

} // namespace

// The exports of recorded builds (rsf, changes, compare) on two hand-made
// builds whose every row is known (data/two_builds.sql), in the test cluster.
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/commands.h"
#include "compare/compare.h"
#include "../recorded_rows.h"
#include "test_support.h"

using namespace testsupport;

namespace {

using Record = std::vector<std::string>;

/// The records of an RSF text: its words three at a time.
std::vector<Record> records(const std::string &text)
{
    std::istringstream in(text);
    std::vector<Record> all;
    Record r(3);
    while (in >> r[0] >> r[1] >> r[2])
        all.push_back(r);
    return all;
}

bool has(const std::vector<Record> &all, const Record &r)
{
    return std::find(all.begin(), all.end(), r) != all.end();
}

/// How many records of `relation` name `node` as subject (word 1) or object (word 2).
int count(const std::vector<Record> &all, const std::string &relation, int word, const std::string &node)
{
    return static_cast<int>(std::count_if(all.begin(), all.end(), [&](const Record &r) {
        return r[0] == relation && r[static_cast<std::size_t>(word)] == node;
    }));
}

/// A command run in this process with its standard error caught.
struct Ran {
    int status;
    std::string err;
};

Ran run(int (*command)(const Args &), const Args &args)
{
    testing::internal::CaptureStderr();
    const int status = command(args);
    return {status, testing::internal::GetCapturedStderr()};
}

/// PATH for the run of one test, restored afterwards.
class ScopedPath {
public:
    explicit ScopedPath(const std::string &path) : old_(std::getenv("PATH") ? std::getenv("PATH") : "")
    {
        setenv("PATH", path.c_str(), 1);
    }
    ~ScopedPath() { setenv("PATH", old_.c_str(), 1); }

private:
    std::string old_;
};

class Exports : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        PgSession db;
        delete_builds(db, labels);
        db.exec(read_file(std::string(DAVER_SOURCE_DIR) + "/tests/recorder/data/two_builds.sql"));
    }
    static void TearDownTestSuite()
    {
        PgSession db;
        delete_builds(db, labels);
    }
    static inline const std::vector<std::string> labels = {"cmp-a", "cmp-b", "cmp-empty", "cmp-far"};

    TempDir dir;
    // changescan and relplot are found through PATH, as an installed tracemake finds them.
    std::string tools_path = std::filesystem::path(bin_path("relplot")).parent_path().string();
};

TEST_F(Exports, RsfOfTwoBuildsPairsLayersAndPlaces)
{
    const std::string out = dir.file("two.rsf");
    const Ran r = run(cmd_rsf, {"cmp-a", "cmp-b", "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto all = records(read_file(out));
    const Record present[] = {
        {"LAYERNAME", "cmp-a", "0"}, {"LAYERNAME", "cmp-b", "1"}, {"ROOT", "/w/a", "-"},
        {"CONTAIN", "/w/a", "/w/a/lib"}, {"CONTAIN", "/w/a/lib", "7113"}, {"SAME", "7113", "8113"},
        {"SAME", "7125", "8125"},  // src's own view of lib/libcalc.a pairs with src's
        {"SAME", "7127", "8127"},  // outside both trees, the same absolute place
        {"CONTAIN", "/w/a/lib", "8117"},  // only in b: at its relative place in a's tree
        {"CONTAIN", "/w/a", "/usr/include"}, {"CONTAIN", "/usr/include", "7127"},
        {"FILE", "7126", "my\\040file.txt"}, {"LAYER", "8117", "cmp-b"}, {"LAYER", "7115", "cmp-a"},
        {"INVOKE", "7101", "7111"}, {"INVOKE", "7101", "7121"}, {"INVOKE", "8101", "8121"},
        {"DEPENDON", "8112", "8117"}, {"DEPENDON", "7122", "7125"}, {"DBLCLN", "7102", "2"},
        {"GOAL", "7111", "-"}, {"EXECUTED", "7113", "-"}, {"PHONY", "7101", "-"}, {"TARGET", "7113", "-"},
    };
    for (const Record &want : present)
        EXPECT_TRUE(has(all, want)) << want[0] << " " << want[1] << " " << want[2];
    const Record absent[] = {{"EXECUTED", "7114", "-"}, {"TARGET", "7114", "-"}, {"GOAL", "7113", "-"},
                             {"CONTAIN", "/w/a", "/w/b"}, {"CONTAIN", "/w/b", "/w/b/lib"},
                             {"DEPENDON", "7119", "7118"}};  // cmp-far's, among cmp-a's OIDs
    for (const Record &unwanted : absent)
        EXPECT_FALSE(has(all, unwanted)) << unwanted[0] << " " << unwanted[1] << " " << unwanted[2];

    // Every instance one node with one layer; a paired b node is drawn by
    // its partner's place; nobody is paired twice or contained twice.
    PgSession db;
    int same = 0;
    for (const auto &row : db.rows("SELECT OID, INST_VERSION FROM ZTR_FILEINST WHERE INST_VERSION IN ('cmp-a', 'cmp-b')")) {
        const std::string &oid = row[0];
        EXPECT_EQ(count(all, "LAYER", 1, oid), 1) << oid;
        EXPECT_LE(count(all, "SAME", 1, oid) + count(all, "SAME", 2, oid), 1) << oid;
        const bool paired_b = row[1] == "cmp-b" && count(all, "SAME", 2, oid) == 1;
        EXPECT_EQ(count(all, "CONTAIN", 2, oid), paired_b ? 0 : 1) << oid;
        same += count(all, "SAME", 1, oid);
    }
    EXPECT_EQ(same, 15);
    for (const Record &r : all) {
        if (r[0] == "CONTAIN") {
            EXPECT_EQ(count(all, "CONTAIN", 2, r[2]), 1) << r[2];
        }
    }
}

TEST_F(Exports, RsfOfOneBuildHasNoLayers)
{
    const std::string out = dir.file("one.rsf");
    ASSERT_EQ(run(cmd_rsf, {"cmp-b", "-o", out}).status, 0);
    const auto all = records(read_file(out));
    EXPECT_TRUE(has(all, {"ROOT", "/w/b", "-"}));
    EXPECT_TRUE(has(all, {"CONTAIN", "/w/b/lib", "8113"}));
    EXPECT_TRUE(has(all, {"CONTAIN", "/w/b", "/w/b/lib"}));
    for (const Record &r : all)
        EXPECT_TRUE(r[0] != "LAYER" && r[0] != "LAYERNAME" && r[0] != "SAME") << r[0];
}

TEST_F(Exports, ChangeListNamesWhatDiffersAndWarnsOfWhatItCannotCarry)
{
    const std::string out = dir.file("changes.list");
    const Ran r = run(cmd_changes, {"cmp-a", "cmp-b", "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    // add.o: content and commands; libcalc.a: both, seen by two makes but
    // one record; tmp.i: commands, though gone in b; calc: content.
    // main.o, add.c, stdio.h and all are equal.
    EXPECT_EQ(read_file(out), "add.o\t/w/a/lib\t/w/b/lib\n"
                              "libcalc.a\t/w/a/lib\t/w/b/lib\n"
                              "tmp.i\t/w/a/lib\t/w/b/lib\n"
                              "calc\t/w/a/src\t/w/b/src\n");
    EXPECT_NE(r.err.find("left out (white space in its name or directory): src/my file.txt"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("cannot tell whether lib/gen.c changed: a digest is missing"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("note: the build 'cmp-b' was recorded incomplete"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("'cmp-a' was recorded incomplete"), std::string::npos) << r.err;
}

TEST_F(Exports, CompareDrawsMarksAndExplains)
{
    const ScopedPath path(tools_path + ":/usr/bin:/bin");
    const std::string out = (dir.path() / "cmp").string();
    testing::internal::CaptureStdout();
    const Ran r = run(cmd_compare, {"cmp-a", "cmp-b", "-o", out});
    const std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_EQ(r.status, 0) << r.err << printed;

    const std::string summary = read_file(out + "/summary.txt");
    EXPECT_EQ(printed.substr(0, summary.size()), summary);
    const std::string expected_parts[] = {
        "recorded INCOMPLETE",
        "files changed: 5, added: 2, removed: 1\n",
        "added (only in cmp-b):\n  lib/mul.c\n  lib/mul.o\n",
        "removed (only in cmp-a):\n  lib/old.h\n",
        "cannot tell whether these changed (a digest is missing: the file was gone when its make ended):\n  lib/gen.c\n",
        "left out of the change list and the picture's marks (white space in the name or directory):\n  src/my file.txt\n",
        "  lib/add.o (cmp-a 7113, cmp-b 8113)\n    its content differs, it was rebuilt with other commands\n"
        "    variables differ between the two make processes: CFLAGS (its recipe uses CFLAGS)\n      envdiff " + out + "/envdiff-7113.txt 7113 8113\n"
        "    executed commands differ\n      rulediff " + out + "/rulediff-7113.txt 7113 8113\n"
        "    prerequisite dropped: lib/old.h\n  lib/libcalc.a",
        "    prerequisite changed: lib/add.o\n    new prerequisite: lib/mul.o\n",
        "  lib/tmp.i (cmp-a 7117, cmp-b 8119)\n"
        "    it was rebuilt with other commands, no digest in cmp-b (the file was gone when its make ended)\n",
        "  src/calc (cmp-a 7122, cmp-b 8122)\n    its content differs\n    recipe text differs\n"
        "      rulediff " + out + "/rulediff-7122.txt 7122 8122\n    prerequisite changed: lib/libcalc.a\n",
    };
    for (const std::string &part : expected_parts)
        EXPECT_NE(summary.find(part), std::string::npos) << part << "\n--- in:\n" << summary;

    // changescan's marks: every instance pair of each listed file.
    const std::string rsf = read_file(out + "/build.rsf");
    for (const char *diff : {"DIFF\t7113\t8113\n", "DIFF\t7112\t8125\n", "DIFF\t7125\t8112\n", "DIFF\t7122\t8122\n"})
        EXPECT_NE(rsf.find(diff), std::string::npos) << diff;
    const std::string dot = read_file(out + "/build.dot");
    EXPECT_NE(dot.find("\"7113 8113\"[label=\"add.o\""), std::string::npos);
    EXPECT_NE(dot.find("\"7113 8113\"[label=\"add.o\",shape=ellipse,fontname=\"Times-Roman\",fontcolor=red,color=lightyellow,style=filled,layer=\"all\",color=orange];"),
              std::string::npos) << dot;
    EXPECT_NE(read_file(out + "/build.svg").find("</svg>"), std::string::npos);

    // The printed commands run and show the change.
    const RunResult env = run_program({bin_path("envdiff"), out + "/envdiff-7113.txt", "7113", "8113"});
    ASSERT_EQ(env.exit_code, 0) << env.out;
    EXPECT_NE(read_file(out + "/envdiff-7113.txt").find("2< 2 CFLAGS=-O2 -Wextra"), std::string::npos);
    const RunResult rule = run_program({bin_path("rulediff"), out + "/rulediff-7122.txt", "7122", "8122"});
    ASSERT_EQ(rule.exit_code, 0) << rule.out;
    EXPECT_NE(read_file(out + "/rulediff-7122.txt").find("$(CC) -o $@ $^ -lm"), std::string::npos);
}

TEST_F(Exports, BadLabelsEndWithAMessageAndDestroyNothing)
{
    const std::string kept = dir.file("kept.rsf");
    write_file(kept, "earlier\n");
    const struct {
        int (*command)(const Args &);
        Args args;
        std::string message;
    } cases[] = {
        {cmd_rsf, {"nosuch", "-o", kept}, "no build is recorded under the label 'nosuch'"},
        {cmd_rsf, {"cmp-a", "cmp-a", "-o", kept}, "the two labels are the same ('cmp-a')"},
        {cmd_rsf, {"cmp-empty", "-o", kept}, "the build 'cmp-empty' has no file instances recorded"},
        {cmd_changes, {"cmp-a", "cmp-far", "-o", kept}, "have nothing in common"},
        {cmd_changes, {"cmp-a", "nosuch", "-o", kept}, "no build is recorded under the label 'nosuch'"},
        {cmd_compare, {"cmp-far", "cmp-b", "-o", dir.file("far")}, "have nothing in common"},
        {cmd_compare, {"cmp-a", "cmp-empty", "-o", dir.file("empty")}, "no file instances recorded"},
        {cmd_compare, {"cmp-a", "cmp-b", "-o", "/proc/self/no-such-folder"}, "step 'output folder' failed: cannot create"},
    };
    for (const auto &c : cases) {
        const Ran r = run(c.command, c.args);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_EQ(read_file(kept), "earlier\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("far")));
    EXPECT_EQ(run(cmd_rsf, {}).status, 2);
    EXPECT_EQ(run(cmd_compare, {"cmp-a", "cmp-b", "--bogus"}).status, 2);
}

TEST_F(Exports, APictureThatCannotBeDrawnKeepsTheEarlierSteps)
{
    const struct {
        std::string what, script, message;
    } cases[] = {
        {"dot missing", "", "no picture: cannot start dot: No such file or directory; build.dot is kept"},
        {"dot failing", "echo 'dot: syntax error in line 1' >&2\nexit 3\n", "no picture: dot ended with status 3"},
        {"dot killed", "kill -KILL $$\n", "no picture: dot ended with status 137"},
        {"dot over its time", "exec /bin/sleep 30\n", "no picture: dot ran longer than 2 s and was stopped"},
        // Python stands in for a dot that needs more memory than allowed.
        {"dot over its memory", "exec /usr/bin/python3 -c 'bytearray(512 << 20)'\n", "no picture: dot ended with status 1"},
    };
    for (const auto &c : cases) {
        TempDir fake;
        std::string path = tools_path;
        if (!c.script.empty()) {
            write_file(fake.file("dot"), "#!/bin/sh\n" + c.script);
            std::filesystem::permissions(fake.file("dot"), std::filesystem::perms::owner_all);
            path += ":" + fake.path().string();
        }
        const std::string out = (dir.path() / c.what).string();
        const ScopedPath scoped(path);
        compare::Options options;
        options.label1 = "cmp-a";
        options.label2 = "cmp-b";
        options.dir = out;
        options.dot_seconds = c.what == "dot over its time" ? 2 : 60;
        options.dot_memory = 256ull << 20;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int status = compare::run(options);
        const std::string printed = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        // The comparison is whole without the picture.
        EXPECT_EQ(status, 0) << c.what;
        EXPECT_NE(err.find(c.message), std::string::npos) << c.what << ": " << err;
        // A step that takes longer than a second says so.
        if (c.what == "dot over its time") {
            EXPECT_NE(err.find("tracemake compare: dot took "), std::string::npos) << err;
        }
        EXPECT_NE(printed.find("files changed: 5"), std::string::npos) << c.what;
        EXPECT_EQ(printed.find("build.svg"), std::string::npos) << c.what;
        EXPECT_NE(read_file(out + "/build.dot").find("digraph G {"), std::string::npos) << c.what;
        EXPECT_NE(read_file(out + "/summary.txt").find("files changed: 5"), std::string::npos) << c.what;
        EXPECT_FALSE(std::filesystem::exists(out + "/build.svg")) << c.what;
    }
    EXPECT_NE(read_file((dir.path() / "dot failing" / "compare.log").string()).find("syntax error"), std::string::npos);
}

} // namespace

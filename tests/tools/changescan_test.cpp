// End-to-end tests of changescan against the test server.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "test_support.h"
#include "tool_queries.h"

using namespace testsupport;

namespace {

class Changescan : public testing::Test {
protected:
    TempDir dir;
    std::string list = dir.file("list.txt");
    std::string out = dir.file("out.rsf");

    RunResult scan(const std::string &content, const std::string &va = "old", const std::string &vb = "new")
    {
        write_file(list, content);
        return run_program({bin_path("changescan"), list, out, va, vb});
    }
};

TEST_F(Changescan, WritesEveryPairOfInstancesAndCountsRecords)
{
    const struct {
        std::string what, list, want_out, want_stdout;
    } cases[] = {
        {"worked example", "util.c\tsrc\tsrc\nmain.c\tsrc\tapp\n", "DIFF\t101\t201\nDIFF\t101\t202\n\n", "1\n2\n"},
        {"empty list", "", "\n", ""},
        {"white space only", " \n\t\r\n  \n", "\n", ""},
        {"record across lines", "util.c\n  src\n\nsrc", "DIFF\t101\t201\nDIFF\t101\t202\n\n", "1\n"},
        {"CRLF line ends", "util.c\tsrc\tsrc\r\n", "DIFF\t101\t201\nDIFF\t101\t202\n\n", "1\n"},
        {"two by three, first version outer", "pair.c lib lib\n",
         "DIFF\t111\t211\nDIFF\t111\t212\nDIFF\t111\t213\nDIFF\t112\t211\nDIFF\t112\t212\nDIFF\t112\t213\n\n", "1\n"},
        {"repeated record", "util.c src src\nutil.c src src\n",
         "DIFF\t101\t201\nDIFF\t101\t202\nDIFF\t101\t201\nDIFF\t101\t202\n\n", "1\n2\n"},
        {"no instance in either version", "none.c src src\n", "\n", "1\n"},
        {"quotes match exactly", "it's.c o'dir n'dir\n", "DIFF\t121\t221\n\n", "1\n"},
        {"quote-based injection matches nothing", "x'\tOR\t'a'='a\n", "\n", "1\n"},
        {"name longer than any buffer", std::string(3000, 'n') + ".c src src\n", "DIFF\t131\t231\n\n", "1\n"},
    };
    for (const auto &c : cases) {
        const RunResult r = scan(c.list);
        EXPECT_EQ(r.exit_code, 0) << c.what << "\n" << r.err;
        EXPECT_EQ(read_file(out), c.want_out) << c.what;
        EXPECT_EQ(r.out, c.want_stdout) << c.what;
    }
}

TEST_F(Changescan, VersionLabelWithQuote)
{
    const RunResult r = scan("q.c src src\n", "v'1", "new");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(read_file(out), "DIFF\t122\t222\n\n");
}

TEST_F(Changescan, StatementsInTheListChangeNothing)
{
    PgSession db;
    const std::string before = db.table_digest("ZTR_FILEINST");
    const RunResult r = scan("';DELETE\tFROM\tZTR_FILEINST;--\n", "old'; DROP TABLE ZTR_FILEINST; --", "new");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file(out), "\n");
    EXPECT_EQ(db.table_digest("ZTR_FILEINST"), before);
}

TEST_F(Changescan, PartialRecordAtTheEndIsReportedAndSkipped)
{
    const RunResult r = scan("util.c src src\npair.c lib\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(read_file(out), "DIFF\t101\t201\nDIFF\t101\t202\n\n");
    EXPECT_EQ(r.out, "1\n");
    EXPECT_NE(r.err.find("pair.c lib"), std::string::npos) << r.err;
}

TEST_F(Changescan, AListThatCannotBeReadIsNoSuccess)
{
    // A folder opens, but reading it fails.
    const RunResult r = run_program({bin_path("changescan"), dir.path().string(), out, "old", "new"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("can not read the list " + dir.path().string()), std::string::npos) << r.err;
}

TEST_F(Changescan, FailedQueryKeepsEarlierLinesAndShowsTheQuery)
{
    // The database is UTF-8: a name that is not valid UTF-8 makes the query fail.
    const RunResult r = scan("util.c src src\nbad\xff.c src src\npair.c lib lib\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "1\n");
    const std::string report = read_file(out);
    const std::string message = query_with(changescan_query, {"old", "bad\xff.c", "src"});
    const std::string head = "DIFF\t101\t201\nDIFF\t101\t202\n" + message + "\n\t";
    ASSERT_EQ(report.substr(0, head.size()), head) << report;
    EXPECT_NE(report.find("invalid byte sequence"), std::string::npos) << report;
    EXPECT_EQ(report.substr(report.size() - 2), "\n\n");
}

std::string counts(int n)
{
    std::string s;
    for (int i = 1; i <= n; ++i)
        s += std::to_string(i) + "\n";
    return s;
}

std::string repeat(const std::string &text, int n)
{
    std::string s;
    for (int i = 0; i < n; ++i)
        s += text;
    return s;
}

// Lists longer than the lookups kept in flight at once.
TEST_F(Changescan, LongListsKeepRecordOrder)
{
    const std::string pair = "DIFF\t101\t201\nDIFF\t101\t202\n", six = "DIFF\t111\t211\nDIFF\t111\t212\nDIFF\t111\t213\n"
                                                                     "DIFF\t112\t211\nDIFF\t112\t212\nDIFF\t112\t213\n";
    const RunResult r = scan(repeat("util.c src src\npair.c lib lib\nnone.c src src\n", 700));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file(out), repeat(pair + six, 700) + "\n");
    EXPECT_EQ(r.out, counts(2100));
}

TEST_F(Changescan, FailureDeepInALongListStopsThere)
{
    // Records after the failing one are already in flight; none of them may
    // show up in the output or in the count.
    const RunResult r = scan(repeat("util.c src src\n", 600) + "bad\xff.c src src\n" + repeat("pair.c lib lib\n", 600));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, counts(600));
    const std::string report = read_file(out);
    const std::string head = repeat("DIFF\t101\t201\nDIFF\t101\t202\n", 600) + "SELECT OID ";
    EXPECT_EQ(report.substr(0, head.size()), head);
    EXPECT_EQ(report.find("DIFF\t111"), std::string::npos);
}

TEST_F(Changescan, TooFewArgumentsDoNothing)
{
    write_file(list, "util.c src src\n");
    for (int extra = 0; extra <= 3; ++extra) {
        std::vector<std::string> argv = {bin_path("changescan")};
        const std::string args[] = {list, out, "old"};
        for (int i = 0; i < extra; ++i)
            argv.push_back(args[i]);
        const RunResult r = run_program(argv);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, "Environment Comparison: Do Not have ENOUGH params. \nDo nothing!\n");
        EXPECT_FALSE(std::filesystem::exists(out));
    }
}

TEST_F(Changescan, FilesThatCannotBeOpened)
{
    write_file(list, "util.c src src\n");
    const std::string link = dir.file("link.txt");
    std::filesystem::create_symlink(list, link);
    const struct {
        const char *what;
        std::string in, output;
    } cases[] = {
        {"missing list", dir.file("missing.txt"), out},
        {"output in a missing folder", list, dir.file("no/such/out.rsf")},
        {"output is the list", list, list},
        {"output is a link to the list", list, link},
    };
    for (const auto &c : cases) {
        const RunResult r = run_program({bin_path("changescan"), c.in, c.output, "old", "new"});
        EXPECT_EQ(r.exit_code, 1) << c.what;
        EXPECT_EQ(r.out, "Can not open file.\n") << c.what;
    }
    EXPECT_FALSE(std::filesystem::exists(out)) << "a missing list leaves the output untouched";
    EXPECT_EQ(read_file(list), "util.c src src\n");
}

} // namespace

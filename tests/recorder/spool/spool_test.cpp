#include "spool/spool.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

TEST(SpoolField, EscapesWhatWouldBreakALineAndRoundTrips)
{
    struct Case {
        std::string value, field;
    } cases[] = {
        {"plain", "plain"},
        {"a\tb", "a\\tb"},
        {"line1\nline2\r\n", "line1\\nline2\\r\\n"},
        {"C:\\dir\\", "C:\\\\dir\\\\"},
        {"\\n is not a newline", "\\\\n is not a newline"},
        {"", ""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(spool::escape_field(c.value), c.field) << c.value;
        EXPECT_EQ(spool::unescape_field(c.field), c.value) << c.field;
    }
}

TEST(SpoolRecord, FieldsSurviveAFileRoundTrip)
{
    testsupport::TempDir dir;
    std::vector<std::string> fields = {"all", "gcc -c 'a\tb.c'\necho \\done", ""};
    testsupport::write_file(dir.file("exec.tsv"), spool::join_record(fields) + spool::join_record({"x"}));
    auto records = spool::read_records(dir.path() / "exec.tsv");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], fields);
    EXPECT_EQ(records[1], std::vector<std::string>{"x"});

    spool::write_keys(dir.path() / "build.tsv", {{"label", "v1"}, {"command", "make\t-j2\nall"}});
    auto keys = spool::read_keys(dir.path() / "build.tsv");
    EXPECT_EQ(keys["label"], "v1");
    EXPECT_EQ(keys["command"], "make\t-j2\nall");
    EXPECT_TRUE(spool::read_keys(dir.path() / "missing.tsv").empty());
}

// A spool file that is missing reads as nothing; one that is there but
// cannot be read (here a folder in its place) is an error, never empty.
TEST(SpoolRecord, FileThatCannotBeReadIsAnError)
{
    testsupport::TempDir dir;
    testsupport::write_file(dir.file("empty.txt"), "");
    testsupport::write_file(dir.file("db.txt"), "text\n");
    std::filesystem::create_directory(dir.path() / "folder.tsv");
    EXPECT_TRUE(spool::read_records(dir.path() / "missing.tsv").empty());
    EXPECT_THROW(spool::read_records(dir.path() / "folder.tsv"), std::runtime_error);
    EXPECT_EQ(spool::read_spool_file(dir.path() / "db.txt"), "text\n");
    EXPECT_EQ(spool::read_spool_file(dir.path() / "empty.txt"), "");
    for (const char *name : {"folder.tsv", "missing.txt"})
        EXPECT_THROW(spool::read_spool_file(dir.path() / name), std::runtime_error) << name;
}

} // namespace

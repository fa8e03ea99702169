#include "spool/paths.h"
#include "spool/spool.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

TEST(SpoolRecord, FieldsSurviveAFileRoundTrip)
{
    testsupport::TempDir dir;
    std::vector<std::string> fields = {"all", "gcc -c 'a\tb.c'\necho \\done", ""};
    testsupport::write_file(dir.file("exec.tsv"), spool::join_record(fields) + spool::join_record({"x"}));
    auto records = spool::read_records(dir.path() / "exec.tsv");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], fields);
    EXPECT_EQ(records[1], std::vector<std::string>{"x"});
    // A last line without its newline still counts; an empty line is one empty field.
    testsupport::write_file(dir.file("cut.tsv"), "a\n\nb\tc");
    EXPECT_EQ(spool::read_records(dir.path() / "cut.tsv"),
              (std::vector<std::vector<std::string>>{{"a"}, {""}, {"b", "c"}}));

    spool::write_keys(dir.path() / "build.tsv", {{"label", "v1"}, {"command", "make\t-j2\nall"}});
    auto keys = spool::read_keys(dir.path() / "build.tsv");
    EXPECT_EQ(keys["label"], "v1");
    EXPECT_EQ(keys["command"], "make\t-j2\nall");
    EXPECT_TRUE(spool::read_keys(dir.path() / "missing.tsv").empty());
}

TEST(SpoolRecord, AFileThatCannotBeReadIsAnErrorNotNone)
{
    // A missing file is none (make was killed before it wrote its data
    // base); one that is there but cannot be read must not pass for empty.
    testsupport::TempDir dir;
    EXPECT_TRUE(spool::read_records(dir.path() / "missing.tsv").empty());
    std::filesystem::create_directory(dir.path() / "proc.tsv");
    EXPECT_THROW(spool::read_keys(dir.path() / "proc.tsv"), std::runtime_error);
    EXPECT_THROW(spool::read_records(dir.path() / "proc.tsv"), std::runtime_error);
    EXPECT_THROW(spool::write_keys(dir.path() / "proc.tsv", {{"label", "v1"}}), std::runtime_error);
}

} // namespace

TEST(InstanceLocation, AFileLiesInTheFolderOfItsNormalPath)
{
    const struct {
        std::string workdir, name, dir, base;
    } cases[] = {
        {"/p", "a.c", "/p", "a.c"},
        {"/p", "src/a.c", "/p/src", "a.c"},
        {"/p", "/usr/include/stdio.h", "/usr/include", "stdio.h"},
        {"/", "a.c", "/", "a.c"},
        {"/p", "/a.c", "/", "a.c"},
        {"/p", "sub/", "/p", "sub"},
        {"/p", "./a.c", "/p", "a.c"},
        {"/p/q", "../a.c", "/p", "a.c"},
        {"/p", "src//a.c", "/p/src", "a.c"},
        {"/p", "src/./a.c", "/p/src", "a.c"},
        {"/p/", "a.c", "/p", "a.c"},
        {"/p/./q", "a.c", "/p/q", "a.c"},
        {"/p", ".", "/p", ""},
        {"/p", "..a", "/p", "..a"},
        {"/p", ".hidden/.a", "/p/.hidden", ".a"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(spool::instance_location(c.workdir, c.name), (std::pair{c.dir, c.base}))
            << c.workdir << " + " << c.name;
}

TEST(NormalPath, StatusAndDigestPathsMeetInstancePathsInTheirNormalForm)
{
    const std::pair<std::string, std::string> cases[] = {
        {"/p/a.c", "/p/a.c"},         {"/p/./a.c", "/p/a.c"}, {"/p/q/../a.c", "/p/a.c"}, {"/p//a.c", "/p/a.c"},
        {"/p/sub/", "/p/sub"},        {"/", "/"},             {"/p/.hidden", "/p/.hidden"}, {"/p/..a", "/p/..a"},
    };
    for (const auto &[path, normal] : cases)
        EXPECT_EQ(spool::normal_path(path), normal) << path;
}

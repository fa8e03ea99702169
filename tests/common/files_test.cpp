#include "common/files.h"

#include <sys/stat.h>

#include <stdexcept>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;

TEST(Files, WholeContentRoundTrips)
{
    testsupport::TempDir dir;
    const fs::path file = dir.path() / "a";
    for (const std::string &content : {std::string(), std::string("line\n"), std::string("nul\0byte", 8),
                                       std::string(200000, 'x')}) {
        files::write(file, content);
        EXPECT_EQ(files::read(file), content);
        EXPECT_EQ(files::read_if_present(file), content);
        EXPECT_EQ(files::read_head(file, 5), content.substr(0, 5));
    }
}

TEST(Files, AReadErrorIsAnErrorAndOnlyAMissingFileIsNothing)
{
    testsupport::TempDir dir;
    EXPECT_EQ(files::read_if_present(dir.path() / "missing"), std::nullopt);
    EXPECT_EQ(testsupport::message_of([&] { files::read(dir.path() / "missing"); }), "cannot open " + dir.file("missing"));
    // A folder opens but does not read; /proc/self/mem has nothing mapped
    // at its start; a file cannot be a folder.
    testsupport::write_file(dir.file("plain"), "");
    struct Case {
        fs::path file;
        std::string message;
    } cases[] = {
        {dir.path(), "cannot read " + dir.path().string()},
        {"/proc/self/mem", "cannot read /proc/self/mem"},
        {dir.path() / "plain" / "below", "cannot open " + dir.file("plain") + "/below"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(testsupport::message_of([&] { files::read(c.file); }), c.message);
        EXPECT_EQ(testsupport::message_of([&] { files::read_if_present(c.file); }), c.message);
    }
}

TEST(Files, AFailedWriteIsAnError)
{
    testsupport::TempDir dir;
    EXPECT_EQ(testsupport::message_of([&] { files::write(dir.path(), "x"); }), "cannot write " + dir.path().string());
    EXPECT_EQ(testsupport::message_of([&] { files::write("/dev/full", "x"); }), "cannot write /dev/full");
}

TEST(Files, ReplaceSwapsTheWholeFileOrLeavesItAsItWas)
{
    testsupport::TempDir dir;
    const fs::path file = dir.path() / "keys.tsv";
    files::replace(file, "first\n");
    files::replace(file, "second\n");
    EXPECT_EQ(files::read(file), "second\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1) << "no FILE.new left";
    // A folder where the file should go: the rename fails, the folder stays, the temporary goes.
    const fs::path taken = dir.path() / "taken";
    fs::create_directory(taken);
    testsupport::write_file((taken / "inside").string(), "kept");
    EXPECT_THROW(files::replace(taken, "new"), std::runtime_error);
    EXPECT_EQ(files::read(taken / "inside"), "kept");
    EXPECT_FALSE(fs::exists(dir.path() / "taken.new"));
    EXPECT_THROW(files::replace(dir.path() / "missing" / "file", "x"), std::runtime_error);
}

TEST(Files, ATempDirIsPrivateAndGoesWithItsContent)
{
    fs::path made;
    {
        files::TempDir dir("daver-files-test-");
        made = dir.path();
        EXPECT_TRUE(made.filename().string().starts_with("daver-files-test-")) << made;
        EXPECT_EQ(fs::status(made).permissions(), fs::perms::owner_all);
        fs::create_directories(made / "a" / "b");
        files::write(made / "a" / "b" / "c", "x");
    }
    EXPECT_FALSE(fs::exists(made));
}

} // namespace

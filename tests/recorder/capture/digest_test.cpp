// The digests of a make process's files, and the cache through which the
// make processes of one build hash each file content once: what a later
// process takes from it, and what it must not.
#include "capture/digest.h"

#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "spool/spool.h"
#include "test_support.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// SHA-256 of "hello\n", "HELLO\n" and "other\n".
const std::string hello = "5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03";
const std::string upper_hello = "3b09aeb6f5f5336beb205d7f720371bc927cd46c21922e334d47ba264acb5ba4";
const std::string other = "7e4fa2eb8c7ac089739d5defc4489fad68a100d92082ca35c6b40a4524821f87";

makedb::File file_named(const std::string &name)
{
    makedb::File file;
    file.name = name;
    return file;
}

class DigestCache : public testing::Test {
protected:
    DigestCache()
    {
        write_file(project_.file("a.h"), "hello\n");
        write_file(project_.file("b.h"), "other\n");
        db_.files.push_back(file_named("a.h"));
        db_.files.push_back(file_named("b.h"));
        db_.files.push_back(file_named("gone.h"));
    }
    /// The digests that the next make process of the build writes, by path.
    std::map<std::string, std::string> digests()
    {
        const fs::path proc = spool_.path() / std::to_string(++procs_);
        fs::create_directories(proc);
        digest::write_digests(proc, db_, {{"startdir", project_.path().string()}, {"cmdline", "make"}}, cache());
        std::map<std::string, std::string> result;
        for (const auto &record : spool::read_records(proc / spool::digest_file))
            result[record.at(0)] = record.at(1);
        return result;
    }
    fs::path cache() const { return spool_.path() / spool::digest_cache_file; }
    std::string path(const std::string &name) const { return project_.file(name); }
    std::size_t cached() const
    {
        return fs::exists(cache()) ? spool::read_records(cache()).size() : 0;
    }

    TempDir project_, spool_;
    makedb::Database db_;
    int procs_ = 0;
};

TEST_F(DigestCache, EachContentIsHashedOnceAndAChangeIsSeen)
{
    // Files changed within the last seconds are hashed each time: the file
    // system's times may not tell their next change apart.
    const std::map<std::string, std::string> expected = {{path("a.h"), hello}, {path("b.h"), other}};
    EXPECT_EQ(digests(), expected);
    EXPECT_EQ(cached(), 0u);
    sleep(3);
    EXPECT_EQ(digests(), expected);
    ASSERT_EQ(cached(), 2u);

    // A later process takes a digest from the cache without reading the
    // file: a cache entry made wrong by hand shows through.
    std::string text = read_file(cache().string());
    const std::string forged(64, 'f');
    text.replace(text.find(hello), hello.size(), forged);
    write_file(cache().string(), text);
    EXPECT_EQ(digests().at(path("a.h")), forged);

    // A new content (of the same size) is a new key: hashed again.
    write_file(path("a.h"), "HELLO\n");
    const auto changed = digests();
    EXPECT_EQ(changed.at(path("a.h")), upper_hello);
    EXPECT_EQ(changed.at(path("b.h")), other);

    // A line that an append has not finished is passed over, and what
    // follows it does no harm.
    std::ofstream(cache(), std::ios::app) << "1:2:3\t" << hello.substr(0, 20);
    EXPECT_EQ(digests().at(path("b.h")), other);
    EXPECT_EQ(digests().at(path("b.h")), other);
}

TEST(Digests, WithoutACacheEveryFileIsRead)
{
    TempDir project, proc;
    write_file(project.file("a.h"), "hello\n");
    makedb::Database db;
    db.files.push_back(file_named("a.h"));
    db.files.push_back(file_named("sub/../a.h"));
    db.files.push_back(file_named("."));
    digest::write_digests(proc.path(), db, {{"startdir", project.path().string()}});
    // Each line: the path, its digest and its modification time.
    const auto records = spool::read_records(proc.path() / spool::digest_file);
    ASSERT_EQ(records.size(), 1u);
    ASSERT_EQ(records[0].size(), 3u);
    EXPECT_EQ(records[0][0], project.file("a.h"));
    EXPECT_EQ(records[0][1], hello);
    EXPECT_FALSE(fs::exists(proc.path() / spool::digest_cache_file));
}

} // namespace

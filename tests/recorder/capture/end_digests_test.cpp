// The digests that make's library takes when make ends, and the table
// through which the make processes of one build read each content once:
// what a later process takes from it, and what it must not.
#include "capture/end_digests.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include <gtest/gtest.h>

#include "capture/capture_env.h"
#include "test_support.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// SHA-256 of "hello\n" and "HELLO\n".
const std::string hello = "5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03";
const std::string upper_hello = "3b09aeb6f5f5336beb205d7f720371bc927cd46c21922e334d47ba264acb5ba4";

/// The digest that a new make process of the build (a child, so that it
/// maps the table anew as each make does) gives `path`; "none" when it gives none.
std::string digest_in_child(const std::string &spool, const std::string &path)
{
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0)
        return "pipe failed";
    const pid_t child = fork();
    if (child == 0) {
        close(pipe_ends[0]);
        struct stat status {};
        char hex[end_digests::hex_length + 1] = "none";
        if (stat(path.c_str(), &status) == 0)
            end_digests::digest(spool.empty() ? nullptr : spool.c_str(), path.c_str(), status, hex);
        ssize_t ignored = write(pipe_ends[1], hex, std::strlen(hex));
        (void)ignored;
        _exit(0);
    }
    close(pipe_ends[1]);
    std::string result;
    char buffer[128];
    for (ssize_t got; (got = read(pipe_ends[0], buffer, sizeof buffer)) > 0;)
        result.append(buffer, static_cast<std::size_t>(got));
    close(pipe_ends[0]);
    waitpid(child, nullptr, 0);
    return result;
}

TEST(EndDigests, EachContentIsReadOnceAndAChangeIsSeen)
{
    TempDir spool, project;
    const std::string a = project.file("a.h"), dir = project.path().string();
    write_file(a, "hello\n");
    ASSERT_TRUE(end_digests::create_table(spool.path().c_str()));
    const fs::path table = spool.path() / capture::digest_table_file;
    ASSERT_EQ(fs::file_size(table), end_digests::table_bytes());
    // A second table is not made over the first.
    EXPECT_FALSE(end_digests::create_table(spool.path().c_str()));

    std::string raw;
    for (std::size_t i = 0; i < hello.size(); i += 2)
        raw += static_cast<char>(std::stoi(hello.substr(i, 2), nullptr, 16));

    // Files changed within the last seconds are read each time and not
    // kept: the file system's times may not tell their next change apart.
    EXPECT_EQ(digest_in_child(spool.path(), a), hello);
    EXPECT_EQ(read_file(table.string()).find(raw), std::string::npos);
    sleep(3);
    EXPECT_EQ(digest_in_child(spool.path(), a), hello);

    // A later process takes the digest from the table without reading the
    // file: an entry forged by hand shows through.
    std::string bytes = read_file(table.string());
    const std::size_t at = bytes.find(raw);
    ASSERT_NE(at, std::string::npos) << "the content is not in the table";
    bytes.replace(at, raw.size(), std::string(raw.size(), '\xff'));
    write_file(table.string(), bytes);
    EXPECT_EQ(digest_in_child(spool.path(), a), std::string(64, 'f'));

    // A new content of the same size is a new key: read again.
    write_file(a, "HELLO\n");
    EXPECT_EQ(digest_in_child(spool.path(), a), upper_hello);
}

TEST(EndDigests, WithoutATableEveryFileIsReadAndOnlyRegularFilesHaveOne)
{
    TempDir spool, project;
    write_file(project.file("a.h"), "hello\n");
    const struct Case {
        const char *what;
        std::string spool, path, expected;
    } cases[] = {
        {"a spool without a table", spool.path().string(), project.file("a.h"), hello},
        {"no spool", "", project.file("a.h"), hello},
        {"a folder", spool.path().string(), project.path().string(), "none"},
        {"no file", spool.path().string(), project.file("gone.h"), "none"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(digest_in_child(c.spool, c.path), c.expected) << c.what;
    EXPECT_FALSE(fs::exists(spool.path() / capture::digest_table_file));
}

TEST(EndDigests, AFullTableOnlyCostsTheReading)
{
    // Every slot near the keys taken: digests are still right, only not kept.
    TempDir spool, project;
    ASSERT_TRUE(end_digests::create_table(spool.path().c_str()));
    const fs::path table = spool.path() / capture::digest_table_file;
    {
        std::fstream out(table, std::ios::in | std::ios::out | std::ios::binary);
        const std::string busy(end_digests::table_bytes(), '\x01');
        out.write(busy.data(), static_cast<std::streamsize>(busy.size()));
    }
    write_file(project.file("a.h"), "hello\n");
    sleep(3);
    EXPECT_EQ(digest_in_child(spool.path(), project.file("a.h")), hello);
    EXPECT_EQ(read_file(table.string()), std::string(end_digests::table_bytes(), '\x01'));
}

} // namespace

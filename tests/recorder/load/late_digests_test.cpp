// The digests that the loader takes itself.
#include "load/late_digests.h"

#include <gtest/gtest.h>

#include "test_support.h"

using namespace testsupport;

namespace {

// SHA-256 of "hello\n".
const std::string hello = "5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03";

TEST(LateDigests, OnlyAFileUnchangedSinceItsMakeEndedHasOne)
{
    TempDir project;
    write_file(project.file("a.h"), "hello\n");
    const struct Case {
        const char *what;
        std::string path, end;
        bool has;
    } cases[] = {
        {"unchanged since", project.file("a.h"), "4102444800.000001", true},
        {"changed after its make ended", project.file("a.h"), "1765136183.4", false},
        {"an end the spool does not say", project.file("a.h"), "", false},
        {"a folder", project.path().string(), "4102444800", false},
        {"no such file", project.file("gone.h"), "4102444800", false},
    };
    late_digests::Cache cache;
    for (const Case &c : cases) {
        const auto digest = cache.digest(c.path, c.end);
        ASSERT_EQ(digest.has_value(), c.has) << c.what;
        if (digest) {
            EXPECT_EQ(digest->hex, hello) << c.what;
            EXPECT_EQ(digest->mtime.size(), std::string("1765136182.123456789").size()) << c.what;
        }
    }
}

} // namespace

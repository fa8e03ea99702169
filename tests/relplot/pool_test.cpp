// Unit tests of the bump allocator behind the graph's records.
#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "pool.h"

namespace {

TEST(Pool, HandsOutAlignedSeparateStorageAcrossBlocks)
{
    Pool pool;
    std::vector<std::pair<unsigned char *, std::size_t>> taken;
    // About 6 MB in odd sizes: several blocks.
    for (std::size_t i = 0; i < 60000; ++i) {
        const std::size_t size = 1 + (i * 37) % 200;
        auto *block = static_cast<unsigned char *>(pool.take(size));
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(block) % 8, 0u);
        std::memset(block, static_cast<int>(i & 0xff), size);
        taken.emplace_back(block, size);
    }
    for (std::size_t i = 0; i < taken.size(); ++i) {
        const auto [block, size] = taken[i];
        for (std::size_t b = 0; b < size; ++b)
            ASSERT_EQ(block[b], i & 0xff) << "record " << i << " was overwritten";
    }
    pool.release();
    EXPECT_NE(pool.take(16), nullptr); // usable again
}

TEST(Pool, CopiesTextWholeOrAsFarAsALength)
{
    Pool pool;
    const char text[] = {'a', 'b', 'c', 'd', 'e', 'f'}; // no NUL of its own
    const struct {
        std::size_t length;
        const char *want;
    } cases[] = {{0, ""}, {3, "abc"}, {6, "abcdef"}};
    for (const auto &c : cases) {
        const char *copy = pool.copy(text, c.length);
        EXPECT_STREQ(copy, c.want);
        EXPECT_NE(copy, text);
    }
}

TEST(Pool, GivesBackOnlyTheLatestRecord)
{
    Pool pool;
    auto *first = static_cast<char *>(pool.take(24));
    auto *second = static_cast<char *>(pool.take(10)); // rounded to 16
    EXPECT_EQ(second, first + 24);
    pool.give_back(first, 24); // not the latest: stays
    EXPECT_EQ(pool.take(8), second + 16);
    pool.give_back(second + 16, 8);
    pool.give_back(second, 10);
    EXPECT_EQ(pool.take(8), second); // the space is reused
    pool.give_back(second, 8);
    pool.give_back(first, 24); // now it is the latest
    EXPECT_EQ(pool.take(8), first);
}

TEST(Pool, RecordsLargerThanTheNextBlockStillFit)
{
    // Blocks start small and grow; a record of any size below the large-record
    // threshold gets a block that holds it, also right after a release.
    Pool pool;
    for (int round = 0; round < 2; ++round) {
        for (const std::size_t size : {std::size_t{8}, std::size_t{100} << 10, std::size_t{200} << 10, std::size_t{8}}) {
            auto *block = static_cast<char *>(pool.take(size));
            std::memset(block, 'x', size);
        }
        pool.release();
    }
}

TEST(Pool, LargeRecordsLeaveTheCurrentBlockInUse)
{
    Pool pool;
    auto *small = static_cast<char *>(pool.take(8));
    auto *large = static_cast<char *>(pool.take(3 << 20));
    std::memset(large, 'x', 3 << 20);
    auto *next = static_cast<char *>(pool.take(8));
    EXPECT_EQ(next, small + 8);
}

} // namespace

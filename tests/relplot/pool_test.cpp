// Unit tests of the bump allocator behind the graph's records.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
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
    EXPECT_EQ(pool.used(), 0u);
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
    const char *whole = pool.copy("x.c");
    EXPECT_STREQ(whole, "x.c");
}

TEST(Pool, PacksRecordsAlignedToOneByte)
{
    Pool pool(1);
    char *first = pool.copy("abc");   // 4 bytes
    char *second = pool.copy("de", 2); // 3 bytes, right behind
    EXPECT_EQ(second, first + 4);
    EXPECT_EQ(pool.used(), 7u);
    pool.give_back(second, 3);
    EXPECT_EQ(pool.used(), 4u);
    EXPECT_EQ(pool.copy("xyz", 1), first + 4); // the space is taken again
    EXPECT_STREQ(first, "abc");
}

TEST(Pool, GivesBackOnlyTheLatestRecord)
{
    Pool pool;
    void *first = pool.take(24);
    void *second = pool.take(10); // rounded to 16
    EXPECT_EQ(pool.used(), 40u);
    pool.give_back(first, 24); // not the latest: stays
    EXPECT_EQ(pool.used(), 40u);
    pool.give_back(second, 10);
    EXPECT_EQ(pool.used(), 24u);
    pool.give_back(first, 24); // now it is
    EXPECT_EQ(pool.used(), 0u);
    EXPECT_EQ(pool.take(8), first); // the space is reused
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
        EXPECT_EQ(pool.used(), 8u + (100u << 10) + (200u << 10) + 8u);
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
    EXPECT_STREQ(pool.copy("text"), "text");
}

TEST(Pool, TakesTheReadyBlockOnceItNeedsAFullOne)
{
    Pool pool;
    std::thread([&pool] { pool.prepare_block(); }).join();
    ASSERT_TRUE(pool.has_ready_block());
    std::thread([&pool] { pool.prepare_block(); }).join(); // one is ready already: no second one
    // The first blocks are smaller than a full one, so the ready block waits
    // until the pool has grown (after about a megabyte of them), then serves
    // like any other.
    std::vector<unsigned char *> taken;
    while (pool.has_ready_block()) {
        ASSERT_LT(taken.size(), std::size_t{1} << 16) << "the ready block is never taken";
        auto *record = static_cast<unsigned char *>(pool.take(64));
        std::memset(record, static_cast<int>(taken.size() & 0xff), 64);
        taken.push_back(record);
    }
    EXPECT_GT(taken.size() * 64, std::size_t{1000} << 10);
    for (int i = 0; i < (1 << 14); ++i) { // the rest of the ready block and beyond
        auto *record = static_cast<unsigned char *>(pool.take(64));
        std::memset(record, static_cast<int>(taken.size() & 0xff), 64);
        taken.push_back(record);
    }
    for (std::size_t i = 0; i < taken.size(); ++i) {
        for (int b = 0; b < 64; ++b)
            ASSERT_EQ(taken[i][b], i & 0xff) << "record " << i << " was overwritten";
    }
    // A block made ready and never taken goes with the rest (the leak
    // checkers of the sanitizer and valgrind runs would report it).
    pool.prepare_block();
    pool.release();
    EXPECT_FALSE(pool.has_ready_block());
}

// Records taken on one thread while another makes blocks ready, as the
// reading thread does for the main thread during a conversion.
TEST(Pool, TakesBlocksMadeReadyOnAnotherThread)
{
    Pool pool;
    std::atomic<bool> done{false};
    std::thread helper([&] {
        while (!done.load())
            pool.prepare_block();
    });
    std::vector<std::pair<std::uint32_t *, std::uint32_t>> taken;
    for (std::uint32_t i = 0; i < 300000; ++i) { // about 14 MB
        auto *record = static_cast<std::uint32_t *>(pool.take(48));
        for (int w = 0; w < 12; ++w)
            record[w] = i;
        taken.emplace_back(record, i);
    }
    done = true;
    helper.join();
    for (const auto &[record, value] : taken) {
        for (int w = 0; w < 12; ++w)
            ASSERT_EQ(record[w], value) << "record " << value << " was overwritten";
    }
}

} // namespace

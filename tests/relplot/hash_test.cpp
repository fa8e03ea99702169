// Unit tests of the open-addressing hash table: rounding, counters,
// deleted slots, rebuilds, growth, traversal and clearing.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hash.h"

namespace {

// An item whose hashes the test chooses, so that probe paths are known.
struct Item {
    unsigned long h1;
    unsigned long h2;
    int key;
};

unsigned long item_h1(void const *x) { return static_cast<const Item *>(x)->h1; }
unsigned long item_h2(void const *x) { return static_cast<const Item *>(x)->h2; }
int item_cmp(void const *x, void const *y)
{
    return static_cast<const Item *>(x)->key - static_cast<const Item *>(y)->key;
}
int item_ptr_cmp(void const *x, void const *y)
{
    return item_cmp(*static_cast<void *const *>(x), *static_cast<void *const *>(y));
}

// Items spread over the table by their key.
Item spread_item(int key)
{
    const auto k = static_cast<unsigned long>(key);
    return {k * 2654435761UL, k * 40503UL + 7, key};
}

std::string stats(hash_table *ht)
{
    char *text = nullptr;
    std::size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    hash_print_stats(ht, out);
    std::fclose(out);
    std::string line(text, size);
    std::free(text);
    return line;
}

unsigned long deleted_slots(const hash_table &ht)
{
    return ht.ht_size - ht.ht_fill - ht.ht_empty_slots;
}

class HashTable : public testing::Test {
protected:
    hash_table ht{};
    void TearDown() override
    {
        if (ht.ht_vec != nullptr)
            hash_free(&ht, 0);
    }
    void init(unsigned long size) { hash_init(&ht, size, item_h1, item_h2, item_cmp); }
};

TEST(RoundUp2, SmallestPowerOfTwoAbove)
{
    const struct {
        std::uint32_t n, want;
    } cases[] = {{0, 1}, {1, 2}, {7, 8}, {8, 16}, {500, 512}, {512, 1024}, {0x7fffffff, 0x80000000}};
    for (const auto &c : cases)
        EXPECT_EQ(round_up_2(c.n), c.want) << c.n;
}

TEST_F(HashTable, FreshTableSizesAndStatistics)
{
    init(500);
    EXPECT_EQ(ht.ht_size, 512u);
    EXPECT_EQ(ht.ht_capacity, 480u);
    EXPECT_EQ(ht.ht_empty_slots, 512u);
    EXPECT_EQ(stats(&ht), "Load=0/512=0%, Rehash=0, Collisions=0/0=0%");
}

TEST_F(HashTable, StatisticsLineRoundsPercentages)
{
    init(500);
    ht.ht_fill = 481;
    ht.ht_size = 1024;
    ht.ht_rehashes = 1;
    ht.ht_collisions = 40;
    ht.ht_lookups = 1000;
    EXPECT_EQ(stats(&ht), "Load=481/1024=47%, Rehash=1, Collisions=40/1000=4%");
    ht.ht_size = 512;
}

TEST_F(HashTable, SmallWantedSizesGetATableThatGrows)
{
    for (unsigned long wanted : {0UL, 1UL, 7UL}) {
        init(wanted);
        ASSERT_EQ(ht.ht_size, 16u) << wanted; // a smaller table would never end a search once full
        std::vector<Item> items;
        for (int i = 0; i < 100; ++i)
            items.push_back(spread_item(i));
        for (auto &item : items)
            EXPECT_EQ(hash_insert(&ht, &item), nullptr);
        for (auto &item : items) {
            Item key = item;
            EXPECT_EQ(hash_find_item(&ht, &key), &item);
        }
        Item absent = spread_item(1000);
        EXPECT_EQ(hash_find_item(&ht, &absent), nullptr);
        EXPECT_GE(ht.ht_empty_slots, 1u);
        hash_free(&ht, 0);
    }
}

TEST_F(HashTable, DeletedSlotsAreReusedAndSkipped)
{
    init(500);
    // a, b and c share their first slot and their step: b sits one step
    // behind a, c would come one step behind b.
    Item a{5, 3, 1}, b{5, 3, 2}, c{5, 3, 3};
    hash_insert(&ht, &a);
    void **b_slot = hash_insert_at(&ht, &b, hash_find_slot(&ht, &b));
    void **a_slot = hash_find_slot(&ht, &a);
    EXPECT_EQ(a_slot, &ht.ht_vec[5]);
    EXPECT_EQ(b_slot, &ht.ht_vec[8]);

    // Deleting marks the slot; it is no longer empty.
    EXPECT_EQ(hash_delete(&ht, &a), &a);
    EXPECT_EQ(ht.ht_fill, 1u);
    EXPECT_EQ(ht.ht_empty_slots, 510u);
    EXPECT_EQ(deleted_slots(ht), 1u);

    // A search past the deleted slot still finds b.
    EXPECT_EQ(hash_find_slot(&ht, &b), b_slot);
    // An absent key yields the deleted slot, not the empty one that ended the search.
    EXPECT_EQ(hash_find_slot(&ht, &c), a_slot);

    // Inserting there raises the fill, not the empty count.
    hash_insert(&ht, &c);
    EXPECT_EQ(*a_slot, &c);
    EXPECT_EQ(ht.ht_fill, 2u);
    EXPECT_EQ(ht.ht_empty_slots, 510u);
    // Inserting into an empty slot changes both.
    Item d{9, 3, 4};
    hash_insert(&ht, &d);
    EXPECT_EQ(ht.ht_fill, 3u);
    EXPECT_EQ(ht.ht_empty_slots, 509u);
}

TEST_F(HashTable, LookupsAndCollisionsAreCounted)
{
    init(500);
    Item a{5, 3, 1}, b{5, 3, 2}, absent{5, 3, 3};
    hash_insert(&ht, &a);
    hash_insert(&ht, &b); // passes a
    EXPECT_EQ(ht.ht_lookups, 2u);
    EXPECT_EQ(ht.ht_collisions, 1u);

    // Deleting an absent item returns null and changes only the search figures.
    EXPECT_EQ(hash_delete(&ht, &absent), nullptr);
    EXPECT_EQ(ht.ht_lookups, 3u);
    EXPECT_EQ(ht.ht_collisions, 3u);
    EXPECT_EQ(ht.ht_fill, 2u);
    EXPECT_EQ(ht.ht_empty_slots, 510u);
    EXPECT_EQ(hash_delete_at(&ht, hash_find_slot(&ht, &absent)), nullptr);
    EXPECT_EQ(ht.ht_fill, 2u);

    // A key shaped like b finds b by comparison, past a.
    Item key_b = b;
    EXPECT_EQ(hash_find_item(&ht, &key_b), &b);
    EXPECT_EQ(ht.ht_collisions, 6u);
}

TEST_F(HashTable, InsertingAnEqualItemReplacesIt)
{
    init(500);
    Item first = spread_item(7), second = spread_item(7);
    EXPECT_EQ(hash_insert(&ht, &first), nullptr);
    EXPECT_EQ(hash_insert(&ht, &second), &first);
    EXPECT_EQ(ht.ht_fill, 1u);
    EXPECT_EQ(hash_find_item(&ht, &first), &second);
}

TEST_F(HashTable, GrowsAtCapacityPlusOne)
{
    init(500);
    std::vector<Item> items;
    for (int i = 0; i < 961; ++i)
        items.push_back(spread_item(i));
    for (int i = 0; i < 480; ++i)
        hash_insert(&ht, &items[i]);
    EXPECT_EQ(ht.ht_size, 512u);
    EXPECT_EQ(ht.ht_rehashes, 0u);

    // The 481st insertion leaves 31 empty slots: the vector doubles, and the
    // rebuild searches once for every item it places, plus the final search.
    const unsigned long lookups = ht.ht_lookups;
    hash_insert(&ht, &items[480]);
    EXPECT_EQ(ht.ht_size, 1024u);
    EXPECT_EQ(ht.ht_capacity, 960u);
    EXPECT_EQ(ht.ht_empty_slots, 543u);
    EXPECT_EQ(ht.ht_rehashes, 1u);
    EXPECT_EQ(ht.ht_lookups, lookups + 1 + 481 + 1);

    for (int i = 481; i < 960; ++i)
        hash_insert(&ht, &items[i]);
    EXPECT_EQ(ht.ht_size, 1024u);
    hash_insert(&ht, &items[960]);
    EXPECT_EQ(ht.ht_size, 2048u);
    EXPECT_EQ(ht.ht_rehashes, 2u);
    for (auto &item : items)
        EXPECT_EQ(hash_find_item(&ht, &item), &item);
}

TEST_F(HashTable, RebuildsAtTheSameSizeWhenDeletionsUseUpEmptySlots)
{
    init(8); // 16 slots, capacity 15: rebuilt when no empty slot is left
    std::vector<Item> items;
    for (int i = 0; i < 64; ++i)
        items.push_back({static_cast<unsigned long>(i), 1, i});
    // Keep at most four live items while new keys walk over every slot.
    unsigned rebuilds_seen = 0;
    for (int i = 0; i < 64; ++i) {
        hash_insert(&ht, &items[i]);
        if (i >= 4) {
            EXPECT_EQ(hash_delete(&ht, &items[i - 4]), &items[i - 4]);
        }
        EXPECT_EQ(ht.ht_size, 16u);
        EXPECT_EQ(ht.ht_fill + deleted_slots(ht) + ht.ht_empty_slots, ht.ht_size);
        if (ht.ht_rehashes > rebuilds_seen) {
            rebuilds_seen = ht.ht_rehashes;
            EXPECT_EQ(deleted_slots(ht), i >= 4 ? 1u : 0u) << i; // only the one just deleted
        }
    }
    EXPECT_GE(ht.ht_rehashes, 3u);
    for (int i = 60; i < 64; ++i)
        EXPECT_EQ(hash_find_item(&ht, &items[i]), &items[i]);
}

TEST_F(HashTable, DumpGivesSlotOrderOrSortedItems)
{
    init(500);
    void **empty = hash_dump(&ht, nullptr, nullptr);
    EXPECT_EQ(empty[0], nullptr);
    std::free(empty);

    Item items[] = {{9, 1, 30}, {2, 1, 10}, {5, 1, 20}, {400, 1, 5}};
    for (auto &item : items)
        hash_insert(&ht, &item);
    void *own[5];
    EXPECT_EQ(hash_dump(&ht, own, nullptr), own);
    const std::vector<void *> slot_order(own, own + 5);
    EXPECT_EQ(slot_order, (std::vector<void *>{&items[1], &items[2], &items[0], &items[3], nullptr}));

    void **sorted = hash_dump(&ht, nullptr, item_ptr_cmp);
    const std::vector<void *> key_order(sorted, sorted + 5);
    EXPECT_EQ(key_order, (std::vector<void *>{&items[3], &items[1], &items[2], &items[0], nullptr}));
    std::free(sorted);
}

TEST_F(HashTable, MapAndLoadVisitEveryItemInSlotOrder)
{
    init(500);
    Item table[] = {{3, 1, 1}, {1, 1, 2}, {2, 1, 3}, {3, 1, 1}};
    hash_load(&ht, table, 4, sizeof(Item));
    EXPECT_EQ(ht.ht_fill, 3u);
    EXPECT_EQ(hash_find_item(&ht, &table[0]), &table[3]); // the later equal item replaced it

    std::vector<int> keys;
    hash_map_arg(
        &ht, [](void *item, void *arg) { static_cast<std::vector<int> *>(arg)->push_back(static_cast<Item *>(item)->key); },
        &keys);
    EXPECT_EQ(keys, (std::vector<int>{2, 3, 1}));

    static int visits;
    visits = 0;
    hash_map(&ht, [](void *) { ++visits; });
    EXPECT_EQ(visits, 3);
}

TEST_F(HashTable, FreeItemsKeepsStatisticsAndDeleteItemsResetsThem)
{
    init(500);
    for (int round = 0; round < 2; ++round) {
        std::vector<Item *> owned;
        for (int i = 0; i < 3; ++i) {
            auto *item = static_cast<Item *>(std::malloc(sizeof(Item)));
            *item = spread_item(i);
            owned.push_back(item);
            hash_insert(&ht, item);
        }
        hash_delete(&ht, owned[2]);
        ASSERT_GT(ht.ht_lookups, 0u);
        const unsigned long lookups = ht.ht_lookups;
        if (round == 0) {
            std::free(owned[2]);
            hash_free_items(&ht); // releases the two live items
            EXPECT_EQ(ht.ht_lookups, lookups);
        } else {
            hash_delete_items(&ht);
            EXPECT_EQ(ht.ht_lookups, 0u);
            EXPECT_EQ(ht.ht_collisions, 0u);
            EXPECT_EQ(ht.ht_rehashes, 0u);
            for (Item *item : owned)
                std::free(item); // still the caller's
        }
        EXPECT_EQ(ht.ht_fill, 0u);
        EXPECT_EQ(ht.ht_empty_slots, ht.ht_size);
        for (unsigned long i = 0; i < ht.ht_size; ++i)
            EXPECT_EQ(ht.ht_vec[i], nullptr);
    }
}

TEST_F(HashTable, FreeReleasesTheVectorAndKeepsTheFigures)
{
    init(500);
    Item a = spread_item(1);
    hash_insert(&ht, &a);
    hash_free(&ht, 0);
    EXPECT_EQ(ht.ht_vec, nullptr);
    EXPECT_EQ(ht.ht_capacity, 0u);
    EXPECT_EQ(ht.ht_size, 512u);
    EXPECT_EQ(ht.ht_fill, 0u);
    EXPECT_EQ(ht.ht_lookups, 1u);
}

TEST(HashTableDeath, UnallocatableVectorEndsWithStatusOne)
{
    hash_table ht{};
    EXPECT_EXIT(hash_init(&ht, 1UL << 31, item_h1, item_h2, item_cmp), testing::ExitedWithCode(1),
                "^can't allocate 34359738368 bytes for hash table: memory exhausted$");
}

} // namespace

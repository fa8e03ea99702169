// The open-addressing hash table: slot search, insertion with growth,
// deletion by marker, clearing, traversal and statistics.
#include "hash.h"

#include <libintl.h>

#include <cstdlib>
#include <cstring>
#include <new>

void *hash_deleted_item = &hash_deleted_item;

namespace {

// The largest slot count round_up_2 can give in 32 bits.
constexpr unsigned long hash_max_size = 0x80000000UL;

// A vector of `size` null slots, released by hash_free_vector; exhaustion
// ends the process with status 1.
void **hash_alloc_vector(unsigned long size)
{
    void **vec = size <= hash_max_size ? new (std::nothrow) void *[size] : nullptr;
    if (vec == nullptr) {
        std::fprintf(stderr, gettext("can't allocate %ld bytes for hash table: memory exhausted"),
                     static_cast<long>(size * sizeof(void *)));
        std::exit(1);
    }
    std::memset(vec, 0, size * sizeof(void *));
    return vec;
}

void hash_free_vector(void **vec)
{
    delete[] vec;
}

void hash_set_capacity(hash_table *ht)
{
    ht->ht_capacity = ht->ht_size - ht->ht_size / 16;
}

// Rebuilds the vector, doubling it when the live items reach the capacity;
// otherwise it only drops the deleted markers.
void hash_rehash(hash_table *ht)
{
    void **old_vec = ht->ht_vec;
    const unsigned long old_size = ht->ht_size;

    if (ht->ht_fill >= ht->ht_capacity) {
        ht->ht_size *= 2;
        hash_set_capacity(ht);
    }
    ht->ht_rehashes++;
    ht->ht_vec = hash_alloc_vector(ht->ht_size);
    for (unsigned long i = 0; i < old_size; i++) {
        if (!hash_vacant(&old_vec[i]))
            *hash_find_slot(ht, old_vec[i]) = old_vec[i];
    }
    ht->ht_empty_slots = ht->ht_size - ht->ht_fill;
    hash_free_vector(old_vec);
}

} // namespace

std::uint32_t round_up_2(std::uint32_t n)
{
    n |= n >> 1;
    n |= n >> 2;
    n |= n >> 4;
    n |= n >> 8;
    n |= n >> 16;
    return n + 1;
}

void hash_init(hash_table *ht, unsigned long size, hash_func_t hash_1, hash_func_t hash_2,
               hash_cmp_func_t hash_cmp)
{
    if (size < hash_min_size)
        size = hash_min_size;
    // Beyond 31 bits the rounding would wrap to 0 slots: ask for 2^32 so
    // that the allocation is refused with the table's own message.
    ht->ht_size = size < hash_max_size ? round_up_2(static_cast<std::uint32_t>(size)) : 2 * hash_max_size;
    ht->ht_empty_slots = ht->ht_size;
    ht->ht_vec = hash_alloc_vector(ht->ht_size);
    hash_set_capacity(ht);
    ht->ht_fill = 0;
    ht->ht_collisions = 0;
    ht->ht_lookups = 0;
    ht->ht_rehashes = 0;
    ht->ht_hash_1 = hash_1;
    ht->ht_hash_2 = hash_2;
    ht->ht_compare = hash_cmp;
}

void **hash_find_slot(hash_table *ht, void const *key)
{
    void **deleted_slot = nullptr;
    unsigned long step = 0;
    unsigned long index = ht->ht_hash_1(key);
    const unsigned long mask = ht->ht_size - 1;

    ht->ht_lookups++;
    for (;;) {
        index &= mask;
        void **slot = &ht->ht_vec[index];
        if (*slot == nullptr)
            return deleted_slot != nullptr ? deleted_slot : slot;
        if (*slot == hash_deleted_item) {
            if (deleted_slot == nullptr)
                deleted_slot = slot;
        } else {
            if (*slot == key || ht->ht_compare(key, *slot) == 0)
                return slot;
            ht->ht_collisions++;
        }
        // An odd step visits every slot of a power-of-two vector before repeating.
        if (step == 0)
            step = ht->ht_hash_2(key) | 1;
        index += step;
    }
}

void *hash_find_item(hash_table *ht, void const *key)
{
    void **slot = hash_find_slot(ht, key);
    return hash_vacant(slot) ? nullptr : *slot;
}

void *hash_insert(hash_table *ht, void const *item)
{
    void **slot = hash_find_slot(ht, item);
    void *old_item = *slot;
    hash_insert_at(ht, item, slot);
    return old_item == hash_deleted_item ? nullptr : old_item;
}

void **hash_insert_at(hash_table *ht, void const *item, void **slot)
{
    if (hash_vacant(slot)) {
        ht->ht_fill++;
        if (*slot == nullptr)
            ht->ht_empty_slots--;
    }
    *slot = const_cast<void *>(item);
    if (ht->ht_empty_slots < ht->ht_size - ht->ht_capacity) {
        hash_rehash(ht);
        return hash_find_slot(ht, item);
    }
    return slot;
}

void *hash_delete(hash_table *ht, void const *item)
{
    return hash_delete_at(ht, hash_find_slot(ht, item));
}

void *hash_delete_at(hash_table *ht, void **slot)
{
    if (hash_vacant(slot))
        return nullptr;
    void *item = *slot;
    *slot = hash_deleted_item;
    ht->ht_fill--;
    return item;
}

void hash_free_items(hash_table *ht)
{
    for (unsigned long i = 0; i < ht->ht_size; i++) {
        if (!hash_vacant(&ht->ht_vec[i]))
            std::free(ht->ht_vec[i]);
        ht->ht_vec[i] = nullptr;
    }
    ht->ht_fill = 0;
    ht->ht_empty_slots = ht->ht_size;
}

void hash_delete_items(hash_table *ht)
{
    std::memset(ht->ht_vec, 0, ht->ht_size * sizeof(void *));
    ht->ht_fill = 0;
    ht->ht_collisions = 0;
    ht->ht_lookups = 0;
    ht->ht_rehashes = 0;
    ht->ht_empty_slots = ht->ht_size;
}

void hash_free(hash_table *ht, int free_items)
{
    if (free_items != 0) {
        hash_free_items(ht);
    } else {
        ht->ht_fill = 0;
        ht->ht_empty_slots = ht->ht_size;
    }
    hash_free_vector(ht->ht_vec);
    ht->ht_vec = nullptr;
    ht->ht_capacity = 0;
}

void hash_map(hash_table *ht, hash_map_func_t map)
{
    for (unsigned long i = 0; i < ht->ht_size; i++) {
        if (!hash_vacant(&ht->ht_vec[i]))
            map(ht->ht_vec[i]);
    }
}

void hash_map_arg(hash_table *ht, hash_map_arg_func_t map, void *arg)
{
    for (unsigned long i = 0; i < ht->ht_size; i++) {
        if (!hash_vacant(&ht->ht_vec[i]))
            map(ht->ht_vec[i], arg);
    }
}

void hash_load(hash_table *ht, void *item_table, unsigned long cardinality, unsigned long size)
{
    char *item = static_cast<char *>(item_table);
    for (unsigned long i = 0; i < cardinality; i++, item += size)
        hash_insert(ht, item);
}

void **hash_dump(hash_table *ht, void **vector_0, qsort_cmp_t compare)
{
    if (vector_0 == nullptr)
        vector_0 = static_cast<void **>(xmalloc(sizeof(void *) * (ht->ht_fill + 1)));
    void **entry = vector_0;
    for (unsigned long i = 0; i < ht->ht_size; i++) {
        if (!hash_vacant(&ht->ht_vec[i]))
            *entry++ = ht->ht_vec[i];
    }
    *entry = nullptr;
    if (compare != nullptr)
        std::qsort(vector_0, ht->ht_fill, sizeof(void *), compare);
    return vector_0;
}

void hash_print_stats(hash_table *ht, FILE *out_FILE)
{
    std::fprintf(out_FILE, gettext("Load=%ld/%ld=%.0f%%, "), static_cast<long>(ht->ht_fill),
                 static_cast<long>(ht->ht_size), 100.0 * static_cast<double>(ht->ht_fill) / static_cast<double>(ht->ht_size));
    std::fprintf(out_FILE, gettext("Rehash=%d, "), static_cast<int>(ht->ht_rehashes));
    std::fprintf(out_FILE, gettext("Collisions=%ld/%ld=%.0f%%"), static_cast<long>(ht->ht_collisions),
                 static_cast<long>(ht->ht_lookups),
                 ht->ht_lookups != 0 ? 100.0 * static_cast<double>(ht->ht_collisions) / static_cast<double>(ht->ht_lookups)
                                     : 0.0);
}

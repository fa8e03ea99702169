// A general-purpose hash table of item pointers: open addressing with double
// hashing over a power-of-two slot vector.
//
// Items belong to the user; the table stores their pointers and looks at
// them only through the two hash functions and the comparison given to
// hash_init.  A deleted slot holds the marker `hash_deleted_item`, so items
// may be neither null nor that marker.  The vector is rebuilt (usually twice
// as large) when fewer than one slot in sixteen is still empty, which keeps
// every search finite.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

/// Hash of an item, or of a key shaped like one.
typedef unsigned long (*hash_func_t)(void const *key);
/// Equality of the searched key (first) and a stored item (second): 0 when equal.
typedef int (*hash_cmp_func_t)(void const *x, void const *y);
/// Per-item function of hash_map.
typedef void (*hash_map_func_t)(void *item);
/// Per-item function of hash_map_arg, with the caller's extra pointer.
typedef void (*hash_map_arg_func_t)(void *item, void *arg);
/// qsort comparison over a vector of item pointers (receives entry addresses).
typedef int (*qsort_cmp_t)(void const *x, void const *y);

/// The table record: the user declares it, hash_init fills it.
struct hash_table {
    void **ht_vec;               ///< the slot vector, ht_size entries; null after hash_free
    unsigned long ht_size;       ///< number of slots, a power of two
    unsigned long ht_capacity;   ///< ht_size - ht_size/16: live slots allowed before growth
    unsigned long ht_fill;       ///< live slots
    unsigned long ht_empty_slots;///< never-used slots (null)
    unsigned long ht_collisions; ///< non-matching live slots met by searches
    unsigned long ht_lookups;    ///< slot searches
    unsigned int ht_rehashes;    ///< vector rebuilds
    hash_func_t ht_hash_1;       ///< chooses the first slot
    hash_func_t ht_hash_2;       ///< chooses the (odd) step between slots
    hash_cmp_func_t ht_compare;  ///< equality of two items
};

/// The deleted-slot marker; its value is its own address.
extern void *hash_deleted_item;

/// True when `slot` holds no item (empty or deleted).
inline bool hash_vacant(void *const *slot)
{
    return *slot == nullptr || *slot == hash_deleted_item;
}

/// Wanted sizes below this are raised to it: the smallest table (16 slots)
/// that grows before its last empty slot is taken.
constexpr unsigned long hash_min_size = 8;

/// Sets up `ht` with round_up_2(size) slots (size at least hash_min_size).
void hash_init(hash_table *ht, unsigned long size, hash_func_t hash_1, hash_func_t hash_2,
               hash_cmp_func_t hash_cmp);
/// The slot holding an item equal to `key`, or the vacant slot where it belongs.
void **hash_find_slot(hash_table *ht, void const *key);
/// The stored item equal to `key`, or null.
void *hash_find_item(hash_table *ht, void const *key);
/// Stores `item`; returns the equal item it replaced (now the caller's), or null.
void *hash_insert(hash_table *ht, void const *item);
/// Stores `item` in `slot` (found by hash_find_slot); returns the slot holding it afterwards.
void **hash_insert_at(hash_table *ht, void const *item, void **slot);
/// Removes the item equal to `item`; returns the removed item, or null.
void *hash_delete(hash_table *ht, void const *item);
/// Empties `slot` by marking it deleted; returns the item it held, or null.
void *hash_delete_at(hash_table *ht, void **slot);
/// Releases every item with free() and clears the slots; statistics stay.
void hash_free_items(hash_table *ht);
/// Clears the slots without releasing the items and resets the statistics.
void hash_delete_items(hash_table *ht);
/// Releases the vector (and the items with free() when `free_items` is non-zero).
void hash_free(hash_table *ht, int free_items);
/// Calls `map` on every item in slot order.
void hash_map(hash_table *ht, hash_map_func_t map);
/// Calls `map` with `arg` on every item in slot order.
void hash_map_arg(hash_table *ht, hash_map_arg_func_t map, void *arg);
/// Inserts `cardinality` items of `size` bytes each, stored one after the other from `item_table`.
void hash_load(hash_table *ht, void *item_table, unsigned long cardinality, unsigned long size);
/// The items in slot order (sorted by `compare` when given) followed by a null entry,
/// in `vector_0` (room for ht_fill + 1 entries) or in a new vector that the caller owns.
void **hash_dump(hash_table *ht, void **vector_0, qsort_cmp_t compare);
/// Writes the one-line load, rebuild and collision figures, without a line end.
void hash_print_stats(hash_table *ht, FILE *out_FILE);

/// The smallest power of two strictly greater than `n`, in 32 bits (private to
/// the table; declared for its tests).
std::uint32_t round_up_2(std::uint32_t n);

/// Allocation that never returns null; supplied by the program (hash_dump uses it).
void *xmalloc(std::size_t len);

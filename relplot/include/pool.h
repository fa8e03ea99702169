// A bump allocator for the many small records of a conversion that all
// live until the end of the run: they are carved out of large blocks and
// released together, with no per-record header and no per-record free.
#pragma once

#include <atomic>
#include <cstddef>

#include "cache_line.h"

/// Storage handed out in order from large blocks and released all at once.
/// A pool's bookkeeping changes with every record taken, so each pool has
/// cache lines of its own: pools that different threads take from (node
/// storage on one, label storage on the other) do not slow each other.
class alignas(cache_line) Pool {
public:
    /// Records aligned to `align` bytes (a power of two up to 8): 8 suits
    /// every record of the graph, 1 packs text.
    explicit Pool(std::size_t align = 8) : align_(align) {}
    ~Pool() { release(); }
    Pool(const Pool &) = delete;
    Pool &operator=(const Pool &) = delete;

    /// `size` bytes at the pool's alignment; never null.
    void *take(std::size_t size);
    /// A copy of `text` in the pool.
    char *copy(const char *text);
    /// A copy of the `length` bytes at `text`, with a NUL after them.
    char *copy(const char *text, std::size_t length);
    /// Gives back the `size` bytes at `block` when they are the latest taken
    /// (a record made and dropped at once); otherwise they stay until release.
    void give_back(void *block, std::size_t size);
    /// Releases every block; earlier results become invalid.
    void release();
    /// Bytes handed out (and not given back) since the last release.
    std::size_t used() const { return used_; }

    /// For a thread other than the one taking from the pool: makes a block
    /// of the full size ready, its memory already faulted in, unless one is
    /// ready still.  The pool takes it when it next needs a full-size block,
    /// so that the taking thread does not stop for the page faults of fresh
    /// memory.  Not to be called during release().
    void prepare_block();
    /// True while a block made ready is waiting to be taken.
    bool has_ready_block() const { return ready_.load(std::memory_order_acquire) != nullptr; }

private:
    struct Block;
    // Blocks double from the first size up to the full one, so that a small
    // graph takes little memory and a large one few blocks.
    static constexpr std::size_t first_block_size = 1 << 14;
    static constexpr std::size_t block_size = 1 << 20;

    std::size_t rounded(std::size_t size) const { return (size + align_ - 1) & ~(align_ - 1); }

    std::size_t align_;
    Block *blocks_ = nullptr; // the current block first
    char *top_ = nullptr;     // next free byte of the current block
    char *end_ = nullptr;     // end of the current block
    std::size_t used_ = 0;
    std::size_t next_block_size_ = first_block_size;
    // The block prepare_block made ready, on a line of its own: the
    // preparing thread reads it after every chunk of input.
    alignas(cache_line) std::atomic<Block *> ready_{nullptr};
};

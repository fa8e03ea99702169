// A bump allocator for the many small records of a conversion that all
// live until the end of the run: they are carved out of large blocks and
// released together, with no per-record header and no per-record free.
#pragma once

#include <cstddef>

/// Storage handed out in order from large blocks and released all at once;
/// every record is aligned to 8 bytes, which suits every record of the graph.
class Pool {
public:
    Pool() = default;
    ~Pool() { release(); }
    Pool(const Pool &) = delete;
    Pool &operator=(const Pool &) = delete;

    /// `size` bytes; never null.
    void *take(std::size_t size);
    /// A copy of the `length` bytes at `text`, with a NUL after them.
    char *copy(const char *text, std::size_t length);
    /// Gives back the `size` bytes at `block` when they are the latest taken
    /// (a record made and dropped at once); otherwise they stay until release.
    void give_back(void *block, std::size_t size);
    /// Releases every block; earlier results become invalid.
    void release();

private:
    struct Block;
    // Blocks double from the first size up to the full one, so that a small
    // graph takes little memory and a large one few blocks; a full block
    // with its header (one link) fills a huge page of 2 MB.
    static constexpr std::size_t first_block_size = 1 << 14;
    static constexpr std::size_t block_size = (2 << 20) - 8;

    Block *blocks_ = nullptr; // the current block first
    char *top_ = nullptr;     // next free byte of the current block
    char *end_ = nullptr;     // end of the current block
    std::size_t next_block_size_ = first_block_size;
};

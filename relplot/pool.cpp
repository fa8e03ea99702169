// The bump allocator of the graph's records.
#include "pool.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "hash.h" // xmalloc

struct Pool::Block {
    Block *next;
};

namespace {

// Bytes before a block's first record: the block's header (one link), kept
// at the largest alignment a pool hands out (malloc's blocks are aligned
// further).
constexpr std::size_t header_size = (sizeof(void *) + 7) & ~std::size_t{7};

// Makes the kernel map every page of the `size` bytes at `block` now: in
// one call where the kernel can, else by a write to each page.
void fault_in(char *block, std::size_t size)
{
    constexpr std::uintptr_t page = 4096;
    const auto begin = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = (begin + page - 1) & ~(page - 1);
    const std::uintptr_t last = (begin + size) & ~(page - 1);
#ifdef MADV_POPULATE_WRITE
    if (first < last && madvise(reinterpret_cast<void *>(first), last - first, MADV_POPULATE_WRITE) == 0) {
        block[0] = 0; // the pages the call left out, at either end
        block[size - 1] = 0;
        return;
    }
#endif
    for (std::size_t i = 0; i < size; i += page)
        block[i] = 0;
    block[size - 1] = 0;
}

// How far ahead of the records being taken their memory is claimed.
constexpr std::size_t prefetch_distance = 256;

} // namespace

void *Pool::take(std::size_t size)
{
    size = rounded(size);
    used_ += size;
    if (size > block_size / 4) {
        // A large record (a long name) gets a block of its own behind the
        // current one, which stays in use.
        auto *block = static_cast<Block *>(xmalloc(header_size + size));
        block->next = blocks_ != nullptr ? blocks_->next : nullptr;
        (blocks_ != nullptr ? blocks_->next : blocks_) = block;
        return reinterpret_cast<char *>(block) + header_size;
    }
    if (static_cast<std::size_t>(end_ - top_) < size) {
        const std::size_t bytes = std::max(next_block_size_, size);
        Block *block = bytes == block_size ? ready_.exchange(nullptr, std::memory_order_acquire) : nullptr;
        if (block == nullptr)
            block = static_cast<Block *>(xmalloc(header_size + bytes));
        block->next = blocks_;
        blocks_ = block;
        top_ = reinterpret_cast<char *>(block) + header_size;
        end_ = top_ + bytes;
        next_block_size_ = std::min(2 * next_block_size_, block_size);
    }
    void *result = top_;
    top_ += size;
    // Records are written as soon as they are taken, mostly one after the
    // other into memory no processor has touched yet: start claiming the
    // lines a few records ahead.  The address may lie past the block's end,
    // where a prefetch does no harm; it is worked out as a number, since a
    // pointer may not be moved outside its block.
    __builtin_prefetch(reinterpret_cast<const void *>(reinterpret_cast<std::uintptr_t>(top_) + prefetch_distance), 1);
    return result;
}

char *Pool::copy(const char *text)
{
    return copy(text, std::strlen(text));
}

char *Pool::copy(const char *text, std::size_t length)
{
    auto *result = static_cast<char *>(take(length + 1));
    std::memcpy(result, text, length);
    result[length] = 0;
    return result;
}

void Pool::give_back(void *block, std::size_t size)
{
    size = rounded(size);
    if (static_cast<char *>(block) + size == top_) {
        top_ -= size;
        used_ -= size;
    }
}

void Pool::prepare_block()
{
    if (ready_.load(std::memory_order_acquire) != nullptr)
        return;
    auto *block = static_cast<char *>(xmalloc(header_size + block_size));
    fault_in(block, header_size + block_size);
    ready_.store(reinterpret_cast<Block *>(block), std::memory_order_release);
}

void Pool::release()
{
    std::free(ready_.exchange(nullptr, std::memory_order_acquire));
    while (blocks_ != nullptr) {
        Block *next = blocks_->next;
        std::free(blocks_);
        blocks_ = next;
    }
    top_ = end_ = nullptr;
    used_ = 0;
    next_block_size_ = first_block_size;
}

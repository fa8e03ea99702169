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

// Records are kept at 8-byte alignment; so is a block's first record, behind
// the block's header (one link).
constexpr std::size_t align = 8;
constexpr std::size_t header_size = (sizeof(void *) + align - 1) & ~(align - 1);

std::size_t rounded(std::size_t size)
{
    return (size + align - 1) & ~(align - 1);
}

// `bytes` of fresh storage.  A block that fills a huge page gets one of its
// own where the kernel can give it: one fault then maps what would take 512
// faults of 4 KB pages.
void *allocate_block(std::size_t bytes)
{
    constexpr std::size_t huge_page = 2 << 20;
    if (bytes == huge_page) {
        if (void *block = std::aligned_alloc(huge_page, huge_page)) {
            madvise(block, huge_page, MADV_HUGEPAGE);
            return block;
        }
    }
    return xmalloc(bytes);
}

} // namespace

void *Pool::take(std::size_t size)
{
    size = rounded(size);
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
        auto *block = static_cast<Block *>(allocate_block(header_size + bytes));
        block->next = blocks_;
        blocks_ = block;
        top_ = reinterpret_cast<char *>(block) + header_size;
        end_ = top_ + bytes;
        next_block_size_ = std::min(2 * next_block_size_, block_size);
    }
    void *result = top_;
    top_ += size;
    return result;
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
    if (static_cast<char *>(block) + size == top_)
        top_ -= size;
}

void Pool::release()
{
    while (blocks_ != nullptr) {
        Block *next = blocks_->next;
        std::free(blocks_);
        blocks_ = next;
    }
    top_ = end_ = nullptr;
    next_block_size_ = first_block_size;
}

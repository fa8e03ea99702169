// Words read from text at any alignment, for the code that looks at names
// eight or four bytes at a time.
#pragma once

#include <cstdint>
#include <cstring>

/// The eight bytes at `p` as one word, in the machine's byte order.
inline std::uint64_t load_8(const void *p)
{
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

/// The four bytes at `p` in the low half of a word.
inline std::uint64_t load_4(const void *p)
{
    std::uint32_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// Data that two threads write must not share a cache line: the line would
// travel between the processors with every write of either, and each
// would wait for the other.
#pragma once

#include <cstddef>

/// Bytes of a cache line on the processors relplot runs on.
inline constexpr std::size_t cache_line = 64;

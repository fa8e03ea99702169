// The digests that a make process's files have when it ends, taken inside
// make by the preloaded library.  The make processes of one build share
// what they hashed through a table in a file of the spool, mapped into
// each of them: a file content is read once per build, and a make process
// that meets only known contents (a rebuild with nothing to do) reads no
// file at all.  C++ only in name, like the rest of the library.
#pragma once

#include <stddef.h>
#include <sys/stat.h>

namespace end_digests {

/// Length of a digest in hex, without its terminating null.
inline constexpr size_t hex_length = 64;

/// Size in bytes of the shared table's file: a fixed number of slots.
size_t table_bytes();

/// Makes the empty table of the spool `spool`, its blocks allocated; false
/// (and no table: each make process then reads every file itself) when it
/// cannot be made.
bool create_table(const char *spool);

/// Writes into `hex` (hex_length + 1 bytes) the SHA-256 of the regular
/// file `path`, whose status was just taken as `status`.  The table of the
/// spool `spool` (opened at the first call; none when null or when it
/// cannot be) gives a content that some make process of the build hashed
/// already.  False when `path` is no regular file or cannot be read.
bool digest(const char *spool, const char *path, const struct stat &status, char *hex);

} // namespace end_digests

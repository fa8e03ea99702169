// Content digests of the files a make process knew, taken when it ends.
#pragma once

#include <filesystem>
#include <map>
#include <string>

#include "makedb/makedb.h"

namespace digest {

/// Hashes (SHA-256) every existing regular file that `db`, the data base of
/// the make process whose spool folder is `proc_dir` and whose proc.tsv keys
/// are `keys`, names, and writes digests.tsv there, each with its
/// modification time; throws std::runtime_error when it cannot.
/// With a `cache_file`, a file that another make process of the build has
/// hashed already, unchanged since (the same device, inode, size and change
/// times), is not read again, and what is hashed here is added to it.
void write_digests(const std::filesystem::path &proc_dir, const makedb::Database &db,
                   const std::map<std::string, std::string> &keys, const std::filesystem::path &cache_file = {});

} // namespace digest

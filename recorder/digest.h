// Content digests of the files a make process knew, taken when it ends.
#pragma once

#include <filesystem>

namespace digest {

/// Reads the data base (db.txt) and proc.tsv of the make process whose spool
/// folder is `proc_dir`, hashes (SHA-256) every existing regular file that
/// the data base names, and writes digests.tsv there.  Does nothing when the
/// process printed no data base.
void write_digests(const std::filesystem::path &proc_dir);

} // namespace digest

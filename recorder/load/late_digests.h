// Digests that the loader takes itself.  The library inside make hashes
// the files that make looked at when it ends; a file that make only named
// (a prerequisite of a target it never needed) gets its digest here, when
// the file has not changed since that make process ended, so that its
// content now is its content then.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace late_digests {

/// A file's digest and modification time, as digests.tsv has them.
struct Digest {
    std::string hex, mtime;
};

/// The contents hashed by one load, shared by its reading threads.
class Cache {
public:
    /// The digest of the regular file `path` when its last change (its
    /// change time) lies before `end` (wall-clock seconds, the spool's
    /// form); none when it changed since, is no regular file, or cannot be read.
    std::optional<Digest> digest(const std::string &path, const std::string &end);

private:
    std::mutex lock_;
    std::unordered_map<std::string, std::string> known_; ///< file identity and times -> hex
};

} // namespace late_digests

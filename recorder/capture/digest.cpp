#include "capture/digest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "common/files.h"
#include "common/sha256.h"
#include "spool/paths.h"
#include "spool/spool.h"

namespace digest {

namespace {

constexpr std::size_t sha256_hex_length = 64;

/// A file's identity and the times of its last change: equal keys, equal content.
std::string cache_key(const struct stat &info)
{
    char text[160];
    std::snprintf(text, sizeof text, "%llu:%llu:%lld:%lld.%09ld:%lld.%09ld",
                  static_cast<unsigned long long>(info.st_dev), static_cast<unsigned long long>(info.st_ino),
                  static_cast<long long>(info.st_size), static_cast<long long>(info.st_mtim.tv_sec),
                  info.st_mtim.tv_nsec, static_cast<long long>(info.st_ctim.tv_sec), info.st_ctim.tv_nsec);
    return text;
}

/// A file's modification time as seconds since the epoch with nanoseconds ("1765136182.123456789").
std::string modification_time(const struct stat &status)
{
    char text[48];
    std::snprintf(text, sizeof text, "%lld.%09ld", static_cast<long long>(status.st_mtim.tv_sec),
                  static_cast<long>(status.st_mtim.tv_nsec));
    return text;
}

bool same_version(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

/// A file descriptor closed when the object goes.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

/// The digests that the build's make processes have taken so far, shared
/// through one file of the spool: "key<TAB>sha256-hex" lines, appended by
/// each shim in one write.  A line that a concurrent append has not
/// finished is not whole and is passed over.
class Cache {
public:
    explicit Cache(std::filesystem::path file) : file_(std::move(file))
    {
        if (file_.empty())
            return;
        std::ifstream in(file_, std::ios::binary);
        std::string line;
        while (std::getline(in, line) && !in.eof()) {
            const std::size_t tab = line.find('\t');
            if (tab != std::string::npos && line.size() - tab - 1 == sha256_hex_length)
                known_.emplace(line.substr(0, tab), line.substr(tab + 1));
        }
    }
    /// Appends what was hashed here for the make processes after this one.
    ~Cache()
    {
        if (file_.empty() || added_.empty())
            return;
        const Fd out(open(file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
        // The cache only saves work: a failed write costs the later processes their hashing, no more.
        if (out.get() >= 0 && write(out.get(), added_.data(), added_.size()) < 0) {
        }
    }
    Cache(const Cache &) = delete;
    Cache &operator=(const Cache &) = delete;

    /// SHA-256 of the regular file `path` in hex, with its status as it was
    /// read in `before`; empty when it is none or cannot be read.
    std::string digest(const std::string &path, struct stat &before)
    {
        if (stat(path.c_str(), &before) != 0 || !S_ISREG(before.st_mode))
            return {};
        std::string key = cache_key(before);
        if (auto found = known_.find(key); found != known_.end())
            return found->second;
        const Fd in(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (in.get() < 0)
            return {};
        std::string hash;
        try {
            hash = sha256::fd_hex(in.get(), path);
        } catch (const std::runtime_error &) {
            return {}; // a file that cannot be read has no digest; the rest of the build's still count
        }
        struct stat after {};
        // Only a file that did not change while it was read, and whose last
        // change lies further back than the file system's time stamps can
        // tell apart from a next one, is known by its key.
        if (hash.empty() || fstat(in.get(), &after) != 0 || !same_version(before, after) || recent(after))
            return hash;
        added_ += key + '\t' + hash + '\n';
        known_.emplace(std::move(key), hash);
        return hash;
    }

private:
    static bool recent(const struct stat &info)
    {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        return now.tv_sec - std::max(info.st_mtim.tv_sec, info.st_ctim.tv_sec) < 2;
    }

    std::filesystem::path file_;
    std::unordered_map<std::string, std::string> known_;
    std::string added_;
};

} // namespace

void write_digests(const std::filesystem::path &proc_dir, const makedb::Database &db,
                   const std::map<std::string, std::string> &keys, const std::filesystem::path &cache_file)
{
    const std::string workdir = spool::process_directory(keys, makedb::curdir(&db));

    Cache cache(cache_file);
    std::set<std::string> done;
    std::string lines;
    for (const makedb::File &file : db.files) {
        if (db.left_out(file))
            continue;
        const auto [dir, name] = spool::instance_location(workdir, file.name);
        const std::string path = spool::joined_path(dir, name);
        if (!done.insert(path).second)
            continue;
        struct stat status {};
        if (const std::string hash = cache.digest(path, status); !hash.empty())
            lines += spool::join_record({path, hash, modification_time(status)});
    }
    files::replace(proc_dir / spool::digest_file, lines);
}

} // namespace digest

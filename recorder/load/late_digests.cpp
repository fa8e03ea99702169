#include "load/late_digests.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <stdexcept>

#include "common/sha256.h"

namespace late_digests {
namespace {

std::string identity(const struct stat &info)
{
    char text[160];
    std::snprintf(text, sizeof text, "%llu:%llu:%lld:%lld.%09ld:%lld.%09ld",
                  static_cast<unsigned long long>(info.st_dev), static_cast<unsigned long long>(info.st_ino),
                  static_cast<long long>(info.st_size), static_cast<long long>(info.st_mtim.tv_sec),
                  info.st_mtim.tv_nsec, static_cast<long long>(info.st_ctim.tv_sec), info.st_ctim.tv_nsec);
    return text;
}

/// True when the time `at` lies before the spool time `end` ("1765136182.123456").
bool before(const struct timespec &at, const std::string &end)
{
    const std::size_t dot = end.find('.');
    long long seconds = 0, micros = 0;
    const char *text = end.data();
    if (std::from_chars(text, text + std::min(dot, end.size()), seconds).ec != std::errc())
        return false;
    if (dot != std::string::npos) {
        std::string fraction = end.substr(dot + 1, 6);
        fraction.resize(6, '0');
        std::from_chars(fraction.data(), fraction.data() + 6, micros);
    }
    return at.tv_sec < seconds || (at.tv_sec == seconds && at.tv_nsec / 1000 < micros);
}

} // namespace

std::optional<Digest> Cache::digest(const std::string &path, const std::string &end)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || !before(info.st_ctim, end))
        return std::nullopt;
    char mtime[48];
    std::snprintf(mtime, sizeof mtime, "%lld.%09ld", static_cast<long long>(info.st_mtim.tv_sec),
                  info.st_mtim.tv_nsec);
    const std::string key = identity(info);
    {
        const std::lock_guard hold(lock_);
        if (auto found = known_.find(key); found != known_.end())
            return Digest{found->second, mtime};
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string hex;
    struct stat after {};
    try {
        hex = sha256::fd_hex(fd, path);
    } catch (const std::runtime_error &) {
    }
    const bool unchanged = fstat(fd, &after) == 0 && identity(after) == key;
    close(fd);
    if (hex.empty() || !unchanged)
        return std::nullopt;
    const std::lock_guard hold(lock_);
    known_.emplace(key, hex);
    return Digest{hex, mtime};
}

} // namespace late_digests

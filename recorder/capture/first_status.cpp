// The first status call per path in one make process.  make decides what
// to remake from the modification times it asks for once and keeps; each
// path's first answer is noted in an open-addressing set (malloc-free:
// make may ask from a signal handler while it deletes a half-made target)
// and written once, when make exits or re-executes itself; when it exits,
// with the digest of each regular file among them (end_digests.h).
#include "capture/first_status.h"

#include "capture/end_digests.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/// What one path's first status call said.
struct Seen {
    char *path;      ///< as make named it; null for an empty slot
    const char *dir; ///< make's working directory then, for a relative path
    uint64_t hash;
    bool exists;
    struct timespec mtime;
};

Seen *slots;
size_t slot_count; ///< a power of two, or 0 before the first note
size_t used;
/// Set while the set is written: its own status calls are not noted.
bool writing;
/// make's working directory, looked up at the first relative path after a
/// change: make leaves a -C directory again before it exits.
const char *cwd;
bool cwd_known;

/// Memory for paths, taken from the system in chunks and never given back
/// while make runs.
char *arena;
size_t arena_left;

void *map_memory(size_t size)
{
    void *memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : memory;
}

char *copy_path(const char *path, size_t length)
{
    if (length + 1 > arena_left) {
        size_t chunk = length + 1 > (1 << 20) ? length + 1 : (1 << 20);
        arena = static_cast<char *>(map_memory(chunk));
        if (!arena) {
            arena_left = 0;
            return nullptr;
        }
        arena_left = chunk;
    }
    char *copy = arena;
    memcpy(copy, path, length + 1);
    arena += length + 1;
    arena_left -= length + 1;
    return copy;
}

uint64_t hash_of(const char *path, size_t length)
{
    uint64_t hash = 14695981039346656037ull;
    for (size_t i = 0; i < length; ++i)
        hash = (hash ^ static_cast<unsigned char>(path[i])) * 1099511628211ull;
    return hash;
}

/// The slot that holds `path`, or the empty slot where it belongs.
Seen *slot_for(const char *path, size_t length, uint64_t hash)
{
    for (size_t i = hash & (slot_count - 1);; i = (i + 1) & (slot_count - 1))
        if (!slots[i].path || (slots[i].hash == hash && strncmp(slots[i].path, path, length + 1) == 0))
            return &slots[i];
}

bool grow()
{
    size_t count = slot_count ? 2 * slot_count : 4096;
    Seen *old = slots;
    size_t old_count = slot_count;
    slots = static_cast<Seen *>(map_memory(count * sizeof *slots));
    if (!slots) {
        slots = old;
        return false;
    }
    slot_count = count;
    for (size_t i = 0; i < old_count; ++i)
        if (old[i].path)
            *slot_for(old[i].path, strlen(old[i].path), old[i].hash) = old[i];
    if (old)
        munmap(old, old_count * sizeof *old);
    return true;
}

/// Notes the answer to a status call on `path` unless an earlier one was noted.
void note(const char *path, int result, const struct stat *status)
{
    // Other failures (a permission refused) say nothing of existence.
    if (writing || !path || !*path || (result != 0 && errno != ENOENT && errno != ENOTDIR))
        return;
    int saved_errno = errno;
    if (2 * (used + 1) > slot_count && !grow()) {
        errno = saved_errno;
        return;
    }
    size_t length = strlen(path);
    uint64_t hash = hash_of(path, length);
    Seen *seen = slot_for(path, length, hash);
    if (!seen->path && path[0] != '/' && !cwd_known) {
        char buffer[4096];
        cwd = getcwd(buffer, sizeof buffer) ? copy_path(buffer, strlen(buffer)) : nullptr;
        cwd_known = true;
    }
    if (!seen->path && (seen->path = copy_path(path, length))) {
        seen->dir = path[0] == '/' ? nullptr : cwd;
        seen->hash = hash;
        seen->exists = result == 0;
        if (result == 0)
            seen->mtime = status->st_mtim;
        ++used;
    }
    errno = saved_errno;
}

template <typename Function> Function next_definition(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

/// Notes what a status call said of `path` (a struct stat or stat64, which
/// share their layout here) and gives its result back.
int noted(const char *path, int result, const void *status)
{
    note(path, result, static_cast<const struct stat *>(status));
    return result;
}

/// A modification time in the spool's form ("1765136182.123456789"), or "-" for no file.
struct Time {
    char text[48];
};

Time format_time(bool exists, const struct timespec &mtime)
{
    Time time;
    if (!exists)
        snprintf(time.text, sizeof time.text, "-");
    else
        snprintf(time.text, sizeof time.text, "%lld.%09ld", static_cast<long long>(mtime.tv_sec), mtime.tv_nsec);
    return time;
}

/// Writes `text`, with the spool's field escapes, into `buffer` at `at`.
size_t put_escaped(char *buffer, size_t at, const char *text)
{
    for (; *text; ++text) {
        char c = *text;
        const char *escape = c == '\\' ? "\\\\" : c == '\t' ? "\\t" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : nullptr;
        if (escape) {
            buffer[at++] = escape[0];
            buffer[at++] = escape[1];
        } else {
            buffer[at++] = c;
        }
    }
    return at;
}

/// A spool file written in blocks of lines ("path<TAB>a<TAB>b"): one write
/// per 64 KiB.  Whether each write went whole is kept: the build goes on
/// whether or not it is recorded, but a digest file that failed is not
/// put in place.
class Output {
public:
    explicit Output(int fd) : fd_(fd)
    {
        if (fd_ >= 0 && !(buffer_ = static_cast<char *>(map_memory(capacity)))) {
            ::close(fd_);
            fd_ = -1;
        }
        whole_ = fd_ >= 0;
    }
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;
    bool open() const { return fd_ >= 0; }

    void line(const char *path, const char *a, const char *b)
    {
        if (fd_ < 0)
            return;
        // Worst case: every byte of the path escaped, and the two fields.
        const size_t need = 2 * strlen(path) + strlen(a) + strlen(b) + 4;
        if (filled_ + need > capacity)
            flush();
        if (need > capacity) {
            whole_ = false;
            return;
        }
        filled_ = put_escaped(buffer_, filled_, path);
        buffer_[filled_++] = '\t';
        filled_ = stpcpy(buffer_ + filled_, a) - buffer_;
        buffer_[filled_++] = '\t';
        filled_ = stpcpy(buffer_ + filled_, b) - buffer_;
        buffer_[filled_++] = '\n';
    }
    /// Writes what is left and closes the file; true when all of it went out.
    bool close()
    {
        if (fd_ < 0)
            return false;
        flush();
        munmap(buffer_, capacity);
        if (::close(fd_) != 0)
            whole_ = false;
        fd_ = -1;
        return whole_;
    }
    ~Output() { close(); }

private:
    static constexpr size_t capacity = 1 << 16;
    void flush()
    {
        if (filled_ > 0 && write(fd_, buffer_, filled_) != static_cast<ssize_t>(filled_))
            whole_ = false;
        filled_ = 0;
    }
    int fd_;
    char *buffer_ = nullptr;
    size_t filled_ = 0;
    bool whole_ = false;
};

} // namespace

void first_status_write(const char *proc_dir, const char *spool, bool with_digests)
{
    if (!proc_dir)
        return;
    writing = true;
    char file[4096], digest_file[4096], digest_new[4096];
    snprintf(file, sizeof file, "%s/status.tsv", proc_dir);
    snprintf(digest_file, sizeof digest_file, "%s/digests.tsv", proc_dir);
    snprintf(digest_new, sizeof digest_new, "%s/digests.tsv.new", proc_dir);
    // The digests come whole or not at all: written aside, then renamed.
    Output status(open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
    Output digests(with_digests ? open(digest_new, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666) : -1);
    for (size_t i = 0; i < slot_count; ++i) {
        const Seen &seen = slots[i];
        if (!seen.path || (seen.path[0] != '/' && !seen.dir))
            continue;
        char path[8192];
        if (seen.dir)
            snprintf(path, sizeof path, "%s/%s", seen.dir, seen.path);
        else
            snprintf(path, sizeof path, "%s", seen.path);
        struct stat now;
        const bool exists_now = stat(path, &now) == 0;
        status.line(path, format_time(seen.exists, seen.mtime).text, format_time(exists_now, now.st_mtim).text);
        char hex[end_digests::hex_length + 1];
        if (exists_now && digests.open() && end_digests::digest(spool, path, now, hex))
            digests.line(path, hex, format_time(true, now.st_mtim).text);
    }
    status.close();
    const bool digests_whole = digests.close();
    if (with_digests && (!digests_whole || rename(digest_new, digest_file) != 0))
        unlink(digest_new);
    // Forgotten: a re-executed make starts its own set, whose paths the
    // loader finds noted already.
    for (size_t i = 0; i < slot_count; ++i)
        slots[i].path = nullptr;
    used = 0;
    writing = false;
}

extern "C" {

int chdir(const char *path)
{
    using Function = int (*)(const char *);
    static Function real = next_definition<Function>("chdir");
    int result = real(path);
    cwd_known = cwd_known && result != 0;
    return result;
}

int fchdir(int fd)
{
    using Function = int (*)(int);
    static Function real = next_definition<Function>("fchdir");
    int result = real(fd);
    cwd_known = cwd_known && result != 0;
    return result;
}

// GNU make as Debian builds it calls glibc's old versioned entry points;
// a make built against a newer glibc calls stat and friends directly.
int __xstat(int version, const char *path, struct stat *status)
{
    static auto real = next_definition<int (*)(int, const char *, struct stat *)>("__xstat");
    return noted(path, real(version, path, status), status);
}

int __lxstat(int version, const char *path, struct stat *status)
{
    static auto real = next_definition<int (*)(int, const char *, struct stat *)>("__lxstat");
    return noted(path, real(version, path, status), status);
}

int stat(const char *path, struct stat *status)
{
    static auto real = next_definition<int (*)(const char *, struct stat *)>("stat");
    return noted(path, real(path, status), status);
}

int lstat(const char *path, struct stat *status)
{
    static auto real = next_definition<int (*)(const char *, struct stat *)>("lstat");
    return noted(path, real(path, status), status);
}

int stat64(const char *path, struct stat64 *status)
{
    static auto real = next_definition<int (*)(const char *, struct stat64 *)>("stat64");
    return noted(path, real(path, status), status);
}

int lstat64(const char *path, struct stat64 *status)
{
    static auto real = next_definition<int (*)(const char *, struct stat64 *)>("lstat64");
    return noted(path, real(path, status), status);
}

// Only paths that mean the same from make's working directory are noted.
int fstatat(int dirfd, const char *path, struct stat *status, int flags)
{
    static auto real = next_definition<int (*)(int, const char *, struct stat *, int)>("fstatat");
    const int result = real(dirfd, path, status, flags);
    return dirfd == AT_FDCWD || path[0] == '/' ? noted(path, result, status) : result;
}

int fstatat64(int dirfd, const char *path, struct stat64 *status, int flags)
{
    static auto real = next_definition<int (*)(int, const char *, struct stat64 *, int)>("fstatat64");
    const int result = real(dirfd, path, status, flags);
    return dirfd == AT_FDCWD || path[0] == '/' ? noted(path, result, status) : result;
}

} // extern "C"

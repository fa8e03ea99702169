#include "capture/end_digests.h"

#include <fcntl.h>
#include <nettle/sha2.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include "capture/capture_env.h"

namespace end_digests {
namespace {

/// One content known to the build: the file's identity and the times of
/// its last change (equal keys, equal content), and its digest.
struct Slot {
    uint32_t state; ///< free, being written, or ready (below)
    uint32_t unused;
    uint64_t dev, ino, size;
    int64_t mtime_sec, mtime_nsec, ctime_sec, ctime_nsec;
    uint8_t digest[SHA256_DIGEST_SIZE];
};

constexpr uint32_t slot_free = 0, slot_writing = 1, slot_ready = 2;
constexpr size_t slot_count = size_t{1} << 17;
/// Slots looked at for one key before the table counts as full there.
constexpr size_t probe_limit = 64;

Slot *table;
bool table_tried;

Slot key_of(const struct stat &status)
{
    Slot key{};
    key.dev = status.st_dev;
    key.ino = status.st_ino;
    key.size = static_cast<uint64_t>(status.st_size);
    key.mtime_sec = status.st_mtim.tv_sec;
    key.mtime_nsec = status.st_mtim.tv_nsec;
    key.ctime_sec = status.st_ctim.tv_sec;
    key.ctime_nsec = status.st_ctim.tv_nsec;
    return key;
}

bool same_key(const Slot &a, const Slot &b)
{
    return a.dev == b.dev && a.ino == b.ino && a.size == b.size && a.mtime_sec == b.mtime_sec &&
           a.mtime_nsec == b.mtime_nsec && a.ctime_sec == b.ctime_sec && a.ctime_nsec == b.ctime_nsec;
}

uint64_t mix(uint64_t hash, uint64_t value)
{
    hash ^= value + 0x9e3779b97f4a7c15ull + (hash << 6) + (hash >> 2);
    return hash * 0xff51afd7ed558ccdull;
}

/// Where a key's probe starts: by inode number, so that the files of one
/// folder, whose inodes lie close, lie close in the table too and a make
/// process that knows them touches few of its pages.
size_t first_slot(const Slot &key)
{
    return static_cast<size_t>(mix(0, key.dev) + key.ino) & (slot_count - 1);
}

/// The spool's table, mapped at the first call; null when the spool has
/// none of the right size.  The recorder made the file with its blocks
/// allocated, so that a full disk cannot fault a write through the map.
Slot *shared_table(const char *spool)
{
    if (table_tried)
        return table;
    table_tried = true;
    char path[4096];
    if (!spool || snprintf(path, sizeof path, "%s/%s", spool, capture::digest_table_file) >= int(sizeof path))
        return nullptr;
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat info;
    if (fstat(fd, &info) == 0 && static_cast<size_t>(info.st_size) == table_bytes()) {
        void *memory = mmap(nullptr, table_bytes(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (memory != MAP_FAILED)
            table = static_cast<Slot *>(memory);
    }
    close(fd);
    return table;
}

void to_hex(const uint8_t *digest, char *hex)
{
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < SHA256_DIGEST_SIZE; ++i) {
        hex[2 * i] = digits[digest[i] >> 4];
        hex[2 * i + 1] = digits[digest[i] & 15];
    }
    hex[hex_length] = '\0';
}

/// The digest that the table holds for `key`, or null.
const uint8_t *cached(Slot *slots, const Slot &key)
{
    for (size_t i = 0, at = first_slot(key); i < probe_limit; ++i, at = (at + 1) & (slot_count - 1)) {
        const uint32_t state = __atomic_load_n(&slots[at].state, __ATOMIC_ACQUIRE);
        if (state == slot_free)
            return nullptr;
        if (state == slot_ready && same_key(slots[at], key))
            return slots[at].digest;
    }
    return nullptr;
}

/// Puts `digest` under `key` into a free slot, unless none is near.  Two
/// processes may both add one content: the second entry is never found.
void add(Slot *slots, const Slot &key, const uint8_t *digest)
{
    for (size_t i = 0, at = first_slot(key); i < probe_limit; ++i, at = (at + 1) & (slot_count - 1)) {
        uint32_t expected = slot_free;
        if (!__atomic_compare_exchange_n(&slots[at].state, &expected, slot_writing, false, __ATOMIC_ACQ_REL,
                                         __ATOMIC_ACQUIRE))
            continue;
        Slot &slot = slots[at];
        slot.dev = key.dev;
        slot.ino = key.ino;
        slot.size = key.size;
        slot.mtime_sec = key.mtime_sec;
        slot.mtime_nsec = key.mtime_nsec;
        slot.ctime_sec = key.ctime_sec;
        slot.ctime_nsec = key.ctime_nsec;
        memcpy(slot.digest, digest, SHA256_DIGEST_SIZE);
        __atomic_store_n(&slot.state, slot_ready, __ATOMIC_RELEASE);
        return;
    }
}

/// True when the file changed so lately that the file system's times may
/// not tell its next change apart: such a content is not kept.
bool recent(const struct stat &status)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const time_t last = status.st_mtim.tv_sec > status.st_ctim.tv_sec ? status.st_mtim.tv_sec : status.st_ctim.tv_sec;
    return now.tv_sec - last < 2;
}

/// Hashes the open file `fd` into `digest`; false when it cannot be read.
bool hash_file(int fd, uint8_t *digest)
{
    struct sha256_ctx context;
    sha256_init(&context);
    uint8_t buffer[1 << 15];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == 0)
            break;
        if (got < 0)
            return false;
        sha256_update(&context, static_cast<size_t>(got), buffer);
    }
    sha256_digest(&context, SHA256_DIGEST_SIZE, digest);
    return true;
}

} // namespace

size_t table_bytes()
{
    return slot_count * sizeof(Slot);
}

bool create_table(const char *spool)
{
    char path[4096];
    if (snprintf(path, sizeof path, "%s/%s", spool, capture::digest_table_file) >= int(sizeof path))
        return false;
    const int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    const bool made = posix_fallocate(fd, 0, static_cast<off_t>(table_bytes())) == 0;
    close(fd);
    if (!made)
        unlink(path);
    return made;
}

bool digest(const char *spool, const char *path, const struct stat &status, char *hex)
{
    if (!S_ISREG(status.st_mode))
        return false;
    const Slot key = key_of(status);
    Slot *slots = shared_table(spool);
    if (const uint8_t *known = slots ? cached(slots, key) : nullptr) {
        to_hex(known, hex);
        return true;
    }
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return false;
    uint8_t digest[SHA256_DIGEST_SIZE];
    struct stat after;
    const bool read_whole = hash_file(fd, digest);
    // Only a content that did not change while it was read is known by its key.
    const bool unchanged = fstat(fd, &after) == 0 && same_key(key_of(after), key);
    close(fd);
    if (!read_whole)
        return false;
    if (slots && unchanged && !recent(after))
        add(slots, key, digest);
    to_hex(digest, hex);
    return true;
}

} // namespace end_digests

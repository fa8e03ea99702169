// Reads an RSF stream as records of three white-space separated tokens.
//
// The input is read in large chunks and every token is handed out where it
// stands: the separator after it is overwritten with a NUL, so a record
// costs no copy and no allocation.  Records come a chunk at a time, which
// lets the caller look ahead.  A large file is read and split on a thread
// of its own while the caller works through the chunks before.  Lines mean
// nothing: a record is the next three tokens wherever they stand.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "cache_line.h"

/// One record: its relation and two operands (which a record cut short by
/// the end of the input takes over from the record before it).
struct RsfRecord {
    const char *op;
    const char *opa1;
    const char *opa2;
    std::size_t op_length;   ///< length of op as a C string
    std::size_t opa1_length; ///< length of opa1 as a C string
    std::size_t opa2_length; ///< length of opa2 as a C string
    bool holds_nul;          ///< a token holds a NUL byte, and so reads cut short
    // What the reader's preparation (if any) makes of the record.
    std::uint32_t hash1 = 0; ///< a hash of opa1
    std::uint32_t hash2 = 0; ///< a hash of opa2
    int relation = -1;       ///< a number for op
    const char *kept2 = nullptr; ///< a copy of opa2 that outlives the record, if one was made
};

/// Work on a record that the reader does as soon as it has split it (on its
/// own thread, if it has one): filling in the hashes and the relation.
using RecordPreparation = void (*)(RsfRecord &record);
/// Work that a reading thread does for the caller each time it has handed
/// over a chunk, while the caller works through it.
using ReaderSideWork = void (*)();

/// The records of an RSF stream, a chunk at a time.
class RecordReader {
public:
    /// Reads `in` in chunks of `block` bytes (more for a record that does
    /// not fit); with `background`, on a thread of its own.  Every record
    /// goes through `prepare`, when given, before it is handed out.  A
    /// reading thread calls `side_work`, when given, after each chunk it
    /// hands over (read inline, nothing calls it).
    explicit RecordReader(FILE *in, std::size_t block = 1 << 20, bool background = false,
                          RecordPreparation prepare = nullptr, ReaderSideWork side_work = nullptr);
    /// Stops the reading thread, if any.
    ~RecordReader();
    RecordReader(const RecordReader &) = delete;
    RecordReader &operator=(const RecordReader &) = delete;

    /// The next records, at least one; none at the end of the input (or on
    /// a read error).  They stay valid until the next call.  A record cut
    /// short by the end of the input keeps the operands of the record
    /// before it, which are empty before the first record.
    std::span<const RsfRecord> next_records();

private:
    // Input bytes and the records split from them; records point into
    // `data` or, for a short last record, into `kept`.  A chunk being
    // filled on the reading thread changes with every record: it has its
    // cache lines to itself.
    struct alignas(cache_line) Chunk {
        std::unique_ptr<char[]> data;
        std::size_t capacity = 0; // bytes for data, not counting the zeros the scan may read behind it
        std::size_t size = 0;     // bytes read into data
        std::vector<RsfRecord> records;
        std::string kept[3];
    };

    // Fills `chunk` with the unfinished record of the chunk before, then
    // as much of the stream as fits, and splits it into records; false once
    // the stream has nothing more.
    bool fill(Chunk &chunk);
    // Where a token lies in a chunk's data: `end` is the separator behind it.
    struct Span;
    // Splits the complete records of `chunk` from byte `begin` on; returns
    // where the unfinished rest begins.
    std::size_t split(Chunk &chunk, std::size_t begin);
    // The common case of split, 64 bytes at a time: the records that end
    // within whole blocks of 64 bytes from `begin`, up to the first block
    // that holds a NUL; returns where the first record left begins.
    std::size_t split_blocks(Chunk &chunk, std::size_t begin);
    // Ends the `found` tokens in place and adds their record to `chunk`
    // (with the later operands of the record before, when short).
    void add_record(Chunk &chunk, const Span *span, int found, bool nul);
    // The reading thread's work: fills free chunks until the stream ends.
    void produce();

    FILE *in_;
    std::size_t block_;
    RecordPreparation prepare_;
    ReaderSideWork side_work_;

    // What reading and splitting change as they go, for every record: on
    // cache lines of their own, away from the fields above and below and
    // from the caller's data around the reader (usually on its stack), which
    // a reading thread would otherwise make the caller wait for.
    alignas(cache_line) bool at_end_ = false; // the stream has nothing more
    std::string carry_;          // bytes of the unfinished record at a chunk's end
    const char *last_[3] = {"", "", ""}; // the latest record split
    std::size_t last_length_[3] = {0, 0, 0}; // their lengths as C strings

    alignas(cache_line) std::vector<std::unique_ptr<Chunk>> chunks_;

    // Inline reading: the chunk handed out last (the other one is filled next).
    std::size_t current_ = 0;

    // Background reading: chunks go from `free_` to the thread, which puts
    // them, filled, into `ready_`; an empty chunk there marks the end.
    bool background_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Chunk *> free_;
    std::deque<Chunk *> ready_;
    Chunk *held_ = nullptr; // the chunk the caller is reading
    bool stop_ = false;
    std::thread thread_;
};

// Reads an RSF stream as records of three white-space separated tokens.
//
// The input is read in large blocks and every token is handed out in place:
// the separator after it is overwritten with a NUL, so a record costs no
// copy and no allocation.  Records come in batches, which lets the caller
// look ahead.  Lines mean nothing: a record is the next three tokens
// wherever they stand.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

/// One record: its relation and two operands (which a record cut short by
/// the end of the input takes over from the record before it).
struct RsfRecord {
    const char *op;
    const char *opa1;
    const char *opa2;
    bool holds_nul; ///< a token holds a NUL byte, and so reads cut short
};

/// The records of an RSF stream, a batch at a time.
class RecordReader {
public:
    /// Reads `in` in blocks of `block` bytes at first (more for long runs of
    /// data and for tokens that do not fit).
    explicit RecordReader(FILE *in, std::size_t block = 1 << 16);
    RecordReader(const RecordReader &) = delete;
    RecordReader &operator=(const RecordReader &) = delete;

    /// Reads up to `max` (at least 1) records into `out` and returns how
    /// many; 0 at the end of the input (or on a read error).  Their tokens
    /// stay valid until the next call.  A record cut short by the end of the
    /// input keeps the operands of the record before it, which are empty
    /// before the first record.
    std::size_t next_records(RsfRecord *out, std::size_t max);

private:
    enum class Scan { record, need_more, end };
    // Takes the next record from the data in the buffer into token_.
    Scan scan_record();
    // Moves the unread data to the front of the buffer, making it larger when
    // that data fills half of it, and reads as much as fits behind it.
    void refill();

    FILE *in_;
    std::size_t capacity_;        // bytes of buf_; the data leaves one free for a NUL
    std::unique_ptr<char[]> buf_;
    std::size_t begin_ = 0;       // first unread byte
    std::size_t end_ = 0;         // end of the data read so far
    bool at_end_ = false;         // the stream has nothing more
    const char *token_[3] = {"", "", ""}; // the latest record
    bool in_buffer_[3] = {false, false, false}; // token_[i] points into buf_
    bool holds_nul_ = false;
    // Copies of the record's operands once their bytes leave the buffer: a
    // short last record still reads them.
    std::string kept_[3];
};

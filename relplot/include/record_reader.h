// Reads an RSF stream as records of three white-space separated tokens.
//
// The input is read in large chunks and every token is handed out where it
// stands: the separator after it is overwritten with a NUL, so a record
// costs no copy and no allocation.  Lines mean nothing: a record is the
// next three tokens wherever they stand.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

/// One record: its relation and two operands (which a record cut short by
/// the end of the input takes over from the record before it).
struct RsfRecord {
    const char *op;
    const char *opa1;
    const char *opa2;
    bool holds_nul; ///< a token holds a NUL byte, and so reads cut short
};

/// The records of an RSF stream, a chunk at a time.
class RecordReader {
public:
    /// Reads `in` in chunks of `block` bytes (more for a record that does
    /// not fit).
    explicit RecordReader(FILE *in, std::size_t block = 1 << 16);

    /// The next records, at least one; none at the end of the input (or on
    /// a read error).  They stay valid until the next call.  A record cut
    /// short by the end of the input keeps the operands of the record
    /// before it, which are empty before the first record.
    std::span<const RsfRecord> next_records();

private:
    // Where a token lies in the data: `end` is the separator behind it.
    struct Span {
        std::size_t begin;
        std::size_t end;
    };
    // Splits the complete records of the data from byte `begin` on;
    // returns where the unfinished rest begins.
    std::size_t split(std::size_t begin);
    // Ends the `found` tokens in place and adds their record (with the
    // later operands of the record before, when short).
    void add_record(const Span *span, int found, bool nul);

    FILE *in_;
    std::size_t block_;
    std::unique_ptr<char[]> data_; // input bytes, one more for the NUL behind the last
    std::size_t capacity_ = 0;     // bytes for data_, not counting that NUL
    std::size_t size_ = 0;         // bytes read into data_
    bool at_end_ = false;          // the stream has nothing more
    std::string carry_;            // bytes of the unfinished record at a chunk's end
    std::vector<RsfRecord> records_;
    const char *last_[3] = {"", "", ""}; // the tokens of the latest record
    std::string kept_[3];          // those tokens, once their chunk is read over
};

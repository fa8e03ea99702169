// The DOT text on its way to its stream: the writers put their lines
// together here, and the text goes to the stream in large pieces.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "words.h"

/// Helpers of the collectors for texts that names are made of.
namespace dot_text {

/// True for the bytes that take a backslash inside a DOT quoted string.
inline bool needs_escape(char c)
{
    return c == '"' || c == '\\';
}

/// The high bit of every byte of `word` that takes a backslash inside a DOT
/// quoted string ('"' or '\\'), and no other bit.
inline std::uint64_t escape_bits(std::uint64_t word)
{
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t low = 0x7f7f7f7f7f7f7f7fULL;
    // The high bit of each zero byte of x, exactly: no carry crosses a byte.
    const auto zero_bytes = [](std::uint64_t x) { return ~(((x & low) + low) | x | low); };
    return zero_bytes(word ^ (ones * '"')) | zero_bytes(word ^ (ones * '\\'));
}

/// True when none of the `length` bytes (at most 16) at `text` takes a
/// backslash: two words that may overlap, or the bytes of a shorter text.
inline bool plain_short(const char *text, std::size_t length)
{
    if (length >= 8)
        return (escape_bits(load_8(text)) | escape_bits(load_8(text + length - 8))) == 0;
    if (length >= 4)
        return (escape_bits(load_4(text)) | escape_bits(load_4(text + length - 4))) == 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (needs_escape(text[i]))
            return false;
    }
    return true;
}

/// Copies up to 16 bytes as at most two loads and stores, which may overlap.
inline void copy_short(char *to, const char *from, std::size_t length)
{
    if (length >= 8) {
        const std::uint64_t head = load_8(from), tail = load_8(from + length - 8);
        std::memcpy(to, &head, 8);
        std::memcpy(to + length - 8, &tail, 8);
    } else if (length >= 4) {
        const auto head = static_cast<std::uint32_t>(load_4(from));
        const auto tail = static_cast<std::uint32_t>(load_4(from + length - 4));
        std::memcpy(to, &head, 4);
        std::memcpy(to + length - 4, &tail, 4);
    } else if (length > 0) {
        to[0] = from[0];
        to[length / 2] = from[length / 2];
        to[length - 1] = from[length - 1];
    }
}

} // namespace dot_text

/// Text collected for one destination.  The process-wide collector serves
/// the DOT file's stream; a collector of its own writes to a place in a
/// file.
class DotOutput {
public:
    /// The process-wide collector, serving `fp`.  Text still held for
    /// another stream goes to that stream first.
    static DotOutput &of(FILE *fp);

    /// A collector without a destination: what it is given is dropped (the
    /// process-wide one, until it serves a stream).
    DotOutput() : DotOutput(stream_capacity) {}
    /// A collector that writes to the file open as `fd` from byte `offset`
    /// on (with pwrite, so the descriptor's own position does not move).
    /// It writes in large pieces: each write holds the file's lock, which
    /// a writer of another part of the file then waits for.
    DotOutput(int fd, off_t offset) : DotOutput(file_part_capacity)
    {
        fd_ = fd;
        offset_ = offset;
    }
    DotOutput(const DotOutput &) = delete;
    DotOutput &operator=(const DotOutput &) = delete;

    void put(const char *text, std::size_t length)
    {
        if (length > capacity_ - size_)
            put_long(text, length);
        else
            append(text, length);
    }
    /// A C string (for a literal, the length is known when compiling).
    void put(const char *text) { put(text, std::strlen(text)); }
    void put(char c)
    {
        if (size_ == capacity_)
            flush();
        buf_[size_++] = c;
    }
    /// `depth` tabs (none for a depth below 1).
    void put_tabs(int depth);
    /// `text` as the inside of a DOT double-quoted string: every `"` and `\`
    /// escaped with a backslash, nothing else changed.
    void put_quoted(const char *text);
    /// The same for the `length` bytes at `text`, which hold no NUL.
    void put_quoted(const char *text, std::size_t length)
    {
        // Most names: short, nothing to escape, and room for them.
        if (length <= 16 && capacity_ - size_ >= 16 && dot_text::plain_short(text, length)) {
            dot_text::copy_short(buf_.get() + size_, text, length);
            size_ += length;
        } else {
            put_quoted_runs(text, length);
        }
    }
    /// A number in decimal.
    void put_number(int number);

    /// Hands the text held so far to the stream.
    void flush();
    /// Bytes put so far, handed on or held.
    std::size_t total() const { return handed_ + size_; }
    /// True when a write to the file (of a collector for a place in a
    /// file) went wrong; the stream of the process-wide one keeps its own
    /// error state.
    bool failed() const { return failed_; }

private:
    // Bytes held before they go on: for a stream, which buffers them once
    // more, and for a place in a file.
    static constexpr std::size_t stream_capacity = 1 << 16;
    static constexpr std::size_t file_part_capacity = 1 << 20;

    explicit DotOutput(std::size_t capacity) : capacity_(capacity), buf_(new char[capacity]) {}

    void append(const char *text, std::size_t length)
    {
        std::memcpy(buf_.get() + size_, text, length);
        size_ += length;
    }
    void put_long(const char *text, std::size_t length);
    // put_quoted of any text: the runs between bytes to escape.
    void put_quoted_runs(const char *text, std::size_t length);

    // Writes `length` bytes at `text` to wherever the collector writes.
    void hand_on(const char *text, std::size_t length);

    FILE *fp_ = nullptr;
    int fd_ = -1;
    off_t offset_ = 0;       // where the next bytes go, for fd_
    bool failed_ = false;
    std::size_t handed_ = 0; // bytes handed on so far
    std::size_t size_ = 0;
    std::size_t capacity_;
    std::unique_ptr<char[]> buf_;
};

/// Adds up the length of the text that the same calls would give a
/// DotOutput, without keeping any of it: how long a part of the DOT file
/// will be, found at a fraction of the cost of writing it.
class DotSize {
public:
    void put(const char *, std::size_t length) { total_ += length; }
    /// A C string (for a literal, the length is known when compiling).
    void put(const char *text) { total_ += std::strlen(text); }
    void put(char) { ++total_; }
    void put_tabs(int depth) { total_ += depth > 0 ? static_cast<std::size_t>(depth) : 0; }
    void put_quoted(const char *text);
    /// Names are short: looking at each byte costs less than using their length.
    void put_quoted(const char *text, std::size_t) { put_quoted(text); }
    void put_number(int number);
    /// Bytes put so far.
    std::size_t total() const { return total_; }

private:
    std::size_t total_ = 0;
};

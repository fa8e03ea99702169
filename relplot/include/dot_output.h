// The DOT text on its way to its stream: the writers put their lines
// together here, and the text goes to the stream in large pieces.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>

/// Text collected for one stream.
class DotOutput {
public:
    /// The process-wide collector (dot_text), serving `fp`.  Text still
    /// held for another stream goes to that stream first.
    static DotOutput &of(FILE *fp);

    /// A collector without a stream: what it is given is dropped until
    /// of() gives it one.
    DotOutput() : buf_(new char[capacity]) {}
    DotOutput(const DotOutput &) = delete;
    DotOutput &operator=(const DotOutput &) = delete;

    void put(const char *text, std::size_t length)
    {
        if (length > capacity - size_) {
            put_long(text, length);
        } else {
            std::memcpy(buf_.get() + size_, text, length);
            size_ += length;
        }
    }
    /// A C string (for a literal, the length is known when compiling).
    void put(const char *text) { put(text, std::strlen(text)); }
    void put(char c)
    {
        if (size_ == capacity)
            flush();
        buf_[size_++] = c;
    }
    /// `depth` tabs (none for a depth below 1).
    void put_tabs(int depth);
    /// `text` as the inside of a DOT double-quoted string: every `"` and `\`
    /// escaped with a backslash, nothing else changed.
    void put_quoted(const char *text);
    /// A number in decimal.
    void put_number(int number);

    /// Hands the text held so far to the stream.
    void flush();

private:
    // Bytes held before they go to the stream, which buffers them once more.
    static constexpr std::size_t capacity = 1 << 16;

    void put_long(const char *text, std::size_t length);

    FILE *fp_ = nullptr;
    std::size_t size_ = 0;
    std::unique_ptr<char[]> buf_;
};

// The DOT text on its way to its stream: the writers put their lines
// together here, and the text goes to the stream in large pieces.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>

/// Text collected for one stream.  There is one, process-wide: the DOT file
/// being written.
class DotOutput {
public:
    /// The collector of `fp`.  Text still held for another stream goes to
    /// that stream first.
    static DotOutput &of(FILE *fp);

    void put(const char *text, std::size_t length)
    {
        if (length > capacity - size_)
            put_long(text, length);
        else
            append(text, length);
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
    static constexpr std::size_t capacity = 1 << 16;

    void append(const char *text, std::size_t length)
    {
        std::memcpy(buf_ + size_, text, length);
        size_ += length;
    }
    void put_long(const char *text, std::size_t length);

    FILE *fp_ = nullptr;
    std::size_t size_ = 0;
    char buf_[capacity];
};

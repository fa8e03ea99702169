// The collector of the DOT text.
#include "dot_output.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>

namespace {

DotOutput collector;

// Writes `length` bytes at `text` to `fp`.  The DOT file is written by one
// thread: the stream's lock is not needed for the many pieces of a large graph.
void write_out(const char *text, std::size_t length, FILE *fp)
{
#ifdef __GLIBC__
    fwrite_unlocked(text, 1, length, fp);
#else
    std::fwrite(text, 1, length, fp);
#endif
}

// The place of the first byte of `bits` (escape_bits of a word) that takes
// a backslash.
std::size_t first_escape(std::uint64_t bits)
{
    return static_cast<std::size_t>(__builtin_ctzll(bits)) / 8;
}

// The length of the run of `length` bytes at `text` before its first byte
// that takes a backslash.  Eight or four bytes at a time; the last word
// may overlap the one before, whose bytes are known to be plain.
std::size_t plain_length(const char *text, std::size_t length)
{
    if (length >= 8) {
        std::size_t i = 0;
        for (; length - i >= 8; i += 8) {
            if (const std::uint64_t bits = dot_text::escape_bits(load_8(text + i)))
                return i + first_escape(bits);
        }
        if (i < length) {
            if (const std::uint64_t bits = dot_text::escape_bits(load_8(text + length - 8)))
                return length - 8 + first_escape(bits);
        }
        return length;
    }
    if (length >= 4) {
        if (const std::uint64_t bits = dot_text::escape_bits(load_4(text)))
            return first_escape(bits);
        if (const std::uint64_t bits = dot_text::escape_bits(load_4(text + length - 4)))
            return length - 4 + first_escape(bits);
        return length;
    }
    std::size_t i = 0;
    while (i < length && !dot_text::needs_escape(text[i]))
        ++i;
    return i;
}

// How many bytes each byte of a name takes inside a DOT quoted string: two
// for those that take a backslash, none for the NUL that ends the name.
struct QuotedWidths {
    std::uint8_t of[256];
};

constexpr QuotedWidths quoted_widths()
{
    QuotedWidths widths{};
    for (auto &width : widths.of)
        width = 1;
    widths.of[0] = 0;
    widths.of[static_cast<unsigned char>('"')] = 2;
    widths.of[static_cast<unsigned char>('\\')] = 2;
    return widths;
}

constexpr QuotedWidths quoted = quoted_widths();

std::uint8_t quoted_width(char c)
{
    return quoted.of[static_cast<unsigned char>(c)];
}

// The decimal digits (and sign) of `number` in `digits`; returns their count.
std::size_t decimal(int number, char (&digits)[16])
{
    return static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, number).ptr - digits);
}

} // namespace

DotOutput &DotOutput::of(FILE *fp)
{
    if (collector.fp_ != fp) {
        collector.flush();
        collector.fp_ = fp;
    }
    return collector;
}

void DotOutput::hand_on(const char *text, std::size_t length)
{
    handed_ += length;
    if (fp_ != nullptr) {
        write_out(text, length, fp_);
        return;
    }
    while (fd_ >= 0 && length > 0 && !failed_) {
        const ssize_t written = pwrite(fd_, text, length, offset_);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            failed_ = true;
            return;
        }
        text += written;
        length -= static_cast<std::size_t>(written);
        offset_ += written;
    }
}

void DotOutput::put_long(const char *text, std::size_t length)
{
    flush();
    if (length >= capacity_)
        hand_on(text, length);
    else
        append(text, length);
}

void DotOutput::put_tabs(int depth)
{
    auto count = static_cast<std::size_t>(std::max(depth, 0));
    while (count > 0) {
        if (size_ == capacity_)
            flush();
        const std::size_t now = std::min(count, capacity_ - size_);
        std::memset(buf_.get() + size_, '\t', now);
        size_ += now;
        count -= now;
    }
}

void DotOutput::put_quoted(const char *text)
{
    put_quoted(text, std::strlen(text));
}

void DotOutput::put_quoted_runs(const char *text, std::size_t length)
{
    for (;;) {
        const std::size_t plain = plain_length(text, length);
        put(text, plain);
        if (plain == length)
            return;
        const char escaped[2] = {'\\', text[plain]};
        put(escaped, 2);
        text += plain + 1;
        length -= plain + 1;
    }
}

void DotOutput::put_number(int number)
{
    char digits[16];
    put(digits, decimal(number, digits));
}

void DotOutput::flush()
{
    if (size_ > 0)
        hand_on(buf_.get(), size_);
    size_ = 0;
}

void DotSize::put_quoted(const char *text)
{
    // Names are short: a look at each byte costs less than finding the
    // length first.
    for (; *text != 0; ++text)
        total_ += quoted_width(*text);
}

void DotSize::put_number(int number)
{
    char digits[16];
    total_ += decimal(number, digits);
}

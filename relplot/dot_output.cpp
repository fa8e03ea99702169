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
    if (length >= capacity)
        hand_on(text, length);
    else
        append(text, length);
}

void DotOutput::put_tabs(int depth)
{
    auto count = static_cast<std::size_t>(std::max(depth, 0));
    while (count > 0) {
        if (size_ == capacity)
            flush();
        const std::size_t now = std::min(count, capacity - size_);
        std::memset(buf_ + size_, '\t', now);
        size_ += now;
        count -= now;
    }
}

void DotOutput::put_quoted(const char *text)
{
    for (;;) {
        if (capacity - size_ < 2)
            flush();
        // Up to the last two bytes of the buffer: room for one more
        // character even when it takes a backslash.
        char *out = buf_ + size_;
        char *const stop = buf_ + capacity - 1;
        for (; out < stop; ++text) {
            const char c = *text;
            // The plain bytes, nearly all, cost one look-up.
            const std::uint8_t width = quoted_width(c);
            if (width != 1) {
                if (width == 0)
                    break;
                *out++ = '\\';
            }
            *out++ = c;
        }
        size_ = static_cast<std::size_t>(out - buf_);
        if (*text == 0)
            return;
        flush();
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
        hand_on(buf_, size_);
    size_ = 0;
}

void DotSize::put_quoted(const char *text)
{
    for (; *text != 0; ++text)
        total_ += quoted_width(*text);
}

void DotSize::put_number(int number)
{
    char digits[16];
    total_ += decimal(number, digits);
}

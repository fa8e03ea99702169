// The collector of the DOT text.
#include "dot_output.h"

#include <algorithm>
#include <charconv>

#include "relplot.h" // dot_text

DotOutput &DotOutput::of(FILE *fp)
{
    if (dot_text.fp_ != fp) {
        dot_text.flush();
        dot_text.fp_ = fp;
    }
    return dot_text;
}

void DotOutput::put_long(const char *text, std::size_t length)
{
    flush();
    if (length < capacity) {
        std::memcpy(buf_.get(), text, length);
        size_ = length;
    } else if (fp_ != nullptr) {
        std::fwrite(text, 1, length, fp_);
    }
}

void DotOutput::put_tabs(int depth)
{
    // A deep tree asks for millions of tabs on a line.
    auto count = static_cast<std::size_t>(std::max(depth, 0));
    while (count > 0) {
        if (size_ == capacity)
            flush();
        const std::size_t now = std::min(count, capacity - size_);
        std::memset(buf_.get() + size_, '\t', now);
        size_ += now;
        count -= now;
    }
}

void DotOutput::put_quoted(const char *text)
{
    // Names are short: a look at each byte costs less than finding the runs
    // between the bytes to escape.
    for (; *text != 0; ++text) {
        if (capacity - size_ < 2)
            flush();
        if (*text == '"' || *text == '\\')
            buf_[size_++] = '\\';
        buf_[size_++] = *text;
    }
}

void DotOutput::put_number(int number)
{
    char digits[16];
    put(digits, static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, number).ptr - digits));
}

void DotOutput::flush()
{
    if (size_ > 0 && fp_ != nullptr)
        std::fwrite(buf_.get(), 1, size_, fp_);
    size_ = 0;
}

// The RSF record reader: block reads, tokens terminated in place.
#include "record_reader.h"

#include <cstring>

namespace {

// The white space of the C locale: blank, \t, \n, \v, \f, \r.
bool is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Every white-space byte, and the NUL, is at most ' ': one comparison
// passes over the ordinary bytes of a token.
bool may_end_token(char c)
{
    return static_cast<unsigned char>(c) <= ' ';
}

// Runs of data longer than this are read in blocks of this size.
constexpr std::size_t steady_block = 1 << 20;

struct Span {
    std::size_t begin;
    std::size_t end;
};

} // namespace

RecordReader::RecordReader(FILE *in, std::size_t block)
    : in_(in), capacity_(block < 2 ? 2 : block), buf_(new char[capacity_])
{
}

std::size_t RecordReader::next_records(RsfRecord *out, std::size_t max)
{
    std::size_t count = 0;
    while (count < max) {
        const Scan scan = scan_record();
        if (scan == Scan::record) {
            out[count++] = {token_[0], token_[1], token_[2], holds_nul_};
            continue;
        }
        // A refill moves the bytes of the records already handed out: they
        // go first, and the refill comes with the next call.
        if (scan == Scan::end || count > 0)
            break;
        refill();
    }
    return count;
}

RecordReader::Scan RecordReader::scan_record()
{
    // The NUL behind the data stops every scan at its end.
    buf_[end_] = 0;
    Span span[3];
    int found = 0;
    bool nul = false;
    std::size_t p = begin_;
    while (found < 3) {
        while (is_space(buf_[p]))
            ++p;
        if (p == end_)
            break;
        const std::size_t begin = p;
        for (;;) {
            while (!may_end_token(buf_[p]))
                ++p;
            if (p == end_ || is_space(buf_[p]))
                break;
            // A control byte or a NUL of the data belongs to the token.
            nul = nul || buf_[p] == 0;
            ++p;
        }
        // A token that reaches the end of the data may go on in the next
        // block, unless the stream has ended.
        if (p == end_ && !at_end_)
            return Scan::need_more;
        span[found++] = {begin, p};
    }
    if (found < 3 && !at_end_)
        return Scan::need_more;
    if (found == 0)
        return Scan::end;
    for (int i = 0; i < found; ++i) {
        buf_[span[i].end] = 0;
        token_[i] = buf_.get() + span[i].begin;
        in_buffer_[i] = true;
    }
    holds_nul_ = nul;
    // The NUL that ends the last token took the place of its separator.
    begin_ = span[found - 1].end < end_ ? span[found - 1].end + 1 : end_;
    return Scan::record;
}

void RecordReader::refill()
{
    // The tokens of the last record are about to move or go: keep copies of
    // those a short record would still read.
    for (int i = 1; i < 3; ++i) {
        if (in_buffer_[i]) {
            kept_[i].assign(token_[i]);
            token_[i] = kept_[i].c_str();
            in_buffer_[i] = false;
        }
    }
    const std::size_t left = end_ - begin_;
    const bool was_full = end_ + 1 == capacity_;
    if (2 * left >= capacity_ || (was_full && capacity_ < steady_block)) {
        // A record that fills half the buffer gets room to grow; a stream
        // that keeps filling it gets larger blocks.
        const std::size_t larger = 2 * capacity_;
        std::unique_ptr<char[]> bigger(new char[larger]);
        std::memcpy(bigger.get(), buf_.get() + begin_, left);
        buf_ = std::move(bigger);
        capacity_ = larger;
    } else {
        std::memmove(buf_.get(), buf_.get() + begin_, left);
    }
    begin_ = 0;
    end_ = left;
    const std::size_t got = std::fread(buf_.get() + end_, 1, capacity_ - 1 - end_, in_);
    end_ += got;
    at_end_ = got == 0;
}

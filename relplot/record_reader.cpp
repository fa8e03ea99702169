// The RSF record reader: chunked reads and tokens ended in place.
#include "record_reader.h"

#include <algorithm>
#include <cstring>

namespace {

// The white space of the C locale: blank, \t, \n, \v, \f, \r.
constexpr bool is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// True for the bytes a token runs on past: all but white space and NUL.
struct TokenBytes {
    bool of[256];
};

constexpr TokenBytes token_bytes()
{
    TokenBytes bytes{};
    for (int c = 1; c < 256; ++c)
        bytes.of[c] = !is_space(static_cast<char>(c));
    return bytes;
}

constexpr TokenBytes in_token = token_bytes();

} // namespace

RecordReader::RecordReader(FILE *in, std::size_t block) : in_(in), block_(std::max<std::size_t>(block, 2)) {}

std::span<const RsfRecord> RecordReader::next_records()
{
    // The tokens of the latest record outlive the chunk they stand in, for
    // a short last record that takes them over.
    for (int i = 0; i < 3; ++i) {
        if (last_[i] != kept_[i].c_str()) {
            kept_[i].assign(last_[i]);
            last_[i] = kept_[i].c_str();
        }
    }
    records_.clear();
    const std::size_t wanted = std::max(block_, 2 * carry_.size() + 2);
    if (capacity_ < wanted) {
        data_.reset(new char[wanted + 1]);
        capacity_ = wanted;
    }
    std::memcpy(data_.get(), carry_.data(), carry_.size());
    size_ = carry_.size();
    carry_.clear();
    for (;;) {
        if (!at_end_) {
            const std::size_t room = capacity_ - size_;
            const std::size_t got = std::fread(data_.get() + size_, 1, room, in_);
            size_ += got;
            // fread gives less than asked only at the end or on an error.
            at_end_ = got < room;
        }
        const std::size_t rest = split(0);
        if (!records_.empty() || at_end_) {
            carry_.assign(data_.get() + rest, size_ - rest);
            return records_;
        }
        // Not one whole record fits: make room for a longer one, keeping
        // what was read.  Nothing of it was ended in place yet.
        std::unique_ptr<char[]> bigger(new char[2 * capacity_ + 1]);
        std::memcpy(bigger.get(), data_.get(), size_);
        data_ = std::move(bigger);
        capacity_ *= 2;
    }
}

std::size_t RecordReader::split(std::size_t begin)
{
    char *const buf = data_.get();
    const std::size_t end = size_;
    // The NUL behind the data stops every scan at its end.
    buf[end] = 0;
    for (;;) {
        Span span[3];
        int found = 0;
        bool nul = false;
        std::size_t p = begin;
        while (found < 3) {
            while (is_space(buf[p]))
                ++p;
            if (p == end)
                break;
            const std::size_t token = p;
            for (;;) {
                while (in_token.of[static_cast<unsigned char>(buf[p])])
                    ++p;
                if (p == end || is_space(buf[p]))
                    break;
                // A NUL of the data belongs to the token.
                nul = true;
                ++p;
            }
            // A token that reaches the end of the data may go on in the
            // next chunk, unless the stream has ended.
            if (p == end && !at_end_)
                return begin;
            span[found++] = {token, p};
        }
        if (found < 3 && !at_end_)
            return begin;
        if (found == 0)
            return end;
        add_record(span, found, nul);
        // The NUL that ends the last token took the place of its separator.
        begin = std::min(span[found - 1].end + 1, end);
    }
}

void RecordReader::add_record(const Span *span, int found, bool nul)
{
    char *const buf = data_.get();
    for (int i = 0; i < found; ++i) {
        buf[span[i].end] = 0;
        last_[i] = buf + span[i].begin;
    }
    records_.push_back({last_[0], last_[1], last_[2], nul});
}

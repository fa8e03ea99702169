// The RSF record reader: chunked reads, tokens ended in place, and the
// optional reading thread.
#include "record_reader.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

// The white space of the C locale: blank, \t, \n, \v, \f, \r.
bool is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Bytes that the scan may read past the end of the data: zeros, the first
// of them the NUL that ends every scan.
constexpr std::size_t scan_slack = 16;

// The first position from `p` on whose byte may end a token: every
// white-space byte, and the NUL, is at most ' ' (so are the other control
// bytes, which the caller passes over).  Sixteen bytes at a time: a chunk's
// data is followed by scan_slack zeros.
std::size_t next_low_byte(const char *buf, std::size_t p)
{
#ifdef __SSE2__
    const __m128i space = _mm_set1_epi8(' ');
    for (;; p += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + p));
        // The unsigned maximum with ' ' is ' ' exactly for the bytes up to ' '.
        const int low = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(bytes, space), space));
        if (low != 0)
            return p + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(low)));
    }
#else
    while (static_cast<unsigned char>(buf[p]) > ' ')
        ++p;
    return p;
#endif
}

struct Span {
    std::size_t begin;
    std::size_t end;
};

// Read inline, two chunks take turns: while one is filled, the other still
// holds the record before, whose operands a short last record takes over.
// A reading thread gets two more, to run ahead with.
constexpr std::size_t inline_chunks = 2;
constexpr std::size_t background_chunks = 4;

} // namespace

RecordReader::RecordReader(FILE *in, std::size_t block, bool background, RecordPreparation prepare,
                           ReaderSideWork side_work)
    : in_(in), block_(std::max<std::size_t>(block, 2)), prepare_(prepare), side_work_(side_work),
      background_(background)
{
    const std::size_t count = background ? background_chunks : inline_chunks;
    for (std::size_t i = 0; i < count; ++i)
        chunks_.push_back(std::make_unique<Chunk>());
    if (background) {
        for (const auto &chunk : chunks_)
            free_.push_back(chunk.get());
        try {
            thread_ = std::thread(&RecordReader::produce, this);
        } catch (const std::system_error &) {
            // No thread to be had (a limit on processes, say): read inline.
            background_ = false;
        }
    }
}

RecordReader::~RecordReader()
{
    if (thread_.joinable()) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
}

std::span<const RsfRecord> RecordReader::next_records()
{
    if (!background_) {
        current_ = (current_ + 1) % chunks_.size();
        Chunk &chunk = *chunks_[current_];
        fill(chunk);
        return chunk.records;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (held_ != nullptr) {
        free_.push_back(held_);
        held_ = nullptr;
        changed_.notify_all();
    }
    changed_.wait(lock, [this] { return !ready_.empty(); });
    Chunk *chunk = ready_.front();
    // The empty chunk that marks the end stays, for any later call.
    if (chunk->records.empty())
        return {};
    ready_.pop_front();
    held_ = chunk;
    return chunk->records;
}

void RecordReader::produce()
{
    for (;;) {
        Chunk *chunk = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return stop_ || !free_.empty(); });
            if (stop_)
                return;
            chunk = free_.front();
            free_.pop_front();
        }
        const bool more = fill(*chunk);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            ready_.push_back(chunk);
        }
        changed_.notify_all();
        if (!more)
            return;
        if (side_work_ != nullptr)
            side_work_();
    }
}

bool RecordReader::fill(Chunk &chunk)
{
    chunk.records.clear();
    const std::size_t wanted = std::max(block_, 2 * carry_.size() + 2);
    if (chunk.capacity < wanted) {
        chunk.data.reset(new char[wanted + scan_slack]);
        chunk.capacity = wanted;
    }
    std::memcpy(chunk.data.get(), carry_.data(), carry_.size());
    chunk.size = carry_.size();
    carry_.clear();
    for (;;) {
        if (!at_end_) {
            const std::size_t room = chunk.capacity - 1 - chunk.size;
            const std::size_t got = std::fread(chunk.data.get() + chunk.size, 1, room, in_);
            chunk.size += got;
            // fread gives less than asked only at the end or on an error.
            at_end_ = got < room;
        }
        const std::size_t rest = split(chunk, 0);
        if (!chunk.records.empty() || at_end_) {
            carry_.assign(chunk.data.get() + rest, chunk.size - rest);
            return !chunk.records.empty();
        }
        // Not one whole record fits: make room for a longer one, keeping
        // what was read.  Nothing of it was ended in place yet.
        const std::size_t larger = 2 * chunk.capacity;
        std::unique_ptr<char[]> bigger(new char[larger + scan_slack]);
        std::memcpy(bigger.get(), chunk.data.get(), chunk.size);
        chunk.data = std::move(bigger);
        chunk.capacity = larger;
    }
}

std::size_t RecordReader::split(Chunk &chunk, std::size_t begin)
{
    char *const buf = chunk.data.get();
    const std::size_t end = chunk.size;
    // The NUL behind the data stops every scan at its end.
    std::memset(buf + end, 0, scan_slack);
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
                p = next_low_byte(buf, p);
                if (p == end || is_space(buf[p]))
                    break;
                // A control byte or a NUL of the data belongs to the token.
                nul = nul || buf[p] == 0;
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
        for (int i = 0; i < found; ++i) {
            buf[span[i].end] = 0;
            last_[i] = buf + span[i].begin;
            // A NUL of the data cuts the token short as a C string.
            last_length_[i] = nul ? std::strlen(last_[i]) : span[i].end - span[i].begin;
        }
        // A short last record keeps the operands before it, copied into
        // this chunk so that it does not depend on another one.
        for (int i = found; i < 3; ++i) {
            chunk.kept[i].assign(last_[i], last_length_[i]);
            last_[i] = chunk.kept[i].c_str();
        }
        RsfRecord &record = chunk.records.emplace_back();
        record.op = last_[0];
        record.opa1 = last_[1];
        record.opa2 = last_[2];
        record.opa1_length = last_length_[1];
        record.opa2_length = last_length_[2];
        record.holds_nul = nul;
        if (prepare_ != nullptr)
            prepare_(record);
        // The NUL that ends the last token took the place of its separator.
        begin = span[found - 1].end < end ? span[found - 1].end + 1 : end;
    }
}

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

// The white-space bytes (bit i for byte i) and the NUL bytes among the 64
// from `p`.
struct ByteKinds {
    std::uint64_t space;
    std::uint64_t nul;
};

ByteKinds byte_kinds(const char *p)
{
    ByteKinds kinds{0, 0};
#ifdef __SSE2__
    const __m128i blank = _mm_set1_epi8(' ');
    const __m128i tab = _mm_set1_epi8('\t');
    const __m128i four = _mm_set1_epi8(4);
    const __m128i zero = _mm_setzero_si128();
    for (int i = 0; i < 4; ++i) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * i));
        // \t, \n, \v, \f and \r are the bytes at most 4 above \t.
        const __m128i above_tab = _mm_sub_epi8(bytes, tab);
        const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(above_tab, four), above_tab);
        const __m128i space = _mm_or_si128(control, _mm_cmpeq_epi8(bytes, blank));
        const int shift = 16 * i;
        kinds.space |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(space))} << shift;
        kinds.nul |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, zero)))}
                     << shift;
    }
#else
    for (int i = 0; i < 64; ++i) {
        kinds.space |= std::uint64_t{is_space(p[i])} << i;
        kinds.nul |= std::uint64_t{p[i] == 0} << i;
    }
#endif
    return kinds;
}

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

struct RecordReader::Span {
    std::size_t begin;
    std::size_t end;
};

std::size_t RecordReader::split(Chunk &chunk, std::size_t begin)
{
    char *const buf = chunk.data.get();
    const std::size_t end = chunk.size;
    begin = split_blocks(chunk, begin);
    // Byte by byte from here: the last records, and those with a NUL.
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
        add_record(chunk, span, found, nul);
        // The NUL that ends the last token took the place of its separator.
        begin = span[found - 1].end < end ? span[found - 1].end + 1 : end;
    }
}

std::size_t RecordReader::split_blocks(Chunk &chunk, std::size_t begin)
{
    const char *const buf = chunk.data.get();
    const std::size_t end = chunk.size;
    std::size_t record_begin = begin;
    // Where tokens begin and end, by turns, not yet taken into a record:
    // fewer than six from blocks before, and those of the current block.
    std::size_t edges[5 + 64];
    std::size_t count = 0;
    // Whether the byte before the block is white space: the one before
    // `begin` ended a record, or there is none.
    std::uint64_t space_before = 1;
    for (std::size_t block = begin; block + 64 <= end; block += 64) {
        const ByteKinds kinds = byte_kinds(buf + block);
        if (kinds.nul != 0)
            break;
        // A bit for every byte where white space ends or begins.
        std::uint64_t changes = kinds.space ^ ((kinds.space << 1) | space_before);
        space_before = kinds.space >> 63;
        for (; changes != 0; changes &= changes - 1)
            edges[count++] = block + static_cast<std::size_t>(__builtin_ctzll(changes));
        // Every six edges make a record.
        std::size_t used = 0;
        for (; count - used >= 6; used += 6) {
            const std::size_t *e = edges + used;
            const Span span[3] = {{e[0], e[1]}, {e[2], e[3]}, {e[4], e[5]}};
            add_record(chunk, span, 3, false);
        }
        if (used > 0) {
            record_begin = edges[used - 1] + 1;
            std::copy(edges + used, edges + count, edges);
            count -= used;
        }
    }
    return record_begin;
}

void RecordReader::add_record(Chunk &chunk, const Span *span, int found, bool nul)
{
    char *const buf = chunk.data.get();
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
    record.op_length = last_length_[0];
    record.opa1_length = last_length_[1];
    record.opa2_length = last_length_[2];
    record.holds_nul = nul;
    if (prepare_ != nullptr)
        prepare_(record);
}

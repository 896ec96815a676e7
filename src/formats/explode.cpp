#include "formats/explode.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace LegacyZip {
namespace {

constexpr std::size_t kWindowSize = 32768;
constexpr std::size_t kInputSize = 4096;
constexpr unsigned kMaxFiller = 4;
constexpr unsigned kMaxCodeLength = 16;

// Compressed bytes and the LSB-first bit buffer. Past the compressed size the
// input goes on with zero bytes, so a decode step can look ahead without a
// bounds test; the steps fail once more than kMaxFiller of them were needed.
class ImplodeInput {
public:
    ImplodeInput(const ByteSource& source, std::uint64_t compressed_size)
        : source_(source), budget_(compressed_size) {}

    unsigned byte() {
        if (pos_ == fill_ && !refill()) {
            ++filler_;
            return 0;
        }
        ++consumed_;
        return input_[pos_++];
    }

    // Tops the bit buffer up to `n` bits; false once the stream has run out.
    bool need(unsigned n) {
        while (count_ < n) {
            bits_ |= static_cast<std::uint32_t>(byte()) << count_;
            count_ += 8;
        }
        return filler_ <= kMaxFiller;
    }

    std::uint32_t peek(unsigned n) const { return bits_ & ((1u << n) - 1); }
    // Codes are stored complemented.
    std::uint32_t peek_complemented(unsigned n) const { return ~bits_ & ((1u << n) - 1); }
    void drop(unsigned n) {
        bits_ >>= n;
        count_ -= n;
    }

    std::uint64_t filler() const { return filler_; }
    std::uint64_t consumed() const { return consumed_; }
    unsigned whole_bytes_held() const { return count_ / 8; }

private:
    bool refill() {
        if (budget_ == 0) return false;
        const std::uint64_t want = std::min<std::uint64_t>(budget_, kInputSize);
        const std::uint64_t got = ReadSource(source_, input_, want);
        // A source that has nothing more is not asked again.
        budget_ = got == 0 ? 0 : budget_ - got;
        fill_ = static_cast<std::size_t>(got);
        pos_ = 0;
        return got != 0;
    }

    const ByteSource& source_;
    std::uint64_t budget_;
    std::uint64_t consumed_ = 0;
    std::uint64_t filler_ = 0;
    unsigned char input_[kInputSize];
    std::size_t fill_ = 0;
    std::size_t pos_ = 0;
    std::uint32_t bits_ = 0;
    unsigned count_ = 0;
};

// A first-level entry either holds a symbol and its code length, or (sub_bits
// above 0) points at a second-level table indexed by the next sub_bits bits.
struct TableEntry {
    std::uint16_t value = 0;
    std::uint8_t bits = 0;
    std::uint8_t sub_bits = 0;
};

struct DecodeTable {
    unsigned width = 0;
    std::vector<TableEntry> entries;
};

unsigned Reverse(unsigned code, unsigned length) {
    unsigned reversed = 0;
    for (unsigned i = 0; i < length; ++i) {
        reversed = (reversed << 1) | (code & 1);
        code >>= 1;
    }
    return reversed;
}

// Reads a tree description: a count byte k, then k + 1 bytes each giving
// (high nibble + 1) symbols the length (low nibble + 1).
bool ReadLengths(ImplodeInput& in, unsigned symbols, std::uint8_t* lengths) {
    const std::uint64_t filler_before = in.filler();
    const unsigned runs = in.byte() + 1;
    unsigned next = 0;
    for (unsigned r = 0; r < runs; ++r) {
        const unsigned b = in.byte();
        const unsigned count = (b >> 4) + 1;
        if (next + count > symbols) return false;
        std::fill(lengths + next, lengths + next + count, static_cast<std::uint8_t>((b & 15) + 1));
        next += count;
    }
    return next == symbols && in.filler() == filler_before;
}

// Builds the lookup table of the canonical code with these lengths (1..16);
// false when the code is over-subscribed, or incomplete with a longest code
// above 1 bit.
bool BuildTable(const std::uint8_t* lengths, unsigned symbols, unsigned wanted_width, DecodeTable& table) {
    unsigned counts[kMaxCodeLength + 1] = {};
    for (unsigned s = 0; s < symbols; ++s) ++counts[lengths[s]];
    unsigned shortest = kMaxCodeLength, longest = 1;
    long left = 1;
    for (unsigned len = 1; len <= kMaxCodeLength; ++len) {
        left = left * 2 - counts[len];
        if (left < 0) return false;
        if (counts[len] != 0) {
            shortest = std::min(shortest, len);
            longest = len;
        }
    }
    if (left > 0 && longest > 1) return false;

    unsigned next_code[kMaxCodeLength + 2] = {};
    for (unsigned len = 1, code = 0; len <= kMaxCodeLength; ++len) {
        code = (code + counts[len - 1]) << 1;
        next_code[len] = code;
    }
    const unsigned width = std::clamp(wanted_width, shortest, longest);
    const unsigned first_size = 1u << width;
    unsigned reversed[256];
    unsigned sub_bits[1u << 9] = {};  // width never exceeds 9
    for (unsigned s = 0; s < symbols; ++s) {
        const unsigned len = lengths[s];
        reversed[s] = Reverse(next_code[len]++, len);
        if (len > width) {
            unsigned& bits = sub_bits[reversed[s] & (first_size - 1)];
            bits = std::max(bits, len - width);
        }
    }
    std::size_t total = first_size;
    for (unsigned p = 0; p < first_size; ++p)
        if (sub_bits[p] != 0) total += std::size_t{1} << sub_bits[p];
    try {
        table.entries.assign(total, TableEntry{});
    } catch (const std::bad_alloc&) {
        return false;
    }
    table.width = width;

    std::size_t next_sub = first_size;
    for (unsigned p = 0; p < first_size; ++p) {
        if (sub_bits[p] == 0) continue;
        table.entries[p] = {static_cast<std::uint16_t>(next_sub), 0, static_cast<std::uint8_t>(sub_bits[p])};
        next_sub += std::size_t{1} << sub_bits[p];
    }
    for (unsigned s = 0; s < symbols; ++s) {
        const unsigned len = lengths[s];
        if (len <= width) {
            for (unsigned i = reversed[s]; i < first_size; i += 1u << len)
                table.entries[i] = {static_cast<std::uint16_t>(s), static_cast<std::uint8_t>(len), 0};
        } else {
            const TableEntry& link = table.entries[reversed[s] & (first_size - 1)];
            const unsigned rest = len - width;
            for (unsigned i = reversed[s] >> width; i < (1u << link.sub_bits); i += 1u << rest)
                table.entries[link.value + i] = {static_cast<std::uint16_t>(s), static_cast<std::uint8_t>(rest), 0};
        }
    }
    return true;
}

bool ReadTree(ImplodeInput& in, unsigned symbols, unsigned wanted_width, DecodeTable& table) {
    std::uint8_t lengths[256];
    return ReadLengths(in, symbols, lengths) && BuildTable(lengths, symbols, wanted_width, table);
}

// False when the stream ran out before the code was complete.
bool DecodeSymbol(ImplodeInput& in, const DecodeTable& table, unsigned& symbol) {
    if (!in.need(table.width)) return false;
    TableEntry entry = table.entries[in.peek_complemented(table.width)];
    if (entry.sub_bits != 0) {
        in.drop(table.width);
        if (!in.need(entry.sub_bits)) return false;
        entry = table.entries[entry.value + in.peek_complemented(entry.sub_bits)];
    }
    in.drop(entry.bits);
    symbol = entry.value;
    return true;
}

Status Fail(std::string* error, const char* message) {
    if (error) *error = message;
    return Status::BadStream;
}

}  // namespace

Status Explode(const ByteSource& source, std::uint64_t compressed_size, std::uint64_t declared_size,
               bool dictionary_8k, bool literal_tree, const ByteSink& sink, std::string* error) {
    ImplodeInput in(source, compressed_size);

    DecodeTable literals, lengths, distances;
    if (literal_tree && !ReadTree(in, 256, 9, literals))
        return Fail(error, "invalid literal code in the implode stream");
    if (!ReadTree(in, 64, 7, lengths)) return Fail(error, "invalid length code in the implode stream");
    const unsigned distance_width = compressed_size - std::min(compressed_size, in.consumed()) > 200000 ? 8 : 7;
    if (!ReadTree(in, 64, distance_width, distances))
        return Fail(error, "invalid distance code in the implode stream");

    const unsigned length_base = literal_tree ? 3 : 2;
    const unsigned low_distance_bits = dictionary_8k ? 7 : 6;

    std::vector<unsigned char> window_storage(kWindowSize, 0);
    unsigned char* const window = window_storage.data();
    std::size_t write = 0;
    bool first_pass = true;
    OutputLimiter out{0, false, sink, declared_size};
    std::uint64_t remaining = declared_size;

    while (remaining > 0) {
        if (!in.need(1)) return Fail(error, "the implode stream ends early");
        const bool is_literal = in.peek(1) != 0;
        in.drop(1);
        if (is_literal) {
            unsigned byte;
            if (literal_tree) {
                if (!DecodeSymbol(in, literals, byte)) return Fail(error, "invalid literal in the implode stream");
            } else {
                if (!in.need(8)) return Fail(error, "the implode stream ends early");
                byte = in.peek(8);
                in.drop(8);
            }
            window[write++] = static_cast<unsigned char>(byte);
            if (write == kWindowSize) {
                if (!out.emit(window, kWindowSize, error)) return out.failure();
                write = 0;
                first_pass = false;
            }
            --remaining;
            continue;
        }

        if (!in.need(low_distance_bits)) return Fail(error, "the implode stream ends early");
        std::size_t distance = in.peek(low_distance_bits);
        in.drop(low_distance_bits);
        unsigned symbol;
        if (!DecodeSymbol(in, distances, symbol)) return Fail(error, "invalid distance in the implode stream");
        distance += 1 + (static_cast<std::size_t>(symbol) << low_distance_bits);
        if (!DecodeSymbol(in, lengths, symbol)) return Fail(error, "invalid length in the implode stream");
        std::size_t length = length_base + symbol;
        if (symbol == 63) {
            if (!in.need(8)) return Fail(error, "the implode stream ends early");
            length += in.peek(8);
            in.drop(8);
        }
        remaining = length > remaining ? 0 : remaining - length;

        // The whole match is copied even past the declared size, so that a
        // stream that overshoots is caught by the limiter.
        std::size_t from = (write - distance) & (kWindowSize - 1);
        while (length > 0) {
            const std::size_t n = std::min(length, kWindowSize - std::max(from, write));
            if (first_pass && from >= write) {
                std::memset(window + write, 0, n);  // before the start of the output
            } else if (from + n <= write || write + n <= from) {
                std::memcpy(window + write, window + from, n);
            } else {
                for (std::size_t i = 0; i < n; ++i) window[write + i] = window[from + i];
            }
            length -= n;
            write += n;
            from = (from + n) & (kWindowSize - 1);
            if (write == kWindowSize) {
                if (!out.emit(window, kWindowSize, error)) return out.failure();
                write = 0;
                first_pass = false;
            }
        }
    }

    if (!out.emit(window, write, error)) return out.failure();
    if (in.filler() > in.whole_bytes_held()) return Fail(error, "the implode stream needed bytes past its end");
    return Status::Ok;
}

}  // namespace LegacyZip

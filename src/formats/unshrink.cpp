#include "formats/unshrink.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace LegacyZip {
namespace {

constexpr unsigned kCodes = 8192;
constexpr unsigned kControl = 256;
constexpr std::uint16_t kFree = 0x2000;
constexpr std::uint16_t kHasChild = 0x4000;
constexpr std::uint16_t kParentMask = 0x1FFF;
constexpr unsigned kMaxCodeSize = 13;
constexpr std::size_t kWindowSize = 32768;
constexpr std::size_t kInputSize = 4096;

// Everything the decoder indexes by code lives in one block, so a call costs
// exactly one allocation.
struct Tables {
    std::uint16_t parent[kCodes];
    unsigned char value[kCodes];
    unsigned char stack[kCodes];
    unsigned char window[kWindowSize];
};
static_assert(sizeof(Tables) == 65536);

class CodeReader {
public:
    explicit CodeReader(const ByteSource& source) : source_(source) {}

    // False when the stream holds fewer than `size` more bits.
    bool read(unsigned size, unsigned& code) {
        if (count_ < size) {
            while (count_ <= 56) {
                if (pos_ == fill_) {
                    fill_ = static_cast<std::size_t>(ReadSource(source_, input_, kInputSize));
                    pos_ = 0;
                    if (fill_ == 0) break;
                }
                bits_ |= static_cast<std::uint64_t>(input_[pos_++]) << count_;
                count_ += 8;
            }
            if (count_ < size) return false;
        }
        code = static_cast<unsigned>(bits_ & ((1u << size) - 1));
        bits_ >>= size;
        count_ -= size;
        return true;
    }

private:
    const ByteSource& source_;
    unsigned char input_[kInputSize];
    std::size_t fill_ = 0;
    std::size_t pos_ = 0;
    std::uint64_t bits_ = 0;
    unsigned count_ = 0;
};

Status Fail(std::string* error, const char* message) {
    if (error) *error = message;
    return Status::BadStream;
}

// Frees every code in 257..last that is nobody's parent.
void PartialClear(Tables& t, unsigned last) {
    for (unsigned k = kControl + 1; k <= last; ++k) {
        const unsigned parent = t.parent[k] & kParentMask;
        if (parent > kControl) t.parent[parent] |= kHasChild;
    }
    for (unsigned k = kControl + 1; k <= last; ++k) {
        if (t.parent[k] & kHasChild)
            t.parent[k] &= static_cast<std::uint16_t>(~kHasChild);
        else
            t.parent[k] = kFree;
    }
}

}  // namespace

Status Unshrink(const ByteSource& source, std::uint64_t declared_size, const ByteSink& sink,
                std::string* error) {
    auto tables = std::make_unique<Tables>();
    Tables& t = *tables;
    for (unsigned c = 0; c < 256; ++c) {
        t.parent[c] = kControl;
        t.value[c] = static_cast<unsigned char>(c);
    }
    t.parent[kControl] = 0;
    for (unsigned c = kControl + 1; c < kCodes; ++c) t.parent[c] = kFree;

    CodeReader reader(source);
    OutputLimiter out{0, false, sink, declared_size};
    std::size_t window_fill = 0;

    unsigned code_size = 9;
    unsigned code = 0;
    if (!reader.read(code_size, code)) {
        if (declared_size == 0) return Status::Ok;
        return Fail(error, "less output than the declared size");
    }
    unsigned char first_byte = static_cast<unsigned char>(code);
    t.window[window_fill++] = first_byte;
    unsigned previous = code;
    unsigned last_assigned = kControl;

    while (reader.read(code_size, code)) {
        if (code == kControl) {
            unsigned control = 0;
            if (!reader.read(code_size, control)) break;
            if (control == 1) {
                if (code_size == kMaxCodeSize) return Fail(error, "shrink code size over 13 bits");
                ++code_size;
            } else if (control == 2) {
                if (last_assigned > kControl) PartialClear(t, last_assigned);
                last_assigned = kControl;
            }
            continue;
        }

        // Walk the string from its last byte to its first, filling the stack downwards.
        int index = static_cast<int>(kCodes) - 1;
        unsigned current = code;
        bool complete = false;
        if (t.parent[code] == kFree) {
            // Not yet defined: the previous string followed by its own first byte.
            t.stack[index--] = first_byte;
            current = previous;
            complete = previous == kControl;
        }
        while (!complete) {
            if (index < 0) return Fail(error, "shrink stream overflows the decoding stack");
            unsigned next;
            if (t.parent[current] == kFree) {
                t.stack[index] = first_byte;
                next = previous;
            } else {
                t.stack[index] = t.value[current];
                next = t.parent[current] & kParentMask;
            }
            --index;
            current = next;
            complete = current == kControl;
        }
        const std::size_t start = static_cast<std::size_t>(index + 1);
        first_byte = t.stack[start];

        std::size_t remaining = kCodes - start;
        const unsigned char* piece = t.stack + start;
        while (remaining > 0) {
            const std::size_t n = std::min(remaining, kWindowSize - window_fill);
            std::memcpy(t.window + window_fill, piece, n);
            window_fill += n;
            piece += n;
            remaining -= n;
            if (window_fill == kWindowSize) {
                if (!out.emit(t.window, window_fill, error)) return out.failure();
                window_fill = 0;
            }
        }

        do {
            if (++last_assigned >= kCodes) return Fail(error, "shrink stream overflows the code table");
        } while (t.parent[last_assigned] != kFree);
        t.value[last_assigned] = first_byte;
        t.parent[last_assigned] = static_cast<std::uint16_t>(previous);
        previous = code;
    }

    if (!out.emit(t.window, window_fill, error)) return out.failure();
    if (out.produced != declared_size) return Fail(error, "less output than the declared size");
    return Status::Ok;
}

}  // namespace LegacyZip

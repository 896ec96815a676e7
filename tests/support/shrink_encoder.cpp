#include "support/shrink_encoder.h"

#include "support/bit_writer.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>

namespace testsupport {
namespace {

constexpr unsigned kCodes = 8192;
constexpr unsigned kControl = 256;
constexpr std::uint16_t kFree = 0x2000;
constexpr std::uint16_t kHasChild = 0x4000;
constexpr std::uint16_t kParentMask = 0x1FFF;

struct Table {
    std::uint16_t parent[kCodes];
    unsigned char value[kCodes];
    std::vector<std::uint16_t> child = std::vector<std::uint16_t>(kCodes * 256, 0);  // (parent, byte) -> code
    unsigned last = kControl;

    Table() {
        for (unsigned c = 0; c < kCodes; ++c) {
            parent[c] = c < 256 ? kControl : c == kControl ? 0 : kFree;
            value[c] = c < 256 ? static_cast<unsigned char>(c) : 0;
        }
    }

    std::uint16_t& link(unsigned code, unsigned char byte) { return child[code * 256 + byte]; }

    // Same rule as the decoder: the lowest free code above the last one assigned.
    unsigned next_free() const {
        unsigned c = last + 1;
        while (c < kCodes && parent[c] != kFree) ++c;
        return c;
    }

    void partial_clear() {
        for (unsigned k = kControl + 1; k <= last; ++k) {
            const unsigned p = parent[k] & kParentMask;
            if (p > kControl) parent[p] |= kHasChild;
        }
        for (unsigned k = kControl + 1; k <= last; ++k) {
            if (parent[k] & kHasChild) {
                parent[k] &= static_cast<std::uint16_t>(~kHasChild);
            } else if (parent[k] != kFree) {
                std::uint16_t& l = link(parent[k] & kParentMask, value[k]);
                if (l == k) l = 0;
                parent[k] = kFree;
            }
        }
        last = kControl;
    }
};

}  // namespace

std::vector<unsigned char> ShrinkEncode(const std::vector<unsigned char>& data, const ShrinkOptions& options,
                                        ShrinkStats* stats) {
    ShrinkStats seen;
    std::vector<unsigned char> out;
    if (data.empty()) {
        if (stats) *stats = seen;
        return out;
    }
    BitWriter bits(out);
    auto table = std::make_unique<Table>();
    Table& t = *table;
    unsigned size = 9;
    unsigned long long codes = 0;

    auto send = [&](unsigned code) {
        while (code >= (1u << size)) {
            bits.put(kControl, size);
            bits.put(1, size);
            ++size;
        }
        bits.put(code, size);
    };
    std::size_t i = 0;
    auto match = [&]() {
        const std::size_t start = i;
        unsigned code = data[i++];
        while (i < data.size()) {
            const unsigned next = t.link(code, data[i]);
            if (next == 0) break;
            code = next;
            ++i;
        }
        seen.longest_string = std::max(seen.longest_string, i - start);
        return code;
    };

    unsigned code = match();
    for (;;) {
        send(code);
        ++codes;
        if (i == data.size()) break;
        unsigned entry = t.next_free();
        if (entry == kCodes || (options.clear_every != 0 && codes % options.clear_every == 0)) {
            bits.put(kControl, size);
            bits.put(2, size);
            t.partial_clear();
            ++seen.clears;
            entry = t.next_free();
            if (entry == kCodes) throw std::logic_error("shrink encoder: nothing freed by a partial clear");
        }
        // The entry the decoder adds when it reads the next code.
        t.parent[entry] = static_cast<std::uint16_t>(code);
        t.value[entry] = data[i];
        t.link(code, data[i]) = static_cast<std::uint16_t>(entry);
        t.last = entry;
        code = match();
    }
    bits.flush();
    seen.code_size = size;
    if (stats) *stats = seen;
    return out;
}

}  // namespace testsupport

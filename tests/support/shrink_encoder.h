// Test-side shrink (ZIP method 1) encoder. It keeps its code table exactly as
// the decoder will, so every partial clear and code-size raise it sends stays
// in step with the decoder.
#pragma once

#include <cstddef>
#include <vector>

namespace testsupport {

struct ShrinkOptions {
    // Sends a partial clear after every this many codes; 0 clears only when
    // the code table is full.
    unsigned clear_every = 0;
};

// What a stream ended up using, so tests can show they reach the limits.
struct ShrinkStats {
    unsigned code_size = 9;         // the widest code size sent
    unsigned long long clears = 0;  // partial clears sent
    std::size_t longest_string = 0; // bytes of the longest string sent as one code
};

// Greedy LZW with code sizes raised on demand (256, 1) up to 13 bits.
std::vector<unsigned char> ShrinkEncode(const std::vector<unsigned char>& data, const ShrinkOptions& options = {},
                                        ShrinkStats* stats = nullptr);

}  // namespace testsupport

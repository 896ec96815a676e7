// Test-side implode (ZIP method 6) encoder for all four kinds: 4 KiB or
// 8 KiB dictionary, two trees (raw literals) or three (coded literals).
#pragma once

#include <cstdint>
#include <vector>

namespace testsupport {

struct ImplodeKind {
    bool dictionary_8k = false;
    bool literal_tree = false;
    // The member's general-purpose flags for this kind (bits 1 and 2).
    std::uint16_t flags() const { return static_cast<std::uint16_t>((dictionary_8k ? 2 : 0) | (literal_tree ? 4 : 0)); }
};

// Greedy LZ77 over the dictionary, with the output treated as preceded by
// zeros (so leading zeros become matches reaching before the start), lengths
// up to the longest the kind allows (symbol 63 plus its extra byte), and
// Huffman code lengths limited to 16 bits.
std::vector<unsigned char> ImplodeEncode(const std::vector<unsigned char>& data, ImplodeKind kind);

// The tree description of a code with these lengths (1..16), as the stream carries it.
std::vector<unsigned char> DescribeTree(const std::vector<unsigned char>& lengths);

}  // namespace testsupport

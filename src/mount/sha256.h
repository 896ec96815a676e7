// SHA-256 (FIPS 180-4) of a byte string, for the archive fingerprint.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ArchiveMount {

// The digest of bytes given in pieces, so that a long text need never be
// held whole.
class Sha256 {
public:
    void Update(std::string_view bytes);
    // The digest as 64 lowercase hexadecimal digits, high nibble first; the
    // object is spent afterwards.
    std::string HexDigest();

private:
    std::array<std::uint32_t, 8> state_ = {
        0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
    };
    std::array<unsigned char, 64> block_{};
    std::size_t used_ = 0;  // bytes waiting in block_
    std::uint64_t length_ = 0;
};

// The digest of the text's bytes as 64 lowercase hexadecimal digits, high
// nibble first.
std::string Sha256Hex(std::string_view text);

}  // namespace ArchiveMount

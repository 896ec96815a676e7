// Little-endian byte images for building archive fixtures in tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace testsupport {

using Bytes = std::vector<unsigned char>;

Bytes ToBytes(std::string_view text);
// `count` bytes counting up from `seed`, so misplaced bytes show in comparisons.
Bytes Pattern(std::size_t count, unsigned char seed = 0);

void PutU8(Bytes& out, std::uint8_t value);
void PutU16(Bytes& out, std::uint16_t value);
void PutU32(Bytes& out, std::uint32_t value);
void PutU64(Bytes& out, std::uint64_t value);
void PutBytes(Bytes& out, const Bytes& bytes);

// Overwrite a field already in the image.
void SetU16(Bytes& image, std::size_t at, std::uint16_t value);
void SetU32(Bytes& image, std::size_t at, std::uint32_t value);
void SetU64(Bytes& image, std::size_t at, std::uint64_t value);

std::uint32_t Crc32(const Bytes& bytes);

}  // namespace testsupport

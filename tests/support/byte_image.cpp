#include "support/byte_image.h"

#include <zlib.h>

namespace testsupport {

namespace {

void Put(Bytes& out, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

void Set(Bytes& image, std::size_t at, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) image.at(at + i) = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

Bytes ToBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes Pattern(std::size_t count, unsigned char seed) {
    Bytes out(count);
    for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<unsigned char>(seed + i * 7 + (i >> 8));
    return out;
}

void PutU8(Bytes& out, std::uint8_t value) { out.push_back(value); }
void PutU16(Bytes& out, std::uint16_t value) { Put(out, value, 2); }
void PutU32(Bytes& out, std::uint32_t value) { Put(out, value, 4); }
void PutU64(Bytes& out, std::uint64_t value) { Put(out, value, 8); }
void PutBytes(Bytes& out, const Bytes& bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

void SetU16(Bytes& image, std::size_t at, std::uint16_t value) { Set(image, at, value, 2); }
void SetU32(Bytes& image, std::size_t at, std::uint32_t value) { Set(image, at, value, 4); }
void SetU64(Bytes& image, std::size_t at, std::uint64_t value) { Set(image, at, value, 8); }

std::uint32_t Crc32(const Bytes& bytes) {
    return static_cast<std::uint32_t>(::crc32(::crc32(0, nullptr, 0), bytes.data(), static_cast<uInt>(bytes.size())));
}

}  // namespace testsupport

// Little-endian field loads for the on-disk formats; callers check bounds.
#pragma once

#include <cstddef>
#include <cstdint>

namespace LittleEndian {

inline std::uint64_t Load(const unsigned char* p, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = width; i-- > 0;) value = (value << 8) | p[i];
    return value;
}

inline std::uint16_t U16(const unsigned char* p) { return static_cast<std::uint16_t>(Load(p, 2)); }
inline std::uint32_t U32(const unsigned char* p) { return static_cast<std::uint32_t>(Load(p, 4)); }
inline std::uint64_t U64(const unsigned char* p) { return Load(p, 8); }

}  // namespace LittleEndian

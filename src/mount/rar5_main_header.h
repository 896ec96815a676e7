// The RAR 5 main archive header, read from the archive's first bytes before
// the library sees the archive, so that a volume is refused up front.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace ArchiveMount {

// Reads one RAR 5 variable-length integer at `*position` (7 bits per byte, low
// group first, at most 10 bytes) and advances past it. Empty, with the
// position unspecified, when it would run past `length` or is longer than
// 10 bytes.
std::optional<std::uint64_t> ReadRar5Number(const unsigned char* bytes, std::size_t length, std::size_t* position);

// The archive flags of the main archive header that follows the signature and
// header CRC (the CRC is not checked). Empty when the header is not a main
// archive header or does not fit in `length` bytes.
std::optional<std::uint64_t> ParseRar5MainHeader(const unsigned char* bytes, std::size_t length);

}  // namespace ArchiveMount

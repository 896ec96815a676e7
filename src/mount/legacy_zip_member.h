// Legacy ZIP members (shrink, implode): read straight from the archive file,
// decoded by the helper's own decoders and checked against the stored CRC.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ArchiveMount {

// The ZIP CRC-32 (reflected 0xEDB88320, preset and inverted) carried on over
// `count` more bytes; starting from 0 gives the CRC of the empty sequence.
std::uint32_t Crc32Update(std::uint32_t crc, const unsigned char* bytes, std::size_t count);

}  // namespace ArchiveMount

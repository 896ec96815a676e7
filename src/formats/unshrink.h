// Decoder for ZIP method 1 (shrink): dynamic LZW with 9- to 13-bit codes and
// partial clearing.
#pragma once

#include "formats/legacy_zip.h"

#include <cstdint>
#include <string>

namespace LegacyZip {

// Decodes the whole shrink stream that `source` delivers (it ends when the
// source returns 0) into `sink` in blocks of 32,768 bytes. Ok only if exactly
// `declared_size` bytes came out; on failure `error` (when not null) gets the
// message. Bytes already passed to the sink stay passed.
Status Unshrink(const ByteSource& source, std::uint64_t declared_size, const ByteSink& sink,
                std::string* error);

}  // namespace LegacyZip

// Decoder for ZIP method 6 (implode): an LZ77 window of 4 KiB or 8 KiB with
// Shannon-Fano coded lengths and distances and, in three-tree streams, coded
// literals.
#pragma once

#include "formats/legacy_zip.h"

#include <cstdint>
#include <string>

namespace LegacyZip {

// Decodes an implode stream of `compressed_size` bytes (the source is never
// asked for more) into `sink` in blocks of 32,768 bytes, stopping once
// `declared_size` bytes are due. `dictionary_8k` and `literal_tree` are the
// member's general-purpose flag bits 1 and 2. A stream shorter than its
// compressed size is read on with zero bytes, at most 4 of them. On failure
// `error` (when not null) gets the message.
Status Explode(const ByteSource& source, std::uint64_t compressed_size, std::uint64_t declared_size,
               bool dictionary_8k, bool literal_tree, const ByteSink& sink, std::string* error);

}  // namespace LegacyZip

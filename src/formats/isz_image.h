// ISZ compressed disc images: header checks, the chunk table and the content CRC.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "mount/archive_error.h"

namespace IszImage {

enum class ChunkType : std::uint8_t { Zero = 0, Stored = 1, Zlib = 2, Bzip2 = 3 };

struct Chunk {
    std::uint64_t offset = 0;  // absolute file offset of the stored bytes
    std::uint32_t length = 0;  // stored length; 0 for Zero
    std::uint8_t type = 0;     // a ChunkType
};

struct Index {
    std::uint64_t image_size = 0;
    std::uint32_t block_size = 0;
    std::uint64_t data_offset = 0;
    std::vector<Chunk> chunks;  // empty when the image is stored raw
};

struct IndexResult {
    ArchiveMount::Error status = ArchiveMount::Error::Ok;
    std::string message;
    Index index;
};

inline constexpr std::size_t kIszHeaderBytes = 48;
inline constexpr std::uint64_t kMaxIszChunks = 0x400000;
inline constexpr std::uint32_t kMaxIszBlockSize = 0x1000000;

// Checks the ISZ header of the file behind `descriptor` (whose size the caller
// learned as `file_size`), refuses what is not served and builds the chunk
// list. Reads only the header and the chunk table; the descriptor's position
// is left where it was.
IndexResult ReadIndex(int descriptor, std::int64_t file_size, std::int64_t member_cap);

// A CRC-32 over a sample of the stored content: the first and last 64 KiB of
// a raw image, or the first and last non-empty chunk. Ok, or Damaged when a
// range runs past the file end, OpenFailed for other failures (and for a null
// `crc`).
ArchiveMount::Error ContentCrc(int descriptor, const Index& index, std::uint32_t* crc, std::string* error);

}  // namespace IszImage

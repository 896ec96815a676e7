// ISZ compressed disc images: header checks, the chunk table and the content CRC.
#pragma once

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

}  // namespace IszImage

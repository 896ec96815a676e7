// Builds ISZ image files: the 48-byte header (padded to its declared size),
// an optional masked chunk table, and the stored chunk bytes back to back.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "support/byte_image.h"

namespace testsupport {

struct IszChunkFields {
    std::uint8_t type = 0;  // 0 zero, 1 stored, 2 zlib, 3 bzip2
    Bytes stored;           // the bytes written to the data area
    // The length the pointer carries; default the stored length (0 for zero chunks).
    std::optional<std::uint64_t> pointer_length_field;
};

IszChunkFields ZeroChunk();
IszChunkFields StoredChunk(Bytes data);
IszChunkFields ZlibChunk(const Bytes& plain);
// A bzip2 stream whose first three bytes (the "BZh" signature) are replaced,
// as ISZ stores it.
IszChunkFields Bzip2Chunk(const Bytes& plain);

// Header fields; unset ones get the values that describe the image.
struct IszHeaderFields {
    std::uint8_t header_size = 64;
    std::uint16_t sector_size = 2048;
    std::optional<std::uint32_t> total_sectors;
    std::uint8_t has_password = 0;
    std::uint64_t segment_size = 0;
    std::optional<std::uint32_t> block_count;
    std::uint32_t block_size = 65536;
    std::uint8_t pointer_length = 3;
    std::optional<std::uint32_t> chunk_table_offset;
    std::uint32_t segment_table_offset = 0;
    std::optional<std::uint32_t> data_offset;
};

class IszImageWriter {
public:
    IszHeaderFields& header() { return header_; }
    // No chunk table: the image is stored raw after the header.
    IszImageWriter& Raw(Bytes image);
    // The image is `image_size` bytes cut into the given chunks.
    IszImageWriter& Chunks(std::uint64_t image_size, std::vector<IszChunkFields> chunks);

    Bytes Build() const;

private:
    IszHeaderFields header_;
    std::uint64_t image_size_ = 0;
    Bytes raw_;
    std::optional<std::vector<IszChunkFields>> chunks_;
};

// Cuts `image` into `block_size` blocks and stores each as `type`, with
// all-zero blocks as zero chunks when `zero_blocks` is set.
std::vector<IszChunkFields> ChunksOf(const Bytes& image, std::uint32_t block_size, std::uint8_t type,
                                   bool zero_blocks = true);

}  // namespace testsupport

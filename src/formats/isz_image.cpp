#include "formats/isz_image.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <zlib.h>

#include "formats/file_range.h"
#include "formats/little_endian.h"

namespace IszImage {

namespace {

using ArchiveMount::Error;
using LittleEndian::U16;
using LittleEndian::U32;
using LittleEndian::U64;

constexpr std::uint32_t kSectorBytes = 2048;
constexpr std::uint64_t kCrcSampleBytes = 65536;
// Chunk pointers are stored XORed with these bytes, cycling.
constexpr std::array<unsigned char, 4> kPointerMask = {0xB6, 0x8C, 0xA5, 0xDE};

IndexResult Fail(Error status, std::string message) {
    IndexResult result;
    result.status = status;
    result.message = std::move(message);
    return result;
}

std::string Decimal(std::uint64_t value) { return std::to_string(value); }

}  // namespace

IndexResult ReadIndex(int descriptor, std::int64_t file_size, std::int64_t member_cap) {
    if (descriptor < 0 || file_size < 0) return Fail(Error::OpenFailed, "no file to read");
    const auto size = static_cast<std::uint64_t>(file_size);
    std::vector<unsigned char> header;
    if (ReadFileRange(descriptor, 0, std::min<std::uint64_t>(size, kIszHeaderBytes), header) !=
        ZipCentralDirectory::Status::Ok) {
        return Fail(Error::OpenFailed, "cannot read the header");
    }
    if (header.size() < 4 || std::memcmp(header.data(), "IsZ!", 4) != 0) {
        return Fail(Error::NotRecognized, "no IsZ! signature");
    }
    if (header.size() < kIszHeaderBytes) return Fail(Error::Damaged, "header truncated");

    const unsigned header_size = header[4];
    const std::uint16_t sector_size = U16(&header[10]);
    const std::uint32_t total_sectors = U32(&header[12]);
    const unsigned has_password = header[16];
    const std::uint64_t segment_size = U64(&header[17]);
    const std::uint32_t block_count = U32(&header[25]);
    const std::uint32_t block_size = U32(&header[29]);
    const unsigned pointer_length = header[33];
    const std::uint32_t table_offset = U32(&header[35]);
    const std::uint32_t segment_table_offset = U32(&header[39]);
    const std::uint32_t data_offset = U32(&header[43]);

    if (header_size < kIszHeaderBytes) {
        return Fail(Error::Damaged, "header size " + Decimal(header_size) + " below 48");
    }
    if (sector_size != kSectorBytes) {
        return Fail(Error::Damaged, "sector size " + Decimal(sector_size) + ", not 2048");
    }
    if (has_password != 0) {
        return Fail(Error::PasswordProtected, "encrypted (has_password " + Decimal(has_password) + ")");
    }
    if (segment_size != 0 || segment_table_offset != 0) {
        return Fail(Error::MultiVolume, "segmented: one part of a set");
    }
    if (block_size == 0 || block_size > kMaxIszBlockSize || block_size % kSectorBytes != 0) {
        return Fail(Error::Damaged, "block size " + Decimal(block_size));
    }
    if (total_sectors == 0) return Fail(Error::Damaged, "total sectors 0");
    const std::uint64_t image_size = static_cast<std::uint64_t>(total_sectors) * kSectorBytes;
    if (static_cast<std::int64_t>(image_size) > member_cap) {
        return Fail(Error::SizeOverLimit, "image of " + Decimal(image_size) + " bytes over the member cap");
    }
    const std::uint64_t chunk_count = (image_size + block_size - 1) / block_size;
    if (chunk_count > block_count || chunk_count > kMaxIszChunks) {
        return Fail(Error::Damaged,
                    "chunk count " + Decimal(chunk_count) + " (nblocks " + Decimal(block_count) + ")");
    }

    IndexResult result;
    result.index.image_size = image_size;
    result.index.block_size = block_size;
    result.index.data_offset = data_offset;

    if (table_offset == 0) {
        if (data_offset > size || size - data_offset < image_size) {
            return Fail(Error::Damaged, "data end past the file size");
        }
        return result;
    }

    if (pointer_length == 0 || pointer_length > 8) {
        return Fail(Error::Damaged, "pointer length " + Decimal(pointer_length));
    }
    const std::uint64_t table_bytes = chunk_count * pointer_length;
    if (table_offset > size || size - table_offset < table_bytes) {
        return Fail(Error::Damaged, "chunk table runs past the file");
    }
    std::vector<unsigned char> table;
    if (ReadFileRange(descriptor, table_offset, table_bytes, table) != ZipCentralDirectory::Status::Ok) {
        return Fail(Error::Damaged, "cannot read the chunk table");
    }
    for (std::size_t i = 0; i < table.size(); ++i) table[i] ^= kPointerMask[i % kPointerMask.size()];

    // With at most 2^22 chunks of at most 2^24 bytes after a 32-bit data
    // offset, the running offset cannot overflow.
    const unsigned length_bits = 8 * pointer_length - 2;
    const std::uint64_t length_mask = (std::uint64_t{1} << length_bits) - 1;
    std::uint64_t running = data_offset;
    result.index.chunks.reserve(static_cast<std::size_t>(chunk_count));
    for (std::uint64_t i = 0; i < chunk_count; ++i) {
        const std::uint64_t pointer = LittleEndian::Load(&table[i * pointer_length], pointer_length);
        const auto type = static_cast<ChunkType>(pointer >> length_bits);
        const std::uint64_t length = pointer & length_mask;
        if (length > block_size) return Fail(Error::Damaged, "chunk " + Decimal(i) + ": length over the block size");
        if (length == 0 && (type == ChunkType::Zlib || type == ChunkType::Bzip2)) {
            return Fail(Error::Damaged, "chunk " + Decimal(i) + ": empty compressed chunk");
        }
        Chunk chunk;
        chunk.offset = running;
        chunk.type = static_cast<std::uint8_t>(type);
        if (type != ChunkType::Zero) {
            chunk.length = static_cast<std::uint32_t>(length);
            running += length;
        }
        result.index.chunks.push_back(chunk);
    }
    if (running > size) {
        return Fail(Error::Damaged, "data end " + Decimal(running) + " past the file size " + Decimal(size));
    }
    return result;
}

Error ContentCrc(int descriptor, const Index& index, std::uint32_t* crc, std::string* error) {
    if (crc == nullptr) return Error::OpenFailed;

    struct Range {
        std::uint64_t offset;
        std::uint64_t length;
    };
    std::vector<Range> ranges;
    if (index.chunks.empty()) {
        ranges.push_back({index.data_offset, std::min(index.image_size, kCrcSampleBytes)});
        if (index.image_size > kCrcSampleBytes) {
            ranges.push_back({index.data_offset + index.image_size - kCrcSampleBytes, kCrcSampleBytes});
        }
    } else {
        const auto stored = [](const Chunk& chunk) { return chunk.length != 0; };
        const auto first = std::find_if(index.chunks.begin(), index.chunks.end(), stored);
        if (first != index.chunks.end()) {
            ranges.push_back({first->offset, first->length});
            const auto last = std::find_if(index.chunks.rbegin(), index.chunks.rend(), stored);
            if (&*last != &*first) ranges.push_back({last->offset, last->length});
        }
    }

    uLong value = ::crc32(0, nullptr, 0);
    std::vector<unsigned char> bytes;
    for (const Range& range : ranges) {
        const ZipCentralDirectory::Status status = ReadFileRange(descriptor, range.offset, range.length, bytes);
        if (status != ZipCentralDirectory::Status::Ok) {
            if (error != nullptr) *error = "cannot read the image's content field";
            return status == ZipCentralDirectory::Status::Truncated ? Error::Damaged : Error::OpenFailed;
        }
        value = ::crc32(value, bytes.data(), static_cast<uInt>(bytes.size()));
    }
    *crc = static_cast<std::uint32_t>(value);
    return Error::Ok;
}

}  // namespace IszImage

#include "formats/isz_member.h"

#include <algorithm>
#include <bzlib.h>
#include <cstring>
#include <vector>
#include <zlib.h>

#include "formats/file_range.h"

namespace IszImage {

namespace {

using ArchiveMount::Error;
using ZipCentralDirectory::Status;

constexpr std::uint64_t kRawPieceBytes = 1 << 20;

Error Fail(std::string* error, std::string message, Error status) {
    if (error != nullptr) *error = std::move(message);
    return status;
}

Error ReadFailure(Status status) { return status == Status::Truncated ? Error::Damaged : Error::OpenFailed; }

Error DecodeRaw(int descriptor, const Index& index, const MemberSink& sink, std::string* error) {
    std::vector<unsigned char> piece;
    for (std::uint64_t position = 0; position < index.image_size;) {
        const std::uint64_t length = std::min(index.image_size - position, kRawPieceBytes);
        const Status status = ReadFileRange(descriptor, index.data_offset + position, length, piece);
        if (status != Status::Ok) {
            return Fail(error, "cannot read the image at " + std::to_string(position), ReadFailure(status));
        }
        if (!sink(piece.data(), piece.size())) return Fail(error, "cannot write the member", Error::OpenFailed);
        position += length;
    }
    return Error::Ok;
}

// Inflates one zlib-wrapped chunk into exactly `share` bytes of `out`.
bool InflateExactly(std::vector<unsigned char>& stored, unsigned char* out, std::uint32_t share, bool& init_failed) {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) {
        init_failed = true;
        return false;
    }
    stream.next_in = stored.data();
    stream.avail_in = static_cast<uInt>(stored.size());
    stream.next_out = out;
    stream.avail_out = share;
    const int result = inflate(&stream, Z_FINISH);
    const uLong produced = stream.total_out;
    inflateEnd(&stream);
    return result == Z_STREAM_END && produced == share;
}

// Decompresses one bzip2 chunk, its signature restored, into exactly `share` bytes of `out`.
bool Bunzip2Exactly(std::vector<unsigned char>& stored, unsigned char* out, std::uint32_t share, bool& init_failed) {
    // ISZ leaves the "BZh" signature out; the block-size digit after it is kept.
    std::memcpy(stored.data(), "BZh", 3);
    bz_stream stream{};
    if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) {
        init_failed = true;
        return false;
    }
    stream.next_in = reinterpret_cast<char*>(stored.data());
    stream.avail_in = static_cast<unsigned>(stored.size());
    stream.next_out = reinterpret_cast<char*>(out);
    stream.avail_out = share;
    const int result = BZ2_bzDecompress(&stream);
    const unsigned left = stream.avail_out;
    BZ2_bzDecompressEnd(&stream);
    return result == BZ_STREAM_END && left == 0;
}

Error DecodeChunks(int descriptor, const Index& index, const MemberSink& sink, std::string* error) {
    const std::uint64_t count = index.chunks.size();
    if (index.block_size == 0 || index.block_size > kMaxIszBlockSize ||
        count != (index.image_size + index.block_size - 1) / index.block_size) {
        return Fail(error, "the chunk table does not cover the image", Error::Damaged);
    }
    std::vector<unsigned char> block(index.block_size, 0);
    std::vector<unsigned char> stored;
    for (std::uint64_t i = 0; i < count; ++i) {
        const Chunk& chunk = index.chunks[i];
        const auto share = static_cast<std::uint32_t>(i + 1 < count ? index.block_size
                                                                    : index.image_size - index.block_size * (count - 1));
        const std::string label = "chunk " + std::to_string(i) + ": ";
        const auto type = static_cast<ChunkType>(chunk.type);
        const unsigned char* out = block.data();
        if (type == ChunkType::Zero) {
            std::fill_n(block.begin(), share, 0);
        } else {
            const Status status = ReadFileRange(descriptor, chunk.offset, chunk.length, stored);
            if (status != Status::Ok) return Fail(error, label + "cannot read its data", ReadFailure(status));
            bool init_failed = false;
            switch (type) {
                case ChunkType::Stored:
                    if (stored.size() != share) {
                        return Fail(error, label + "stored data does not fill its share", Error::Damaged);
                    }
                    out = stored.data();
                    break;
                case ChunkType::Zlib:
                    if (!InflateExactly(stored, block.data(), share, init_failed)) {
                        return init_failed ? Fail(error, label + "zlib init failed", Error::OpenFailed)
                                           : Fail(error, label + "zlib data does not decode to its share", Error::Damaged);
                    }
                    break;
                case ChunkType::Bzip2:
                    if (stored.size() < 4) return Fail(error, label + "bzip2 chunk too short", Error::Damaged);
                    if (!Bunzip2Exactly(stored, block.data(), share, init_failed)) {
                        return init_failed
                                   ? Fail(error, label + "bzip2 init failed", Error::OpenFailed)
                                   : Fail(error, label + "bzip2 data does not decode to its share", Error::Damaged);
                    }
                    break;
                default:
                    // ReadIndex only records two-bit types; anything else did not come from it.
                    return Fail(error, label + "unknown chunk type", Error::Damaged);
            }
        }
        if (!sink(out, share)) return Fail(error, "cannot write the member", Error::OpenFailed);
    }
    return Error::Ok;
}

}  // namespace

Error Decode(int descriptor, const Index& index, const MemberSink& sink, std::string* error) {
    return index.chunks.empty() ? DecodeRaw(descriptor, index, sink, error)
                                : DecodeChunks(descriptor, index, sink, error);
}

}  // namespace IszImage

#include "support/isz_image_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bzlib.h>
#include <zlib.h>

namespace testsupport {

namespace {

constexpr unsigned char kPointerMask[4] = {0xB6, 0x8C, 0xA5, 0xDE};

}  // namespace

IszChunkFields ZeroChunk() { return IszChunkFields{0, {}, std::nullopt}; }

IszChunkFields StoredChunk(Bytes data) { return IszChunkFields{1, std::move(data), std::nullopt}; }

IszChunkFields ZlibChunk(const Bytes& plain) {
    uLongf length = compressBound(static_cast<uLong>(plain.size()));
    Bytes out(length);
    if (compress2(out.data(), &length, plain.data(), static_cast<uLong>(plain.size()), 9) != Z_OK) {
        ADD_FAILURE() << "compress2 failed";
    }
    out.resize(length);
    return IszChunkFields{2, std::move(out), std::nullopt};
}

IszChunkFields Bzip2Chunk(const Bytes& plain) {
    Bytes out(plain.size() + plain.size() / 100 + 600);
    auto length = static_cast<unsigned>(out.size());
    Bytes source = plain;
    if (BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &length, reinterpret_cast<char*>(source.data()),
                                 static_cast<unsigned>(source.size()), 9, 0, 0) != BZ_OK) {
        ADD_FAILURE() << "BZ2_bzBuffToBuffCompress failed";
        return IszChunkFields{3, {}, std::nullopt};
    }
    out.resize(length);
    out[0] = 0x00;
    out[1] = 0xFF;
    out[2] = 0x5A;
    return IszChunkFields{3, std::move(out), std::nullopt};
}

IszImageWriter& IszImageWriter::Raw(Bytes image) {
    image_size_ = image.size();
    raw_ = std::move(image);
    chunks_.reset();
    return *this;
}

IszImageWriter& IszImageWriter::Chunks(std::uint64_t image_size, std::vector<IszChunkFields> chunks) {
    image_size_ = image_size;
    raw_.clear();
    chunks_ = std::move(chunks);
    return *this;
}

Bytes IszImageWriter::Build() const {
    const IszHeaderFields& h = header_;
    const std::uint32_t table_offset = chunks_ ? h.header_size : 0;
    // A header that declares an impossible pointer length still gets a 3-byte table.
    const unsigned width = h.pointer_length >= 1 && h.pointer_length <= 8 ? h.pointer_length : 3;
    const std::size_t table_bytes = chunks_ ? chunks_->size() * width : 0;
    const auto data_offset = static_cast<std::uint32_t>(h.header_size + table_bytes);
    // A raw image still declares the blocks it would have.
    const auto chunk_count = static_cast<std::uint32_t>(
        chunks_ ? chunks_->size() : (h.block_size == 0 ? 0 : (image_size_ + h.block_size - 1) / h.block_size));

    Bytes out = ToBytes("IsZ!");
    PutU8(out, h.header_size);
    PutU8(out, 1);  // version
    PutU32(out, 0);  // volume serial
    PutU16(out, h.sector_size);
    PutU32(out, h.total_sectors.value_or(static_cast<std::uint32_t>(image_size_ / 2048)));
    PutU8(out, h.has_password);
    PutU64(out, h.segment_size);
    PutU32(out, h.block_count.value_or(chunk_count));
    PutU32(out, h.block_size);
    PutU8(out, h.pointer_length);
    PutU8(out, 0);  // segment number
    PutU32(out, h.chunk_table_offset.value_or(table_offset));
    PutU32(out, h.segment_table_offset);
    PutU32(out, h.data_offset.value_or(data_offset));
    PutU8(out, 0);
    out.resize(std::max<std::size_t>(out.size(), h.header_size), 0);

    if (!chunks_) {
        PutBytes(out, raw_);
        return out;
    }
    const unsigned length_bits = 8u * width - 2;
    for (const IszChunkFields& chunk : *chunks_) {
        const std::uint64_t length = chunk.pointer_length_field.value_or(chunk.stored.size());
        if (length >> length_bits != 0) ADD_FAILURE() << "chunk length " << length << " does not fit the pointer";
        const std::uint64_t pointer = (static_cast<std::uint64_t>(chunk.type) << length_bits) | length;
        for (unsigned i = 0; i < width; ++i) {
            const std::size_t at = out.size() - table_offset;
            out.push_back(static_cast<unsigned char>(pointer >> (8 * i)) ^ kPointerMask[at % 4]);
        }
    }
    for (const IszChunkFields& chunk : *chunks_) PutBytes(out, chunk.stored);
    return out;
}

std::vector<IszChunkFields> ChunksOf(const Bytes& image, std::uint32_t block_size, std::uint8_t type,
                                   bool zero_blocks) {
    std::vector<IszChunkFields> chunks;
    for (std::size_t at = 0; at < image.size(); at += block_size) {
        const Bytes block(image.begin() + at, image.begin() + std::min<std::size_t>(image.size(), at + block_size));
        if (zero_blocks && std::all_of(block.begin(), block.end(), [](unsigned char b) { return b == 0; })) {
            chunks.push_back(ZeroChunk());
        } else if (type == 2) {
            chunks.push_back(ZlibChunk(block));
        } else if (type == 3) {
            chunks.push_back(Bzip2Chunk(block));
        } else {
            chunks.push_back(StoredChunk(block));
        }
    }
    return chunks;
}

}  // namespace testsupport

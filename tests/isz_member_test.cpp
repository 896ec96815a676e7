#include "formats/isz_member.h"

#include <gtest/gtest.h>

#include "support/isz_image_writer.h"
#include "support/scratch_file.h"

namespace {

using namespace testsupport;
using ArchiveMount::Error;

// What a decode handed to its sink.
struct Received {
    Error status = Error::Ok;
    std::string message;
    Bytes bytes;
    std::vector<std::size_t> pieces;
};

Received DecodeIndex(int descriptor, const IszImage::Index& index, std::size_t refuse_piece = SIZE_MAX) {
    Received got;
    const MemberSink sink = [&](const unsigned char* data, unsigned long long count) {
        if (got.pieces.size() == refuse_piece) return false;
        got.pieces.push_back(count);
        got.bytes.insert(got.bytes.end(), data, data + count);
        return true;
    };
    got.status = IszImage::Decode(descriptor, index, sink, &got.message);
    return got;
}

// Builds the file, indexes it as the open path would and decodes it.
Received DecodeImage(const IszImageWriter& writer, std::size_t refuse_piece = SIZE_MAX) {
    const Bytes image = writer.Build();
    ScratchFile file(image);
    const IszImage::IndexResult index =
        IszImage::ReadIndex(file.descriptor(), static_cast<std::int64_t>(image.size()), INT64_MAX);
    EXPECT_EQ(index.status, Error::Ok) << index.message;
    return DecodeIndex(file.descriptor(), index.index, refuse_piece);
}

IszImageWriter Chunked(std::uint32_t block_size, std::uint64_t image_size, std::vector<IszChunkFields> chunks) {
    IszImageWriter writer;
    writer.header().block_size = block_size;
    writer.Chunks(image_size, std::move(chunks));
    return writer;
}

TEST(IszMemberDecode, EveryChunkTypeGivesItsShare) {
    // Three 32 KiB blocks and a 4 KiB tail, one chunk type each.
    Bytes content = Pattern(32768, 1);
    PutBytes(content, Bytes(32768, 0));
    PutBytes(content, Pattern(32768, 2));
    PutBytes(content, Pattern(4096, 3));
    const auto block = [&](std::size_t i, std::size_t n) {
        return Bytes(content.begin() + i * 32768, content.begin() + i * 32768 + n);
    };
    for (const std::uint8_t pointer_length : {3, 5, 8}) {
        IszImageWriter writer = Chunked(32768, content.size(),
                                        {StoredChunk(block(0, 32768)), ZeroChunk(), ZlibChunk(block(2, 32768)),
                                         Bzip2Chunk(block(3, 4096))});
        writer.header().pointer_length = pointer_length;
        const Received got = DecodeImage(writer);
        ASSERT_EQ(got.status, Error::Ok) << got.message;
        EXPECT_EQ(got.pieces, (std::vector<std::size_t>{32768, 32768, 32768, 4096}));
        EXPECT_TRUE(got.bytes == content);
        EXPECT_TRUE(got.message.empty());
    }
}

TEST(IszMemberDecode, ZeroChunkAfterADecodedBlockIsZeros) {
    const Bytes data = Pattern(2048, 9);
    const Received got = DecodeImage(Chunked(2048, 3 * 2048, {ZlibChunk(data), ZeroChunk(), Bzip2Chunk(data)}));
    ASSERT_EQ(got.status, Error::Ok) << got.message;
    EXPECT_TRUE(Bytes(got.bytes.begin() + 2048, got.bytes.begin() + 4096) == Bytes(2048, 0));
}

TEST(IszMemberDecode, ChunksThatMissTheirShare) {
    const Bytes share = Pattern(2048, 4);
    Bytes longer = share;
    longer.push_back(1);
    IszChunkFields bzip2_short = Bzip2Chunk(share);
    bzip2_short.stored.resize(3);
    const IszChunkFields not_zlib{2, Bytes(16, 0), std::nullopt};
    struct Case {
        IszChunkFields chunk;
        const char* message;
    };
    const Case cases[] = {
        {StoredChunk(Bytes(share.begin(), share.end() - 1)), "chunk 1: stored data does not fill its share"},
        {StoredChunk({}), "chunk 1: stored data does not fill its share"},
        {ZlibChunk(Bytes(share.begin(), share.end() - 1)), "chunk 1: zlib data does not decode to its share"},
        {ZlibChunk(longer), "chunk 1: zlib data does not decode to its share"},
        {not_zlib, "chunk 1: zlib data does not decode to its share"},
        {Bzip2Chunk(Bytes(share.begin(), share.end() - 1)), "chunk 1: bzip2 data does not decode to its share"},
        {Bzip2Chunk(longer), "chunk 1: bzip2 data does not decode to its share"},
        {bzip2_short, "chunk 1: bzip2 chunk too short"},
    };
    for (const Case& c : cases) {
        const Received got = DecodeImage(Chunked(2048, 3 * 2048, {StoredChunk(share), c.chunk, StoredChunk(share)}));
        EXPECT_EQ(got.status, Error::Damaged) << c.message;
        EXPECT_EQ(got.message, c.message);
        // The first block went out; nothing of the failed one did.
        EXPECT_EQ(got.pieces, std::vector<std::size_t>{2048}) << c.message;
    }
}

// The last chunk's share is what is left of the image (three sectors in blocks
// of two): a stored chunk one byte longer passes the index, which only holds
// it to the block size, but not the decode.
TEST(IszMemberDecode, StoredLastChunkLongerThanItsShare) {
    const Received got =
        DecodeImage(Chunked(4096, 3 * 2048, {StoredChunk(Pattern(4096, 4)), StoredChunk(Pattern(2049, 5))}));
    EXPECT_EQ(got.status, Error::Damaged);
    EXPECT_EQ(got.message, "chunk 1: stored data does not fill its share");
    EXPECT_EQ(got.pieces, std::vector<std::size_t>{4096});
}

TEST(IszMemberDecode, IndexThatDoesNotCoverTheImageIsRefusedBeforeAnyRead) {
    IszImage::Index index;
    index.image_size = 4 * 32768;
    index.block_size = 32768;
    index.chunks.assign(3, IszImage::Chunk{0, 10, 1});
    Received got = DecodeIndex(-1, index);  // any read would fail with OpenFailed
    EXPECT_EQ(got.status, Error::Damaged);
    EXPECT_EQ(got.message, "the chunk table does not cover the image");
    index.chunks.resize(5);
    EXPECT_EQ(DecodeIndex(-1, index).message, "the chunk table does not cover the image");
    index.chunks.resize(4);
    index.block_size = 0;
    EXPECT_EQ(DecodeIndex(-1, index).message, "the chunk table does not cover the image");
    index.block_size = 0x2000000;
    index.image_size = 0x2000000;
    index.chunks.resize(1);
    EXPECT_EQ(DecodeIndex(-1, index).message, "the chunk table does not cover the image");
}

TEST(IszMemberDecode, ChunkReadFailures) {
    const Bytes share = Pattern(2048);
    const Bytes image = Chunked(2048, 2 * 2048, {StoredChunk(share), StoredChunk(share)}).Build();
    ScratchFile file(image);
    IszImage::Index index = IszImage::ReadIndex(file.descriptor(), image.size(), INT64_MAX).index;

    Received got = DecodeIndex(-1, index);
    EXPECT_EQ(got.status, Error::OpenFailed);
    EXPECT_EQ(got.message, "chunk 0: cannot read its data");

    index.chunks[1].offset += 1;
    got = DecodeIndex(file.descriptor(), index);
    EXPECT_EQ(got.status, Error::Damaged);
    EXPECT_EQ(got.message, "chunk 1: cannot read its data");
    EXPECT_EQ(got.pieces.size(), 1u);
}

TEST(IszMemberDecode, SinkRefusalStopsTheDecode) {
    const Bytes data = Pattern(2048);
    const Received got = DecodeImage(Chunked(2048, 3 * 2048, {StoredChunk(data), ZeroChunk(), ZlibChunk(data)}), 1);
    EXPECT_EQ(got.status, Error::OpenFailed);
    EXPECT_EQ(got.message, "cannot write the member");
    EXPECT_EQ(got.pieces, std::vector<std::size_t>{2048});
}

TEST(IszMemberDecode, RawImageGoesOutInMebibytePieces) {
    const Bytes content = Pattern(5 * 1024 * 1024 / 2);  // 2.5 MiB
    IszImageWriter writer;
    writer.Raw(content);
    const Bytes image = writer.Build();
    ScratchFile file(image);
    IszImage::Index index = IszImage::ReadIndex(file.descriptor(), image.size(), INT64_MAX).index;

    Received got = DecodeIndex(file.descriptor(), index);
    ASSERT_EQ(got.status, Error::Ok) << got.message;
    EXPECT_EQ(got.pieces, (std::vector<std::size_t>{1 << 20, 1 << 20, 1 << 19}));
    EXPECT_TRUE(got.bytes == content);

    got = DecodeIndex(file.descriptor(), index, 2);
    EXPECT_EQ(got.status, Error::OpenFailed);
    EXPECT_EQ(got.message, "cannot write the member");

    got = DecodeIndex(-1, index);
    EXPECT_EQ(got.status, Error::OpenFailed);
    EXPECT_EQ(got.message, "cannot read the image at 0");

    index.data_offset += 1;
    got = DecodeIndex(file.descriptor(), index);
    EXPECT_EQ(got.status, Error::Damaged);
    EXPECT_EQ(got.message, "cannot read the image at 2097152");
    EXPECT_EQ(got.pieces.size(), 2u);
}

TEST(IszMemberDecode, NullErrorTextIsAllowed) {
    IszImage::Index index;
    index.image_size = 2048;
    index.block_size = 2048;
    index.chunks.assign(2, IszImage::Chunk{});
    EXPECT_EQ(IszImage::Decode(-1, index, [](const unsigned char*, unsigned long long) { return true; }, nullptr),
              Error::Damaged);
}

}  // namespace

namespace {

TEST(IszMemberDecode, SurvivesEverySingleByteCorruption) {
    // Header, table and chunk bytes all get their turn; whatever indexes must
    // then decode or fail cleanly, never past one block per call.
    const Bytes data = Pattern(2048, 6);
    IszImageWriter writer;
    writer.header().block_size = 2048;
    writer.Chunks(4 * 2048, {StoredChunk(data), ZeroChunk(), ZlibChunk(data), Bzip2Chunk(data)});
    const Bytes image = writer.Build();
    for (std::size_t at = 0; at < image.size(); at += (at < 128 ? 1 : 7)) {
        for (const unsigned char value : {0x00, 0x41, 0xFF}) {
            Bytes mutated = image;
            mutated[at] = value;
            ScratchFile file(mutated);
            const IszImage::IndexResult index =
                IszImage::ReadIndex(file.descriptor(), static_cast<std::int64_t>(mutated.size()), 1 << 20);
            if (index.status != Error::Ok) continue;
            std::uint32_t crc = 0;
            IszImage::ContentCrc(file.descriptor(), index.index, &crc, nullptr);
            const MemberSink sink = [&](const unsigned char*, unsigned long long count) {
                if (!index.index.chunks.empty()) {
                    EXPECT_LE(count, index.index.block_size);
                }
                return true;
            };
            std::string message;
            IszImage::Decode(file.descriptor(), index.index, sink, &message);
        }
    }
}

}  // namespace

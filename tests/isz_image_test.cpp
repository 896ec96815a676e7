#include "formats/isz_image.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>

#include "support/isz_image_writer.h"
#include "support/scratch_file.h"

namespace {

using namespace testsupport;
using ArchiveMount::Error;
using IszImage::ChunkType;
using IszImage::IndexResult;

constexpr std::int64_t kNoCap = INT64_MAX;

IndexResult IndexOf(const Bytes& image, std::int64_t cap = kNoCap) {
    ScratchFile file(image);
    return IszImage::ReadIndex(file.descriptor(), static_cast<std::int64_t>(image.size()), cap);
}

// An image of `sectors` sectors cut into 64 KiB stored chunks.
IszImageWriter StoredImage(std::uint32_t sectors) {
    const Bytes image = Pattern(sectors * 2048u);
    IszImageWriter writer;
    writer.Chunks(image.size(), ChunksOf(image, 65536, 1));
    return writer;
}

void ExpectFailure(const IndexResult& result, Error status, const std::string& message) {
    EXPECT_EQ(result.status, status) << message;
    EXPECT_EQ(result.message, message);
    EXPECT_TRUE(result.index.chunks.empty());
    EXPECT_EQ(result.index.image_size, 0u);
}

TEST(IszImageIndex, HeaderChecksInOrder) {
    struct Case {
        std::function<void(IszHeaderFields&)> edit;
        Error status;
        const char* message;
    };
    const Case cases[] = {
        {[](IszHeaderFields& h) { h.header_size = 47; }, Error::Damaged, "header size 47 below 48"},
        {[](IszHeaderFields& h) { h.sector_size = 512; h.has_password = 1; }, Error::Damaged,
         "sector size 512, not 2048"},
        {[](IszHeaderFields& h) { h.has_password = 1; h.segment_size = 1; }, Error::PasswordProtected,
         "encrypted (has_password 1)"},
        {[](IszHeaderFields& h) { h.has_password = 2; }, Error::PasswordProtected, "encrypted (has_password 2)"},
        {[](IszHeaderFields& h) { h.segment_size = 1; h.block_size = 0; }, Error::MultiVolume,
         "segmented: one part of a set"},
        {[](IszHeaderFields& h) { h.segment_table_offset = 1; }, Error::MultiVolume, "segmented: one part of a set"},
        {[](IszHeaderFields& h) { h.block_size = 0; h.total_sectors = 0; }, Error::Damaged, "block size 0"},
        {[](IszHeaderFields& h) { h.block_size = 3000; }, Error::Damaged, "block size 3000"},
        {[](IszHeaderFields& h) { h.block_size = 0x1000000 + 2048; }, Error::Damaged, "block size 16779264"},
        {[](IszHeaderFields& h) { h.total_sectors = 0; }, Error::Damaged, "total sectors 0"},
        {[](IszHeaderFields& h) { h.block_count = 156; }, Error::Damaged, "chunk count 157 (nblocks 156)"},
        {[](IszHeaderFields& h) { h.pointer_length = 0; }, Error::Damaged, "pointer length 0"},
        {[](IszHeaderFields& h) { h.pointer_length = 9; }, Error::Damaged, "pointer length 9"},
        {[](IszHeaderFields& h) { h.chunk_table_offset = 0x7FFFFFFF; }, Error::Damaged, "chunk table runs past the file"},
    };
    for (const Case& c : cases) {
        IszImageWriter writer = StoredImage(5000);  // 157 chunks of 64 KiB
        c.edit(writer.header());
        ExpectFailure(IndexOf(writer.Build()), c.status, c.message);
    }
}

TEST(IszImageIndex, ChunkCountAgainstBlockCount) {
    for (const std::uint32_t blocks : {157u, 158u}) {
        IszImageWriter writer = StoredImage(5000);
        writer.header().block_count = blocks;
        const IndexResult result = IndexOf(writer.Build());
        ASSERT_EQ(result.status, Error::Ok) << result.message;
        EXPECT_EQ(result.index.chunks.size(), 157u);
        EXPECT_EQ(result.index.image_size, 10240000u);
        EXPECT_EQ(result.index.block_size, 65536u);
    }
}

TEST(IszImageIndex, LargestBlockSizePasses) {
    IszImageWriter writer;
    writer.header().block_size = 0x1000000;
    writer.Chunks(2048, {ZlibChunk(Bytes(2048, 0x11))});
    EXPECT_EQ(IndexOf(writer.Build()).status, Error::Ok);
}

TEST(IszImageIndex, TooShortOrForeignFiles) {
    const Bytes image = StoredImage(1).Build();
    ExpectFailure(IndexOf(Bytes(image.begin(), image.begin() + 47)), Error::Damaged, "header truncated");
    ExpectFailure(IndexOf(Bytes(image.begin(), image.begin() + 3)), Error::NotRecognized, "no IsZ! signature");
    ExpectFailure(IndexOf({}), Error::NotRecognized, "no IsZ! signature");
    Bytes foreign = image;
    foreign[3] = '?';
    ExpectFailure(IndexOf(foreign), Error::NotRecognized, "no IsZ! signature");
}

TEST(IszImageIndex, FileAccessFailures) {
    const Bytes image = StoredImage(100).Build();
    ScratchFile file(image);
    const auto size = static_cast<std::int64_t>(image.size());
    ExpectFailure(IszImage::ReadIndex(-1, size, kNoCap), Error::OpenFailed, "no file to read");
    ExpectFailure(IszImage::ReadIndex(file.descriptor(), -1, kNoCap), Error::OpenFailed, "no file to read");

    ScratchFile stub(Bytes(image.begin(), image.begin() + 20));
    ExpectFailure(IszImage::ReadIndex(stub.descriptor(), size, kNoCap), Error::OpenFailed, "cannot read the header");
    // A file size larger than the file: the table check passes, the read does not.
    ScratchFile header_only(Bytes(image.begin(), image.begin() + 64));
    ExpectFailure(IszImage::ReadIndex(header_only.descriptor(), size, kNoCap), Error::Damaged,
                  "cannot read the chunk table");
}

TEST(IszImageIndex, MemberCap) {
    const Bytes image = StoredImage(50).Build();
    EXPECT_EQ(IndexOf(image, 102400).status, Error::Ok);
    ExpectFailure(IndexOf(image, 102399), Error::SizeOverLimit, "image of 102400 bytes over the member cap");
    ExpectFailure(IndexOf(image, -1), Error::SizeOverLimit, "image of 102400 bytes over the member cap");
}

TEST(IszImageIndex, RawImageMustFitTheFile) {
    for (const std::size_t file_size : {2111u, 2112u}) {
        IszImageWriter writer;
        writer.Raw(Pattern(2048));
        Bytes image = writer.Build();
        ASSERT_EQ(image.size(), 2112u);
        image.resize(file_size);
        const IndexResult result = IndexOf(image);
        if (file_size == 2111) {
            ExpectFailure(result, Error::Damaged, "data end past the file size");
        } else {
            ASSERT_EQ(result.status, Error::Ok) << result.message;
            EXPECT_TRUE(result.message.empty());
            EXPECT_TRUE(result.index.chunks.empty());
            EXPECT_EQ(result.index.data_offset, 64u);
            EXPECT_EQ(result.index.image_size, 2048u);
        }
    }
}

TEST(IszImageIndex, ChunkTableAtEveryPointerLength) {
    // Six bits of length at pointer length 1 hold only small compressed chunks;
    // stored chunks need a whole block.
    const Bytes zeros(2048, 0);
    const Bytes even(2048, 0x5A);
    const Bytes varied = Pattern(2048, 3);
    for (std::uint8_t length = 1; length <= 8; ++length) {
        std::vector<IszChunkFields> chunks = {ZeroChunk(), ZlibChunk(even), Bzip2Chunk(even)};
        if (length >= 2) {
            chunks.push_back(StoredChunk(varied));
            chunks.push_back(ZlibChunk(varied));
        }
        IszImageWriter writer;
        writer.header().block_size = 2048;
        writer.header().pointer_length = length;
        writer.Chunks(chunks.size() * 2048, chunks);
        const IndexResult result = IndexOf(writer.Build());
        ASSERT_EQ(result.status, Error::Ok) << "pointer length " << int(length) << ": " << result.message;
        ASSERT_EQ(result.index.chunks.size(), chunks.size());
        std::uint64_t offset = 64 + chunks.size() * length;
        EXPECT_EQ(result.index.data_offset, offset);
        for (std::size_t i = 0; i < chunks.size(); ++i) {
            const IszImage::Chunk& chunk = result.index.chunks[i];
            EXPECT_EQ(chunk.type, chunks[i].type) << "pointer length " << int(length) << " chunk " << i;
            EXPECT_EQ(chunk.length, chunks[i].stored.size());
            EXPECT_EQ(chunk.offset, offset);
            offset += chunks[i].stored.size();
        }
    }
}

TEST(IszImageIndex, PointersAreUnmaskedBytewise) {
    // Two 3-byte pointers written by hand: table bytes 0..2 and 3..5, masked
    // with B6 8C A5 and DE B6 8C.
    IszImageWriter writer;
    writer.header().block_size = 8192;
    writer.Chunks(16384, {ZlibChunk(Bytes(8192, 1)), StoredChunk(Bytes(8192, 2))});
    Bytes image = writer.Build();
    const unsigned char table[6] = {0x00 ^ 0xB6, 0x10 ^ 0x8C, 0x80 ^ 0xA5,   // zlib, 0x1000
                                    0x00 ^ 0xDE, 0x20 ^ 0xB6, 0x40 ^ 0x8C};  // stored, 0x2000
    std::copy(std::begin(table), std::end(table), image.begin() + 64);
    image.resize(64 + 6 + 0x3000);
    const IndexResult result = IndexOf(image);
    ASSERT_EQ(result.status, Error::Ok) << result.message;
    ASSERT_EQ(result.index.chunks.size(), 2u);
    EXPECT_EQ(result.index.chunks[0].type, static_cast<std::uint8_t>(ChunkType::Zlib));
    EXPECT_EQ(result.index.chunks[0].length, 0x1000u);
    EXPECT_EQ(result.index.chunks[1].type, static_cast<std::uint8_t>(ChunkType::Stored));
    EXPECT_EQ(result.index.chunks[1].length, 0x2000u);
    EXPECT_EQ(result.index.chunks[1].offset, 70u + 0x1000);
}

TEST(IszImageIndex, ZeroChunksTakeNoSpace) {
    IszChunkFields zero_with_length = ZeroChunk();
    zero_with_length.pointer_length_field = 1234;  // ignored for zero chunks
    IszImageWriter writer;
    writer.Chunks(3 * 65536, {StoredChunk(Pattern(65536)), zero_with_length, StoredChunk(Pattern(65536, 9))});
    const IndexResult result = IndexOf(writer.Build());
    ASSERT_EQ(result.status, Error::Ok) << result.message;
    const auto& chunks = result.index.chunks;
    EXPECT_EQ(chunks[1].length, 0u);
    EXPECT_EQ(chunks[1].offset, chunks[0].offset + 65536);
    EXPECT_EQ(chunks[2].offset, chunks[0].offset + 65536);
}

TEST(IszImageIndex, ChunkWalkFaults) {
    struct Case {
        IszChunkFields second;
        int trim;  // bytes cut from the file end
        const char* message;
    };
    IszChunkFields too_long = StoredChunk(Pattern(65536));
    too_long.pointer_length_field = 65537;
    IszChunkFields empty_zlib{2, {}, 0};
    IszChunkFields empty_bzip2{3, {}, 0};
    const Case cases[] = {
        {too_long, 0, "chunk 1: length over the block size"},
        {empty_zlib, 0, "chunk 1: empty compressed chunk"},
        {empty_bzip2, 0, "chunk 1: empty compressed chunk"},
        {StoredChunk(Pattern(65536)), 1, nullptr},
    };
    for (const Case& c : cases) {
        IszImageWriter writer;
        writer.Chunks(3 * 65536, {StoredChunk(Pattern(65536)), c.second, StoredChunk(Pattern(65536))});
        Bytes image = writer.Build();
        image.resize(image.size() - c.trim);
        const std::string message =
            c.message != nullptr ? c.message
                                 : "data end " + std::to_string(image.size() + 1) + " past the file size " +
                                       std::to_string(image.size());
        ExpectFailure(IndexOf(image), Error::Damaged, message);
    }
    // An empty stored chunk passes here and fails when decoded.
    IszImageWriter writer;
    writer.Chunks(2 * 65536, {StoredChunk({}), StoredChunk(Pattern(65536))});
    EXPECT_EQ(IndexOf(writer.Build()).status, Error::Ok);
}

std::uint32_t CrcOf(std::initializer_list<std::pair<const Bytes*, std::pair<std::size_t, std::size_t>>> ranges) {
    uLong crc = crc32(0, nullptr, 0);
    for (const auto& [bytes, range] : ranges) crc = crc32(crc, bytes->data() + range.first, range.second - range.first);
    return static_cast<std::uint32_t>(crc);
}

TEST(IszImageContentCrc, RawImageSamplesBothEnds) {
    for (const std::size_t size : {102400u, 65536u, 2048u}) {
        const Bytes content = Pattern(size, 5);
        IszImageWriter writer;
        writer.Raw(content);
        const Bytes image = writer.Build();
        ScratchFile file(image);
        const IndexResult index = IszImage::ReadIndex(file.descriptor(), image.size(), kNoCap);
        ASSERT_EQ(index.status, Error::Ok);
        std::uint32_t crc = 0;
        ASSERT_EQ(IszImage::ContentCrc(file.descriptor(), index.index, &crc, nullptr), Error::Ok);
        if (size > 65536) {
            EXPECT_EQ(crc, CrcOf({{&content, {0, 65536}}, {&content, {size - 65536, size}}}));
        } else {
            EXPECT_EQ(crc, CrcOf({{&content, {0, size}}}));
        }
    }
}

TEST(IszImageContentCrc, ChunkedImageSamplesFirstAndLastStoredChunks) {
    const IszChunkFields first = StoredChunk(Pattern(65536, 1));
    const IszChunkFields last = ZlibChunk(Pattern(65536, 2));
    struct Case {
        std::vector<IszChunkFields> chunks;
        std::vector<const Bytes*> sampled;
    };
    const Case cases[] = {
        {{ZeroChunk(), first, StoredChunk(Pattern(65536, 3)), last, ZeroChunk()}, {&first.stored, &last.stored}},
        {{ZeroChunk(), first, ZeroChunk()}, {&first.stored}},
        {{ZeroChunk(), ZeroChunk()}, {}},
    };
    for (const Case& c : cases) {
        IszImageWriter writer;
        writer.Chunks(c.chunks.size() * 65536, c.chunks);
        const Bytes image = writer.Build();
        ScratchFile file(image);
        const IndexResult index = IszImage::ReadIndex(file.descriptor(), image.size(), kNoCap);
        ASSERT_EQ(index.status, Error::Ok) << index.message;
        uLong expected = crc32(0, nullptr, 0);
        for (const Bytes* bytes : c.sampled) expected = crc32(expected, bytes->data(), bytes->size());
        std::uint32_t crc = 1;
        ASSERT_EQ(IszImage::ContentCrc(file.descriptor(), index.index, &crc, nullptr), Error::Ok);
        EXPECT_EQ(crc, expected);
    }
}

TEST(IszImageContentCrc, Failures) {
    const Bytes image = StoredImage(64).Build();
    ScratchFile file(image);
    IszImage::Index index = IszImage::ReadIndex(file.descriptor(), image.size(), kNoCap).index;
    std::string error = "untouched";
    EXPECT_EQ(IszImage::ContentCrc(file.descriptor(), index, nullptr, &error), Error::OpenFailed);

    std::uint32_t crc = 0;
    EXPECT_EQ(IszImage::ContentCrc(-1, index, &crc, &error), Error::OpenFailed);
    EXPECT_EQ(error, "cannot read the image's content field");

    error.clear();
    index.chunks.back().offset = image.size() - 10;
    EXPECT_EQ(IszImage::ContentCrc(file.descriptor(), index, &crc, &error), Error::Damaged);
    EXPECT_EQ(error, "cannot read the image's content field");
    EXPECT_EQ(IszImage::ContentCrc(file.descriptor(), index, &crc, nullptr), Error::Damaged);
}

}  // namespace

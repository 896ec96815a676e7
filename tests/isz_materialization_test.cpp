// ISZ images through the three materialize operations: the whole decoded image
// whatever ordinal found it, and a chunk that fails its share leaves nothing.
#include <gtest/gtest.h>

#include "formats/isz_image.h"
#include "mount/archive_reader_impl.h"
#include "support/hand_reader.h"
#include "support/isz_image_writer.h"
#include "support/output_checks.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using ArchiveMount::Error;

constexpr std::uint32_t kBlock = 32768;

testsupport::Bytes DiscImage() {
    testsupport::Bytes image(3 * kBlock + 4096);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 7 + (i >> 11));
    std::fill(image.begin() + kBlock, image.begin() + 2 * kBlock, 0);  // a zero chunk after a stored one
    return image;
}

class IszMaterialization : public ::testing::Test {
protected:
    void TearDown() override { testsupport::ExpectNoPartFiles(dir.path()); }

    std::unique_ptr<ArchiveMount::ArchiveReader> Reader(std::vector<testsupport::IszChunkFields> chunks) {
        testsupport::IszImageWriter writer;
        writer.header().block_size = kBlock;
        writer.Chunks(image.size(), std::move(chunks));
        const testsupport::Bytes file = writer.Build();
        const fs::path path = dir.WriteFile("disc.isz", std::string(file.begin(), file.end()));
        auto reader = testsupport::HandReader(path, {testsupport::FileEntry(0, "disc.iso", image.size())});
        auto& impl = reader->impl();
        const auto index = IszImage::ReadIndex(impl.descriptor.get(), static_cast<std::int64_t>(file.size()), 1LL << 40);
        EXPECT_EQ(index.status, Error::Ok) << index.message;
        impl.kind = ArchiveMount::ArchiveKind::Isz;
        impl.detected_format = ArchiveMount::DetectedFormat::Isz;
        impl.isz_image = index.index;
        return reader;
    }

    testsupport::TempDir dir;
    const testsupport::Bytes image = DiscImage();
};

TEST_F(IszMaterialization, WholeImageComesOutOfEveryOperation) {
    auto chunks = testsupport::ChunksOf(image, kBlock, 2);
    chunks[0] = testsupport::StoredChunk({image.begin(), image.begin() + kBlock});
    chunks[3] = testsupport::Bzip2Chunk({image.begin() + 3 * kBlock, image.end()});
    const auto reader = Reader(chunks);
    const std::string expected(image.begin(), image.end());

    std::vector<unsigned char> out;
    ASSERT_EQ(reader->Materialize(0, out, nullptr), Error::Ok);
    EXPECT_EQ(out, image);
    ASSERT_EQ(reader->MaterializeToFile(0, dir.path() / "one" / "disc.iso", nullptr), Error::Ok);
    EXPECT_EQ(testsupport::ReadWholeFile(dir.path() / "one" / "disc.iso"), expected);
    ASSERT_EQ(reader->MaterializeAll(dir.path() / "all", nullptr), Error::Ok);
    EXPECT_EQ(testsupport::FileNamesIn(dir.path() / "all"), std::vector<std::string>{"0"});
    EXPECT_EQ(testsupport::ReadWholeFile(dir.path() / "all" / "0"), expected);
    EXPECT_EQ(testsupport::FileTimeSeconds(dir.path() / "all" / "0"), 1700000000);

    std::string message;
    EXPECT_EQ(reader->Materialize(1, out, &message), Error::NoSuchEntry);
    EXPECT_EQ(message, "no such member");
}

TEST_F(IszMaterialization, ChunkThatMissesItsShareLeavesNoOutput) {
    auto chunks = testsupport::ChunksOf(image, kBlock, 2);
    // Chunk 2 holds one byte too many once inflated.
    testsupport::Bytes longer(image.begin() + 2 * kBlock, image.begin() + 3 * kBlock);
    longer.push_back(0);
    chunks[2] = testsupport::ZlibChunk(longer);
    const auto reader = Reader(chunks);
    const fs::path kept = dir.WriteFile("kept.iso", "old");

    std::vector<unsigned char> out;
    std::string message;
    EXPECT_EQ(reader->Materialize(0, out, &message), Error::Damaged);
    EXPECT_EQ(message, "chunk 2: zlib data does not decode to its share");
    EXPECT_TRUE(out.empty());
    message.clear();
    EXPECT_EQ(reader->MaterializeToFile(0, kept, &message), Error::Damaged);
    EXPECT_EQ(message, "chunk 2: zlib data does not decode to its share");
    EXPECT_EQ(testsupport::ReadWholeFile(kept), "old");
    message.clear();
    EXPECT_EQ(reader->MaterializeAll(dir.path() / "all", &message), Error::Damaged);
    EXPECT_EQ(message, "chunk 2: zlib data does not decode to its share");
    EXPECT_TRUE(fs::is_empty(dir.path() / "all"));
}

}  // namespace

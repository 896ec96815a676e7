#include "mount/index_assembly.h"

#include <gtest/gtest.h>

#include <fstream>

#include "mount/archive_fingerprint.h"
#include "support/archive_builder.h"
#include "support/byte_image.h"
#include "support/host.h"
#include "support/isz_image_writer.h"
#include "support/open_outcome.h"
#include "support/zip_image_writer.h"

namespace {

using ArchiveMount::ArchiveKind;
using ArchiveMount::Error;
using testsupport::ExpectIndexed;
using testsupport::ExpectRefused;
using testsupport::OpenBytes;

std::string Text(const testsupport::Bytes& bytes) { return {bytes.begin(), bytes.end()}; }

class IndexAssembly : public testing::Test {
protected:
    testsupport::TempDir dir;
};

TEST_F(IndexAssembly, AnArchiveWithoutHeadersTakesTheLibrarysFormat) {
    // An end record behind a stub: an empty ZIP. (An end record at the very
    // start of the file is never found.)
    testsupport::ZipImageWriter empty;
    empty.Prefix(testsupport::Pattern(10));
    const std::string empty_zip = Text(empty.Build());
    auto outcome = OpenBytes(dir, "empty.zip", empty_zip);
    ExpectIndexed(outcome);
    EXPECT_EQ(outcome.reader().Kind(), ArchiveKind::Zip);
    EXPECT_TRUE(outcome.entries().empty());
    EXPECT_EQ(outcome.reader().Fingerprint(), ArchiveMount::ComputeFingerprint({}, empty_zip.size()));

    const std::string dirs = testsupport::BuildArchive(testsupport::Container::Ustar,
                                                       {{"a", "", 1700000000, true}, {"a/b", "", 1700000000, true}});
    outcome = OpenBytes(dir, "dirs.tar", dirs);
    ExpectIndexed(outcome);
    EXPECT_EQ(outcome.entries().size(), 2u);
    EXPECT_EQ(outcome.reader().DeclaredTotal(), 0);
    EXPECT_EQ(outcome.reader().Fingerprint(), ArchiveMount::ComputeFingerprint({}, dirs.size()));
}

TEST_F(IndexAssembly, TheFingerprintCoversFilesWithTheirStamps) {
    testsupport::ZipImageWriter writer;
    testsupport::ZipEntryFields a = testsupport::StoredEntry("d/a.txt", testsupport::ToBytes("alpha"));
    a.dos_time = 0x12345678;
    writer.Add(a).Add(testsupport::StoredEntry("b.txt", testsupport::ToBytes("")));
    const std::string zip = Text(writer.Build());
    const auto outcome = OpenBytes(dir, "f.zip", zip);
    ExpectIndexed(outcome);
    const std::vector<ArchiveMount::ManifestItem> items = {
        {"d/a.txt", 5, 0x12345678, true, testsupport::Crc32(testsupport::ToBytes("alpha"))},
        {"b.txt", 0, 0x5A216000, true, 0},
    };
    EXPECT_EQ(outcome.reader().Fingerprint(), ArchiveMount::ComputeFingerprint(items, zip.size()));
}

TEST(EndOfWalk, CountsAndFormatChecks) {
    ArchiveMount::ArchiveReader::Impl reader;
    struct archive* handle = archive_read_new();  // never opened: no format
    ArchiveMount::PreWalkValues values;
    values.directory.status = ZipCentralDirectory::Status::NoEndRecord;
    std::string message;
    EXPECT_EQ(EndOfWalk(reader, handle, {0, false}, values, &message), Error::NotRecognized);
    EXPECT_EQ(message, "no entries and no format");

    values.zip_by_directory = true;
    values.directory.status = ZipCentralDirectory::Status::Truncated;
    EXPECT_EQ(EndOfWalk(reader, handle, {0, false}, values, &message), Error::Damaged);
    EXPECT_EQ(message, "zip central directory truncated");
    archive_read_free(handle);

    values.directory.status = ZipCentralDirectory::Status::Ok;
    values.zip_members.Add({});
    values.zip_members.Add({});
    reader.kind = ArchiveKind::Zip;
    EXPECT_EQ(EndOfWalk(reader, nullptr, {1, true}, values, &message), Error::Damaged);
    EXPECT_EQ(message, "central directory lists 2 entries, libarchive walked 1");
    EXPECT_EQ(EndOfWalk(reader, nullptr, {2, true}, values, &message), Error::Ok);

    reader.kind = ArchiveKind::Rar;
    values.rar4.files.resize(3);
    EXPECT_EQ(EndOfWalk(reader, nullptr, {2, true}, values, &message), Error::Damaged);
    EXPECT_EQ(message, "RAR headers list 3 entries, libarchive walked 2");
}

TEST_F(IndexAssembly, AnIszImageIsOneIsoMember) {
    const testsupport::Bytes image = testsupport::Pattern(5 * 2048);
    testsupport::IszImageWriter writer;
    writer.header().block_size = 4096;
    writer.Chunks(image.size(), testsupport::ChunksOf(image, 4096, 2));
    const std::string isz = Text(writer.Build());
    const auto outcome = OpenBytes(dir, "Game Disc.isz", isz);
    ExpectIndexed(outcome);
    ASSERT_EQ(outcome.entries().size(), 1u);
    const ArchiveMount::Entry& entry = outcome.entries()[0];
    EXPECT_EQ(entry.ordinal, 0);
    EXPECT_EQ(entry.path, "Game Disc.iso");
    EXPECT_EQ(entry.dos_path, "GAMEDI~1.ISO");
    EXPECT_EQ(entry.size, 5 * 2048);
    EXPECT_EQ(entry.mtime, outcome.reader().Identity().mtime);
    EXPECT_TRUE(entry.has_crc);
    EXPECT_EQ(outcome.reader().Kind(), ArchiveKind::Isz);
    EXPECT_EQ(outcome.reader().KindFlag(), 0);
    EXPECT_EQ(outcome.reader().DeclaredTotal(), 5 * 2048);
    const auto& impl = static_cast<const ArchiveMount::ArchiveReader&>(outcome.reader()).impl();
    ASSERT_TRUE(impl.isz_image.has_value());
    EXPECT_EQ(impl.isz_image->image_size, 5u * 2048);
    EXPECT_EQ(impl.stamps[0], static_cast<std::uint64_t>(entry.mtime));

    ExpectIndexed(OpenBytes(dir, "disk.isz", isz, {1, 5 * 2048, 5 * 2048}));
    ExpectRefused(OpenBytes(dir, "disk.isz", isz, {1, 5 * 2048 - 1, 1 << 20}), Error::SizeOverLimit,
                  "declared total over 10239 bytes");
    // Windows takes a file named after a DOS device for the device unless its
    // path is literal.
    const std::filesystem::path device_named = testsupport::LiteralPath(dir.path() / "aux.isz");
    std::ofstream(device_named, std::ios::binary) << isz;
    ExpectRefused(testsupport::OpenPath(device_named), Error::NameRefused, "'aux.iso': reserved device name");
    testsupport::IszImageWriter locked = writer;
    locked.header().has_password = 1;
    ExpectRefused(OpenBytes(dir, "disk.isz", Text(locked.Build())), Error::PasswordProtected,
                  "encrypted (has_password 1)");
    // The chunk table promises more data than the file holds.
    const std::string cut = isz.substr(0, isz.size() - 1);
    ExpectRefused(OpenBytes(dir, "disk.isz", cut), Error::Damaged,
                  "data end " + std::to_string(isz.size()) + " past the file size " + std::to_string(cut.size()));
}

}  // namespace

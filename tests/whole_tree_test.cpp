// The whole-tree pass on readers filled by hand.
#include <gtest/gtest.h>
#include <zlib.h>

#include "mount/archive_reader_impl.h"
#include "support/archive_builder.h"
#include "formats/zip_central_directory.h"
#include "support/hand_reader.h"
#include "support/legacy_fixtures.h"
#include "support/output_checks.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using ArchiveMount::Entry;
using ArchiveMount::Error;
using testsupport::FileEntry;
using testsupport::FileNamesIn;
using testsupport::Member;
using testsupport::ReadWholeFile;

class WholeTree : public ::testing::Test {
protected:
    WholeTree() {
        archive = dir.WriteFile(
            "archive.tar",
            testsupport::BuildArchive(testsupport::Container::Ustar,
                                      {Member{"d", "", 1600000000, true}, Member{"d/one", "first", 1600000001},
                                       Member{"skipped", "dropped"}, Member{"two", std::string(100000, 't'), 1600000003},
                                       Member{"three", "third", 1600000004}}));
    }
    void TearDown() override { testsupport::ExpectNoPartFiles(dir.path()); }

    std::unique_ptr<ArchiveMount::ArchiveReader> Reader(std::vector<Entry> files) {
        Entry directory = FileEntry(0, "d", 0);
        directory.is_dir = true;
        files.insert(files.begin(), directory);
        auto reader = testsupport::HandReader(archive, std::move(files));
        reader->impl().detected_format = ArchiveMount::DetectedFormat::Tar;
        reader->impl().kind = ArchiveMount::ArchiveKind::Tar;
        return reader;
    }
    std::vector<Entry> AllFiles() {
        return {FileEntry(1, "d/one", 5, 1600000001), FileEntry(3, "two", 100000, 1600000003),
                FileEntry(4, "three", 5, 1600000004)};
    }

    testsupport::TempDir dir;
    fs::path archive;
};

TEST_F(WholeTree, WritesEveryFileMemberByOrdinalAndReplacesOnASecondPass) {
    const auto reader = Reader(AllFiles());
    const fs::path target = dir.path() / "deep" / "tree";
    for (int pass = 0; pass < 2; ++pass) {
        std::string message = "untouched";
        ASSERT_EQ(reader->MaterializeAll(target, &message), Error::Ok);
        EXPECT_EQ(message, "untouched");
        EXPECT_EQ(FileNamesIn(target), (std::vector<std::string>{"1", "3", "4"}));
        EXPECT_EQ(ReadWholeFile(target / "1"), "first");
        EXPECT_EQ(ReadWholeFile(target / "3"), std::string(100000, 't'));
        EXPECT_EQ(ReadWholeFile(target / "4"), "third");
        EXPECT_EQ(testsupport::FileTimeSeconds(target / "3"), 1600000003);
        dir.WriteFile("deep/tree/4", "stale");
    }
}

TEST_F(WholeTree, OnlyDirectoriesGiveAnEmptyTarget) {
    const auto reader = Reader({});
    const fs::path target = dir.path() / "empty";
    EXPECT_EQ(reader->MaterializeAll(target, nullptr), Error::Ok);
    EXPECT_TRUE(fs::is_directory(target));
    EXPECT_TRUE(fs::is_empty(target));
}

TEST_F(WholeTree, AFailingMemberStopsThePassAfterTheOnesBeforeIt) {
    auto files = AllFiles();
    files[1].size = 99999;
    const auto reader = Reader(files);
    const fs::path target = dir.path() / "out";
    std::string message;
    EXPECT_EQ(reader->MaterializeAll(target, &message), Error::Damaged);
    EXPECT_EQ(message, "member longer than its declared size");
    EXPECT_EQ(FileNamesIn(target), std::vector<std::string>{"1"});
}

TEST_F(WholeTree, IndexedMembersTheArchiveNoLongerReachesFailThePass) {
    auto files = AllFiles();
    files.push_back(FileEntry(9, "ghost", 1));
    const auto reader = Reader(files);
    const fs::path target = dir.path() / "out";
    std::string message;
    EXPECT_EQ(reader->MaterializeAll(target, &message), Error::NoSuchEntry);
    EXPECT_EQ(message, "ordinal past the end");
    EXPECT_EQ(FileNamesIn(target), (std::vector<std::string>{"1", "3", "4"}));
}

TEST_F(WholeTree, TargetThatCannotBeADirectoryIsRefused) {
    const auto reader = Reader(AllFiles());
    const fs::path file = dir.WriteFile("plain", "x");
    for (const fs::path& target : {file, file / "below", fs::path()}) {
        std::string message;
        EXPECT_EQ(reader->MaterializeAll(target, &message), Error::OpenFailed) << target;
        EXPECT_EQ(message, "cannot create " + target.string());
    }
    EXPECT_EQ(ReadWholeFile(file), "x");
}

TEST_F(WholeTree, HandleThatCannotOpenIsOpenFailed) {
    const auto reader = Reader(AllFiles());
    reader->impl().detected_format = ArchiveMount::DetectedFormat::Iso9660;  // a tar is no ISO image
    std::string message;
    EXPECT_EQ(reader->MaterializeAll(dir.path() / "out", &message), Error::OpenFailed);
    EXPECT_FALSE(message.empty());
    EXPECT_TRUE(fs::is_empty(dir.path() / "out"));
}

std::uint32_t Crc(const std::string& bytes) {
    return static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
}

// Real ZIPs that mix stored members with shrunk or imploded ones, inside a
// larger file and read through a window, indexed as the open would.
TEST(WholeTreeZip, LegacyAndLibraryMembersThroughAWindow) {
    for (const char* name : {"Zip.shrink.zip", "Zip.implode.zip"}) {
        SCOPED_TRACE(name);
        testsupport::TempDir dir;
        const auto zip = testsupport::ReadFileBytes(std::string(OMBREX_FIXTURES_DIR) + "/legacy-zip/" + name);
        ASSERT_FALSE(zip.empty());
        const std::string prefix(777, '\xEE');
        const fs::path path =
            dir.WriteFile("outer.bin", prefix + std::string(zip.begin(), zip.end()) + std::string(300, '\xDD'));

        auto reader = testsupport::HandReader(path, {});
        auto& impl = reader->impl();
        impl.window = {777, static_cast<std::int64_t>(zip.size()), true};
        impl.archive_size = zip.size();
        impl.detected_format = ArchiveMount::DetectedFormat::Zip;
        const auto directory = ZipCentralDirectory::ReadWindow(impl.descriptor.get(), 777, zip.size(), 100);
        ASSERT_EQ(directory.status, ZipCentralDirectory::Status::Ok);
        ASSERT_EQ(directory.records.size(), 3u);
        for (int ordinal = 0; ordinal < 3; ++ordinal) {
            const auto& record = directory.records[ordinal];
            AddEntry(impl, FileEntry(ordinal, record.name, static_cast<std::int64_t>(record.uncompressed_size)), 0);
            if (record.method == 1 || record.method == 6) impl.legacy_members[ordinal] = record;
        }
        EXPECT_EQ(impl.legacy_members.size(), 2u);

        const fs::path target = dir.path() / "tree";
        std::string message;
        ASSERT_EQ(reader->MaterializeAll(target, &message), Error::Ok) << message;
        EXPECT_EQ(FileNamesIn(target), (std::vector<std::string>{"0", "1", "2"}));
        for (int ordinal = 0; ordinal < 3; ++ordinal) {
            const auto& record = directory.records[ordinal];
            const std::string bytes = ReadWholeFile(target / std::to_string(ordinal));
            EXPECT_EQ(bytes.size(), record.uncompressed_size) << record.name;
            EXPECT_EQ(Crc(bytes), record.crc32) << record.name;
            std::vector<unsigned char> single;
            ASSERT_EQ(reader->Materialize(ordinal, single, &message), Error::Ok) << message;
            EXPECT_EQ(std::string(single.begin(), single.end()), bytes);
        }
        testsupport::ExpectNoPartFiles(dir.path());
    }
}

}  // namespace

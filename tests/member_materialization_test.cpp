// The materialize front on readers filled by hand: the identity check, the
// lookup and the library dispatch, whatever the open would have admitted.
#include <gtest/gtest.h>

#include "mount/archive_reader_impl.h"
#include "support/host.h"
#include "support/archive_builder.h"
#include "support/file_size_limit.h"
#include "support/hand_reader.h"
#include "support/output_checks.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using ArchiveMount::Entry;
using ArchiveMount::Error;
using testsupport::FileEntry;
using testsupport::Member;

const std::string kBig(300000, 'q');

std::vector<Member> TarMembers() {
    return {Member{"dir", "", 1700000000, true}, Member{"a.txt", "alpha"}, Member{"link-like", "dropped"},
            Member{"dir/empty", ""}, Member{"dir/big", kBig}};
}

class MaterializeFront : public ::testing::Test {
protected:
    MaterializeFront() {
        archive = dir.WriteFile("archive.tar", testsupport::BuildArchive(testsupport::Container::Ustar, TarMembers()));
        fs::create_directory(out_dir);
    }
    void TearDown() override { testsupport::ExpectNoPartFiles(dir.path()); }

    // The index the open would build, less ordinal 2 (as if dropped).
    std::unique_ptr<ArchiveMount::ArchiveReader> Reader(std::int64_t big_size = 300000) {
        Entry directory = FileEntry(0, "dir", 0);
        directory.is_dir = true;
        auto reader = testsupport::HandReader(archive, {directory, FileEntry(1, "a.txt", 5), FileEntry(3, "dir/empty", 0),
                                                        FileEntry(4, "dir/big", big_size)});
        reader->impl().detected_format = ArchiveMount::DetectedFormat::Tar;
        reader->impl().kind = ArchiveMount::ArchiveKind::Tar;
        return reader;
    }

    testsupport::TempDir dir;
    fs::path archive;
    fs::path out_dir = dir.path() / "out";
};

TEST_F(MaterializeFront, FileMembersComeOutByteExactAsBytesAndFiles) {
    const auto reader = Reader();
    const std::pair<int, std::string> cases[] = {{1, "alpha"}, {3, ""}, {4, kBig}};
    for (const auto& [ordinal, bytes] : cases) {
        std::vector<unsigned char> out{1, 2, 3};
        std::string message = "untouched";
        EXPECT_EQ(reader->Materialize(ordinal, out, &message), Error::Ok);
        EXPECT_EQ(std::string(out.begin(), out.end()), bytes);
        const fs::path file = out_dir / ("m" + std::to_string(ordinal));
        EXPECT_EQ(reader->MaterializeToFile(ordinal, file, &message), Error::Ok);
        EXPECT_EQ(testsupport::ReadWholeFile(file), bytes);
        EXPECT_EQ(testsupport::FileTimeSeconds(file), 1700000000);
        EXPECT_EQ(message, "untouched");
    }
}

TEST_F(MaterializeFront, OrdinalsThatNameNoFileAreNoSuchMemberAndTouchNothing) {
    const auto reader = Reader();
    for (int ordinal : {0, 2, -1, 5, 1000}) {
        SCOPED_TRACE(ordinal);
        std::vector<unsigned char> out{9};
        std::string message;
        EXPECT_EQ(reader->Materialize(ordinal, out, &message), Error::NoSuchEntry);
        EXPECT_EQ(message, "no such member");
        EXPECT_TRUE(out.empty());
        message.clear();
        EXPECT_EQ(reader->MaterializeToFile(ordinal, out_dir / "x", &message), Error::NoSuchEntry);
        EXPECT_EQ(message, "no such member");
        EXPECT_EQ(reader->MaterializeToFile(ordinal, out_dir / "x", nullptr), Error::NoSuchEntry);
    }
    EXPECT_TRUE(fs::is_empty(out_dir));
}

TEST_F(MaterializeFront, AChangedArchiveAnswersChangedUntilItIsAsIndexed) {
    const std::string original = testsupport::ReadWholeFile(archive);
    const auto indexed_time = fs::last_write_time(archive);
    struct Change {
        const char* name;
        std::function<void()> apply;
    };
    const Change changes[] = {
        {"touched", [&] { fs::last_write_time(archive, indexed_time + std::chrono::seconds(1)); }},
        {"grown", [&] { dir.WriteFile("archive.tar", original + "x"); }},
        {"shrunk", [&] { fs::resize_file(archive, original.size() - 512); }},
    };
    const auto reader = Reader();
    for (const auto& change : changes) {
        SCOPED_TRACE(change.name);
        change.apply();
        std::vector<unsigned char> out{1};
        std::string message;
        EXPECT_EQ(reader->Materialize(1, out, &message), Error::ChangedSinceIndexed);
        EXPECT_EQ(message, "archive size or mtime changed since it was indexed");
        EXPECT_TRUE(out.empty());
        message.clear();
        EXPECT_EQ(reader->MaterializeToFile(1, out_dir / "x", &message), Error::ChangedSinceIndexed);
        EXPECT_EQ(message, "archive size or mtime changed since it was indexed");
        message.clear();
        EXPECT_EQ(reader->MaterializeAll(out_dir / "all", &message), Error::ChangedSinceIndexed);
        EXPECT_EQ(message, "archive size or mtime changed since it was indexed");
        EXPECT_EQ(reader->MaterializeToFile(1, out_dir / "x", nullptr), Error::ChangedSinceIndexed);
        EXPECT_TRUE(fs::is_empty(out_dir));

        // Put back exactly as indexed: the reader serves again.
        dir.WriteFile("archive.tar", original);
        fs::last_write_time(archive, indexed_time);
        EXPECT_EQ(reader->Materialize(1, out, &message), Error::Ok);
    }
}

TEST_F(MaterializeFront, PositioningFailureCreatesNoFile) {
    auto reader = Reader();
    ArchiveMount::AddEntry(reader->impl(), FileEntry(7, "ghost", 3), 0);
    const fs::path target = dir.WriteFile("out/kept", "old");
    std::string message;
    EXPECT_EQ(reader->MaterializeToFile(7, target, &message), Error::NoSuchEntry);
    EXPECT_EQ(message, "ordinal past the end");
    EXPECT_EQ(testsupport::ReadWholeFile(target), "old");
    EXPECT_EQ(testsupport::FileNamesIn(out_dir), std::vector<std::string>{"kept"});
}

TEST_F(MaterializeFront, SizeMismatchFailsTheFileButVectorKeepsWhatArrived) {
    struct Case {
        std::int64_t declared;
        std::string message;
    };
    for (const Case& c : {Case{300001, "member shorter than its declared size"},
                          Case{299999, "member longer than its declared size"}}) {
        SCOPED_TRACE(c.declared);
        const auto reader = Reader(c.declared);
        const fs::path target = dir.WriteFile("out/big", "old");
        std::string message;
        EXPECT_EQ(reader->MaterializeToFile(4, target, &message), Error::Damaged);
        EXPECT_EQ(message, c.message);
        EXPECT_EQ(testsupport::ReadWholeFile(target), "old");
        std::vector<unsigned char> out;
        EXPECT_EQ(reader->Materialize(4, out, &message), Error::Damaged);
        EXPECT_GT(out.size(), 0u);
        EXPECT_EQ(std::string(out.begin(), out.end()), kBig.substr(0, out.size()));
    }
}

TEST_F(MaterializeFront, FullDiskFailsTheMemberAndKeepsTheOldFile) {
    if (testsupport::kWindowsHost) GTEST_SKIP() << "stands a file size limit in for a full disk; Windows has none";
    const auto reader = Reader();
    const fs::path target = dir.WriteFile("out/big", "old");
    std::string message;
    Error code;
    {
        testsupport::ScopedFileSizeLimit limit(100000);
        code = reader->MaterializeToFile(4, target, &message);
    }
    EXPECT_EQ(code, Error::OpenFailed);
    EXPECT_TRUE(message == "cannot write the member" || message.rfind("cannot finish writing ", 0) == 0) << message;
    EXPECT_EQ(testsupport::ReadWholeFile(target), "old");
    EXPECT_EQ(testsupport::FileNamesIn(out_dir), std::vector<std::string>{"big"});
}

}  // namespace

// Every format the library decodes, byte for byte: each file member singly,
// into a vector and a file, and all of them at once.
#include <gtest/gtest.h>
#include <zlib.h>

#include <map>

#include "mount/archive_reader_impl.h"
#include "support/host.h"
#include "support/archive_builder.h"
#include "support/hand_reader.h"
#include "support/output_checks.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using ArchiveMount::ArchiveKind;
using ArchiveMount::DetectedFormat;
using ArchiveMount::Error;
using testsupport::Compression;
using testsupport::Container;
using testsupport::Member;

std::string Mixed(std::size_t size) {
    std::string s;
    std::uint32_t x = 12345;
    for (std::size_t i = 0; i < size; ++i) {
        x = x * 1103515245 + 12345;
        s += (i / 4096) % 2 ? static_cast<char>('a' + i % 7) : static_cast<char>(x >> 24);
    }
    return s;
}

std::vector<Member> Members() {
    return {Member{"docs", "", 1700000000, true}, Member{"docs/readme.txt", "read me\n", 1600000000},
            Member{"empty.bin", ""}, Member{"docs/data.bin", Mixed(300000), 1500000000},
            Member{"block.bin", std::string(65536, 'b')}};
}

// Materializes every file member of `reader` and checks it against `expected`
// (path to bytes); the ordinals must cover exactly the expected files.
void ExpectEveryMember(ArchiveMount::ArchiveReader& reader, const std::map<std::string, std::string>& expected,
                       const fs::path& scratch) {
    std::size_t files = 0;
    const fs::path all = scratch / "all";
    std::string message;
    ASSERT_EQ(reader.MaterializeAll(all, &message), Error::Ok) << message;
    for (const auto& entry : reader.Entries()) {
        if (entry.is_dir) continue;
        ++files;
        SCOPED_TRACE(entry.path);
        const auto found = expected.find(entry.path);
        ASSERT_NE(found, expected.end());
        std::vector<unsigned char> bytes;
        ASSERT_EQ(reader.Materialize(entry.ordinal, bytes, &message), Error::Ok) << message;
        EXPECT_TRUE(std::string(bytes.begin(), bytes.end()) == found->second);
        const fs::path single = scratch / "single" / std::to_string(entry.ordinal);
        ASSERT_EQ(reader.MaterializeToFile(entry.ordinal, single, &message), Error::Ok) << message;
        EXPECT_TRUE(testsupport::ReadWholeFile(single) == found->second);
        EXPECT_TRUE(testsupport::ReadWholeFile(all / std::to_string(entry.ordinal)) == found->second);
    }
    EXPECT_EQ(files, expected.size());
    testsupport::ExpectNoPartFiles(scratch);
}

TEST(MemberFormats, ContainersUnderEveryFilterComeOutByteExact) {
    struct Case {
        const char* name;
        Container container;
        Compression compression;
        DetectedFormat format;
        ArchiveKind kind;
    };
    const Case cases[] = {
        {"zip stored", Container::ZipStored, Compression::None, DetectedFormat::Zip, ArchiveKind::Zip},
        {"zip deflate", Container::ZipDeflate, Compression::None, DetectedFormat::Zip, ArchiveKind::Zip},
        {"7z", Container::SevenZip, Compression::None, DetectedFormat::SevenZip, ArchiveKind::SevenZip},
        {"tar", Container::Ustar, Compression::None, DetectedFormat::Tar, ArchiveKind::Tar},
        {"pax gzip", Container::Pax, Compression::Gzip, DetectedFormat::Gzip, ArchiveKind::Tar},
        {"tar bzip2", Container::Ustar, Compression::Bzip2, DetectedFormat::Bzip2, ArchiveKind::Tar},
        {"tar xz", Container::Ustar, Compression::Xz, DetectedFormat::Xz, ArchiveKind::Tar},
        {"tar lzma", Container::Ustar, Compression::Lzma, DetectedFormat::Lzma, ArchiveKind::Tar},
        {"tar zstd", Container::Ustar, Compression::Zstd, DetectedFormat::Zstd, ArchiveKind::Tar},
        {"iso 9660", Container::Iso9660, Compression::None, DetectedFormat::Iso9660, ArchiveKind::Iso9660},
    };
    std::map<std::string, std::string> expected;
    for (const auto& member : Members()) {
        if (!member.is_dir) expected[member.name] = member.bytes;
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir;
        const fs::path path = dir.WriteFile("archive", testsupport::BuildArchive(c.container, Members(), c.compression));
        auto reader = testsupport::LibraryIndexedReader(path, c.format, c.kind);
        ExpectEveryMember(*reader, expected, dir.path());
    }
}

TEST(MemberFormats, RawStreamsComeOutByteExact) {
    const std::string image = Mixed(200000);
    const std::pair<Compression, DetectedFormat> cases[] = {{Compression::Gzip, DetectedFormat::Gzip},
                                                            {Compression::Bzip2, DetectedFormat::Bzip2},
                                                            {Compression::Xz, DetectedFormat::Xz},
                                                            {Compression::Zstd, DetectedFormat::Zstd}};
    for (const auto& [compression, format] : cases) {
        SCOPED_TRACE(static_cast<int>(format));
        testsupport::TempDir dir;
        const fs::path path = dir.WriteFile("disk.img.z", testsupport::Compress(compression, image));
        auto reader = testsupport::LibraryIndexedReader(path, format, ArchiveKind::Raw, true);
        ASSERT_EQ(reader->Entries().size(), 1u);
        ExpectEveryMember(*reader, {{reader->Entries()[0].path, image}}, dir.path());
    }
}

TEST(MemberFormats, ZipWithBzip2MembersFromTheZipTool) {
    if (testsupport::kWindowsHost) GTEST_SKIP() << "runs Debian's zip, a Linux program";
    testsupport::TempDir dir;
    const std::string data = Mixed(120000);
    fs::create_directory(dir.path() / "in");
    dir.WriteFile("in/data.bin", data);
    dir.WriteFile("in/note.txt", "bzip2 inside zip\n");
    const std::string command = "cd '" + (dir.path() / "in").string() + "' && zip -q -Z bzip2 ../b.zip data.bin note.txt";
    if (std::system(command.c_str()) != 0) GTEST_SKIP() << "zip -Z bzip2 not available";
    auto reader = testsupport::LibraryIndexedReader(dir.path() / "b.zip", DetectedFormat::Zip, ArchiveKind::Zip);
    ExpectEveryMember(*reader, {{"data.bin", data}, {"note.txt", "bzip2 inside zip\n"}}, dir.path() / "out");
}

// RAR archives nothing here can write: the library's own sizes, and for the
// members our open takes a CRC from, that CRC.
TEST(MemberFormats, RarFixturesMatchTheirDeclaredSizes) {
    const std::pair<const char*, DetectedFormat> cases[] = {{"rar4-compressed.rar", DetectedFormat::Rar},
                                                            {"rar5-compressed.rar", DetectedFormat::Rar5}};
    for (const auto& [name, format] : cases) {
        SCOPED_TRACE(name);
        testsupport::TempDir dir;
        auto reader = testsupport::LibraryIndexedReader(std::string(OMBREX_FIXTURES_DIR) + "/libarchive/" + name,
                                                        format,
                                                        format == DetectedFormat::Rar ? ArchiveKind::Rar : ArchiveKind::Rar5);
        std::string message;
        ASSERT_EQ(reader->MaterializeAll(dir.path() / "all", &message), Error::Ok) << message;
        int files = 0;
        for (const auto& entry : reader->Entries()) {
            if (entry.is_dir || entry.size == 0) continue;
            ++files;
            std::vector<unsigned char> bytes;
            ASSERT_EQ(reader->Materialize(entry.ordinal, bytes, &message), Error::Ok) << entry.path << ": " << message;
            EXPECT_EQ(static_cast<std::int64_t>(bytes.size()), entry.size);
            EXPECT_EQ(testsupport::ReadWholeFile(dir.path() / "all" / std::to_string(entry.ordinal)),
                      std::string(bytes.begin(), bytes.end()));
        }
        EXPECT_GT(files, 0);
        testsupport::ExpectNoPartFiles(dir.path());
    }
}

}  // namespace

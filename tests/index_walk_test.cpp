// The walk through real opens: what each kind of archive indexes to, and every
// refusal of a member.
#include "mount/index_walk.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "mount/archive_reader_impl.h"
#include "mount/archive_sources.h"
#include "mount/library_setup.h"
#include "support/host.h"
#include "support/archive_builder.h"
#include "support/byte_image.h"
#include "support/open_outcome.h"
#include "support/rar5_image.h"
#include "support/temp_dir.h"
#include "support/zip_image_writer.h"

namespace {

using ArchiveMount::ArchiveKind;
using ArchiveMount::Entry;
using ArchiveMount::Error;
using ArchiveMount::OpenLimits;
using testsupport::BuildArchive;
using testsupport::Compression;
using testsupport::Container;
using testsupport::ExpectIndexed;
using testsupport::ExpectRefused;
using testsupport::Member;
using testsupport::OpenBytes;
using testsupport::PathsOf;

std::uint32_t Crc(const std::string& bytes) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

// One ustar header block, for member types and sizes the writer will not make.
std::string TarHeader(const std::string& name, char type, std::size_t size, const std::string& link = "") {
    std::string block(512, '\0');
    std::memcpy(&block[0], name.data(), std::min<std::size_t>(name.size(), 100));
    std::snprintf(&block[100], 8, "%07o", 0644);
    std::snprintf(&block[108], 8, "%07o", 0);
    std::snprintf(&block[116], 8, "%07o", 0);
    std::snprintf(&block[124], 12, "%011zo", size);
    std::snprintf(&block[136], 12, "%011o", 1700000000);
    block[156] = type;
    std::memcpy(&block[157], link.data(), std::min<std::size_t>(link.size(), 100));
    std::memcpy(&block[257],
                "ustar\0"
                "00",
                8);
    std::memset(&block[148], ' ', 8);
    unsigned sum = 0;
    for (unsigned char c : block) sum += c;
    std::snprintf(&block[148], 8, "%06o", sum);
    return block;
}

std::string TarMember(const std::string& name, const std::string& data) {
    std::string out = TarHeader(name, '0', data.size()) + data;
    out.resize((out.size() + 511) / 512 * 512, '\0');
    return out;
}

const std::string kTarEnd(1024, '\0');

class IndexWalk : public testing::Test {
protected:
    testsupport::TempDir dir;
};

TEST_F(IndexWalk, TarPathsGetMadeUpDirectoriesDosNamesAndLaterDirectoriesMerge) {
    const std::string bytes = BuildArchive(Container::Pax, {{"Games/Read Me.txt", "hello", 1700000100},
                                                            {"Games", "", 1700000200, true},
                                                            {"readme.txt", "abc", 1700000300}});
    const auto outcome = OpenBytes(dir, "t.tar", bytes);
    ExpectIndexed(outcome);
    EXPECT_TRUE(outcome.logs.empty()) << "a directory merges silently";
    const auto& entries = outcome.entries();
    ASSERT_EQ(PathsOf(entries), (std::vector<std::string>{"Games/", "Games/Read Me.txt", "readme.txt"}));
    EXPECT_EQ(entries[0].ordinal, -1);
    EXPECT_EQ(entries[0].dos_path, "GAMES");
    EXPECT_EQ(entries[0].mtime, 1700000100) << "made up with the time of the member that implied it";
    EXPECT_EQ(entries[1].ordinal, 0);
    EXPECT_EQ(entries[1].dos_path, "GAMES\\README~1.TXT");
    EXPECT_EQ(entries[1].size, 5);
    EXPECT_FALSE(entries[1].has_crc) << "tar has no CRC";
    EXPECT_EQ(entries[2].ordinal, 2);
    EXPECT_EQ(entries[2].dos_path, "README.TXT");
    EXPECT_EQ(outcome.reader().Kind(), ArchiveKind::Tar);
    EXPECT_EQ(outcome.reader().KindFlag(), 1);
    EXPECT_EQ(outcome.reader().DeclaredTotal(), 8);
}

TEST_F(IndexWalk, NonFileMembersAreDroppedWithTheirOrdinalCounted) {
    const std::string bytes = TarMember("a.txt", "a") + TarHeader("link", '2', 0, "a.txt") + TarHeader("fifo", '6', 0) +
                              TarMember("b.txt", "bb") + kTarEnd;
    const auto outcome = OpenBytes(dir, "t.tar", bytes);
    ExpectIndexed(outcome);
    ASSERT_EQ(outcome.logs.size(), 2u);
    EXPECT_EQ(outcome.logs[0].message, outcome.path.string() + ": dropping entry 1 'link': not a file or directory");
    EXPECT_EQ(outcome.logs[1].message, outcome.path.string() + ": dropping entry 2 'fifo': not a file or directory");
    EXPECT_EQ(outcome.logs[0].level, 3);
    const auto& entries = outcome.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].ordinal, 0);
    EXPECT_EQ(entries[1].ordinal, 3);
}

TEST_F(IndexWalk, LimitsHoldExactlyAtTheirValues) {
    // Four headers, one of them dropped; 3 + 4 declared bytes.
    const std::string bytes =
        TarMember("a", "abc") + TarHeader("l", '2', 0, "a") + TarMember("b", "defg") + TarMember("c", "") + kTarEnd;
    struct Case {
        const char* name;
        OpenLimits limits;
        Error error;
        std::string message;
    };
    const Case cases[] = {
        {"entries at the cap", {4, 100, 100}, Error::Ok, ""},
        {"entries one past", {3, 100, 100}, Error::TooManyEntries, "more than 3 entries"},
        {"member at the cap", {10, 100, 4}, Error::Ok, ""},
        {"member one past", {10, 100, 3}, Error::SizeOverLimit, "'b': 4 bytes"},
        {"total at the cap", {10, 7, 100}, Error::Ok, ""},
        {"total one past", {10, 6, 100}, Error::SizeOverLimit, "declared total over 6 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto outcome = OpenBytes(dir, "limits.tar", bytes, c.limits);
        if (c.error == Error::Ok) {
            ExpectIndexed(outcome);
        } else {
            // The dropped member logged before the refusal.
            ASSERT_FALSE(outcome.logs.empty());
            EXPECT_EQ(outcome.result.error, c.error);
            EXPECT_EQ(outcome.result.message, c.message);
            EXPECT_EQ(outcome.logs.back().message,
                      outcome.path.string() + ": " + ArchiveMount::ErrorText(c.error) + " (" + c.message + ")");
        }
    }
}

TEST_F(IndexWalk, RefusedNamesAndPlacements) {
    struct Case {
        const char* name;
        std::string tar;
        std::string message;
    };
    const std::string deep = "aaaaaaaa/bbbbbbbb/cccccccc/dddddddd/eeeeeeee/ffffffff/gggggggg/hhhhhhhh/";
    const Case cases[] = {
        {"dot-dot", TarMember("a/../x", "1"), "'a/../x': '.' or '..' component"},
        {"absolute", TarMember("/etc/x", "1"), "'/etc/x': absolute path"},
        {"device", TarMember("dir/aux.txt", "1"), "'dir/aux.txt': reserved device name"},
        {"control byte", TarMember("a\tb", "1"), "'a\tb': control character in name"},
        {"empty component", TarMember("a//b", "1"), "'a//b': empty component"},
        {"file under a file", TarMember("a", "1") + TarMember("a/b.txt", "2"), "'a/b.txt': 'a' is a file"},
        {"file where a directory is", TarHeader("a/", '5', 0) + TarMember("a", "1"),
         "'a': a directory of that name is already listed"},
        {"directory where a file is", TarMember("a", "1") + TarHeader("a/", '5', 0),
         "'a/': a file of that name is already listed"},
        {"same file, other content", TarMember("x", "1") + TarMember("x", "22"),
         "'x': listed twice with different content"},
        {"directories too deep", TarMember(deep + "iiiiiiii/x", "1"), "'" + deep + "iiiiiiii/x': DOS path too long"},
        {"file path too long", TarMember(deep + "longname.txt", "1"),
         "'" + deep + "longname.txt': no free 8.3 name or DOS path too long"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ExpectRefused(OpenBytes(dir, "names.tar", c.tar + kTarEnd), Error::NameRefused, c.message);
    }
}

// A 7z whose second member's name holds a lone UTF-16 surrogate where the
// writer put "AAAA": the header is stored plain, so patching it and its two
// CRCs keeps the archive otherwise intact.
std::string SevenZipWithUnpairedSurrogate() {
    std::string archive = BuildArchive(Container::SevenZipStored, {{"ok.txt", "fine"}, {"AAAA.txt", "hi"}});
    const std::string wide_a("A\0A\0A\0A\0", 8);
    const std::size_t at = archive.find(wide_a);
    EXPECT_NE(at, std::string::npos);
    if (at == std::string::npos) return archive;
    archive[at] = '\x00';
    archive[at + 1] = '\xD8';
    const auto u64 = [&](std::size_t offset) {
        std::uint64_t value = 0;
        for (int i = 7; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(archive[offset + i]);
        return value;
    };
    const auto put32 = [&](std::size_t offset, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) archive[offset + i] = static_cast<char>(value >> (8 * i));
    };
    constexpr std::size_t kStartHeaderEnd = 32;
    const std::size_t header = kStartHeaderEnd + u64(12);
    put32(28, Crc(archive.substr(header, u64(20))));
    put32(8, Crc(archive.substr(12, 20)));
    return archive;
}

// Names the library cannot convert are refused by their ordinal, with what is
// wrong with them: a tar made where names were in a DOS code page ("\u0442\u0435\u0441\u0442"
// in CP866), and a 7z holding half a UTF-16 pair.
TEST_F(IndexWalk, NamesTheLibraryCannotConvertAreRefusedAsNotUtf8) {
    struct Case {
        const char* file;
        std::string bytes;
        const char* message;
    };
    const Case cases[] = {
        {"dos.tar", TarMember("readme.txt", "1") + TarMember("\xE2\xA5\xE1\xE2.txt", "2") + kTarEnd,
         "entry 1: name is not valid UTF-8"},
        {"half.7z", SevenZipWithUnpairedSurrogate(), "entry 1: name is not valid UTF-8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        ExpectRefused(OpenBytes(dir, c.file, c.bytes), Error::NameRefused, c.message);
    }
}

TEST_F(IndexWalk, TheSameFileTwiceIsListedOnceWithItsFirstOrdinal) {
    const auto outcome =
        OpenBytes(dir, "twice.tar", TarMember("x", "same") + TarMember("y", "") + TarMember("./x", "same") + kTarEnd);
    ExpectIndexed(outcome);
    ASSERT_EQ(outcome.logs.size(), 1u);
    EXPECT_EQ(outcome.logs[0].message, outcome.path.string() + ": duplicate entry 'x' kept once");
    ASSERT_EQ(outcome.entries().size(), 2u);
    EXPECT_EQ(outcome.entries()[0].ordinal, 0);
    EXPECT_EQ(outcome.reader().DeclaredTotal(), 4) << "a duplicate adds nothing";
}

TEST_F(IndexWalk, ADamagedTarFailsWithTheLibrarysText) {
    const std::string whole = TarMember("a", std::string(3000, 'a')) + TarMember("b", "b") + kTarEnd;
    // The first member's data cut short: its skip fails.
    auto outcome = OpenBytes(dir, "cut.tar", whole.substr(0, 1500));
    ExpectRefused(outcome, Error::Damaged, "Truncated input file (needed 3072 bytes, only 988 available)");
    // A second header of garbage.
    std::string garbled = whole;
    std::memset(&garbled[3584], 'Z', 512);
    outcome = OpenBytes(dir, "garbled.tar", garbled);
    ExpectRefused(outcome, Error::Damaged, "Damaged tar archive");
}

TEST_F(IndexWalk, RawStreamIsReadWholeWithItsCrcAndTheFilesTime) {
    // Incompressible, so that a cut falls well behind what opening reads ahead.
    std::string image(200000, '\0');
    std::uint32_t state = 1;
    for (char& byte : image) byte = static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
    const std::string gz = testsupport::Compress(Compression::Gzip, image);
    auto outcome = OpenBytes(dir, "disk.img.gz", gz);
    ExpectIndexed(outcome);
    ASSERT_EQ(outcome.entries().size(), 1u);
    const Entry& entry = outcome.entries()[0];
    EXPECT_EQ(entry.path, "disk.img");
    EXPECT_EQ(entry.dos_path, "DISK.IMG");
    EXPECT_EQ(entry.ordinal, 0);
    EXPECT_EQ(entry.size, 200000);
    EXPECT_TRUE(entry.has_crc);
    EXPECT_EQ(entry.crc, Crc(image));
    EXPECT_EQ(entry.mtime, outcome.reader().Identity().mtime);
    EXPECT_EQ(outcome.reader().Kind(), ArchiveKind::Raw);
    EXPECT_EQ(outcome.reader().KindFlag(), 0);

    ExpectIndexed(OpenBytes(dir, "disk.img.gz", gz, {10, 200000, 200000}));
    ExpectRefused(OpenBytes(dir, "disk.img.gz", gz, {10, 199999, 300000}), Error::SizeOverLimit,
                  "'disk.img': over 199999 bytes");
    ExpectRefused(OpenBytes(dir, "disk.img.gz", gz, {10, 300000, 199999}), Error::SizeOverLimit,
                  "'disk.img': over 199999 bytes");
    outcome = OpenBytes(dir, "disk.img.gz", gz.substr(0, gz.size() / 2));
    ExpectRefused(outcome, Error::Damaged, "truncated gzip input");
}

TEST_F(IndexWalk, ZipMembersTakeNameSizeCrcAndStampFromTheCentralDirectory) {
    const std::string bytes =
        BuildArchive(Container::ZipDeflate,
                     {{"dir\\a.txt", std::string(5000, 'a')}, {"dir/b.txt", "bee"}, {"empty", "", 1700000000, true}});
    const auto outcome = OpenBytes(dir, "z.zip", bytes);
    ExpectIndexed(outcome);
    const auto& entries = outcome.entries();
    ASSERT_EQ(PathsOf(entries), (std::vector<std::string>{"dir/", "dir/a.txt", "dir/b.txt", "empty/"}));
    EXPECT_EQ(entries[1].size, 5000);
    EXPECT_TRUE(entries[1].has_crc);
    EXPECT_EQ(entries[1].crc, Crc(std::string(5000, 'a')));
    EXPECT_FALSE(entries[3].has_crc);
    EXPECT_EQ(entries[3].ordinal, 2);
    EXPECT_EQ(outcome.reader().Kind(), ArchiveKind::Zip);
    EXPECT_EQ(outcome.reader().KindFlag(), 0);
    const auto& impl = static_cast<const ArchiveMount::ArchiveReader&>(outcome.reader()).impl();
    EXPECT_NE(impl.stamps[1], static_cast<std::uint64_t>(entries[1].mtime)) << "ZIP stamps are DOS time words";
    EXPECT_TRUE(impl.legacy_members.empty());
}

TEST_F(IndexWalk, ShrunkAndImplodedZipMembersAreKeptForTheLegacyPath) {
    testsupport::ZipImageWriter writer;
    testsupport::ZipEntryFields shrunk = testsupport::StoredEntry("s.txt", testsupport::ToBytes("xx"));
    shrunk.method = 1;
    shrunk.crc32 = 0x11111111;
    testsupport::ZipEntryFields imploded = testsupport::StoredEntry("i.txt", testsupport::ToBytes("yy"));
    imploded.method = 6;
    imploded.flags = 0x0006;
    writer.Add(testsupport::StoredEntry("plain", testsupport::ToBytes("p"))).Add(shrunk).Add(imploded);
    const testsupport::Bytes zip = writer.Build();
    const auto outcome = OpenBytes(dir, "legacy.zip", std::string(zip.begin(), zip.end()));
    ExpectIndexed(outcome);
    const auto& impl = static_cast<const ArchiveMount::ArchiveReader&>(outcome.reader()).impl();
    ASSERT_EQ(impl.legacy_members.size(), 2u);
    EXPECT_EQ(impl.legacy_members.at(1).method, 1);
    EXPECT_EQ(impl.legacy_members.at(1).name, "s.txt");
    EXPECT_EQ(impl.legacy_members.at(2).method, 6);
    EXPECT_EQ(impl.legacy_members.at(2).flags, 0x0006);
    EXPECT_EQ(outcome.entries()[1].crc, 0x11111111u) << "the CRC the directory states";
}

TEST_F(IndexWalk, ZipBackslashAndSlashNamesAreOneMember) {
    // The same path twice: kept once when the CRCs agree, refused otherwise.
    auto outcome =
        OpenBytes(dir, "dup.zip", BuildArchive(Container::ZipStored, {{"a\\b.txt", "same"}, {"a/b.txt", "same"}}));
    ExpectIndexed(outcome);
    ASSERT_EQ(outcome.logs.size(), 1u);
    EXPECT_EQ(outcome.logs[0].message, outcome.path.string() + ": duplicate entry 'a/b.txt' kept once");
    outcome =
        OpenBytes(dir, "dup.zip", BuildArchive(Container::ZipStored, {{"a\\b.txt", "same"}, {"a/b.txt", "diff"}}));
    ExpectRefused(outcome, Error::NameRefused, "'a/b.txt': listed twice with different content");
}

// Runs Debian's zip in `where`; false when it is not installed.
bool RunZip(const std::filesystem::path& where, const std::string& arguments) {
    if (std::system("command -v zip >/dev/null 2>&1") != 0) return false;
    const std::string command = "cd '" + where.string() + "' && zip -q " + arguments + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

std::string ReadWhole(const std::filesystem::path& file) {
    std::ifstream stream(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << stream.rdbuf();
    return bytes.str();
}

TEST_F(IndexWalk, ZipMethodsAndEncryptionFromDebiansZip) {
    if (testsupport::kWindowsHost) GTEST_SKIP() << "runs Debian's zip, a Linux program";
    dir.WriteFile("plain.txt", std::string(20000, 'p'));
    if (!RunZip(dir.path(), "-Z bzip2 bz.zip plain.txt") || !RunZip(dir.path(), "-P secret enc.zip plain.txt"))
        GTEST_SKIP() << "zip is not installed";
    auto outcome = testsupport::OpenPath(dir.path() / "bz.zip");
    ExpectIndexed(outcome);
    ASSERT_EQ(outcome.entries().size(), 1u);
    EXPECT_EQ(outcome.entries()[0].crc, Crc(std::string(20000, 'p')));
    ExpectRefused(testsupport::OpenPath(dir.path() / "enc.zip"), Error::PasswordProtected, "encrypted entry");

    // Method 9 in both headers: refused by name before any data is read.
    std::string deflate64 = ReadWhole(dir.path() / "bz.zip");
    for (std::size_t at = 0; (at = deflate64.find("PK", at)) != std::string::npos; at += 2) {
        if (deflate64.compare(at, 4, "PK\x03\x04") == 0) deflate64[at + 8] = 9;
        if (deflate64.compare(at, 4, "PK\x01\x02") == 0) deflate64[at + 10] = 9;
    }
    ExpectRefused(OpenBytes(dir, "d64.zip", deflate64), Error::MethodUnsupported,
                  "'plain.txt': ZIP method 9 (deflate64)");
}

TEST_F(IndexWalk, ZipMethodTexts) {
    const std::pair<std::uint16_t, const char*> cases[] = {{1, "shrunk"},
                                                           {2, "reduced"},
                                                           {5, "reduced"},
                                                           {6, "imploded"},
                                                           {7, "tokenized"},
                                                           {9, "deflate64"},
                                                           {10, "PKWARE DCL imploded"},
                                                           {99, "AES encrypted"},
                                                           {8, "unknown"},
                                                           {11, "unknown"}};
    for (const auto& [method, text] : cases) EXPECT_STREQ(ArchiveMount::ZipMethodText(method), text) << method;
}

TEST_F(IndexWalk, SevenZipAndIsoImagesIndexThroughTheLibrary) {
    const std::vector<Member> members = {{"docs", "", 1700000000, true}, {"docs/a.txt", "alpha"}, {"b.bin", "bb"}};
    auto outcome = OpenBytes(dir, "s.7z", BuildArchive(Container::SevenZip, members));
    ExpectIndexed(outcome);
    EXPECT_EQ(outcome.reader().Kind(), ArchiveKind::SevenZip);
    EXPECT_EQ(PathsOf(outcome.entries()), (std::vector<std::string>{"docs/", "docs/a.txt", "b.bin"}));

    // The image's "." root entry vanishes through the path rules.
    outcome = OpenBytes(dir, "cd.iso", BuildArchive(Container::Iso9660, members));
    ExpectIndexed(outcome);
    EXPECT_EQ(outcome.reader().Kind(), ArchiveKind::Iso9660);
    EXPECT_EQ(outcome.reader().KindFlag(), 0);
    auto paths = PathsOf(outcome.entries());
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{"b.bin", "docs/", "docs/a.txt"}));
}

TEST_F(IndexWalk, EncryptedSevenZipAndRarDataAreRefused) {
    const std::filesystem::path fixtures = OMBREX_FIXTURES_DIR "/libarchive";
    ExpectRefused(testsupport::OpenPath(fixtures / "7z-encrypted-data.7z"), Error::PasswordProtected,
                  "encrypted entry");
    ExpectRefused(testsupport::OpenPath(fixtures / "rar4-encrypted-data.rar"), Error::PasswordProtected,
                  "encrypted entry");
    const auto header = testsupport::OpenPath(fixtures / "7z-encrypted-header.7z");
    EXPECT_EQ(header.result.error, Error::PasswordProtected) << header.result.message;
}

TEST_F(IndexWalk, Rar5MembersWithoutSizeOrNamedAsDirectoriesAreRefused) {
    auto outcome =
        OpenBytes(dir, "r.rar",
                  testsupport::BuildRar5({{"dir", "", true, 1700000500}, {"dir/a.txt", "alpha"}, {"b.txt", "bee"}}));
    ExpectIndexed(outcome);
    EXPECT_EQ(outcome.reader().Kind(), ArchiveKind::Rar5);
    EXPECT_EQ(outcome.reader().KindFlag(), 1);
    const auto& entries = outcome.entries();
    ASSERT_EQ(PathsOf(entries), (std::vector<std::string>{"dir/", "dir/a.txt", "b.txt"}));
    EXPECT_EQ(entries[0].mtime, 1700000500);
    EXPECT_EQ(entries[1].size, 5);
    EXPECT_FALSE(entries[1].has_crc) << "only ZIP, RAR 4 and raw streams give CRCs";

    testsupport::Rar5Member unknown{"u.bin", "data"};
    unknown.size_unknown = true;
    // The library itself refuses a header without a size.
    ExpectRefused(OpenBytes(dir, "u.rar", testsupport::BuildRar5({unknown})), Error::Damaged,
                  "Files with unknown unpacked size are not supported");
    ExpectRefused(OpenBytes(dir, "x.rar", testsupport::BuildRar5({{"x/", "data"}})), Error::NameRefused,
                  "'x/': a file named as a directory");
    testsupport::Rar5Member link{"l", "target"};
    link.mode = 0120777;
    outcome = OpenBytes(dir, "l.rar", testsupport::BuildRar5({link, {"f", "x"}}));
    ExpectIndexed(outcome);
    ASSERT_EQ(outcome.entries().size(), 1u);
    EXPECT_EQ(outcome.entries()[0].ordinal, 1);
}

TEST_F(IndexWalk, Rar4MembersTakeCrcAndStampFromTheHeaders) {
    const auto outcome = testsupport::OpenPath(OMBREX_FIXTURES_DIR "/libarchive/rar4-compressed.rar");
    ExpectIndexed(outcome);
    EXPECT_EQ(outcome.reader().Kind(), ArchiveKind::Rar);
    EXPECT_EQ(outcome.reader().KindFlag(), 0);
    for (const Entry& entry : outcome.entries()) EXPECT_EQ(entry.has_crc, !entry.is_dir) << entry.path;
    const auto& impl = static_cast<const ArchiveMount::ArchiveReader&>(outcome.reader()).impl();
    for (std::size_t i = 0; i < impl.entries.size(); ++i) {
        if (impl.entries[i].ordinal < 0) continue;
        EXPECT_NE(impl.stamps[i], 0u) << impl.entries[i].path;
    }
}

TEST_F(IndexWalk, RarBehindAStubIsRefused) {
    // The library finds RAR data after an executable stub; the helper's own
    // RAR checks never ran on it.
    // The library looks for it 64 KiB into an executable, on 16-byte steps.
    const std::string stub = "MZ" + std::string(0x10000 - 2, '\0');
    const std::string rar = ReadWhole(OMBREX_FIXTURES_DIR "/libarchive/rar4-compressed.rar");
    ExpectRefused(OpenBytes(dir, "setup.exe", stub + rar), Error::NotRecognized,
                  "RAR data behind a self-extractor stub");
}

// The library meeting more headers than the helper's own lists: a safety net
// that agreeing readers never trip, so the lists are cut short here.
TEST_F(IndexWalk, MoreLibraryHeadersThanTheHelpersOwnListsAreDamage) {
    struct Case {
        std::filesystem::path file;
        ArchiveMount::DetectedFormat format;
        const char* message;
    };
    const Case cases[] = {
        {dir.WriteFile("two.zip", BuildArchive(Container::ZipStored, {{"a", "a"}, {"b", "b"}})),
         ArchiveMount::DetectedFormat::Zip, "more entries than the central directory lists"},
        {OMBREX_FIXTURES_DIR "/libarchive/rar4-compressed.rar", ArchiveMount::DetectedFormat::Rar,
         "more entries than the RAR headers list"},
    };
    for (const Case& c : cases) {
        ArchiveMount::ArchiveReader::Impl reader;
        reader.archive_path = c.file;
        reader.descriptor = ArchiveMount::OpenArchiveFile(c.file);
        reader.detected_format = c.format;
        ArchiveMount::PreWalkValues values;
        values.directory = ZipCentralDirectory::Read(reader.descriptor.get(), 10);
        if (c.format == ArchiveMount::DetectedFormat::Zip) {
            ASSERT_EQ(values.directory.records.size(), 2u);
            values.zip_by_directory = true;
            const ZipCentralDirectory::Record& first = values.directory.records[0];
            values.zip_members.Add({first.name, first.uncompressed_size, -1, first.crc32, first.dos_time,
                                    first.method, first.encrypted});
        }
        ArchiveMount::LibraryHandle handle;
        ASSERT_EQ(
            ArchiveMount::OpenLibraryHandle(reader.descriptor.get(), c.format, c.format == ArchiveMount::DetectedFormat::Zip,
                                            false, {}, handle, nullptr),
            ArchiveMount::kLibraryOpened);
        ArchiveMount::WalkState state;
        std::string message;
        EXPECT_EQ(ArchiveMount::WalkIndex(reader, handle.archive, values, state, &message), Error::Damaged);
        EXPECT_EQ(message, c.message);
        EXPECT_EQ(state.ordinal, c.format == ArchiveMount::DetectedFormat::Zip ? 1 : 0);
    }
}

// A header count past what a 32-bit ordinal holds is refused however high
// the caller's cap: a compressed tar of billions of skipped "./" headers is a
// small file. The walk starts near the limit rather than walking that far.
TEST_F(IndexWalk, TheEntryCapStopsWhereOrdinalsEnd) {
    const std::filesystem::path file =
        dir.WriteFile("three.tar", BuildArchive(Container::Ustar, {{"a", "1"}, {"b", "2"}, {"c", "3"}}));
    ArchiveMount::ArchiveReader::Impl reader;
    reader.archive_path = file;
    reader.descriptor = ArchiveMount::OpenArchiveFile(file);
    reader.detected_format = ArchiveMount::DetectedFormat::Tar;
    reader.kind = ArchiveMount::ArchiveKind::Tar;
    reader.limits.max_entries = INT64_MAX;
    ArchiveMount::LibraryHandle handle;
    ASSERT_EQ(ArchiveMount::OpenLibraryHandle(reader.descriptor.get(), reader.detected_format, false, false, {},
                                              handle, nullptr),
              ArchiveMount::kLibraryOpened);
    ArchiveMount::PreWalkValues values;
    ArchiveMount::WalkState state;
    state.ordinal = INT32_MAX - 2;
    state.kind_known = true;
    std::string message;
    EXPECT_EQ(ArchiveMount::WalkIndex(reader, handle.archive, values, state, &message), Error::TooManyEntries);
    EXPECT_EQ(message, "more than 2147483647 entries");
    EXPECT_EQ(state.ordinal, INT32_MAX);
    ASSERT_EQ(reader.entries.size(), 2u);
    EXPECT_EQ(reader.entries[1].ordinal, INT32_MAX - 1);
}

// Members come back as added across block edges, names of every length
// included, and a kept record is handed out once.
TEST(ZipWalkList, GivesBackEachMemberInOrderAcrossBlocks) {
    ArchiveMount::ZipWalkList list;
    std::vector<std::string> names;
    for (std::uint32_t k = 0; k < 2600; ++k) {
        names.push_back(std::string(k % 40, static_cast<char>('a' + k % 26)));
        list.Add({names.back(), k * 3ull, k % 500 == 0 ? static_cast<std::int64_t>(k) : -1, k * 7, k * 11,
                  static_cast<std::uint16_t>(k % 3), k % 2 == 1});
        if (k == 1500) {
            ZipCentralDirectory::Record record;
            record.name = "kept";
            record.method = 6;
            list.KeepRecord(record);
        }
    }
    ASSERT_EQ(list.size(), 2600u);
    // Some members never asked for, as in a walk that drops headers.
    for (std::uint32_t k = 0; k < 2600; ++k) {
        if (k % 3 == 2) continue;
        const ArchiveMount::ZipMember member = list.At(k);
        ASSERT_EQ(member.name, names[k]) << k;
        EXPECT_EQ(member.uncompressed_size, k * 3ull);
        EXPECT_EQ(member.inner_zip_offset, k % 500 == 0 ? static_cast<std::int64_t>(k) : -1);
        EXPECT_EQ(member.crc32, k * 7);
        EXPECT_EQ(member.dos_time, k * 11);
        EXPECT_EQ(member.method, k % 3);
        EXPECT_EQ(member.encrypted, k % 2 == 1);
        EXPECT_EQ(list.TakeRecord(k).has_value(), k == 1500) << k;
    }
    const auto kept = list.TakeRecord(1500);
    EXPECT_FALSE(kept.has_value());
    EXPECT_EQ(list.size(), 2600u);
}

}  // namespace

#include "mount/format_detection.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "mount/archive_sources.h"
#include "platform/platform.h"
#include "support/archive_builder.h"
#include "support/temp_dir.h"

namespace {

using ArchiveMount::DetectedFormat;
using ArchiveMount::DetectFormat;
using testsupport::Compression;
using testsupport::Container;

std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out.push_back(static_cast<char>(v));
    return out;
}

DetectedFormat Detect(const std::string& bytes) {
    return DetectFormat(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

// The checksum field of a hand-made tar block: `prefix`, the block's true sum
// plus `delta` in octal (`width` digits, zero padded; 0 for no padding, -1 for
// no digits at all), then `suffix`; cut to 8 bytes, NUL padded.
struct TarField {
    std::string prefix;
    int width = 6;
    std::string suffix = std::string("\0 ", 2);
    int delta = 0;
};

// A 512-byte old-style tar header block (no ustar magic): `name` at the start,
// zeros elsewhere but the checksum field.
std::string TarBlock(const std::string& name, const TarField& field = {}) {
    std::string block(512, '\0');
    block.replace(0, name.size(), name);
    unsigned sum = 0;
    for (int i = 0; i < 512; ++i) sum += i >= 148 && i < 156 ? ' ' : static_cast<unsigned char>(block[i]);
    char digits[32] = {};
    if (field.width >= 0) std::snprintf(digits, sizeof digits, "%0*o", field.width, sum + field.delta);
    const std::string text = (field.prefix + digits + field.suffix).substr(0, 8);
    block.replace(148, text.size(), text);
    return block;
}

// A legacy lzma header: properties, dictionary size, 8 size bytes, one more byte.
std::string LzmaHeader(int properties, std::uint32_t dictionary, bool unknown_size) {
    std::string out(1, static_cast<char>(properties));
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(dictionary >> (8 * i)));
    out.append(8, unknown_size ? '\xFF' : '\0');
    out.push_back('\0');
    return out;
}

struct DetectCase {
    const char* what;
    std::string bytes;
    DetectedFormat expected;
};

TEST(DetectFormat, SignaturesInOrderAndTooShortPrefixes) {
    const DetectCase cases[] = {
        {"empty", "", DetectedFormat::Unknown},
        {"rar5", Bytes({0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01, 0x00}), DetectedFormat::Rar5},
        {"rar5 short", Bytes({0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01}), DetectedFormat::Unknown},
        {"rar4 exact", Bytes({0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00}), DetectedFormat::Rar},
        {"rar4 then more", Bytes({0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00, 0xCF, 0x90}), DetectedFormat::Rar},
        {"rar4 short", Bytes({0x52, 0x61, 0x72, 0x21, 0x1A, 0x07}), DetectedFormat::Unknown},
        {"7z", Bytes({0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C}), DetectedFormat::SevenZip},
        {"7z short", Bytes({0x37, 0x7A, 0xBC, 0xAF, 0x27}), DetectedFormat::Unknown},
        {"zip", "PK\x03\x04", DetectedFormat::Zip},
        {"zip short", "PK\x03", DetectedFormat::Unknown},
        {"zip end record only", Bytes({0x50, 0x4B, 0x05, 0x06}), DetectedFormat::Unknown},
        {"gzip two bytes", Bytes({0x1F, 0x8B}), DetectedFormat::Gzip},
        {"gzip short", Bytes({0x1F}), DetectedFormat::Unknown},
        {"bzip2", "BZh", DetectedFormat::Bzip2},
        {"bzip2 short", "BZ", DetectedFormat::Unknown},
        {"xz", Bytes({0xFD, 0x37, 0x7A, 0x58, 0x5A, 0x00}), DetectedFormat::Xz},
        {"xz short", Bytes({0xFD, 0x37, 0x7A, 0x58, 0x5A}), DetectedFormat::Unknown},
        {"zstd", Bytes({0x28, 0xB5, 0x2F, 0xFD}), DetectedFormat::Zstd},
        {"zstd short", Bytes({0x28, 0xB5, 0x2F}), DetectedFormat::Unknown},
        {"isz", "IsZ!", DetectedFormat::Isz},
        {"isz short", "IsZ", DetectedFormat::Unknown},
        {"512 zero bytes", std::string(512, '\0'), DetectedFormat::Unknown},
        {"zip signature wins over a valid tar block", TarBlock("PK\x03\x04"), DetectedFormat::Zip},
        {"tar wins over an lzma-looking start", TarBlock(Bytes({93, 0, 0, 0x80, 0})), DetectedFormat::Tar},
    };
    for (const auto& c : cases) EXPECT_EQ(Detect(c.bytes), c.expected) << c.what;
}

TEST(DetectFormat, ArchivesMadeByTheWriter) {
    const std::vector<testsupport::Member> members = {{"a.txt", "hello"}, {"dir", "", 0, true}};
    const std::string data(4000, 'x');
    const DetectCase cases[] = {
        {"zip stored", BuildArchive(Container::ZipStored, members), DetectedFormat::Zip},
        {"zip deflate", BuildArchive(Container::ZipDeflate, members), DetectedFormat::Zip},
        {"7z", BuildArchive(Container::SevenZip, members), DetectedFormat::SevenZip},
        {"ustar", BuildArchive(Container::Ustar, members), DetectedFormat::Tar},
        {"pax", BuildArchive(Container::Pax, members), DetectedFormat::Tar},
        {"tar.gz", BuildArchive(Container::Ustar, members, Compression::Gzip), DetectedFormat::Gzip},
        {"tar.bz2", BuildArchive(Container::Ustar, members, Compression::Bzip2), DetectedFormat::Bzip2},
        {"tar.xz", BuildArchive(Container::Ustar, members, Compression::Xz), DetectedFormat::Xz},
        {"tar.zst", BuildArchive(Container::Ustar, members, Compression::Zstd), DetectedFormat::Zstd},
        {"tar.lzma", BuildArchive(Container::Ustar, members, Compression::Lzma), DetectedFormat::Lzma},
        {"raw lzma", testsupport::Compress(Compression::Lzma, data), DetectedFormat::Lzma},
        {"raw zstd", testsupport::Compress(Compression::Zstd, data), DetectedFormat::Zstd},
        {"iso 9660 head is blank", BuildArchive(Container::Iso9660, {{"A.TXT", "x"}}), DetectedFormat::Unknown},
    };
    for (const auto& c : cases) EXPECT_EQ(Detect(c.bytes.substr(0, 512)), c.expected) << c.what;
}

TEST(DetectFormat, TarChecksumField) {
    const std::string nul(1, '\0');
    const DetectCase cases[] = {
        {"six digits, NUL, space", TarBlock("a.txt"), DetectedFormat::Tar},
        {"leading spaces, trailing NUL", TarBlock("a.txt", {"  ", 5, nul}), DetectedFormat::Tar},
        {"leading NULs", TarBlock("a.txt", {nul + nul, 5, nul}), DetectedFormat::Tar},
        {"eight digits up to the field end", TarBlock("a.txt", {"", 8, ""}), DetectedFormat::Tar},
        {"digits, space, then junk", TarBlock("a.txt", {"", 0, " Z9"}), DetectedFormat::Tar},
        {"wrong value", TarBlock("a.txt", {"", 6, nul, 1}), DetectedFormat::Unknown},
        {"all spaces", TarBlock("a.txt", {"        ", -1, ""}), DetectedFormat::Unknown},
        {"all NUL", TarBlock("a.txt", {"", -1, ""}), DetectedFormat::Unknown},
        {"digit 8", TarBlock("a.txt", {"8", 5, nul}), DetectedFormat::Unknown},
        {"digit 9 after the digits", TarBlock("a.txt", {"", 0, "9"}), DetectedFormat::Unknown},
        {"letter after the digits", TarBlock("a.txt", {"", 0, "X"}), DetectedFormat::Unknown},
        {"one byte short", TarBlock("a.txt").substr(0, 511), DetectedFormat::Unknown},
    };
    for (const auto& c : cases) EXPECT_EQ(Detect(c.bytes), c.expected) << c.what;
}

TEST(DetectFormat, LzmaHeaderRules) {
    constexpr std::uint32_t MiB = 1 << 20;
    const DetectCase cases[] = {
        {"classic defaults: p 93, 8 MiB, unknown size", LzmaHeader(93, 8 * MiB, true), DetectedFormat::Lzma},
        {"power of two, known size", LzmaHeader(0, 64 * 1024, false), DetectedFormat::Lzma},
        {"smallest power of two", LzmaHeader(224, 4096, false), DetectedFormat::Lzma},
        {"largest power of two", LzmaHeader(93, 128 * MiB, false), DetectedFormat::Lzma},
        {"power of two below 4096", LzmaHeader(93, 2048, true), DetectedFormat::Unknown},
        {"power of two above 128 MiB", LzmaHeader(93, 256 * MiB, true), DetectedFormat::Unknown},
        {"p above 224", LzmaHeader(225, 8 * MiB, true), DetectedFormat::Unknown},
        {"3 MiB only through the second rule", LzmaHeader(93, 3 * MiB, true), DetectedFormat::Lzma},
        {"p 94, 5 MiB", LzmaHeader(94, 5 * MiB, true), DetectedFormat::Lzma},
        {"63 MiB", LzmaHeader(93, 63 * MiB, true), DetectedFormat::Lzma},
        {"3 MiB with a known size", LzmaHeader(93, 3 * MiB, false), DetectedFormat::Unknown},
        {"3 MiB with p 95", LzmaHeader(95, 3 * MiB, true), DetectedFormat::Unknown},
        {"low 20 bits not zero", LzmaHeader(93, 5 * MiB + 4096, true), DetectedFormat::Unknown},
        {"2 MiB, a power of two below the second rule's range", LzmaHeader(93, 2 * MiB, true), DetectedFormat::Lzma},
        {"65 MiB", LzmaHeader(93, 65 * MiB, true), DetectedFormat::Unknown},
        {"13 bytes only", LzmaHeader(93, 8 * MiB, true).substr(0, 13), DetectedFormat::Unknown},
    };
    for (const auto& c : cases) EXPECT_EQ(Detect(c.bytes), c.expected) << c.what;
}

class HeadAndIsoProbe : public testing::Test {
protected:
    // A reader state with its own descriptor on `file`.
    static std::unique_ptr<ArchiveMount::ArchiveReader::Impl> ReaderOn(const std::filesystem::path& file) {
        auto impl = std::make_unique<ArchiveMount::ArchiveReader::Impl>();
        impl->descriptor = ArchiveMount::OpenArchiveFile(file);
        EXPECT_TRUE(impl->descriptor.valid()) << file;
        return impl;
    }
    testsupport::TempDir dir;
};

TEST_F(HeadAndIsoProbe, HeadIsAtMost512BytesFromTheStartOrTheWindow) {
    const std::string zip = BuildArchive(Container::ZipStored, {{"a.txt", "hello"}});
    const std::string file_bytes = std::string(1000, 'P') + zip + std::string(1000, 'Q');
    auto impl = ReaderOn(dir.WriteFile("outer.bin", file_bytes));

    auto head = ArchiveMount::ReadHead(*impl);
    EXPECT_EQ(head.length, 512u);
    EXPECT_EQ(std::string(head.bytes.begin(), head.bytes.begin() + 512), file_bytes.substr(0, 512));
    EXPECT_EQ(head.bytes[512], 0);

    impl->window = {1000, static_cast<std::int64_t>(zip.size()), true};
    head = ArchiveMount::ReadHead(*impl);
    ASSERT_EQ(head.length, std::min<size_t>(512, zip.size()));
    EXPECT_EQ(std::string(head.bytes.begin(), head.bytes.begin() + head.length), zip.substr(0, head.length));
    EXPECT_EQ(DetectFormat(head.bytes.data(), head.length), DetectedFormat::Zip);

    // Bytes after a short window are not the archive's.
    impl->window = {1000, 22, true};
    head = ArchiveMount::ReadHead(*impl);
    EXPECT_EQ(head.length, 22u);
    EXPECT_EQ(head.bytes[22], 0);
}

TEST_F(HeadAndIsoProbe, ShortEmptyAndUnreadableHeads) {
    EXPECT_EQ(ArchiveMount::ReadHead(*ReaderOn(dir.WriteFile("short", "BZh9"))).length, 4u);
    EXPECT_EQ(ArchiveMount::ReadHead(*ReaderOn(dir.WriteFile("empty", ""))).length, 0u);
    ArchiveMount::ArchiveReader::Impl no_descriptor;
    EXPECT_EQ(ArchiveMount::ReadHead(no_descriptor).length, 0u);
}

TEST_F(HeadAndIsoProbe, Iso9660VolumeDescriptorAtItsAbsoluteOffset) {
    const std::string iso = BuildArchive(Container::Iso9660, {{"A.TXT", "hello"}});
    EXPECT_TRUE(ArchiveMount::LooksLikeIso9660(ReaderOn(dir.WriteFile("image.iso", iso))->descriptor.get()));
    EXPECT_FALSE(ArchiveMount::LooksLikeIso9660(ReaderOn(dir.WriteFile("shifted.iso", "x" + iso))->descriptor.get()));
    EXPECT_FALSE(ArchiveMount::LooksLikeIso9660(ReaderOn(dir.WriteFile("cut.iso", iso.substr(0, 32774)))->descriptor.get()));
    std::string other_version = iso;
    other_version[32768 + 6] = 2;
    EXPECT_FALSE(ArchiveMount::LooksLikeIso9660(ReaderOn(dir.WriteFile("v2.iso", other_version))->descriptor.get()));
    EXPECT_FALSE(ArchiveMount::LooksLikeIso9660(-1));
}

TEST_F(HeadAndIsoProbe, ReadingDoesNotDependOnTheSharedPosition) {
    auto impl = ReaderOn(dir.WriteFile("a.zip", BuildArchive(Container::ZipStored, {{"a.txt", "hello"}})));
    char scratch[3];
    // A duplicate shares the reader's position; move it away from 0.
    const platform::Descriptor duplicate = ArchiveMount::DuplicateArchiveDescriptor(impl->descriptor.get());
    ASSERT_TRUE(duplicate.valid());
    ASSERT_EQ(platform::ReadSome(duplicate.get(), scratch, sizeof scratch), 3);
    const auto head = ArchiveMount::ReadHead(*impl);
    EXPECT_EQ(DetectFormat(head.bytes.data(), head.length), DetectedFormat::Zip);
}

}  // namespace

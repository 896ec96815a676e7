#include "formats/rar4_headers.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/platform.h"
#include "support/rar4_image_writer.h"
#include "support/scratch_file.h"

namespace {

using namespace testsupport;
using Rar4Headers::Status;

constexpr unsigned long long kCap = 100;

Rar4FileFields FileOf(std::string name, Bytes data, std::uint16_t extra_flags = 0) {
    Rar4FileFields fields;
    fields.name = std::move(name);
    fields.unpacked_size = data.size();
    fields.crc32 = Crc32(data);
    fields.data = std::move(data);
    fields.flags |= extra_flags;
    return fields;
}

Rar4ImageWriter Archive() {
    Rar4ImageWriter writer;
    writer.Marker().MainHeader();
    return writer;
}

TEST(Rar4Headers, ListsFileHeadersAndSkipsEverythingElse) {
    Rar4FileFields big = FileOf("BIG.BIN", Pattern(10), 0x0100);
    big.unpacked_size = 0x123456789ull;
    big.dos_time = 0x11223344;
    Rar4FileFields folder = FileOf("DIR", {}, 0x00E0);
    Rar4FileFields not_folder = FileOf("NOTDIR", {}, 0x00C0);
    Rar4ImageWriter writer = Archive();
    writer.File(FileOf("A.TXT", ToBytes("alpha")))
        .Service(FileOf("CMT", Pattern(33)))
        .Block(0x78, 0x8000, Bytes(3, 0), Pattern(50))  // a recovery record with data
        .Block(0x75, 0x0000, Bytes(5, 0))               // an old-style comment without
        .File(big)
        .File(folder)
        .File(not_folder)
        .End();

    const Rar4Headers::Result result = Rar4Headers::Parse(writer.bytes(), kCap);
    ASSERT_EQ(result.status, Status::Ok);
    ASSERT_EQ(result.files.size(), 4u);
    EXPECT_EQ(result.files[0].packed_size, 5u);
    EXPECT_EQ(result.files[0].unpacked_size, 5u);
    EXPECT_EQ(result.files[0].crc32, Crc32(ToBytes("alpha")));
    EXPECT_FALSE(result.files[0].directory);
    EXPECT_EQ(result.files[1].packed_size, 10u);
    EXPECT_EQ(result.files[1].unpacked_size, 0x123456789ull);
    EXPECT_EQ(result.files[1].dos_time, 0x11223344u);
    EXPECT_TRUE(result.files[2].directory);
    EXPECT_FALSE(result.files[3].directory);
}

TEST(Rar4Headers, HighSizeHalvesCount) {
    Rar4FileFields fields = FileOf("HUGE", {}, 0x0100);
    fields.packed_size = 0x100000000ull;
    const Bytes image = Archive().File(fields).End().bytes();
    // The high half makes the packed size 4 GiB, far past this file.
    EXPECT_EQ(Rar4Headers::Parse(image, kCap).status, Status::Malformed);
    fields.flags &= ~0x0100;
    // Without the flag only the low half (0) counts.
    EXPECT_EQ(Rar4Headers::Parse(Archive().File(fields).End().bytes(), kCap).status, Status::Ok);
}

TEST(Rar4Headers, MarkerAndChainEnds) {
    const Bytes marker = Rar4ImageWriter().Marker().bytes();
    Bytes six(marker.begin(), marker.end() - 1);
    const Bytes rar5 = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01, 0x00};
    Bytes wrong = marker;
    wrong[0] = 'r';
    const Bytes files = Archive().File(FileOf("A", Pattern(3))).bytes();
    Bytes garbage_after_end = Archive().End().bytes();
    PutBytes(garbage_after_end, Bytes(40, 0xFF));
    const Bytes after_end = Archive().End().File(FileOf("LATE", {})).bytes();

    struct Case {
        const char* what;
        Bytes image;
        Status expected;
        std::size_t files;
    };
    std::vector<Case> cases = {
        {"empty", {}, Status::NotRar4, 0},
        {"six bytes", six, Status::NotRar4, 0},
        {"marker only", marker, Status::Ok, 0},
        {"RAR 5 marker", rar5, Status::NotRar4, 0},
        {"wrong marker", wrong, Status::NotRar4, 0},
        {"no end block", files, Status::Ok, 1},
        {"garbage after the end block", garbage_after_end, Status::Ok, 0},
        {"files after the end block are not listed", after_end, Status::Ok, 0},
    };
    for (std::size_t stray = 1; stray <= 6; ++stray) {
        Bytes image = files;
        PutBytes(image, Bytes(stray, 0xEE));
        cases.push_back({"stray bytes", image, Status::Ok, 1});
    }
    Bytes seven = files;
    PutBytes(seven, Bytes(7, 0));  // read as a header of size 0
    cases.push_back({"seven stray bytes", seven, Status::Malformed, 1});

    for (const Case& c : cases) {
        const Rar4Headers::Result result = Rar4Headers::Parse(c.image, kCap);
        EXPECT_EQ(result.status, c.expected) << c.what;
        EXPECT_EQ(result.files.size(), c.files) << c.what;
    }
}

TEST(Rar4Headers, HeaderAndDataSizeFaults) {
    struct Case {
        const char* what;
        std::function<void(Rar4ImageWriter&)> add;
        Status expected;
    };
    const auto file_with = [](std::uint16_t flags, std::uint16_t header_size) {
        Rar4FileFields fields = FileOf("", {}, flags);
        fields.header_size = header_size;
        return fields;
    };
    const Case cases[] = {
        {"file header size 31", [&](Rar4ImageWriter& w) { w.File(file_with(0, 31)); }, Status::Malformed},
        {"file header size 32", [&](Rar4ImageWriter& w) { w.File(file_with(0, 32)); }, Status::Ok},
        {"large file header size 39", [&](Rar4ImageWriter& w) { w.File(file_with(0x0100, 39)); }, Status::Malformed},
        {"large file header size 40", [&](Rar4ImageWriter& w) { w.File(file_with(0x0100, 40)); }, Status::Ok},
        {"service header size 31", [&](Rar4ImageWriter& w) { w.Service(file_with(0, 31)); }, Status::Malformed},
        {"header size 6", [](Rar4ImageWriter& w) { w.Block(0x73, 0, Bytes(6, 0), {}, 6); }, Status::Malformed},
        {"data block header size 10",
         [](Rar4ImageWriter& w) { w.Block(0x78, 0x8000, {}, Pattern(4), 10); }, Status::Malformed},
        {"data block header size 11", [](Rar4ImageWriter& w) { w.Block(0x78, 0x8000, {}, Pattern(4), 11); },
         Status::Ok},
        {"header runs past the file", [](Rar4ImageWriter& w) { w.Block(0x73, 0, Bytes(6, 0), {}, 200); },
         Status::Truncated},
        {"file header cut short", [](Rar4ImageWriter& w) { w.Raw({0, 0, 0x74, 0, 0x80, 32, 0, 1, 2, 3}); },
         Status::Truncated},
        {"data block header cut short", [](Rar4ImageWriter& w) { w.Raw({0, 0, 0x78, 0, 0x80, 11, 0, 1, 2}); },
         Status::Truncated},
    };
    for (const Case& c : cases) {
        Rar4ImageWriter writer = Archive();
        c.add(writer);
        EXPECT_EQ(Rar4Headers::Parse(writer.bytes(), kCap).status, c.expected) << c.what;
    }
}

TEST(Rar4Headers, PackedSizeAgainstTheFile) {
    // The last file's packed size claims `extra` bytes more than follow it.
    const auto image_with = [](std::uint64_t extra, bool whole_file) {
        Rar4FileFields last = FileOf("LAST", Pattern(20));
        Rar4ImageWriter writer = Archive();
        writer.File(FileOf("FIRST", Pattern(10))).File(last);
        const std::uint64_t size = writer.bytes().size();
        last.packed_size = whole_file ? size + extra : 20 + extra;
        Rar4ImageWriter again = Archive();
        again.File(FileOf("FIRST", Pattern(10))).File(last);
        return again.bytes();
    };
    EXPECT_EQ(Rar4Headers::Parse(image_with(0, false), kCap).status, Status::Ok);
    EXPECT_EQ(Rar4Headers::Parse(image_with(1, false), kCap).status, Status::Truncated);
    EXPECT_EQ(Rar4Headers::Parse(image_with(0, true), kCap).status, Status::Truncated);
    EXPECT_EQ(Rar4Headers::Parse(image_with(1, true), kCap).status, Status::Malformed);

    // The same for another block's 32-bit data size.
    Rar4ImageWriter block = Archive();
    block.Block(0x78, 0x8000, {}, Pattern(5));
    Bytes image = block.bytes();
    SetU32(image, image.size() - 5 - 4, static_cast<std::uint32_t>(image.size() + 1));
    EXPECT_EQ(Rar4Headers::Parse(image, kCap).status, Status::Malformed);
}

TEST(Rar4Headers, FileCapCountsFileHeadersOnly) {
    Rar4ImageWriter writer = Archive();
    writer.Service(FileOf("CMT", {})).File(FileOf("A", {})).Service(FileOf("QO", {})).File(FileOf("B", {}));
    Rar4ImageWriter two = writer;
    EXPECT_EQ(Rar4Headers::Parse(two.End().bytes(), 2).status, Status::Ok);

    writer.Service(FileOf("RR", {})).File(FileOf("C", {})).End();
    const Rar4Headers::Result result = Rar4Headers::Parse(writer.bytes(), 2);
    EXPECT_EQ(result.status, Status::TooManyFiles);
    EXPECT_EQ(result.files.size(), 2u);
    EXPECT_EQ(Rar4Headers::Parse(writer.bytes(), 0).status, Status::TooManyFiles);
}

TEST(Rar4Headers, ReadWalksTheFileAndLeavesThePositionAtTheLastRead) {
    Rar4ImageWriter writer = Archive();
    writer.File(FileOf("A.TXT", Pattern(100))).File(FileOf("B.TXT", Pattern(7), 0x0100));
    const std::size_t end_block = writer.bytes().size();
    writer.End();
    Bytes image = writer.bytes();
    PutBytes(image, Pattern(30));
    ScratchFile file(image);

    const Rar4Headers::Result from_file = Rar4Headers::Read(file.descriptor(), kCap);
    const Rar4Headers::Result from_memory = Rar4Headers::Parse(image, kCap);
    ASSERT_EQ(from_file.status, Status::Ok);
    ASSERT_EQ(from_file.files.size(), 2u);
    EXPECT_EQ(from_file.files[1].packed_size, from_memory.files[1].packed_size);
    EXPECT_EQ(from_file.files[1].crc32, from_memory.files[1].crc32);
    EXPECT_EQ(platform::Seek(file.descriptor(), 0, SEEK_CUR), static_cast<long long>(end_block + 7));

    ScratchFile cut(Bytes(image.begin(), image.begin() + 150));  // inside the first data
    EXPECT_EQ(Rar4Headers::Read(cut.descriptor(), kCap).status, Status::Truncated);
    EXPECT_EQ(Rar4Headers::Read(-1, kCap).status, Status::Truncated);
}

}  // namespace

namespace {

TEST(Rar4Headers, SurvivesEverySingleByteCorruption) {
    Rar4ImageWriter writer = Archive();
    writer.File(FileOf("A", Pattern(9), 0x0100)).Service(FileOf("C", Pattern(3))).Block(0x78, 0x8000, {}, Pattern(4));
    writer.File(FileOf("B", Pattern(5))).End();
    const Bytes image = writer.bytes();
    for (std::size_t at = 0; at < image.size(); ++at) {
        for (const unsigned char value : {0x00, 0x01, 0x7F, 0xFF}) {
            Bytes mutated = image;
            mutated[at] = value;
            const Rar4Headers::Result result = Rar4Headers::Parse(mutated, 3);
            EXPECT_LE(static_cast<int>(result.status), 4);
            EXPECT_LE(result.files.size(), 3u);
        }
    }
}

}  // namespace

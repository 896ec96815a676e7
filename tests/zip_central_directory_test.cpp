#include "formats/zip_central_directory.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>

#include "platform/platform.h"
#include "support/host.h"
#include "support/scratch_file.h"
#include "support/zip_image_writer.h"

namespace {

using namespace testsupport;
using ZipCentralDirectory::Record;
using ZipCentralDirectory::Result;
using ZipCentralDirectory::Status;

constexpr std::uint64_t kCap = 1000;

Result ReadImage(const Bytes& image, std::uint64_t cap = kCap) {
    ScratchFile file(image);
    return ZipCentralDirectory::Read(file.descriptor(), cap);
}

ZipImageWriter TwoMembers() {
    ZipImageWriter writer;
    writer.Add(StoredEntry("README.TXT", ToBytes("hello, world\n")));
    writer.Add(StoredEntry("DATA/BLOB.BIN", Pattern(300)));
    return writer;
}

Bytes DirectoryImage(const ZipImageWriter& writer) {
    ZipLayout layout;
    const Bytes image = writer.Build(&layout);
    return Bytes(image.begin() + layout.directory, image.begin() + layout.directory + layout.directory_size);
}

TEST(ZipCentralDirectory, ReadsEveryRecordField) {
    ZipEntryFields first = StoredEntry("A.TXT", ToBytes("alpha"));
    first.method = 8;
    first.flags = 0x0801;  // UTF-8 name, encrypted
    first.dos_time = 0x12345678;
    first.external_attributes = 0x20;
    first.local_extra = Pattern(9);
    ZipEntryFields second = StoredEntry("B.TXT", Pattern(1000));
    second.flags = 0x0040;  // strong encryption
    ZipLayout layout;
    const Bytes image = ZipImageWriter().Add(first).Add(second).Build(&layout);

    const Result result = ReadImage(image);
    ASSERT_EQ(result.status, Status::Ok);
    ASSERT_EQ(result.records.size(), 2u);
    const Record& a = result.records[0];
    EXPECT_EQ(a.name, "A.TXT");
    EXPECT_TRUE(a.utf8);
    EXPECT_TRUE(a.encrypted);
    EXPECT_EQ(a.flags, 0x0801);
    EXPECT_EQ(a.method, 8);
    EXPECT_EQ(a.crc32, Crc32(ToBytes("alpha")));
    EXPECT_EQ(a.dos_time, 0x12345678u);
    EXPECT_EQ(a.compressed_size, 5u);
    EXPECT_EQ(a.uncompressed_size, 5u);
    EXPECT_EQ(a.local_header_offset, 0u);
    EXPECT_EQ(a.external_attributes, 0x20u);
    EXPECT_EQ(a.data_offset, 30u + 5 + 9);
    const Record& b = result.records[1];
    EXPECT_FALSE(b.utf8);
    EXPECT_TRUE(b.encrypted);
    EXPECT_EQ(b.local_header_offset, layout.local_headers[1]);
    EXPECT_EQ(b.data_offset, layout.local_headers[1] + 30 + 5);
    EXPECT_EQ(b.compressed_size, 1000u);
}

TEST(ZipCentralDirectory, LeavesTheCallersPositionAlone) {
    const Bytes good = TwoMembers().Build();
    const Bytes bad(good.begin(), good.end() - 22);  // no end record
    for (const Bytes* image : std::initializer_list<const Bytes*>{&good, &bad}) {
        ScratchFile file(*image);
        ASSERT_EQ(platform::Seek(file.descriptor(), 7, SEEK_SET), 7);
        ZipCentralDirectory::Read(file.descriptor(), kCap);
        EXPECT_EQ(platform::Seek(file.descriptor(), 0, SEEK_CUR), 7);
        ZipCentralDirectory::ReadWindow(file.descriptor(), 0, image->size() + 1, kCap);
        EXPECT_EQ(platform::Seek(file.descriptor(), 0, SEEK_CUR), 7);
    }
}

TEST(ZipCentralDirectory, UnusableDescriptorIsReadFailed) {
    EXPECT_EQ(ZipCentralDirectory::Read(-1, kCap).status, Status::ReadFailed);
    EXPECT_EQ(ZipCentralDirectory::ReadWindow(-1, 0, 100, kCap).status, Status::ReadFailed);
}

TEST(ZipCentralDirectory, EndRecordSearchCoversTheLast16KiBButTailPositionZero) {
    // An end record alone, cut to the window: the search never looks at tail position 0.
    const Bytes lone = ZipImageWriter().Build();
    ASSERT_EQ(lone.size(), 22u);
    EXPECT_EQ(ReadImage(lone).status, Status::NoEndRecord);
    EXPECT_EQ(ReadImage(Bytes(lone.begin(), lone.begin() + 21)).status, Status::NoEndRecord);
    Bytes padded = {0};
    PutBytes(padded, lone);
    EXPECT_EQ(ReadImage(padded).status, Status::Ok);

    struct Case {
        std::size_t comment;
        Status expected;
    };
    for (const Case c : {Case{16361, Status::Ok}, Case{16362, Status::NoEndRecord}, Case{20000, Status::NoEndRecord}}) {
        ZipImageWriter writer = TwoMembers();
        writer.end().comment = Bytes(c.comment, 'c');
        const Bytes image = writer.Build();
        ASSERT_GT(image.size(), ZipCentralDirectory::kEndRecordSearchBytes);
        const Result result = ReadImage(image);
        EXPECT_EQ(result.status, c.expected) << "comment " << c.comment;
        if (c.expected == Status::Ok) {
            EXPECT_EQ(result.records.size(), 2u);
        }
    }
}

TEST(ZipCentralDirectory, EndRecordNearestTheEndWins) {
    // A decoy end record naming disk 1 makes the result Spanned whenever it is chosen.
    Bytes decoy;
    PutU32(decoy, 0x06054b50);
    PutU16(decoy, 1);
    decoy.resize(22, 0);

    ZipImageWriter decoy_in_member = TwoMembers();
    decoy_in_member.Add(StoredEntry("DECOY", decoy));
    EXPECT_EQ(ReadImage(decoy_in_member.Build()).status, Status::Ok);

    ZipImageWriter decoy_in_comment = TwoMembers();
    decoy_in_comment.end().comment = decoy;
    EXPECT_EQ(ReadImage(decoy_in_comment.Build()).status, Status::Spanned);
}

TEST(ZipCentralDirectory, PrependedBytesShiftEveryOffset) {
    ZipLayout plain_layout;
    TwoMembers().Build(&plain_layout);
    const Result result = ReadImage(TwoMembers().Prefix(Pattern(100)).Build());
    ASSERT_EQ(result.status, Status::Ok);
    ASSERT_EQ(result.records.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(result.records[i].local_header_offset, plain_layout.local_headers[i] + 100);
        EXPECT_EQ(result.records[i].data_offset, plain_layout.local_headers[i] + 100 + 30 + result.records[i].name.size());
    }
}

TEST(ZipCentralDirectory, WindowInsideALargerFile) {
    const Bytes archive = TwoMembers().Build();
    Bytes file = Pattern(1000);
    PutBytes(file, archive);
    PutBytes(file, Pattern(500));
    ScratchFile scratch(file);

    const Result result = ZipCentralDirectory::ReadWindow(scratch.descriptor(), 1000, archive.size(), kCap);
    ASSERT_EQ(result.status, Status::Ok);
    EXPECT_EQ(result.records[0].local_header_offset, 0u);
    EXPECT_EQ(result.records[0].data_offset, 30u + 10);
    // Read as a whole file, the leading bytes are a prefix and the trailing ones
    // sit where a comment would.
    const Result whole = ZipCentralDirectory::Read(scratch.descriptor(), kCap);
    ASSERT_EQ(whole.status, Status::Ok);
    EXPECT_EQ(whole.records[0].local_header_offset, 1000u);
    EXPECT_EQ(ZipCentralDirectory::ReadWindow(scratch.descriptor(), 1000, file.size() - 999, kCap).status,
              Status::ReadFailed);
    EXPECT_EQ(ZipCentralDirectory::ReadWindow(scratch.descriptor(), file.size() + 1, 0, kCap).status,
              Status::ReadFailed);
}

TEST(ZipCentralDirectory, EndRecordFieldFaults) {
    struct Case {
        const char* what;
        std::function<void(ZipEndFields&)> edit;
        Status expected;
    };
    const Case cases[] = {
        {"entries 0xFFFF", [](ZipEndFields& e) { e.entries = 0xFFFF; e.entries_on_disk = 0xFFFF; }, Status::Malformed},
        {"size 0xFFFFFFFF", [](ZipEndFields& e) { e.directory_size = 0xFFFFFFFF; }, Status::Malformed},
        {"offset 0xFFFFFFFF", [](ZipEndFields& e) { e.directory_offset = 0xFFFFFFFF; }, Status::Malformed},
        {"disk 1", [](ZipEndFields& e) { e.disk = 1; }, Status::Spanned},
        {"directory disk 1", [](ZipEndFields& e) { e.directory_disk = 1; }, Status::Spanned},
        {"entries on disk differ", [](ZipEndFields& e) { e.entries_on_disk = 1; }, Status::Spanned},
        {"directory past the end record", [](ZipEndFields& e) { e.directory_offset = 0x1000; }, Status::Truncated},
        {"size past the end record", [](ZipEndFields& e) { e.directory_size = 0x1000; }, Status::Truncated},
        {"fewer records than the directory holds", [](ZipEndFields& e) { e.entries = 1; e.entries_on_disk = 1; },
         Status::Malformed},
        {"more records than the directory holds", [](ZipEndFields& e) { e.entries = 3; e.entries_on_disk = 3; },
         Status::Truncated},
    };
    for (const Case& c : cases) {
        ZipImageWriter writer = TwoMembers();
        c.edit(writer.end());
        EXPECT_EQ(ReadImage(writer.Build()).status, c.expected) << c.what;
    }
}

TEST(ZipCentralDirectory, EntryCapComesBeforeTheDirectorySize) {
    ZipImageWriter writer = TwoMembers();
    EXPECT_EQ(ReadImage(writer.Build(), 2).status, Status::Ok);
    EXPECT_EQ(ReadImage(writer.Build(), 1).status, Status::TooManyEntries);

    Zip64Fields huge;
    huge.directory_size = ZipCentralDirectory::kMaxRangeBytes + 1;
    writer.Zip64(huge);
    EXPECT_EQ(ReadImage(writer.Build(), 2).status, Status::Truncated);
    EXPECT_EQ(ReadImage(writer.Build(), 1).status, Status::TooManyEntries);
}

TEST(ZipCentralDirectory, Zip64EndRecordIsUsedWhenEveryPartHolds) {
    ZipImageWriter writer = TwoMembers();
    writer.Zip64();
    Result result = ReadImage(writer.Build());
    ASSERT_EQ(result.status, Status::Ok);
    EXPECT_EQ(result.records.size(), 2u);

    Zip64Fields longest;
    longest.remainder = 16372;
    writer.Zip64(longest);
    EXPECT_EQ(ReadImage(writer.Build()).status, Status::Ok);
}

// The ZIP64 chain is tried first, markers or not: here the 32-bit record
// holds plain values that disagree with it, and the ZIP64 record wins.
TEST(ZipCentralDirectory, Zip64EndRecordIsReadEvenBesidePlain32BitValues) {
    ZipImageWriter writer = TwoMembers();
    writer.Zip64();
    writer.end().entries = 1;
    writer.end().entries_on_disk = 1;
    ZipLayout layout;
    writer.Build(&layout);
    writer.end().directory_size = static_cast<std::uint32_t>(layout.directory_size);
    writer.end().directory_offset = static_cast<std::uint32_t>(layout.directory);
    const Result result = ReadImage(writer.Build());
    ASSERT_EQ(result.status, Status::Ok);
    EXPECT_EQ(result.records.size(), 2u);
}

// A locator needs the 20 bytes before the end record: at tail position 20
// they are there, at 19 the 32-bit record (with its markers) is all there is.
TEST(ZipCentralDirectory, Zip64LocatorNeedsTwentyBytesBeforeTheEndRecord) {
    for (const std::size_t at : {20u, 19u}) {
        SCOPED_TRACE(at);
        constexpr std::uint64_t kRecordAt = 42;  // right after the end record at 20
        Bytes locator;
        PutU32(locator, 0x07064b50);
        PutU32(locator, 0);
        PutU64(locator, kRecordAt - (20 - at));
        PutU32(locator, 1);
        Bytes image(locator.end() - static_cast<std::ptrdiff_t>(at), locator.end());
        PutU32(image, 0x06054b50);
        PutU16(image, 0);
        PutU16(image, 0);
        PutU16(image, 0xFFFF);
        PutU16(image, 0xFFFF);
        PutU32(image, 0xFFFFFFFF);
        PutU32(image, 0xFFFFFFFF);
        PutU16(image, 0);
        PutU32(image, 0x06064b50);
        PutU64(image, 44);
        PutU16(image, 45);
        PutU16(image, 45);
        PutU32(image, 0);
        PutU32(image, 0);
        for (int field = 0; field < 4; ++field) PutU64(image, 0);  // no entries, an empty directory at 0
        const Result result = ReadImage(image);
        EXPECT_EQ(result.status, at == 20 ? Status::Ok : Status::Malformed);
        EXPECT_TRUE(result.records.empty());
    }
}

TEST(ZipCentralDirectory, BrokenZip64ChainFallsBackToThe32BitRecord) {
    struct Case {
        const char* what;
        std::function<void(Zip64Fields&)> edit;
    };
    const Case cases[] = {
        {"locator signature", [](Zip64Fields& z) { z.locator_signature = 0x07064b51; }},
        {"locator disk", [](Zip64Fields& z) { z.locator_disk = 1; }},
        {"total disks", [](Zip64Fields& z) { z.total_disks = 2; }},
        {"record offset past the window", [](Zip64Fields& z) { z.record_offset = 1u << 20; }},
        {"fewer than 56 bytes after the record", [](Zip64Fields& z) { z.record_offset = 250; }},
        {"remainder 43", [](Zip64Fields& z) { z.remainder = 43; }},
        {"remainder 16373", [](Zip64Fields& z) { z.remainder = 16373; }},
        {"remainder past the window", [](Zip64Fields& z) { z.remainder = 1000; z.record_offset = 0; }},
        {"record disk", [](Zip64Fields& z) { z.disk = 1; }},
        {"directory disk", [](Zip64Fields& z) { z.directory_disk = 1; }},
        {"entries on disk differ", [](Zip64Fields& z) { z.entries_on_disk = 1; }},
    };
    for (const Case& c : cases) {
        ZipImageWriter writer = TwoMembers();
        Zip64Fields fields;
        c.edit(fields);
        writer.Zip64(fields);
        // The 32-bit record still holds the ZIP64 markers.
        EXPECT_EQ(ReadImage(writer.Build()).status, Status::Malformed) << c.what;
    }
}

TEST(ZipCentralDirectory, LocatorLookalikeFallsBackToUsable32BitValues) {
    // The last central record's comment ends right before the end record, so
    // its bytes are where a locator would be.
    struct Case {
        const char* what;
        std::uint32_t total_disks;
        std::uint64_t record_offset;
    };
    for (const Case c : {Case{"two disks", 2, 0}, Case{"record past the window", 1, 1u << 30},
                         Case{"record at a local header", 1, 0}}) {
        Bytes locator;
        PutU32(locator, 0x07064b50);
        PutU32(locator, 0);
        PutU64(locator, c.record_offset);
        PutU32(locator, c.total_disks);
        ZipImageWriter writer = TwoMembers();
        ZipEntryFields last = StoredEntry("LAST", {});
        last.comment = locator;
        writer.Add(last);
        const Result result = ReadImage(writer.Build());
        EXPECT_EQ(result.status, Status::Ok) << c.what;
        EXPECT_EQ(result.records.size(), 3u) << c.what;
    }
}

TEST(ZipCentralDirectory, EndRecordTooCloseToTheTailStartSkipsZip64) {
    // The ZIP64 locator must lie in the tail ahead of the end record; here the
    // window starts 10 bytes before the end record, so the 32-bit values rule.
    ZipImageWriter writer = TwoMembers();
    writer.Zip64();
    ZipLayout layout;
    const Bytes image = writer.Build(&layout);
    ScratchFile file(image);
    const std::uint64_t start = layout.end_record - 10;
    EXPECT_EQ(ZipCentralDirectory::ReadWindow(file.descriptor(), start, image.size() - start, kCap).status,
              Status::Malformed);
}

TEST(ZipCentralDirectory, ParseFaults) {
    struct Case {
        const char* what;
        std::function<void(ZipImageWriter&)> build;
        std::uint64_t count;
        Status expected;
    };
    Bytes overrun;
    PutU16(overrun, 0x5455);
    PutU16(overrun, 9);  // one more than follows
    PutU64(overrun, 0);
    const Case cases[] = {
        {"one spare byte", [](ZipImageWriter& w) { w.DirectoryTrailer({0}); }, 2, Status::Malformed},
        {"count zero, records present", [](ZipImageWriter&) {}, 0, Status::Malformed},
        {"count above what is there", [](ZipImageWriter&) {}, 3, Status::Truncated},
        {"wrong signature", [](ZipImageWriter& w) { w.DirectoryTrailer(Bytes(46, 0)); }, 3, Status::Malformed},
        {"disk start 2",
         [](ZipImageWriter& w) {
             ZipEntryFields e = StoredEntry("C", {});
             e.disk_start = 2;
             w.Add(e);
         },
         3, Status::Spanned},
        {"disk start 0xFFFF without ZIP64",
         [](ZipImageWriter& w) {
             ZipEntryFields e = StoredEntry("C", {});
             e.disk_start = 0xFFFF;
             w.Add(e);
         },
         3, Status::Spanned},
        {"disk start 0xFFFF, ZIP64 disk 1",
         [](ZipImageWriter& w) {
             ZipEntryFields e = StoredEntry("C", {});
             e.disk_start = 0xFFFF;
             e.zip64 = true;
             e.zip64_disk = 1;
             w.Add(e);
         },
         3, Status::Spanned},
        {"disk start 0xFFFF, ZIP64 disk 0",
         [](ZipImageWriter& w) {
             ZipEntryFields e = StoredEntry("C", {});
             e.disk_start = 0xFFFF;
             e.zip64 = true;
             e.zip64_disk = 0;
             w.Add(e);
         },
         3, Status::Ok},
        {"disk start 0xFFFF, ZIP64 block without the disk",
         [](ZipImageWriter& w) {
             ZipEntryFields e = StoredEntry("C", {});
             e.disk_start = 0xFFFF;
             e.zip64 = true;
             w.Add(e);
         },
         3, Status::Malformed},
        {"extra block past the extra field",
         [&](ZipImageWriter& w) {
             ZipEntryFields e = StoredEntry("C", {});
             e.central_extra = overrun;
             w.Add(e);
         },
         3, Status::Malformed},
        {"extra remainder under 4 bytes ends the walk",
         [](ZipImageWriter& w) {
             ZipEntryFields e = StoredEntry("C", {});
             e.central_extra = {0x01, 0x00, 0xFF};
             w.Add(e);
         },
         3, Status::Ok},
        {"blocks after the ZIP64 block are not looked at",
         [&](ZipImageWriter& w) {
             ZipEntryFields e = StoredEntry("C", {});
             e.zip64 = true;
             e.central_extra = overrun;
             w.Add(e);
         },
         3, Status::Ok},
    };
    for (const Case& c : cases) {
        ZipImageWriter writer = TwoMembers();
        c.build(writer);
        const Bytes image = DirectoryImage(writer);
        EXPECT_EQ(ZipCentralDirectory::Parse(image, c.count, kCap).status, c.expected) << c.what;
    }
}

TEST(ZipCentralDirectory, ParseTruncatedRecordAndShortZip64Block) {
    // A record whose comment runs past the image, cut from a valid one.
    ZipImageWriter writer;
    ZipEntryFields e = StoredEntry("C", {});
    e.comment = Bytes(10, 'x');
    writer.Add(e);
    Bytes image = DirectoryImage(writer);
    image.pop_back();
    EXPECT_EQ(ZipCentralDirectory::Parse(image, 1, kCap).status, Status::Truncated);

    // Marked sizes that the ZIP64 block cannot hold.
    ZipImageWriter marked;
    marked.Add(StoredEntry("C", {}));
    image = DirectoryImage(marked);
    Bytes block;
    PutU16(block, 0x0001);
    PutU16(block, 4);
    PutU32(block, 0);
    SetU32(image, 24, 0xFFFFFFFF);
    SetU16(image, 30, static_cast<std::uint16_t>(block.size()));
    PutBytes(image, block);
    EXPECT_EQ(ZipCentralDirectory::Parse(image, 1, kCap).status, Status::Malformed);
}

TEST(ZipCentralDirectory, ParseTakesZip64ValuesOnlyForMarkedFields) {
    ZipImageWriter writer;
    ZipEntryFields e = StoredEntry("BIG", Pattern(10));
    e.zip64 = true;
    writer.Add(e);
    Bytes image = DirectoryImage(writer);
    // The block holds 10, 10, 0; give it distinct values to see which field takes which.
    const std::size_t block = 46 + 3 + 4;
    SetU64(image, block, 0x100000000ull);
    SetU64(image, block + 8, 0x200000000ull);
    SetU64(image, block + 16, 0x300000000ull);
    Result result = ZipCentralDirectory::Parse(image, 1, kCap);
    ASSERT_EQ(result.status, Status::Ok);
    EXPECT_EQ(result.records[0].uncompressed_size, 0x100000000ull);
    EXPECT_EQ(result.records[0].compressed_size, 0x200000000ull);
    EXPECT_EQ(result.records[0].local_header_offset, 0x300000000ull);

    // Only the uncompressed size marked: the first value is it, the rest stay 32-bit.
    SetU32(image, 20, 10);
    SetU32(image, 42, 7);
    result = ZipCentralDirectory::Parse(image, 1, kCap);
    ASSERT_EQ(result.status, Status::Ok);
    EXPECT_EQ(result.records[0].uncompressed_size, 0x100000000ull);
    EXPECT_EQ(result.records[0].compressed_size, 10u);
    EXPECT_EQ(result.records[0].local_header_offset, 7u);

    // Marked fields without a ZIP64 block stay marked.
    ZipImageWriter plain;
    plain.Add(StoredEntry("X", {}));
    image = DirectoryImage(plain);
    SetU32(image, 20, 0xFFFFFFFF);
    SetU32(image, 42, 0xFFFFFFFF);
    result = ZipCentralDirectory::Parse(image, 1, kCap);
    ASSERT_EQ(result.status, Status::Ok);
    EXPECT_EQ(result.records[0].compressed_size, 0xFFFFFFFFu);
    EXPECT_EQ(result.records[0].local_header_offset, 0xFFFFFFFFu);

    EXPECT_EQ(ZipCentralDirectory::Parse(image, 2, 1).status, Status::TooManyEntries);
}

TEST(ZipCentralDirectory, LocalHeaderChecks) {
    struct Case {
        const char* what;
        std::function<void(ZipEntryFields&)> edit;
        Status expected;
    };
    const Case cases[] = {
        {"method differs", [](ZipEntryFields& e) { e.local_method = 8; }, Status::LocalHeaderMismatch},
        {"CRC differs", [](ZipEntryFields& e) { e.local_crc32 = 1; }, Status::LocalHeaderMismatch},
        {"compressed size differs", [](ZipEntryFields& e) { e.local_compressed_size = 3; }, Status::LocalHeaderMismatch},
        {"uncompressed size differs", [](ZipEntryFields& e) { e.local_uncompressed_size = 3; },
         Status::LocalHeaderMismatch},
        {"data descriptor: CRC and sizes 0",
         [](ZipEntryFields& e) {
             e.flags = 0x0008;
             e.local_crc32 = 0;
             e.local_compressed_size = 0;
             e.local_uncompressed_size = 0;
         },
         Status::Ok},
        {"sizes in ZIP64 fields",
         [](ZipEntryFields& e) {
             e.local_compressed_size = 0xFFFFFFFF;
             e.local_uncompressed_size = 0xFFFFFFFF;
         },
         Status::Ok},
        {"implode, flag bit 1 differs",
         [](ZipEntryFields& e) {
             e.method = 6;
             e.local_flags = 0x0002;
         },
         Status::LocalHeaderMismatch},
        {"implode, flag bit 2 differs",
         [](ZipEntryFields& e) {
             e.method = 6;
             e.flags = 0x0006;
             e.local_flags = 0x0002;
         },
         Status::LocalHeaderMismatch},
        {"implode, other flag bits differ",
         [](ZipEntryFields& e) {
             e.method = 6;
             e.flags = 0x0006;
             e.local_flags = 0x080F;
         },
         Status::Ok},
        {"deflate, flag bit 1 differs",
         [](ZipEntryFields& e) {
             e.method = 8;
             e.local_flags = 0x0002;
         },
         Status::Ok},
    };
    for (const Case& c : cases) {
        ZipImageWriter writer;
        writer.Add(StoredEntry("FIRST", Pattern(40)));
        ZipEntryFields entry = StoredEntry("SECOND", Pattern(50));
        c.edit(entry);
        writer.Add(entry);
        EXPECT_EQ(ReadImage(writer.Build()).status, c.expected) << c.what;
    }
}

TEST(ZipCentralDirectory, LocalHeaderPlacementFaults) {
    ZipLayout layout;
    TwoMembers().Build(&layout);

    // A central offset that lands on the second member's data, not on a header.
    ZipImageWriter wrong_place = TwoMembers();
    ZipEntryFields stray = StoredEntry("STRAY", {});
    stray.stored_offset = static_cast<std::uint32_t>(layout.local_headers[1] + 30 + 13);
    wrong_place.Add(stray);
    EXPECT_EQ(ReadImage(wrong_place.Build()).status, Status::LocalHeaderMismatch);

    // 29 bytes from the offset to the window end cannot hold a local header.
    // The extra empty member adds a 30-byte local header and a 46-byte central one.
    const std::uint64_t size = TwoMembers().Build().size() + 30 + 46;
    ZipImageWriter near_end = TwoMembers();
    ZipEntryFields tail = StoredEntry("", {});
    tail.stored_offset = static_cast<std::uint32_t>(size - 29);
    near_end.Add(tail);
    const Bytes image = near_end.Build();
    ASSERT_EQ(image.size(), size);
    EXPECT_EQ(ReadImage(image).status, Status::Truncated);
}

// The local headers are read in file order, but the answer is the first
// failure in directory order.
TEST(ZipCentralDirectory, FirstLocalHeaderFailureInDirectoryOrderIsTheAnswer) {
    ZipLayout layout;
    TwoMembers().Build(&layout);
    ZipEntryFields stray = StoredEntry("STRAY", {});
    stray.stored_offset = static_cast<std::uint32_t>(layout.local_headers[1] + 30 + 13);
    ZipEntryFields tail = StoredEntry("", {});
    tail.stored_offset = 0;  // a stand-in of the same size until the image size is known
    const auto build = [&](bool stray_first) {
        ZipImageWriter writer = TwoMembers();
        if (stray_first) {
            writer.Add(stray).Add(tail);
        } else {
            writer.Add(tail).Add(stray);
        }
        return writer.Build();
    };
    tail.stored_offset = static_cast<std::uint32_t>(build(true).size() - 29);
    EXPECT_EQ(ReadImage(build(true)).status, Status::LocalHeaderMismatch);
    EXPECT_EQ(ReadImage(build(false)).status, Status::Truncated);
}

TEST(ZipCentralDirectory, EqualLocalOffsetsAreFoundBeforeAnyLocalHeaderIsRead) {
    // Both offsets point past the window, which the local header check would call Truncated.
    ZipImageWriter writer = TwoMembers();
    for (const char* name : {"X", "Y"}) {
        ZipEntryFields e = StoredEntry(name, {});
        e.stored_offset = 0x7FFFFFF0;
        writer.Add(e);
    }
    EXPECT_EQ(ReadImage(writer.Build()).status, Status::DuplicateLocalHeader);
}

TEST(ZipCentralDirectory, CheckLocalHeadersOnAnEmptyListIsOk) {
    std::vector<Record> none;
    EXPECT_EQ(ZipCentralDirectory::CheckLocalHeaders(nullptr, none, 0, 0), Status::Ok);
}

TEST(ZipCentralDirectory, StatusTexts) {
    const std::pair<Status, const char*> texts[] = {
        {Status::Ok, ""},
        {Status::NoEndRecord, "no zip end record"},
        {Status::Truncated, "zip central directory truncated"},
        {Status::Malformed, "zip central directory malformed"},
        {Status::Spanned, "spanned zip archive"},
        {Status::TooManyEntries, "too many zip entries"},
        {Status::ReadFailed, "zip could not be read"},
        {Status::LocalHeaderMismatch, "a zip local header disagrees with the central directory"},
        {Status::DuplicateLocalHeader, "two zip records at one local header offset"},
        {static_cast<Status>(9), ""},
    };
    for (const auto& [status, text] : texts) EXPECT_STREQ(ZipCentralDirectory::StatusText(status), text);
}

TEST(ZipCentralDirectory, MethodSupport) {
    const bool none[4] = {false, false, false, false};
    const bool all[4] = {true, true, true, false};
    for (const std::uint16_t method : {0, 1, 6, 8, 98}) {
        EXPECT_TRUE(ZipCentralDirectory::MethodSupported(method, none)) << method;
        EXPECT_TRUE(ZipCentralDirectory::MethodSupported(method, nullptr)) << method;
    }
    for (const std::uint16_t method : {2, 3, 4, 5, 7, 9, 10, 11, 13, 99, 0xFFFF}) {
        EXPECT_FALSE(ZipCentralDirectory::MethodSupported(method, all)) << method;
    }
    const std::pair<std::uint16_t, int> gated[] = {{12, 0}, {14, 1}, {95, 1}, {93, 2}};
    for (const auto& [method, flag] : gated) {
        bool flags[4] = {false, false, false, false};
        EXPECT_FALSE(ZipCentralDirectory::MethodSupported(method, flags)) << method;
        flags[flag] = true;
        EXPECT_TRUE(ZipCentralDirectory::MethodSupported(method, flags)) << method;
    }
}

TEST(ZipCentralDirectory, DisplayNameReadsCodePage437UnlessFlaggedUtf8) {
    Record record;
    const std::pair<std::string, std::string> cases[] = {
        {"A\x09\x82", "A?\xC3\xA9"},
        {std::string("\x00\x1F\x7F", 3), "???"},
        {" ~", " ~"},
        {"\x80\x9E\x9F", "\xC3\x87\xE2\x82\xA7\xC6\x92"},
        {"\xB0\xDB\xE1\xFF", "\xE2\x96\x91\xE2\x96\x88\xC3\x9F\xC2\xA0"},
    };
    for (const auto& [stored, shown] : cases) {
        record.name = stored;
        EXPECT_EQ(ZipCentralDirectory::DisplayName(record), shown);
    }
    record.utf8 = true;
    record.name = "A\x09\xC3\xA9";
    EXPECT_EQ(ZipCentralDirectory::DisplayName(record), record.name);
}

// Archives written by real tools must read back with their sizes, CRCs and data.
void ExpectMatchesFiles(const std::filesystem::path& archive, const std::map<std::string, Bytes>& files) {
    std::ifstream in(archive, std::ios::binary);
    const Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const Result result = ReadImage(image);
    ASSERT_EQ(result.status, Status::Ok) << ZipCentralDirectory::StatusText(result.status);
    std::size_t matched = 0;
    for (const Record& record : result.records) {
        const auto found = files.find(record.name);
        if (found == files.end()) continue;
        ++matched;
        EXPECT_EQ(record.uncompressed_size, found->second.size()) << record.name;
        EXPECT_EQ(record.crc32, Crc32(found->second)) << record.name;
        if (record.method == 0) {
            ASSERT_LE(record.data_offset + record.compressed_size, image.size());
            EXPECT_EQ(Bytes(image.begin() + record.data_offset,
                            image.begin() + record.data_offset + record.compressed_size),
                      found->second)
                << record.name;
        }
    }
    EXPECT_EQ(matched, files.size());
}

std::map<std::string, Bytes> SampleFiles() {
    return {{"small.txt", ToBytes("small\n")},
            {"empty.bin", {}},
            {"dir/pattern.bin", Pattern(100000)},
            {"dir/zeros.bin", Bytes(70000, 0)}};
}

TEST(ZipCentralDirectory, ReadsArchivesFromTheZipTool) {
    if (testsupport::kWindowsHost) GTEST_SKIP() << "runs Debian's zip, a Linux program";
    if (std::system("command -v zip >/dev/null 2>&1") != 0) GTEST_SKIP() << "zip is not installed";
    const std::filesystem::path root = UniqueTemporaryPath("ombrex-zip-tool");
    const auto files = SampleFiles();
    for (const auto& [name, data] : files) {
        std::filesystem::create_directories((root / name).parent_path());
        std::ofstream(root / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    for (const char* level : {"-0", "-6"}) {
        const std::filesystem::path archive = root / (std::string("out") + level + ".zip");
        const std::string command = "cd '" + root.string() + "' && zip -q -r -X " + level + " '" +
                                    archive.string() + "' small.txt empty.bin dir";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        ExpectMatchesFiles(archive, files);
    }
    std::filesystem::remove_all(root);
}

TEST(ZipCentralDirectory, ReadsArchivesFromTheLibraryWriter) {
    const auto files = SampleFiles();
    for (const char* options : {"zip:compression=store", "zip:compression=deflate", "zip:zip64"}) {
        const std::filesystem::path archive = UniqueTemporaryPath("ombrex-libarchive") += ".zip";
        struct archive* writer = archive_write_new();
        ASSERT_EQ(archive_write_set_format_zip(writer), ARCHIVE_OK);
        ASSERT_EQ(archive_write_set_options(writer, options), ARCHIVE_OK) << options;
        ASSERT_EQ(archive_write_open_filename(writer, archive.string().c_str()), ARCHIVE_OK);
        for (const auto& [name, data] : files) {
            struct archive_entry* entry = archive_entry_new();
            archive_entry_set_pathname(entry, name.c_str());
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_perm(entry, 0644);
            archive_entry_set_size(entry, static_cast<la_int64_t>(data.size()));
            ASSERT_EQ(archive_write_header(writer, entry), ARCHIVE_OK);
            ASSERT_EQ(archive_write_data(writer, data.data(), data.size()), static_cast<la_ssize_t>(data.size()));
            archive_entry_free(entry);
        }
        ASSERT_EQ(archive_write_close(writer), ARCHIVE_OK);
        archive_write_free(writer);
        ExpectMatchesFiles(archive, files);
        std::filesystem::remove(archive);
    }
}

}  // namespace

namespace {

TEST(ZipCentralDirectory, SurvivesEverySingleByteCorruption) {
    // Run under the sanitizers, this walks every field of a ZIP64 archive
    // through each reader path with values that matter to the checks.
    ZipImageWriter writer = TwoMembers();
    ZipEntryFields big = StoredEntry("Z64", Pattern(20));
    big.zip64 = true;
    writer.Add(big).Zip64();
    writer.end().comment = Pattern(5);
    const Bytes image = writer.Build();
    std::FILE* stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    for (std::size_t at = 0; at < image.size(); ++at) {
        for (const unsigned char value : {0x00, 0x01, 0x7F, 0xFF}) {
            Bytes mutated = image;
            mutated[at] = value;
            ASSERT_EQ(std::fseek(stream, 0, SEEK_SET), 0);
            ASSERT_EQ(std::fwrite(mutated.data(), 1, mutated.size(), stream), mutated.size());
            const Result result = ZipCentralDirectory::ReadFromStream(stream, 0, mutated.size(), 10);
            EXPECT_LE(static_cast<int>(result.status), 8);
        }
    }
    std::fclose(stream);
}

}  // namespace

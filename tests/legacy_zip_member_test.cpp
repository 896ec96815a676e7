// The legacy ZIP member path: CRC-32, bounds against the archive (or window),
// decoding real shrunk and imploded members, and the CRC check after it.
#include "mount/legacy_zip_member.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "formats/file_range.h"
#include "mount/archive_reader_impl.h"
#include "mount/archive_sources.h"
#include "support/legacy_fixtures.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using ArchiveMount::Entry;
using ArchiveMount::Error;

TEST(Crc32Update, MatchesZlibWholeAndInPieces) {
    std::string data;
    for (int i = 0; i < 5000; ++i) data += static_cast<char>((i * 131) ^ (i >> 3));
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    for (std::size_t length : {0u, 1u, 9u, 4999u, 5000u}) {
        const auto expected = static_cast<std::uint32_t>(crc32(0, bytes, static_cast<uInt>(length)));
        EXPECT_EQ(ArchiveMount::Crc32Update(0, bytes, length), expected) << length;
        const std::size_t half = length / 3;
        EXPECT_EQ(ArchiveMount::Crc32Update(ArchiveMount::Crc32Update(0, bytes, half), bytes + half, length - half),
                  expected);
    }
    EXPECT_EQ(ArchiveMount::Crc32Update(0, reinterpret_cast<const unsigned char*>("123456789"), 9), 0xCBF43926u);
}

// A local header (name and extra as given) followed by the member's stored bytes.
std::string LocalMember(const testsupport::MemberStream& member, const std::string& name, const std::string& extra) {
    std::string header(30, '\0');
    header[0] = 'P', header[1] = 'K', header[2] = 3, header[3] = 4;
    header[8] = static_cast<char>(member.method);
    header[26] = static_cast<char>(name.size()), header[27] = static_cast<char>(name.size() >> 8);
    header[28] = static_cast<char>(extra.size()), header[29] = static_cast<char>(extra.size() >> 8);
    return header + name + extra + std::string(member.data.begin(), member.data.end());
}

class LegacyMember : public ::testing::Test {
protected:
    // A reader of `file_bytes` seen through the window [offset, offset +
    // length); no window when the offset is 0.
    void Load(const testsupport::MemberStream& member, const std::string& file_bytes, std::uint64_t window_offset,
              std::uint64_t window_length) {
        impl = std::make_unique<ArchiveMount::ArchiveReader::Impl>();
        impl->archive_path = dir.WriteFile("member-" + std::to_string(++files), file_bytes);
        impl->descriptor = ArchiveMount::OpenArchiveFile(impl->archive_path);
        ASSERT_TRUE(impl->descriptor.valid());
        impl->window = {static_cast<std::int64_t>(window_offset), static_cast<std::int64_t>(window_length),
                        window_offset != 0};
        impl->archive_size = window_length;
        record = {};
        record.method = member.method;
        record.flags = member.flags;
        record.crc32 = member.crc32;
        record.compressed_size = member.data.size();
        entry = {};
        entry.size = static_cast<std::int64_t>(member.size);
    }

    Error Read(std::string* message, int refuse_piece = -1) {
        out.clear();
        int pieces = 0;
        return impl->read_legacy(record, entry,
                                 [&](const unsigned char* data, unsigned long long count) {
                                     if (pieces++ == refuse_piece) return false;
                                     out.append(reinterpret_cast<const char*>(data), count);
                                     return true;
                                 },
                                 message);
    }

    testsupport::TempDir dir;
    int files = 0;
    std::unique_ptr<ArchiveMount::ArchiveReader::Impl> impl;
    ZipCentralDirectory::Record record;
    Entry entry;
    std::string out;
};

TEST_F(LegacyMember, RealShrunkAndImplodedMembersDecodeAndPassTheirCrc) {
    for (std::uint16_t method : {1, 6}) {
        const auto members = testsupport::LegacyFixtureMembers(method);
        ASSERT_FALSE(members.empty());
        for (const auto& fixture : members) {
            SCOPED_TRACE(fixture.archive + ": " + fixture.member.name);
            // A longer name and an extra field in the local header than the
            // record has, inside a window with bytes around it.
            const std::string local = LocalMember(fixture.member, fixture.member.name + "-longer", "EXTRA!");
            const std::string prefix(1000, 'p');
            Load(fixture.member, prefix + local + "trailing bytes", prefix.size(), local.size());
            std::string message = "untouched";
            ASSERT_EQ(Read(&message), Error::Ok) << message;
            EXPECT_EQ(message, "untouched");
            EXPECT_EQ(out.size(), fixture.member.size);
            EXPECT_EQ(crc32(0, reinterpret_cast<const Bytef*>(out.data()), static_cast<uInt>(out.size())),
                      fixture.member.crc32);
        }
    }
}

TEST_F(LegacyMember, DecodedBytesThatDoNotMatchTheCrcAreDamaged) {
    const auto fixture = testsupport::LegacyFixtureMembers(6).front();
    const std::string local = LocalMember(fixture.member, "m", "");
    Load(fixture.member, local, 0, local.size());
    record.crc32 ^= 0x00010000;
    std::string message;
    EXPECT_EQ(Read(&message), Error::Damaged);
    EXPECT_EQ(message, "CRC mismatch");
    EXPECT_EQ(out.size(), fixture.member.size);  // after every byte reached the sink
    EXPECT_EQ(Read(nullptr), Error::Damaged);
}

TEST_F(LegacyMember, RefusedOutputAndBadStreams) {
    const auto fixture = testsupport::LegacyFixtureMembers(1).front();
    const std::string local = LocalMember(fixture.member, "m", "");
    Load(fixture.member, local, 0, local.size());
    std::string message;
    EXPECT_EQ(Read(&message, 0), Error::OpenFailed);
    EXPECT_EQ(message, "cannot write the member");

    // The declared size one byte larger: the decoder's own complaint.
    entry.size += 1;
    message.clear();
    EXPECT_EQ(Read(&message), Error::Damaged);
    EXPECT_FALSE(message.empty());
    EXPECT_NE(message, "CRC mismatch");
}

TEST_F(LegacyMember, RangesOutsideTheArchiveAreRefusedBeforeDecoding) {
    const auto fixture = testsupport::LegacyFixtureMembers(6).front();
    const std::string local = LocalMember(fixture.member, "name", "");
    struct Case {
        const char* name;
        std::uint64_t local_header_offset;
        std::uint64_t archive_size;  // the window's length
        std::uint64_t compressed_size;
        std::string message;
    };
    const Case cases[] = {
        {"header offset past the end", local.size() + 1, local.size(), fixture.member.data.size(),
         "local header past the end of the archive"},
        {"fewer than 30 header bytes", 0, 29, 0, "local header past the end of the archive"},
        {"name runs past the end", 0, 31, 0, "member data runs past the end of the archive"},
        {"data one byte past the window", 0, local.size(), fixture.member.data.size() + 1,
         "member data runs past the end of the archive"},
        {"window longer than the file", 0, local.size() + 10, fixture.member.data.size() + 10,
         "member data runs past the end of the archive"},
        {"over the read cap", 0, ZipCentralDirectory::kMaxRangeBytes + 100, ZipCentralDirectory::kMaxRangeBytes + 1,
         "cannot read the member data (an I/O error, or over 67108864 bytes)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Load(fixture.member, local, 0, c.archive_size);
        impl->window.present = true;  // offset 0: bounds come from the window alone
        record.local_header_offset = c.local_header_offset;
        record.compressed_size = c.compressed_size;
        std::string message;
        EXPECT_EQ(Read(&message), Error::Damaged);
        EXPECT_EQ(message, c.message);
        EXPECT_TRUE(out.empty());
    }
}

TEST_F(LegacyMember, ExactlyTheReadCapIsRead) {
    const auto fixture = testsupport::LegacyFixtureMembers(1).front();
    const std::string local = LocalMember(fixture.member, "m", "");
    Load(fixture.member, local, 0, 30 + 1 + ZipCentralDirectory::kMaxRangeBytes);
    fs::resize_file(impl->archive_path, 30 + 1 + ZipCentralDirectory::kMaxRangeBytes);
    record.compressed_size = ZipCentralDirectory::kMaxRangeBytes;
    std::string message;
    EXPECT_EQ(Read(&message), Error::Damaged);
    EXPECT_NE(message.rfind("cannot read the member data", 0), 0u) << message;
}

}  // namespace

// Positioning a library handle on an ordinal and streaming under the declared
// size, on readers filled by hand around archives the tests build.
#include <gtest/gtest.h>

#include <memory>

#include "mount/archive_reader_impl.h"
#include "mount/archive_sources.h"
#include "mount/library_setup.h"
#include "support/archive_builder.h"
#include "support/temp_dir.h"

namespace {

using ArchiveMount::ArchiveKind;
using ArchiveMount::DetectedFormat;
using ArchiveMount::Entry;
using ArchiveMount::Error;
using ArchiveMount::LibraryHandle;
using testsupport::Member;

class MemberStreaming : public ::testing::Test {
protected:
    // A reader of `bytes` as a plain tar, with only what positioning needs.
    std::unique_ptr<ArchiveMount::ArchiveReader::Impl> TarReader(const std::string& bytes,
                                                                  DetectedFormat format = DetectedFormat::Tar) {
        auto impl = std::make_unique<ArchiveMount::ArchiveReader::Impl>();
        impl->archive_path = dir.WriteFile("archive-" + std::to_string(++count), bytes);
        impl->descriptor = ArchiveMount::OpenArchiveFile(impl->archive_path);
        EXPECT_TRUE(impl->descriptor.valid());
        impl->detected_format = format;
        impl->kind = ArchiveKind::Tar;
        return impl;
    }

    // Streams `ordinal` with `declared` as its size; the bytes the sink took.
    Error Stream(const ArchiveMount::ArchiveReader::Impl& impl, int ordinal, std::int64_t declared, std::string& taken,
                 std::string* message, int refuse_after_pieces = -1) {
        LibraryHandle handle;
        const Error positioned = impl.seek_ordinal(ordinal, handle, message);
        if (positioned != Error::Ok) return positioned;
        Entry entry;
        entry.size = declared;
        int pieces = 0;
        return impl.stream_member(
            handle.archive, entry,
            [&](const unsigned char* data, unsigned long long n) {
                if (pieces++ == refuse_after_pieces) return false;
                taken.append(reinterpret_cast<const char*>(data), n);
                return true;
            },
            message);
    }

    testsupport::TempDir dir;
    int count = 0;
};

const std::string kExactBlock(65536, 'e');
const std::string kLarge = [] {
    std::string s;
    for (int i = 0; i < 200000; ++i) s += static_cast<char>('a' + i % 23);
    return s;
}();

std::vector<Member> FourMembers() {
    return {Member{"small.txt", "hello"}, Member{"block.bin", kExactBlock}, Member{"empty", ""}, Member{"large", kLarge}};
}

TEST_F(MemberStreaming, EveryOrdinalYieldsItsOwnBytesUnderEveryFilter) {
    for (auto compression : {testsupport::Compression::None, testsupport::Compression::Gzip,
                             testsupport::Compression::Zstd}) {
        const auto impl = TarReader(testsupport::BuildArchive(testsupport::Container::Ustar, FourMembers(), compression),
                                    compression == testsupport::Compression::None   ? DetectedFormat::Tar
                                    : compression == testsupport::Compression::Gzip ? DetectedFormat::Gzip
                                                                                    : DetectedFormat::Zstd);
        const auto members = FourMembers();
        for (int ordinal = 0; ordinal < static_cast<int>(members.size()); ++ordinal) {
            std::string taken, message = "untouched";
            EXPECT_EQ(Stream(*impl, ordinal, static_cast<std::int64_t>(members[ordinal].bytes.size()), taken, &message),
                      Error::Ok);
            EXPECT_EQ(taken, members[ordinal].bytes) << ordinal;
            EXPECT_EQ(message, "untouched");
        }
    }
}

TEST_F(MemberStreaming, OrdinalsPastTheLastHeaderAreNoSuchEntry) {
    const auto impl = TarReader(testsupport::BuildArchive(testsupport::Container::Ustar, FourMembers()));
    for (int ordinal : {4, 5, -1}) {
        std::string taken, message;
        EXPECT_EQ(Stream(*impl, ordinal, 0, taken, &message), Error::NoSuchEntry) << ordinal;
        EXPECT_EQ(message, "ordinal past the end");
        EXPECT_EQ(Stream(*impl, ordinal, 0, taken, nullptr), Error::NoSuchEntry);
    }
}

TEST_F(MemberStreaming, DeclaredSizeIsEnforcedExactly) {
    const auto impl = TarReader(testsupport::BuildArchive(testsupport::Container::Ustar, FourMembers()));
    struct Case {
        int ordinal;
        std::int64_t declared;
        Error code;
        std::string message;
        std::size_t taken;  // bytes the sink received; for a longer member, see below
    };
    const Case cases[] = {
        {1, 65536, Error::Ok, "", 65536},
        {1, 65535, Error::Damaged, "member longer than its declared size", 0},
        {0, 0, Error::Damaged, "member longer than its declared size", 0},
        {0, 6, Error::Damaged, "member shorter than its declared size", 5},
        {3, 200001, Error::Damaged, "member shorter than its declared size", 200000},
        {3, 199999, Error::Damaged, "member longer than its declared size", 0},
        {2, 0, Error::Ok, "", 0},
        {2, 1, Error::Damaged, "member shorter than its declared size", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.ordinal) + " declared " + std::to_string(c.declared));
        std::string taken, message;
        EXPECT_EQ(Stream(*impl, c.ordinal, c.declared, taken, &message), c.code);
        EXPECT_EQ(message, c.message);
        if (c.message == "member longer than its declared size") {
            // The library's blocks reach the sink as they come, so how many
            // did before the failure is its business; none past the declared
            // size ever does.
            EXPECT_LE(taken.size(), static_cast<std::size_t>(c.declared));
            EXPECT_EQ(taken, (c.ordinal == 1 ? kExactBlock : c.ordinal == 3 ? kLarge : "hello").substr(0, taken.size()));
        } else {
            EXPECT_EQ(taken.size(), c.taken);
        }
        EXPECT_EQ(Stream(*impl, c.ordinal, c.declared, taken, nullptr), c.code);
    }
}

TEST_F(MemberStreaming, RefusedPieceStopsTheStream) {
    const auto impl = TarReader(testsupport::BuildArchive(testsupport::Container::Ustar, FourMembers()));
    std::string taken, message;
    EXPECT_EQ(Stream(*impl, 3, 200000, taken, &message, 1), Error::OpenFailed);
    EXPECT_EQ(message, "cannot write the member");
    EXPECT_EQ(taken, kLarge.substr(0, taken.size()));
    EXPECT_LT(taken.size(), kLarge.size());
}

TEST_F(MemberStreaming, LibraryFailuresAreDamagedWithTheLibraryText) {
    const std::string tar = testsupport::BuildArchive(testsupport::Container::Ustar, FourMembers());
    // Second header's checksum field spoiled: the walk stops there.
    std::string bad_header = tar;
    bad_header[512 + 512 + 148] ^= 0x11;
    const auto spoiled = TarReader(bad_header);
    std::string taken, message;
    EXPECT_EQ(Stream(*spoiled, 0, 5, taken, &message), Error::Ok);
    EXPECT_EQ(Stream(*spoiled, 1, 65536, taken, &message), Error::Damaged);
    EXPECT_FALSE(message.empty());
    EXPECT_NE(message, "header failed");

    // A gzip stream cut inside the large member: its data read fails.
    const std::string gzip =
        testsupport::BuildArchive(testsupport::Container::Ustar, FourMembers(), testsupport::Compression::Gzip);
    const auto cut = TarReader(gzip.substr(0, gzip.size() * 3 / 4), DetectedFormat::Gzip);
    message.clear();
    taken.clear();
    EXPECT_EQ(Stream(*cut, 3, 200000, taken, &message), Error::Damaged);
    EXPECT_FALSE(message.empty());
    EXPECT_NE(message, "member shorter than its declared size");
}

TEST_F(MemberStreaming, HandleThatCannotBeMadeIsOpenFailed) {
    auto impl = TarReader(testsupport::BuildArchive(testsupport::Container::Ustar, FourMembers()));
    impl->descriptor.reset();
    std::string taken, message;
    EXPECT_EQ(Stream(*impl, 0, 5, taken, &message), Error::OpenFailed);
    EXPECT_EQ(message, "cannot duplicate the archive descriptor");
}

}  // namespace

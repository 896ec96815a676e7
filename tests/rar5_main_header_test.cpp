#include "mount/rar5_main_header.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using ArchiveMount::ParseRar5MainHeader;
using ArchiveMount::ReadRar5Number;
using Bytes = std::vector<unsigned char>;

// Signature and a header CRC that nobody checks, then `fields`.
Bytes Head(const Bytes& fields) {
    Bytes head = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01, 0x00, 0xDE, 0xAD, 0xBE, 0xEF};
    for (unsigned char byte : fields) head.push_back(byte);
    return head;
}

TEST(Rar5Number, ReadsSevenBitGroupsLowFirst) {
    struct Case {
        Bytes bytes;
        std::optional<std::uint64_t> value;
        std::size_t end;
    };
    const Case cases[] = {
        {{0x00}, 0, 1},
        {{0x7F, 0xAA}, 0x7F, 1},
        {{0x80, 0x01}, 0x80, 2},
        {{0xE5, 0x8E, 0x26}, 624485, 3},
        // Ten bytes: the last carries bit 63.
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, 0xFFFFFFFFFFFFFFFFULL, 10},
        {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, std::nullopt, 0},  // 11 bytes
        {{0x80}, std::nullopt, 0},                                                             // runs out
        {{}, std::nullopt, 0},
    };
    for (const Case& c : cases) {
        std::size_t position = 0;
        const auto value = ReadRar5Number(c.bytes.data(), c.bytes.size(), &position);
        EXPECT_EQ(value, c.value) << c.bytes.size();
        if (value) {
            EXPECT_EQ(position, c.end);
        }
    }
}

TEST(Rar5MainHeader, GivesTheArchiveFlagsOfAMainHeaderOnly) {
    struct Case {
        const char* name;
        Bytes head;
        std::optional<std::uint64_t> flags;
    };
    const Case cases[] = {
        {"plain", Head({0x03, 0x01, 0x00, 0x05}), 5},
        {"extra area size skipped", Head({0x05, 0x01, 0x01, 0x81, 0x01, 0x01}), 1},
        {"data size skipped", Head({0x05, 0x01, 0x02, 0x09, 0x00}), 0},
        {"both sizes", Head({0x06, 0x01, 0x03, 0x02, 0x03, 0x81, 0x00}), 1},
        {"file header first", Head({0x03, 0x02, 0x00, 0x01}), std::nullopt},
        {"flags cut off", Head({0x03, 0x01, 0x00}), std::nullopt},
        {"extra size runs past the head", Head({0x03, 0x01, 0x01, 0x80}), std::nullopt},
        {"signature only", Head({}), std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseRar5MainHeader(c.head.data(), c.head.size()), c.flags) << c.name;
    const Bytes head = Head({0x03, 0x01, 0x00, 0x01});
    EXPECT_EQ(ParseRar5MainHeader(head.data(), 11), std::nullopt) << "shorter than 12 bytes";
}

}  // namespace

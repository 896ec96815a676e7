#include "client/member_lookup.h"

#include <gtest/gtest.h>

namespace {

using ArchiveMount::Entry;

Entry Make(int ordinal, const std::string& path, const std::string& dos_path) {
    Entry entry;
    entry.ordinal = ordinal;
    entry.path = path;
    entry.dos_path = dos_path;
    return entry;
}

TEST(MemberLookup, ArchivePathThenDosPathThenOrdinal) {
    const std::vector<Entry> entries = {
        Make(-1, "games", "GAMES"),
        Make(0, "games/Long Name.txt", "GAMES\\LONGNA~1.TXT"),
        Make(1, "3", "3"),
        Make(3, "readme", "README"),
        Make(4, "GAMES\\LONGNA~1.TXT", "GAMES_~1.TXT"),
    };
    const std::vector<std::pair<std::string, int>> cases = {
        {"games/Long Name.txt", 0},
        {"GAMES\\LONGNA~1.TXT", 4},   // an archive path wins over a DOS path
        {"games\\longna~1.txt", 0},   // DOS paths ignore case
        {"Games/LongNa~1.TXT", 0},    // and take / for \ .
        {"3", 1},                     // a name wins over an ordinal
        {"#3", 3},
        {"4", 4},
        {"#-1", -2},
        {"-1", -2},
        {"#", -2},
        {"7", -2},
        {"99999999999", -2},
        {"Long Name.txt", -2},
        {"", -2},
    };
    for (const auto& [name, expected] : cases) {
        const Entry* found = HelperClient::FindMember(entries, name);
        if (expected == -2) {
            EXPECT_EQ(found, nullptr) << name;
        } else {
            ASSERT_NE(found, nullptr) << name;
            EXPECT_EQ(found->ordinal, expected) << name;
        }
    }
    EXPECT_EQ(HelperClient::FindMember(entries, "games")->ordinal, -1);
}

}  // namespace

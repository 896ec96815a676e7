#include "mount/archive_path.h"

#include <gtest/gtest.h>

namespace {

using ArchiveMount::SplitArchivePath;

struct SplitCase {
    std::string name;
    int reason;  // 0: accepted
    std::vector<std::string> components;
    bool trailing;
};

TEST(SplitArchivePath, AcceptsOrRefusesEachPathAsDocumented) {
    const SplitCase cases[] = {
        {"a/b.txt", 0, {"a", "b.txt"}, false},
        {"a\\b\\c", 0, {"a", "b", "c"}, false},
        {"a/./b", 0, {"a", "b"}, false},
        {"a/.", 0, {"a"}, true},
        {"a/", 0, {"a"}, true},
        {"a/./", 0, {"a"}, true},
        {"./", 0, {}, true},
        {".", 0, {}, true},
        {"name.", 0, {"name"}, false},
        {"dir. ./x ", 0, {"dir", "x"}, false},
        {"ab:c/d:e", 0, {"ab:c", "d:e"}, false},
        {"x:/y", 1, {}, false},
        {"/etc", 1, {}, false},
        {"\\x", 1, {}, false},
        {"C:game", 1, {}, false},
        {"C:", 1, {}, false},
        {"./C:x", 1, {}, false},
        {"a/../b", 2, {}, false},
        {"..", 2, {}, false},
        {"", 3, {}, false},
        {"a//b", 3, {}, false},
        {"a/\\b", 3, {}, false},
        {"...", 3, {}, false},
        {"a/ ./b", 3, {}, false},
        {"a\tb", 4, {}, false},
        {"a/b\x7f", 4, {}, false},
        {"a/b\n/c", 4, {}, false},
        {"dir/aux.txt", 6, {}, false},
        {"CON", 6, {}, false},
        {"lpt1 ./x", 6, {}, false},
    };
    for (const SplitCase& c : cases) {
        int reason = -1;
        const auto result = SplitArchivePath(c.name, &reason);
        EXPECT_EQ(reason, c.reason) << c.name;
        EXPECT_EQ(result.ok, c.reason == 0) << c.name;
        if (c.reason != 0) continue;
        EXPECT_EQ(result.components, c.components) << c.name;
        EXPECT_EQ(result.trailing_separator, c.trailing) << c.name;
    }
}

TEST(SplitArchivePath, ComponentLengthLimitIs255Bytes) {
    const std::string longest(255, 'x');
    int reason = -1;
    auto result = SplitArchivePath("d/" + longest, &reason);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(reason, 0);
    EXPECT_EQ(result.components.back(), longest);

    result = SplitArchivePath("d/" + longest + "x", &reason);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(reason, 5);
    // A control byte is reported before the length.
    SplitArchivePath(std::string(300, 'x') + "\x01", &reason);
    EXPECT_EQ(reason, 4);
}

TEST(SplitArchivePath, NullReasonGivesTheSameResult) {
    EXPECT_TRUE(SplitArchivePath("a/b", nullptr).ok);
    EXPECT_FALSE(SplitArchivePath("a/../b", nullptr).ok);
}

TEST(PathRefusalText, NamesEveryReasonAndNothingElse) {
    EXPECT_STREQ(ArchiveMount::PathRefusalText(1), "absolute path");
    EXPECT_STREQ(ArchiveMount::PathRefusalText(2), "'.' or '..' component");
    EXPECT_STREQ(ArchiveMount::PathRefusalText(3), "empty component");
    EXPECT_STREQ(ArchiveMount::PathRefusalText(4), "control character in name");
    EXPECT_STREQ(ArchiveMount::PathRefusalText(5), "component longer than 255 bytes");
    EXPECT_STREQ(ArchiveMount::PathRefusalText(6), "reserved device name");
    for (const int other : {0, 7, -1, 1000}) EXPECT_STREQ(ArchiveMount::PathRefusalText(other), "") << other;
}

TEST(IsReservedDeviceName, MatchesDeviceNamesWhateverTheirDecoration) {
    const std::pair<const char*, bool> cases[] = {
        {"con", true},         {"Con.txt", true},     {"NUL.tar.gz", true}, {"com1", true},
        {"LPT9 .doc", true},   {"COM\xC2\xB9", true}, {"lpt\xC2\xB3", true}, {"prn. . ", true},
        {"aux ", true},        {"clock$", true},      {"CONIN$.x", true},   {"conout$", true},
        {"COM0", false},       {"CONSOLE", false},    {"AUX1", false},      {"COM\xC2\xB4", false},
        {"COM10", false},      {"LPT", false},        {"", false},          {". .", false},
        {".con", false},       {"CO", false},         {"CONOUT", false},    {"COMA", false},
        {"xCON", false},       {"CON_", false},
    };
    for (const auto& [name, reserved] : cases) {
        EXPECT_EQ(ArchiveMount::IsReservedDeviceName(name), reserved) << name;
    }
}

}  // namespace

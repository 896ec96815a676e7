#include "dostree/dos_tree.h"

#include <gtest/gtest.h>

namespace {

using ArchiveMount::Entry;

Entry File(std::int32_t ordinal, std::string dos_path, std::int64_t size, std::int64_t mtime = 1000) {
    Entry entry;
    entry.ordinal = ordinal;
    entry.dos_path = std::move(dos_path);
    entry.size = size;
    entry.mtime = mtime;
    return entry;
}

Entry Directory(std::string dos_path, std::int64_t mtime = 500) {
    Entry entry = File(-1, std::move(dos_path), 0, mtime);
    entry.is_dir = true;
    return entry;
}

ArchiveHelper::IndexSummary IndexOf(std::vector<Entry> entries) {
    ArchiveHelper::IndexSummary index;
    index.entries = std::move(entries);
    return index;
}

TEST(DosTree, DirectoriesFilesSizesAndTimesAsTheIndexGivesThem) {
    std::string message;
    const auto tree = DosTree::Tree::Build(
        IndexOf({Directory("GAME", 700), File(3, "GAME\\LEVEL1.DAT", 1234, 900), File(0, "README.TXT", 5, 1200),
                 Directory("GAME\\SOUNDS"), File(7, "GAME\\SOUNDS\\BOOM.WAV", 0)}),
        &message);
    ASSERT_TRUE(tree) << message;
    EXPECT_TRUE(tree->root().is_dir);
    EXPECT_EQ(tree->root().mtime, 1200);
    EXPECT_EQ(tree->root().children.size(), 2u);
    const DosTree::Node* level = tree->Find("/GAME/LEVEL1.DAT");
    ASSERT_NE(level, nullptr);
    EXPECT_FALSE(level->is_dir);
    EXPECT_EQ(level->ordinal, 3);
    EXPECT_EQ(level->size, 1234);
    EXPECT_EQ(level->mtime, 900);
    const DosTree::Node* game = tree->Find("/GAME");
    ASSERT_NE(game, nullptr);
    EXPECT_TRUE(game->is_dir);
    EXPECT_EQ(game->mtime, 700);
    EXPECT_EQ(tree->Find("/GAME/SOUNDS/BOOM.WAV")->ordinal, 7);
    EXPECT_EQ(tree->Find("/"), &tree->root());
    EXPECT_EQ(tree->Find("/game/level1.dat"), nullptr);  // DOS names are upper case; the host matches exactly
    EXPECT_EQ(tree->Find("/GAME/NOPE"), nullptr);
    EXPECT_EQ(tree->Find("/README.TXT/X"), nullptr);
}

// The index comes from another process: a path that would leave the tree,
// a file where a directory is, or the same place twice is refused whole.
TEST(DosTree, IndexesThatCannotBeATreeAreRefused) {
    struct Case {
        const char* what;
        std::vector<Entry> entries;
        const char* message;
    };
    const Case cases[] = {
        {"dot-dot", {File(0, "..\\X", 1)}, "the helper gave an unusable DOS path '..\\X'"},
        {"empty", {File(0, "", 1)}, "the helper gave an unusable DOS path ''"},
        {"slash", {File(0, "A/B", 1)}, "the helper gave an unusable DOS path 'A/B'"},
        {"file without ordinal", {File(-1, "A", 1)}, "the helper gave an unusable DOS path 'A'"},
        {"file under a file", {File(0, "A", 1), File(1, "A\\B", 1)}, "the index lists 'A\\B' twice"},
        {"one file twice", {File(0, "A", 1), File(1, "A", 1)}, "the index lists 'A' twice"},
    };
    for (const Case& c : cases) {
        std::string message;
        EXPECT_FALSE(DosTree::Tree::Build(IndexOf(c.entries), &message)) << c.what;
        EXPECT_EQ(message, c.message) << c.what;
    }
}

}  // namespace

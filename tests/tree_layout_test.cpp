#include "client/tree_layout.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using ArchiveHelper::IndexSummary;
using ArchiveMount::Entry;

TEST(DosRelativePath, AcceptsOnlyPlainComponentsBelowTheTarget) {
    EXPECT_EQ(HelperClient::DosRelativePath("GAMES\\DOOM\\DOOM.EXE"), fs::path("GAMES/DOOM/DOOM.EXE"));
    EXPECT_EQ(HelperClient::DosRelativePath("README.TXT"), fs::path("README.TXT"));
    for (const std::string_view bad : std::initializer_list<std::string_view>{"", "\\ETC\\PASSWD", "A\\\\B", "A\\", "..", "A\\..\\..\\B", ".\\A", "A/B",
                                       std::string_view("A\0B", 3)}) {
        EXPECT_EQ(HelperClient::DosRelativePath(bad), std::nullopt) << bad;
    }
}

Entry File(int ordinal, const std::string& dos_path, std::int64_t size = 1) {
    Entry entry;
    entry.ordinal = ordinal;
    entry.dos_path = dos_path;
    entry.size = size;
    return entry;
}

Entry Dir(const std::string& dos_path, std::int64_t mtime) {
    Entry entry = File(-1, dos_path, 0);
    entry.is_dir = true;
    entry.mtime = mtime;
    return entry;
}

std::string Slurp(const fs::path& file) {
    std::ifstream stream(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

TEST(LayOutTree, MovesEveryFileToItsDosPathAndStampsDirectories) {
    testsupport::TempDir temp;
    const fs::path scratch = temp.path() / "scratch";
    fs::create_directory(scratch);
    temp.WriteFile("scratch/0", "zero");
    temp.WriteFile("scratch/5", "five");
    fs::create_directories(temp.path() / "out");
    temp.WriteFile("out/README.TXT", "old contents");

    IndexSummary index;
    index.entries = {Dir("GAMES", 1600000000), File(0, "GAMES\\DEEP\\A.EXE", 4), Dir("EMPTY", 1500000000),
                     File(5, "README.TXT", 4)};
    std::vector<std::size_t> seen;
    std::string message;
    ASSERT_TRUE(HelperClient::LayOutTree(
        index, scratch, temp.path() / "out", [&](std::size_t done, std::uint64_t) { seen.push_back(done); }, &message))
        << message;
    EXPECT_EQ(Slurp(temp.path() / "out/GAMES/DEEP/A.EXE"), "zero");
    EXPECT_EQ(Slurp(temp.path() / "out/README.TXT"), "five");
    EXPECT_TRUE(fs::is_directory(temp.path() / "out/EMPTY"));
    EXPECT_TRUE(fs::is_empty(scratch));
    EXPECT_EQ(seen, (std::vector<std::size_t>{1, 2, 3, 4}));
    const auto stamp = fs::last_write_time(temp.path() / "out/GAMES");
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(
                  fs::file_time_type::clock::to_sys(stamp).time_since_epoch()).count(),
              1600000000);
}

TEST(LayOutTree, AnUnsafeDosPathStopsItBeforeAnythingMoves) {
    testsupport::TempDir temp;
    const fs::path scratch = temp.path() / "scratch";
    fs::create_directory(scratch);
    temp.WriteFile("scratch/0", "zero");
    temp.WriteFile("scratch/1", "one");
    IndexSummary index;
    index.entries = {File(0, "OK.TXT"), File(1, "..\\ESCAPE.TXT")};
    std::string message;
    EXPECT_FALSE(HelperClient::LayOutTree(index, scratch, temp.path() / "out", {}, &message));
    EXPECT_EQ(message, "the helper gave an unusable DOS path '..\\ESCAPE.TXT'");
    EXPECT_FALSE(fs::exists(temp.path() / "out"));
    EXPECT_FALSE(fs::exists(temp.path() / "ESCAPE.TXT"));
}

TEST(LayOutTree, AFileThePassDidNotWriteIsAFailure) {
    testsupport::TempDir temp;
    fs::create_directory(temp.path() / "scratch");
    IndexSummary index;
    index.entries = {File(3, "GONE.TXT")};
    std::string message;
    EXPECT_FALSE(HelperClient::LayOutTree(index, temp.path() / "scratch", temp.path() / "out", {}, &message));
    EXPECT_EQ(message.rfind("cannot move " + (temp.path() / "scratch" / "3").string() + " to ", 0), 0u) << message;
}

}  // namespace

#include "mount/dos_names.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "mount/short_names.h"

namespace {

using ArchiveMount::AssignDosName;
using ArchiveMount::DosNameAllocator;

std::vector<std::string> AssignAll(DosNameAllocator& allocator, const std::string& parent,
                                   const std::vector<std::string>& components) {
    std::vector<std::string> paths;
    for (const std::string& component : components) {
        const auto result = AssignDosName(allocator, parent, component);
        paths.push_back(result.ok ? result.dos_path : "<failed>");
    }
    return paths;
}

TEST(AssignDosName, GivesEachSiblingTheNextFreeCandidate) {
    struct Case {
        std::vector<std::string> components;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {{"readme.txt", "README.TXT", "ReadMe.txt"}, {"README.TXT", "README~2.TXT", "README~3.TXT"}},
        {{"\xC3\xA9.txt", "\xC3\xBC.txt"}, {"_.TXT", "_~2.TXT"}},
        {{"Read Me.txt", "readme.txt", "read me.txt"}, {"README~1.TXT", "README.TXT", "README~2.TXT"}},
        // A member literally named like a tail takes it from the basis.
        {{"README~2.TXT", "readme.txt", "readme.txt"}, {"README~2.TXT", "README.TXT", "README~3.TXT"}},
    };
    for (const Case& c : cases) {
        DosNameAllocator allocator;
        EXPECT_EQ(AssignAll(allocator, "", c.components), c.expected);
    }
}

TEST(AssignDosName, DirectoriesHaveSeparateNameSets) {
    DosNameAllocator allocator;
    EXPECT_EQ(AssignAll(allocator, "", {"games", "readme.txt"}), (std::vector<std::string>{"GAMES", "README.TXT"}));
    EXPECT_EQ(AssignAll(allocator, "GAMES", {"readme.txt", "Readme.txt"}),
              (std::vector<std::string>{"GAMES\\README.TXT", "GAMES\\README~2.TXT"}));
    EXPECT_EQ(AssignAll(allocator, "GAMES\\DOOM", {"readme.txt"}),
              (std::vector<std::string>{"GAMES\\DOOM\\README.TXT"}));
}

TEST(AssignDosName, DosPathsStopAt78Characters) {
    DosNameAllocator allocator;
    const std::string parent65(65, 'D');  // + "\README~2.TXT" = 78
    EXPECT_EQ(AssignAll(allocator, parent65, {"readme.txt", "readme.txt"}),
              (std::vector<std::string>{parent65 + "\\README.TXT", parent65 + "\\README~2.TXT"}));

    const std::string parent66(66, 'D');  // "\README.TXT" fits, "\README~2.TXT" is 79
    EXPECT_TRUE(AssignDosName(allocator, parent66, "readme.txt").ok);
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(AssignDosName(allocator, parent66, "readme.txt").ok);
    // The failures took nothing: only the first name is held there.
    EXPECT_TRUE(allocator.Holds(parent66, "README.TXT"));
    EXPECT_FALSE(allocator.Holds(parent66, "README~2.TXT"));
    EXPECT_EQ(allocator.size(), 3u);
    // Another basis still fits.
    EXPECT_EQ(AssignDosName(allocator, parent66, "ab").dos_path, parent66 + "\\AB");
}

TEST(AssignDosName, GivesUpAfter999Candidates) {
    DosNameAllocator allocator;
    for (int i = 1; i <= 999; ++i) {
        const auto result = AssignDosName(allocator, "", "longname_" + std::to_string(i) + ".txt");
        ASSERT_TRUE(result.ok) << i;
        ASSERT_EQ(result.dos_path, ArchiveMount::NumericTailName("longname.txt", i));
    }
    EXPECT_FALSE(AssignDosName(allocator, "", "longname_1000.txt").ok);
    EXPECT_FALSE(AssignDosName(allocator, "", "longname_1001.txt").ok);
    // The exact basis was never given out: only tails were.
    EXPECT_EQ(AssignDosName(allocator, "", "longname.txt").dos_path, "LONGNAME.TXT");
    EXPECT_FALSE(AssignDosName(allocator, "", "LongName.txt").ok);
}

// The naming rule taken literally: every attempt from 1, one probe each.
class LiteralAllocator {
public:
    std::string Assign(const std::string& parent, const std::string& component) {
        std::set<std::string>& used = used_[parent];
        for (int n = 1; n <= 999; ++n) {
            const std::string candidate = ArchiveMount::MakeShortName(component, n);
            if (candidate.empty()) return "<failed>";
            if (used.contains(candidate)) continue;
            const std::string path = parent.empty() ? candidate : parent + "\\" + candidate;
            if (path.size() > 78) return "<failed>";
            used.insert(candidate);
            return path;
        }
        return "<failed>";
    }

private:
    std::map<std::string, std::set<std::string>> used_;
};

// Bases that collide with one another's tails ("READM~10" is tail 10 of both
// README and READMX), literal tail names, and parents near the length limit.
TEST(AssignDosName, MatchesTheLiteralRuleOnCollidingNames) {
    const std::vector<std::string> stems = {"readme", "readmx", "Read Me", "readme~5", "READM~10", "read~100",
                                            "readmefile", "r", "r~1", "\xC3\xA9", "_", "readme.old"};
    const std::vector<std::string> exts = {".txt", ".TXT", "", ".text", ".t.x"};
    const std::vector<std::string> parents = {"", "A", std::string(64, 'P'), std::string(66, 'Q')};
    std::mt19937 random(20240601);
    DosNameAllocator allocator;
    LiteralAllocator literal;
    for (int i = 0; i < 30000; ++i) {
        const std::string& parent = parents[random() % parents.size()];
        std::string component = stems[random() % stems.size()] + exts[random() % exts.size()];
        if (random() % 4 == 0) component += std::to_string(random() % 2000);
        const auto result = AssignDosName(allocator, parent, component);
        const std::string expected = literal.Assign(parent, component);
        ASSERT_EQ(result.ok ? result.dos_path : "<failed>", expected) << "step " << i << ": " << component;
    }
}

}  // namespace

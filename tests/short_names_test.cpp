#include "mount/short_names.h"

#include <gtest/gtest.h>

namespace {

using ArchiveMount::ComputeShortNameBasis;
using ArchiveMount::MakeShortName;
using ArchiveMount::NumericTailName;

struct ShortNameCase {
    std::string component;
    int attempt;
    std::string expected;
};

TEST(MakeShortName, GivesTheDocumentedCandidates) {
    const ShortNameCase cases[] = {
        {"readme.txt", 1, "README.TXT"},
        {"Read Me.txt", 1, "README~1.TXT"},
        {"archive.tar.gz", 1, "ARCHIV~1.GZ"},
        {"verylongname.txt", 1, "VERYLO~1.TXT"},
        {".profile", 1, "PROFIL~1"},
        {"a.b.c", 1, "A~1.C"},
        {"x.html", 1, "X~1.HTM"},
        {"a+b.txt", 1, "A_B~1.TXT"},
        {"LongFileName.Document", 1, "LONGFI~1.DOC"},
        {"readme.txt", 2, "README~2.TXT"},
        {"readme.txt", 10, "READM~10.TXT"},
        {"readme.txt", 100, "READ~100.TXT"},
        {"noext", 2, "NOEXT~2"},
        {"\xC3\xA9.txt", 1, "_.TXT"},
        {"\xC3\xA9.txt", 2, "_~2.TXT"},
        {"12345678.abc", 1, "12345678.ABC"},
        {"123456789", 1, "123456~1"},
        {"trail. .", 1, "TRAIL~1"},
        {"a\x01", 1, "A_~1"},
        {"x", 999, "X~999"},
        {"x", 1000, "X~1000"},
        {"x", 0, ""},
    };
    for (const ShortNameCase& c : cases) {
        EXPECT_EQ(MakeShortName(c.component, c.attempt), c.expected) << c.component << " #" << c.attempt;
    }
}

TEST(FoldToAscii, TurnsEachNonAsciiGroupIntoOneUnderscore) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain ascii.TXT", "plain ascii.TXT"},
        {"\xC3\xBC", "_"},                  // two-byte sequence
        {"\xE2\x82\xAC", "_"},             // three-byte sequence
        {"\xF0\x9F\x98\x80", "_"},        // four-byte sequence
        {"\xF8\x80\x80", "_"},             // F5..FF take two continuation bytes
        {"\x80\xC1\xBF", "___"},           // bytes that lead nothing stand alone
        {"\xC3", "_"},                      // cut short at the end
        {"\xE2\x82z", "__z"},              // lead and its one continuation, each alone
        {"\xF0\x9F\x98", "___"},
        {"a\xC3\xA9\xC3\xA9" "b", "a__b"},
    };
    for (const auto& [component, expected] : cases) {
        EXPECT_EQ(ArchiveMount::FoldToAscii(component), expected) << component;
    }
}

TEST(ComputeShortNameBasis, SplitsUpperCasesAndFlagsLoss) {
    struct Case {
        std::string input;
        std::string name;
        std::string ext;
        bool lossy;
    };
    const Case cases[] = {
        {"", "_", "", true},
        {".", ".", "", false},
        {"..", "..", "", false},
        {"...", "_", "", true},
        {" . ", "_", "", true},
        {"readme.txt", "README", "TXT", false},
        {"ReadMe", "README", "", false},
        {"a.b.c", "A", "C", true},
        {" lead", "LEAD", "", true},
        {"trail.", "TRAIL", "", true},
        {"a b.t x", "AB", "TX", true},
        {"[x]=y;z", "_X__Y_Z", "", true},
        {"123456789.abcd", "12345678", "ABC", true},
        {"x.", "X", "", true},
        {"x.\x7f", "X", "_", true},
        {"\xC3", "\xC3", "", false},
    };
    for (const Case& c : cases) {
        const auto basis = ComputeShortNameBasis(c.input);
        EXPECT_EQ(basis.name, c.name) << c.input;
        EXPECT_EQ(basis.ext, c.ext) << c.input;
        EXPECT_EQ(basis.lossy, c.lossy) << c.input;
    }
}

TEST(NumericTailName, CutsTheNameToLeaveRoomForTheTail) {
    const std::tuple<std::string, int, std::string> cases[] = {
        {"readme.txt", 1, "README~1.TXT"},
        {"abcdefgh", 9, "ABCDEF~9"},
        {"abcdefgh", 99999, "AB~99999"},
        {"abcdefgh", 999999, "A~999999"},
        {"ab", 123456, "A~123456"},
        {"ab.c", 1000000, ""},
        {"ab.c", 0, ""},
        {"ab.c", -5, ""},
    };
    for (const auto& [input, n, expected] : cases) EXPECT_EQ(NumericTailName(input, n), expected) << input << n;
}

}  // namespace

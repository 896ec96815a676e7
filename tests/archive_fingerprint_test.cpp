#include "mount/archive_fingerprint.h"

#include <gtest/gtest.h>

#include "mount/sha256.h"

namespace {

using ArchiveMount::ComputeFingerprint;
using ArchiveMount::ManifestItem;
using ArchiveMount::Sha256Hex;

constexpr std::uint64_t kStamp = 0x5A2B6C3Du;  // a DOS date and time word

TEST(ComputeFingerprint, HashesTheSortedManifestText) {
    const std::vector<ManifestItem> items = {
        {"b.txt", 12, kStamp, true, 0x2A},
        {"a/c.dat", 0, kStamp, true, 0},
    };
    const std::string s = std::to_string(kStamp);
    EXPECT_EQ(ComputeFingerprint(items, 300),
              Sha256Hex("a/c.dat\t0\t" + s + "\t00000000\nb.txt\t12\t" + s + "\t0000002a\nlength\t300\n"));
}

TEST(ComputeFingerprint, WritesEachFieldInItsForm) {
    struct Case {
        std::vector<ManifestItem> items;
        std::uint64_t length;
        std::string manifest;
    };
    const Case cases[] = {
        {{}, 0, "length\t0\n"},
        {{}, 18446744073709551615u, "length\t18446744073709551615\n"},
        {{{"x", 5, 7, false, 0x1234}}, 9, "x\t5\t7\t-\nlength\t9\n"},
        {{{"x", -3, 18446744073709551615u, true, 0xDEADBEEF}}, 1,
         "x\t-3\t18446744073709551615\tdeadbeef\nlength\t1\n"},
        // Byte order: "B" (0x42) before "a", a prefix before its extensions,
        // and a high byte after every ASCII one.
        {{{"a", 1, 0, true, 1}, {"\xC3\xA9", 1, 0, true, 1}, {"B", 1, 0, true, 1}, {"ab", 1, 0, true, 1}},
         4,
         "B\t1\t0\t00000001\na\t1\t0\t00000001\nab\t1\t0\t00000001\n\xC3\xA9\t1\t0\t00000001\nlength\t4\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(ComputeFingerprint(c.items, c.length), Sha256Hex(c.manifest)) << c.manifest;
}

TEST(ComputeFingerprint, IgnoresOrderButNotContent) {
    const std::vector<ManifestItem> base = {
        {"one.txt", 10, 100, true, 1},
        {"dir/two.bin", 20, 200, true, 2},
        {"three", 30, 300, false, 0},
    };
    const std::string fingerprint = ComputeFingerprint(base, 1000);
    EXPECT_EQ(fingerprint.size(), 64u);
    EXPECT_EQ(fingerprint.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(ComputeFingerprint({base[2], base[0], base[1]}, 1000), fingerprint);

    using Change = void (*)(std::vector<ManifestItem>&);
    const Change changes[] = {
        [](std::vector<ManifestItem>& v) { v[0].path = "One.txt"; },
        [](std::vector<ManifestItem>& v) { v[1].size = 21; },
        [](std::vector<ManifestItem>& v) { v[1].stamp = 201; },
        [](std::vector<ManifestItem>& v) { v[0].crc = 3; },
        [](std::vector<ManifestItem>& v) { v[0].has_crc = false; },
        [](std::vector<ManifestItem>& v) { v[2].has_crc = true; },
        [](std::vector<ManifestItem>& v) { v.pop_back(); },
    };
    for (const Change change : changes) {
        std::vector<ManifestItem> changed = base;
        change(changed);
        EXPECT_NE(ComputeFingerprint(changed, 1000), fingerprint);
    }
    EXPECT_NE(ComputeFingerprint(base, 1001), fingerprint);
}

}  // namespace

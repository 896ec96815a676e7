#include "mount/sha256.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "support/host.h"

namespace {

using ArchiveMount::Sha256Hex;

TEST(Sha256Hex, MatchesTheStandardVectors) {
    EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(Sha256Hex(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Pieces of every size, including ones that end on and straddle block edges.
TEST(Sha256, PiecesGiveTheDigestOfTheWhole) {
    std::mt19937 random(11);
    std::string text(1000, '\0');
    for (char& c : text) c = static_cast<char>(random());
    for (const std::size_t piece : {1u, 7u, 55u, 56u, 63u, 64u, 65u, 129u, 999u}) {
        ArchiveMount::Sha256 digest;
        for (std::size_t at = 0; at < text.size(); at += piece) digest.Update(std::string_view(text).substr(at, piece));
        EXPECT_EQ(digest.HexDigest(), Sha256Hex(text)) << piece;
    }
}

// Every length around the one- and two-block padding boundaries, and a few
// longer ones, against the system's own sha256sum.
TEST(Sha256Hex, AgreesWithCoreutilsAcrossBlockBoundaries) {
    if (testsupport::kWindowsHost) GTEST_SKIP() << "runs Debian's sha256sum, a Linux program";
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 200; ++n) lengths.push_back(n);
    for (const std::size_t n : {255u, 256u, 257u, 1000u, 4095u, 4096u, 65537u, 1u << 20}) lengths.push_back(n);

    const std::filesystem::path dir = std::filesystem::path(testing::TempDir()) / "sha256_vectors";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::mt19937 random(7);
    std::map<std::string, std::string> digests;  // file name -> our digest
    for (const std::size_t n : lengths) {
        std::string bytes(n, '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        const std::string name = "len" + std::to_string(n);
        std::ofstream(dir / name, std::ios::binary) << bytes;
        digests[name] = Sha256Hex(bytes);
    }
    const std::filesystem::path sums = dir / "sums.out";
    const std::string command = "cd '" + dir.string() + "' && sha256sum len* > '" + sums.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    std::ifstream in(sums);
    std::string line;
    std::size_t checked = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string digest, name;
        fields >> digest >> name;
        ASSERT_TRUE(digests.contains(name)) << line;
        EXPECT_EQ(digests[name], digest) << name;
        ++checked;
    }
    EXPECT_EQ(checked, lengths.size());
    std::filesystem::remove_all(dir);
}

}  // namespace

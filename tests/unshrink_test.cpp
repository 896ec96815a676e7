#include "formats/unshrink.h"

#include "support/bit_writer.h"
#include "support/byte_stream.h"
#include "support/legacy_fixtures.h"
#include "support/sample_data.h"
#include "support/shrink_encoder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <set>
#include <utility>

namespace {

using LegacyZip::Status;
using testsupport::CollectingSink;
using testsupport::VectorSource;

struct Result {
    Status status;
    std::string error;
    CollectingSink out;
};

Result Decode(const std::vector<unsigned char>& stream, std::uint64_t declared) {
    Result r{Status::Ok, "(untouched)", {}};
    r.status = LegacyZip::Unshrink(VectorSource(stream), declared, r.out.sink(), &r.error);
    return r;
}

// Packs (code, size) pairs LSB-first, as a shrink stream carries them.
std::vector<unsigned char> Codes(std::initializer_list<std::pair<unsigned, unsigned>> codes) {
    std::vector<unsigned char> out;
    testsupport::BitWriter bits(out);
    for (auto [code, size] : codes) bits.put(code, size);
    bits.flush();
    return out;
}

std::vector<unsigned char> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::uint32_t Crc(const std::vector<unsigned char>& b) {
    return static_cast<std::uint32_t>(crc32(0, b.data(), static_cast<uInt>(b.size())));
}

const std::set<std::string> kMessages = {
    "less output than the declared size",         "more output than the declared size",
    "shrink code size over 13 bits",              "shrink stream overflows the decoding stack",
    "shrink stream overflows the code table",
};

TEST(UnshrinkFixtures, EveryRealMemberDecodesExactly) {
    const auto members = testsupport::LegacyFixtureMembers(1);
    ASSERT_EQ(members.size(), 7u);  // SHRUNK 2, moby 1, zip2 1, Zip.shrink 2, Zip.reduce1 1
    for (const auto& [archive, m] : members) {
        const Result r = Decode(m.data, m.size);
        EXPECT_EQ(r.status, Status::Ok) << archive << " " << m.name << ": " << r.error;
        EXPECT_EQ(r.out.bytes.size(), m.size) << archive << " " << m.name;
        EXPECT_EQ(Crc(r.out.bytes), m.crc32) << archive << " " << m.name;
        EXPECT_EQ(r.error, "(untouched)");
    }
}

struct CodeCase {
    const char* what;
    std::vector<unsigned char> stream;
    std::uint64_t declared;
    Status status;
    std::string output;
    std::string error;
};

TEST(UnshrinkCodes, TableOfHandBuiltStreams) {
    const CodeCase cases[] = {
        {"empty, nothing declared", {}, 0, Status::Ok, "", "(untouched)"},
        {"empty, 5 declared", {}, 5, Status::BadStream, "", "less output than the declared size"},
        {"one code", Codes({{65, 9}}), 1, Status::Ok, "A", "(untouched)"},
        {"one code, nothing declared", Codes({{65, 9}}), 0, Status::BadStream, "",
         "more output than the declared size"},
        {"one code, 2 declared", Codes({{65, 9}}), 2, Status::BadStream, "A", "less output than the declared size"},
        {"defined entry", Codes({{65, 9}, {66, 9}, {257, 9}}), 4, Status::Ok, "ABAB", "(untouched)"},
        {"free code repeats the previous string", Codes({{65, 9}, {257, 9}}), 3, Status::Ok, "AAA", "(untouched)"},
        {"four raises reach 13 bits",
         Codes({{65, 9}, {256, 9}, {1, 9}, {256, 10}, {1, 10}, {256, 11}, {1, 11}, {256, 12}, {1, 12}, {66, 13}}), 2,
         Status::Ok, "AB", "(untouched)"},
        {"a fifth raise",
         Codes({{65, 9}, {256, 9}, {1, 9}, {256, 10}, {1, 10}, {256, 11}, {1, 11}, {256, 12}, {1, 12}, {256, 13},
                {1, 13}}),
         1, Status::BadStream, "", "shrink code size over 13 bits"},
        {"unknown control code ignored", Codes({{65, 9}, {256, 9}, {3, 9}, {66, 9}, {257, 9}}), 4, Status::Ok, "ABAB",
         "(untouched)"},
        {"control code cut off", Codes({{65, 9}, {256, 9}}), 1, Status::Ok, "A", "(untouched)"},
        // 258 stays free and refers to itself through the previous code.
        {"endless string", Codes({{65, 9}, {258, 9}, {258, 9}}), 10, Status::BadStream, "",
         "shrink stream overflows the decoding stack"},
        // A first code of 256 is output as its low byte; a free code after it is that byte alone.
        {"first code 256", Codes({{256, 9}, {300, 9}}), 2, Status::Ok, std::string(2, '\0'), "(untouched)"},
        // Codes 257..261 hold AB BC CA ABB BCA; the clear keeps 257 and 258 (parents of 260 and 261).
        // The next entries take 259 and 260 again: AB after B, then BA.
        {"partial clear reuses the lowest freed code",
         Codes({{65, 9}, {66, 9}, {67, 9}, {257, 9}, {258, 9}, {65, 9}, {256, 9}, {2, 9}, {66, 9}, {259, 9},
                {258, 9}, {260, 9}}),
         15, Status::Ok, "ABCABBCABABBCBA", "(untouched)"},
    };
    for (const CodeCase& c : cases) {
        const Result r = Decode(c.stream, c.declared);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(std::string(r.out.bytes.begin(), r.out.bytes.end()), c.output) << c.what;
        EXPECT_EQ(r.error, c.error) << c.what;
    }
}

TEST(UnshrinkCodes, FullCodeTableWithoutClearFails) {
    // Every code after the first adds an entry: 7935 of them fill 257..8191.
    std::vector<unsigned char> stream;
    testsupport::BitWriter bits(stream);
    for (int i = 0; i < 1 + 7935 + 1; ++i) bits.put('a' + i % 26, 9);
    bits.flush();
    const Result full = Decode(std::vector<unsigned char>(stream.begin(), stream.end() - 2), 7936);
    EXPECT_EQ(full.status, Status::Ok) << full.error;
    const Result over = Decode(stream, 7937);
    EXPECT_EQ(over.status, Status::BadStream);
    EXPECT_EQ(over.error, "shrink stream overflows the code table");
    EXPECT_TRUE(over.out.bytes.empty());
}

TEST(UnshrinkOutput, SinkGetsFullBlocksAndTheRest) {
    const auto data = testsupport::WordText(40000);
    const Result r = Decode(testsupport::ShrinkEncode(data), data.size());
    ASSERT_EQ(r.status, Status::Ok) << r.error;
    EXPECT_EQ(r.out.calls, (std::vector<unsigned long long>{32768, 7232}));
    EXPECT_EQ(r.out.bytes, data);
}

TEST(UnshrinkOutput, RefusedFirstBlock) {
    const auto data = testsupport::WordText(40000);
    int calls = 0;
    std::string error;
    const Status status = LegacyZip::Unshrink(
        VectorSource(testsupport::ShrinkEncode(data)), data.size(),
        [&](const unsigned char*, unsigned long long) { return ++calls, false; }, &error);
    EXPECT_EQ(status, Status::OutputRefused);
    EXPECT_EQ(error, "the output was not taken");
    EXPECT_EQ(calls, 1);
}

struct RoundTrip {
    const char* what;
    std::vector<unsigned char> data;
    testsupport::ShrinkOptions options;
    unsigned code_size;       // the widest code the stream must use
    bool clears;              // whether it must hold partial clears
    std::size_t longest;      // a string at least this long
};

TEST(UnshrinkRoundTrip, OurEncoderReachesTheLimits) {
    // 1 + 2 + ... + 7936 bytes fill the table with one chain.
    std::vector<unsigned char> run(33'000'000, 'x');
    const RoundTrip cases[] = {
        {"1 MiB of text", testsupport::WordText(1 << 20), {}, 13, true, 12},
        {"text, clear every 2000 codes", testsupport::WordText(300000, 7), {2000}, 13, true, 8},
        {"random bytes", testsupport::RandomBytes(200000), {}, 13, true, 2},
        // One long run: each code is one byte longer than the last, up to a full table.
        {"one long run", run, {}, 13, true, 7900},
        {"one byte", Bytes("z"), {}, 9, false, 1},
    };
    for (const RoundTrip& c : cases) {
        testsupport::ShrinkStats stats;
        const auto stream = testsupport::ShrinkEncode(c.data, c.options, &stats);
        EXPECT_EQ(stats.code_size, c.code_size) << c.what;
        EXPECT_EQ(stats.clears > 0, c.clears) << c.what;
        EXPECT_GE(stats.longest_string, c.longest) << c.what;
        const Result r = Decode(stream, c.data.size());
        EXPECT_EQ(r.status, Status::Ok) << c.what << ": " << r.error;
        EXPECT_TRUE(r.out.bytes == c.data) << c.what;
    }
}

// Real members damaged in every way that is cheap to enumerate: TEST.EXE
// holds partial clears, FIRST.TXT is small enough to flip every bit.
class UnshrinkDamage : public ::testing::Test {
protected:
    void SetUp() override {
        for (auto& [archive, m] : testsupport::LegacyFixtureMembers(1)) {
            if (archive == "Zip.shrink.zip" && m.name == "TEST.EXE") member = m;
            if (archive == "zip2-shrink.zip") small = m;
        }
        ASSERT_FALSE(member.data.empty());
        ASSERT_FALSE(small.data.empty());
    }
    void ExpectCleanFailure(const Result& r, const std::string& what) {
        EXPECT_EQ(r.status, Status::BadStream) << what;
        EXPECT_TRUE(kMessages.count(r.error)) << what << ": " << r.error;
    }
    testsupport::MemberStream member;
    testsupport::MemberStream small;
};

TEST_F(UnshrinkDamage, EveryTruncationFails) {
    for (std::size_t cut = 0; cut < member.data.size(); ++cut) {
        const std::vector<unsigned char> part(member.data.begin(), member.data.begin() + static_cast<long>(cut));
        const Result r = Decode(part, member.size);
        ExpectCleanFailure(r, "cut at " + std::to_string(cut));
        EXPECT_LE(r.out.bytes.size(), member.size);
    }
}

TEST_F(UnshrinkDamage, DeclaredSizeOneOff) {
    const Result shorter = Decode(member.data, member.size - 1);
    EXPECT_EQ(shorter.error, "more output than the declared size");
    const Result longer = Decode(member.data, member.size + 1);
    EXPECT_EQ(longer.error, "less output than the declared size");
    EXPECT_EQ(Crc(longer.out.bytes), member.crc32);
}

TEST_F(UnshrinkDamage, EveryFlippedBitEndsCleanly) {
    for (std::size_t bit = 0; bit < small.data.size() * 8; ++bit) {
        auto damaged = small.data;
        damaged[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
        const Result r = Decode(damaged, small.size);
        if (r.status == Status::Ok)
            EXPECT_EQ(r.out.bytes.size(), small.size);
        else
            ExpectCleanFailure(r, "bit " + std::to_string(bit));
    }
}

}  // namespace

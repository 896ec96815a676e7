#include "formats/explode.h"

#include "support/bit_writer.h"
#include "support/byte_stream.h"
#include "support/implode_encoder.h"
#include "support/legacy_fixtures.h"
#include "support/sample_data.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <set>

namespace {

using LegacyZip::Status;
using testsupport::CollectingSink;
using testsupport::ImplodeKind;
using testsupport::VectorSource;

struct Result {
    Status status;
    std::string error;
    CollectingSink out;
};

Result Decode(const std::vector<unsigned char>& stream, std::uint64_t declared, ImplodeKind kind,
              std::size_t chunk = 4096) {
    Result r{Status::Ok, "(untouched)", {}};
    r.status = LegacyZip::Explode(VectorSource(stream, chunk), stream.size(), declared, kind.dictionary_8k,
                                  kind.literal_tree, r.out.sink(), &r.error);
    return r;
}

std::uint32_t Crc(const std::vector<unsigned char>& b) {
    return static_cast<std::uint32_t>(crc32(0, b.data(), static_cast<uInt>(b.size())));
}

constexpr ImplodeKind k4k2{false, false};
constexpr ImplodeKind k4k3{false, true};
constexpr ImplodeKind k8k2{true, false};
constexpr ImplodeKind k8k3{true, true};

// Hand-written streams with flat codes: 8-bit literals, 6-bit lengths and
// distances, so symbol s has the code s (sent complemented, first bit lowest).
class FlatStream {
public:
    explicit FlatStream(ImplodeKind kind, std::vector<unsigned char> trees = {}) : kind_(kind) {
        if (trees.empty()) {
            if (kind.literal_tree) trees = Tree(16, 0xF7);
            for (int t = 0; t < 2; ++t) {
                const auto six = Tree(4, 0xF5);
                trees.insert(trees.end(), six.begin(), six.end());
            }
        }
        bytes_ = trees;
    }
    // A description of `runs` bytes all equal to `run`.
    static std::vector<unsigned char> Tree(unsigned runs, unsigned char run) {
        std::vector<unsigned char> d(runs + 1, run);
        d[0] = static_cast<unsigned char>(runs - 1);
        return d;
    }
    FlatStream& literal(unsigned char c) {
        bits_.put(1, 1);
        if (kind_.literal_tree)
            code(c, 8);
        else
            bits_.put(c, 8);
        return *this;
    }
    FlatStream& match(unsigned distance, unsigned length_symbol, unsigned extra = 0) {
        const unsigned low = kind_.dictionary_8k ? 7 : 6;
        bits_.put(0, 1);
        bits_.put((distance - 1) & ((1u << low) - 1), low);
        code((distance - 1) >> low, 6);
        code(length_symbol, 6);
        if (length_symbol == 63) bits_.put(extra, 8);
        return *this;
    }
    FlatStream& zero_byte() {
        bits_.flush();
        bytes_.push_back(0);
        return *this;
    }
    std::vector<unsigned char> bytes() {
        bits_.flush();
        return bytes_;
    }

private:
    void code(unsigned symbol, unsigned length) {
        unsigned reversed = 0;
        for (unsigned i = 0; i < length; ++i) reversed |= ((~symbol >> (length - 1 - i)) & 1) << i;
        bits_.put(reversed, length);
    }
    ImplodeKind kind_;
    std::vector<unsigned char> bytes_;
    testsupport::BitWriter bits_{bytes_};
};

std::vector<unsigned char> Cat(std::initializer_list<std::vector<unsigned char>> parts) {
    std::vector<unsigned char> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const std::set<std::string> kPastEndMessages = {
    "the implode stream ends early",         "invalid literal in the implode stream",
    "invalid distance in the implode stream", "invalid length in the implode stream",
    "the implode stream needed bytes past its end",
};

TEST(ExplodeFixtures, EveryRealMemberDecodesExactly) {
    const auto members = testsupport::LegacyFixtureMembers(6);
    ASSERT_EQ(members.size(), 140u);  // commons-compress 137, zip2 1, Zip.implode 2
    for (const auto& [archive, m] : members) {
        const ImplodeKind kind{(m.flags & 2) != 0, (m.flags & 4) != 0};
        const Result r = Decode(m.data, m.size, kind);
        EXPECT_EQ(r.status, Status::Ok) << archive << " " << m.name << ": " << r.error;
        EXPECT_EQ(r.out.bytes.size(), m.size) << archive << " " << m.name;
        EXPECT_EQ(Crc(r.out.bytes), m.crc32) << archive << " " << m.name;
    }
}

struct StreamCase {
    const char* what;
    ImplodeKind kind;
    std::vector<unsigned char> stream;
    std::uint64_t declared;
    Status status;
    std::string output;
    std::string error;
};

TEST(ExplodeStreams, TableOfHandBuiltStreams) {
    const auto six = FlatStream::Tree(4, 0xF5);
    const std::string A320 = "A" + std::string(320, 'A');
    const StreamCase cases[] = {
        {"trees only, nothing declared", k8k3, FlatStream(k8k3).bytes(), 0, Status::Ok, "", "(untouched)"},
        {"literal tree of 255 symbols", k4k3, Cat({FlatStream::Tree(15, 0xF7), {0xE7}, six, six}), 0,
         Status::BadStream, "", "invalid literal code in the implode stream"},
        {"literal tree of 257 symbols", k4k3, Cat({{16}, std::vector<unsigned char>(16, 0xF7), {0x07}, six, six}), 0,
         Status::BadStream, "", "invalid literal code in the implode stream"},
        {"sixty-four 7-bit length codes", k4k2, Cat({FlatStream::Tree(4, 0xF6), six}), 0, Status::BadStream, "",
         "invalid length code in the implode stream"},
        {"sixty-four 5-bit distance codes", k4k2, Cat({six, FlatStream::Tree(4, 0xF4)}), 0, Status::BadStream, "",
         "invalid distance code in the implode stream"},
        {"description cut short", k4k2, Cat({six, {3, 0xF5}}), 0, Status::BadStream, "",
         "invalid distance code in the implode stream"},
        {"length symbol 0, two trees", k4k2, FlatStream(k4k2).literal('A').match(1, 0).bytes(), 3, Status::Ok, "AAA",
         "(untouched)"},
        {"length symbol 0, three trees", k4k3, FlatStream(k4k3).literal('A').match(1, 0).bytes(), 4, Status::Ok,
         "AAAA", "(untouched)"},
        {"length symbol 63 + 255, two trees", k8k2, FlatStream(k8k2).literal('A').match(1, 63, 255).bytes(), 321,
         Status::Ok, A320, "(untouched)"},
        {"length symbol 63 + 255, three trees", k8k3, FlatStream(k8k3).literal('A').match(1, 63, 255).bytes(), 322,
         Status::Ok, A320 + "A", "(untouched)"},
        {"overlapping copy", k4k2, FlatStream(k4k2).literal('A').match(1, 3).bytes(), 6, Status::Ok, "AAAAAA",
         "(untouched)"},
        {"match before the start", k4k2, FlatStream(k4k2).match(1, 3).literal('B').bytes(), 6, Status::Ok,
         std::string(5, '\0') + "B", "(untouched)"},
        {"farthest 8 KiB match before the start", k8k3, FlatStream(k8k3).literal('C').match(8192, 0).bytes(), 4,
         Status::Ok, std::string("C\0\0\0", 4), "(untouched)"},
        {"farthest 4 KiB match", k4k2, FlatStream(k4k2).literal('C').match(4096, 1).bytes(), 4, Status::Ok,
         std::string("C\0\0\0", 4), "(untouched)"},
        {"last match longer than declared", k4k2, FlatStream(k4k2).literal('A').match(1, 3).bytes(), 3,
         Status::BadStream, "", "more output than the declared size"},
        {"spare bytes after the last code", k4k2, Cat({FlatStream(k4k2).literal('Q').bytes(), {0xFF, 0x12, 0}}), 1,
         Status::Ok, "Q", "(untouched)"},
        // The stream's zero bits continue in filler bytes: zero flag bits make matches of
        // 27 bits each, and the step that needs the fifth filler byte fails.
        {"filler runs out at the low distance bits", k4k2, FlatStream(k4k2).bytes(), 1000, Status::BadStream, "",
         "the implode stream ends early"},
        {"filler runs out in a distance code", k4k2, FlatStream(k4k2).literal('x').bytes(), 1000, Status::BadStream,
         "", "invalid distance in the implode stream"},
        {"filler runs out in a length code", k4k2,
         FlatStream(k4k2).literal('x').literal('y').literal('z').zero_byte().bytes(), 1000, Status::BadStream, "",
         "invalid length in the implode stream"},
    };
    for (const StreamCase& c : cases) {
        const Result r = Decode(c.stream, c.declared, c.kind);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(std::string(r.out.bytes.begin(), r.out.bytes.end()), c.output) << c.what;
        EXPECT_EQ(r.error, c.error) << c.what;
        EXPECT_EQ(r.out.calls.empty(), c.output.empty()) << c.what;
    }
}

TEST(ExplodeStreams, LastCodeInFillerIsCaught) {
    // A raw literal 0x00 is nine bits: its last bit lies in the second byte.
    const auto stream = FlatStream(k4k2).literal(0).bytes();
    const Result whole = Decode(stream, 1, k4k2);
    EXPECT_EQ(whole.status, Status::Ok) << whole.error;
    const Result cut = Decode(std::vector<unsigned char>(stream.begin(), stream.end() - 1), 1, k4k2);
    EXPECT_EQ(cut.status, Status::BadStream);
    EXPECT_EQ(cut.error, "the implode stream needed bytes past its end");
    EXPECT_EQ(cut.out.bytes, std::vector<unsigned char>{0});
}

TEST(ExplodeStreams, NeverAsksForMoreThanTheCompressedSize) {
    const auto stream = FlatStream(k4k2).literal('x').bytes();
    const auto padded = Cat({stream, std::vector<unsigned char>(10000, 0xAB)});
    unsigned long long asked = 0, delivered = 0;
    auto inner = VectorSource(padded);
    const LegacyZip::ByteSource counting = [&](unsigned char* buffer, unsigned long long capacity) {
        asked += capacity;
        const auto n = inner(buffer, capacity);
        delivered += n;
        return n;
    };
    CollectingSink out;
    std::string error;
    EXPECT_EQ(LegacyZip::Explode(counting, stream.size(), 1, false, false, out.sink(), &error), Status::Ok) << error;
    EXPECT_EQ(asked, stream.size());
    EXPECT_EQ(delivered, stream.size());
}

TEST(ExplodeOutput, BlocksAndRefusal) {
    const auto data = testsupport::WordText(40000);
    const auto stream = testsupport::ImplodeEncode(data, k8k3);
    const Result r = Decode(stream, data.size(), k8k3);
    ASSERT_EQ(r.status, Status::Ok) << r.error;
    EXPECT_EQ(r.out.calls, (std::vector<unsigned long long>{32768, 7232}));
    EXPECT_EQ(r.out.bytes, data);

    std::string error;
    int calls = 0;
    EXPECT_EQ(LegacyZip::Explode(
                  VectorSource(stream), stream.size(), data.size(), true, true,
                  [&](const unsigned char*, unsigned long long) { return ++calls, false; }, &error),
              Status::OutputRefused);
    EXPECT_EQ(error, "the output was not taken");
    EXPECT_EQ(calls, 1);
}

TEST(ExplodeRoundTrip, EveryKindOnEveryShapeOfData) {
    std::vector<unsigned char> zeros_first(20000, 0);
    const auto text = testsupport::WordText(1 << 20, 3);
    zeros_first.insert(zeros_first.end(), text.begin(), text.begin() + 50000);
    const struct {
        const char* what;
        std::vector<unsigned char> data;
        std::size_t chunk;
    } inputs[] = {
        {"1 MiB of text", text, 4096},
        {"text read 7 bytes at a time", testsupport::WordText(100000, 9), 7},
        {"zeros first: matches before the start", zeros_first, 4096},
        {"long runs: length symbol 63", std::vector<unsigned char>(200000, 'r'), 4096},
        {"random bytes: over 200000 compressed bytes", testsupport::RandomBytes(300000), 4096},
    };
    for (const ImplodeKind kind : {k4k2, k4k3, k8k2, k8k3}) {
        for (const auto& in : inputs) {
            const auto stream = testsupport::ImplodeEncode(in.data, kind);
            const Result r = Decode(stream, in.data.size(), kind, in.chunk);
            EXPECT_EQ(r.status, Status::Ok) << in.what << " flags " << kind.flags() << ": " << r.error;
            EXPECT_TRUE(r.out.bytes == in.data) << in.what << " flags " << kind.flags();
        }
    }
}

class ExplodeDamage : public ::testing::Test {
protected:
    void SetUp() override {
        for (auto& [archive, m] : testsupport::LegacyFixtureMembers(6)) {
            if (archive == "imploding-8Kdict-3trees.zip") three = m;
            if (archive == "imploding-4Kdict-2trees.zip") two = m;
        }
        ASSERT_FALSE(three.data.empty());
        ASSERT_FALSE(two.data.empty());
    }
    static ImplodeKind KindOf(const testsupport::MemberStream& m) { return {(m.flags & 2) != 0, (m.flags & 4) != 0}; }
    testsupport::MemberStream three, two;
};

TEST_F(ExplodeDamage, EveryTruncationFailsWithAPastEndMessage) {
    for (const auto* m : {&three, &two}) {
        std::set<std::string> seen;
        for (std::size_t cut = 0; cut < m->data.size(); ++cut) {
            const std::vector<unsigned char> part(m->data.begin(), m->data.begin() + static_cast<long>(cut));
            const Result r = Decode(part, m->size, KindOf(*m));
            ASSERT_EQ(r.status, Status::BadStream) << m->name << " cut at " << cut;
            seen.insert(r.error);
        }
        for (const auto& message : seen) {
            const bool tree = message.find(" code in the implode stream") != std::string::npos;
            // Zero filler bits read as matches, which can overshoot the declared size.
            const bool overshoot = message == "more output than the declared size";
            EXPECT_TRUE(tree || overshoot || kPastEndMessages.count(message)) << m->name << ": " << message;
        }
        EXPECT_TRUE(seen.count("the implode stream ends early")) << m->name;
    }
}

TEST_F(ExplodeDamage, DeclaredSizeOneOff) {
    for (const auto* m : {&three, &two}) {
        // One short: a last literal is simply not read; a last match overshoots.
        const Result shorter = Decode(m->data, m->size - 1, KindOf(*m));
        if (shorter.status == Status::Ok)
            EXPECT_EQ(shorter.out.bytes.size(), m->size - 1) << m->name;
        else
            EXPECT_EQ(shorter.error, "more output than the declared size") << m->name;
        const Result longer = Decode(m->data, m->size + 1, KindOf(*m));
        EXPECT_EQ(longer.status, Status::BadStream) << m->name;
        EXPECT_TRUE(kPastEndMessages.count(longer.error)) << m->name << ": " << longer.error;
    }
}

TEST_F(ExplodeDamage, EveryFlippedBitEndsCleanly) {
    for (std::size_t bit = 0; bit < two.data.size() * 8; ++bit) {
        auto damaged = two.data;
        damaged[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
        const Result r = Decode(damaged, two.size, KindOf(two));
        EXPECT_LE(r.out.bytes.size(), two.size);
        if (r.status == Status::Ok) {
            EXPECT_EQ(r.out.bytes.size(), two.size);
        } else {
            EXPECT_TRUE(kPastEndMessages.count(r.error) || r.error == "more output than the declared size" ||
                        r.error.find(" code in the implode stream") != std::string::npos)
                << "bit " << bit << ": " << r.error;
        }
    }
}

}  // namespace

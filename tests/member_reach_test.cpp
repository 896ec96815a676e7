// Reaching a member the cheap way (a ZIP member shown on its own, a handle
// kept from the last request) and streaming the library's blocks as they
// are, against the literal walk from the first header and the library's own
// copying read: for every member of every archive here, intact, damaged or
// cut short, in any order, repeated and between failing requests, both give
// the same code, message and bytes (of a failed member, as far as both got).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "mount/archive_sources.h"
#include "mount/library_setup.h"
#include "mount/member_materialization.h"
#include "support/archive_builder.h"
#include "support/temp_dir.h"
#include "support/zip_image_writer.h"

namespace {

using ArchiveMount::ArchiveReader;
using ArchiveMount::Error;
using testsupport::BuildArchive;
using testsupport::Compression;
using testsupport::Container;
namespace fs = std::filesystem;

struct Answer {
    Error code = Error::Ok;
    std::string message;
    std::vector<unsigned char> bytes;
};

// A failed member's bytes are what reached the sink before the failure, in
// pieces of the reader's choosing: only a prefix of the same stream is asked.
bool operator==(const Answer& a, const Answer& b) {
    if (a.code != b.code || a.message != b.message) return false;
    if (a.code == Error::Ok) return a.bytes == b.bytes;
    const std::size_t common = std::min(a.bytes.size(), b.bytes.size());
    return std::equal(a.bytes.begin(), a.bytes.begin() + common, b.bytes.begin());
}

std::string Show(const Answer& answer) {
    return std::to_string(static_cast<int>(answer.code)) + " '" + answer.message + "' " +
           std::to_string(answer.bytes.size()) + " bytes";
}

// The library's copying read, 64 KiB at a time (holes come as zeros), under
// the same size checks as the streaming of its blocks.
Error CopyingRead(struct archive* archive, const ArchiveMount::Entry& entry, Answer& answer) {
    std::vector<unsigned char> buffer(0x10000);
    std::int64_t total = 0;
    for (;;) {
        const la_ssize_t count = archive_read_data(archive, buffer.data(), buffer.size());
        if (count < 0) {
            answer.message = ArchiveMount::LibraryErrorText(archive, "read failed");
            return Error::Damaged;
        }
        if (count == 0) {
            if (total == entry.size) return Error::Ok;
            answer.message = "member shorter than its declared size";
            return Error::Damaged;
        }
        total += count;
        if (total > entry.size) {
            answer.message = "member longer than its declared size";
            return Error::Damaged;
        }
        answer.bytes.insert(answer.bytes.end(), buffer.begin(), buffer.begin() + count);
    }
}

// The literal answer: every check of Materialize, and for a member the
// library decodes, a fresh handle walked from the first header and read by
// the library's copying read.
Answer Literal(const ArchiveReader::Impl& impl, int ordinal) {
    Answer answer;
    answer.code = ArchiveMount::CheckUnchanged(impl, &answer.message);
    if (answer.code != Error::Ok) return answer;
    const ArchiveMount::Entry* entry = ArchiveMount::FindFileEntry(impl, ordinal);
    if (entry == nullptr) {
        answer.code = Error::NoSuchEntry;
        answer.message = "no such member";
        return answer;
    }
    const MemberSink append = [&](const unsigned char* data, unsigned long long count) {
        answer.bytes.insert(answer.bytes.end(), data, data + count);
        return true;
    };
    MemberProducer produce = impl.isz_image
                                               ? ArchiveMount::IszProducer(impl, &answer.message)
                                               : ArchiveMount::LegacyProducer(impl, ordinal, *entry, &answer.message);
    if (produce) {
        answer.code = produce(append);
        if (answer.code != Error::Ok) answer.bytes.clear();
        return answer;
    }
    ArchiveMount::LibraryHandle handle;
    answer.code = impl.seek_ordinal(ordinal, handle, &answer.message);
    if (answer.code == Error::Ok) answer.code = CopyingRead(handle.archive, *entry, answer);
    return answer;
}

Answer Fast(ArchiveReader& reader, int ordinal) {
    Answer answer;
    answer.code = reader.Materialize(ordinal, answer.bytes, &answer.message);
    return answer;
}

// Requests in the order given, each answered by the reader under test and by
// the literal walk.
void ExpectSameAnswers(ArchiveReader& reader, const std::vector<int>& ordinals) {
    for (const int ordinal : ordinals) {
        const Answer literal = Literal(reader.impl(), ordinal);
        const Answer fast = Fast(reader, ordinal);
        EXPECT_EQ(fast, literal) << "ordinal " << ordinal << ": " << Show(fast) << " against " << Show(literal);
    }
}

std::vector<testsupport::Member> Members() {
    std::string text;
    for (int line = 0; text.size() < 150000; ++line) text += "line " + std::to_string(line * 7919 % 10007) + "\n";
    std::string noise(70000, '\0');
    std::mt19937 random(3);
    for (char& c : noise) c = static_cast<char>(random());
    return {{"README.TXT", "read me\n"},
            {"empty.dat", ""},
            {"game/level1.dat", text},
            {"game", "", 1700000000, true},
            {"game/sounds/boom.wav", noise},
            {"exactly64k.bin", std::string(65536, 'x')},
            {"game/level2.dat", text.substr(1000, 90000)},
            {"last.txt", "the end\n"}};
}

// Copies of `archive` with a run of bytes flipped in the middle of the member
// data that holds `inside`, and cut short at several points.
std::vector<std::pair<std::string, std::string>> Damaged(const std::string& archive, const std::string& inside) {
    std::vector<std::pair<std::string, std::string>> out;
    const std::size_t at = archive.find(inside);
    if (at != std::string::npos) {
        std::string flipped = archive;
        for (std::size_t i = at + inside.size() / 2; i < std::min(flipped.size(), at + inside.size() / 2 + 16); ++i)
            flipped[i] = static_cast<char>(~flipped[i]);
        out.push_back({"flipped", flipped});
    }
    for (const std::size_t percent : {35u, 70u, 97u})
        out.push_back({"cut at " + std::to_string(percent) + "%", archive.substr(0, archive.size() * percent / 100)});
    return out;
}

class MemberReach : public testing::Test {
protected:
    // Opens `bytes` as `name`; null when the open refuses it (a damaged copy
    // may be refused whole, which leaves nothing to compare).
    std::unique_ptr<ArchiveMount::ArchiveSource> Open(const std::string& name, const std::string& bytes) {
        const fs::path path = dir.WriteFile(name, bytes);
        ArchiveMount::OpenResult result;
        ArchiveMount::OpenArchivePath(result, path, {1000, INT64_MAX, INT64_MAX});
        return std::move(result.reader);
    }

    // Every ordinal the index names, a directory's, and some it does not,
    // each twice, shuffled; then all of them ascending and descending.
    static std::vector<int> Requests(const ArchiveReader& reader, unsigned seed) {
        std::vector<int> ordinals = {-1, 999, 5000};
        int highest = 0;
        for (const auto& entry : reader.Entries()) {
            ordinals.push_back(entry.ordinal);
            highest = std::max(highest, entry.ordinal);
        }
        ordinals.push_back(highest + 1);
        std::vector<int> requests = ordinals;
        requests.insert(requests.end(), ordinals.begin(), ordinals.end());
        std::shuffle(requests.begin(), requests.end(), std::mt19937(seed));
        std::sort(ordinals.begin(), ordinals.end());
        requests.insert(requests.end(), ordinals.begin(), ordinals.end());
        requests.insert(requests.end(), ordinals.rbegin(), ordinals.rend());
        return requests;
    }

    void Compare(const std::string& name, const std::string& bytes, const std::string& inside) {
        std::vector<std::pair<std::string, std::string>> variants = {{"intact", bytes}};
        for (auto& damaged : Damaged(bytes, inside)) variants.push_back(std::move(damaged));
        for (const auto& [what, variant] : variants) {
            SCOPED_TRACE(name + ", " + what);
            auto source = Open(name, variant);
            if (what == "intact") {
                ASSERT_NE(source, nullptr) << "the intact archive must open";
            }
            if (!source) continue;
            auto& reader = static_cast<ArchiveReader&>(*source);
            ExpectSameAnswers(reader, Requests(reader, static_cast<unsigned>(variant.size())));
        }
    }

    testsupport::TempDir dir;
};

TEST_F(MemberReach, EveryKindTheLibraryDecodesAnswersAsTheLiteralWalk) {
    const auto members = Members();
    const std::string inside = members[4].bytes;  // the incompressible member
    struct Case {
        const char* name;
        Container container;
        Compression compression;
    };
    const Case cases[] = {
        {"a.zip", Container::ZipDeflate, Compression::None},
        {"stored.zip", Container::ZipStored, Compression::None},
        {"a.7z", Container::SevenZip, Compression::None},
        {"a.tar", Container::Ustar, Compression::None},
        {"pax.tar", Container::Pax, Compression::None},
        {"a.iso", Container::Iso9660, Compression::None},
        {"a.tar.gz", Container::Ustar, Compression::Gzip},
        {"a.tar.bz2", Container::Ustar, Compression::Bzip2},
        {"a.tar.xz", Container::Ustar, Compression::Xz},
        {"a.tar.zst", Container::Ustar, Compression::Zstd},
        {"a.tar.lzma", Container::Ustar, Compression::Lzma},
    };
    for (const Case& c : cases) Compare(c.name, BuildArchive(c.container, members, c.compression), inside);
    Compare("disk.img.gz", BuildArchive(Container::Raw, {{"disk.img", inside}}, Compression::Gzip), inside);
}

// A sparse member comes out with its holes as zeros: holes between, before
// and after its data, and one whose data ends on a 64 KiB boundary before a
// last hole.
TEST_F(MemberReach, SparseTarMembersAnswerAsTheLibraryCopyingRead) {
    const std::string noise = Members()[4].bytes;
    const auto sparse = [](std::size_t size, std::vector<std::pair<std::int64_t, std::int64_t>> extents,
                           const std::string& data) {
        std::string bytes(size, '\0');
        for (const auto& [offset, length] : extents) bytes.replace(offset, length, data.substr(0, length));
        return testsupport::Member{"", bytes, 1700000000, false, extents};
    };
    std::vector<testsupport::Member> members = {
        sparse(300000, {{0, 1000}, {131072, 70000}}, noise),
        sparse(200000, {{150000, 500}}, noise),
        sparse(200000, {{0, 65536}}, noise),
        {"after.txt", "after the holes\n"},
    };
    members[0].name = "holes.bin";
    members[1].name = "late.bin";
    members[2].name = "edge.bin";
    for (const auto compression : {Compression::None, Compression::Gzip})
        Compare(compression == Compression::None ? "sparse.tar" : "sparse.tar.gz",
                BuildArchive(Container::Pax, members, compression), noise.substr(0, 5000));
}

TEST_F(MemberReach, RarArchivesAndLegacyZipMembersAnswerAsTheLiteralWalk) {
    for (const char* fixture : {"libarchive/rar4-compressed.rar", "libarchive/rar5-compressed.rar",
                                "libarchive/rar5-solid.rar", "legacy-zip/zip2-implode.zip",
                                "legacy-zip/Zip.shrink.zip"}) {
        std::ifstream file(std::string(OMBREX_FIXTURES_DIR) + "/" + fixture, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        ASSERT_FALSE(bytes.empty()) << fixture;
        // Some member's data from the middle of the file, for the flipped copy.
        Compare(fs::path(fixture).filename().string(), bytes, bytes.substr(bytes.size() / 2, 64));
    }
}

// A ZIP behind a prefix and a ZIP read through a window: the member's own
// view starts where its local header lies, wherever the archive starts.
TEST_F(MemberReach, ZipsThatDoNotStartTheFileAnswerAsTheLiteralWalk) {
    const auto members = Members();
    const std::string zip = BuildArchive(Container::ZipDeflate, members);
    Compare("setup.zip", std::string(5000, 'M') + zip, members[4].bytes);

    const std::string outer = std::string(777, 'P') + zip + std::string(99, 'Q');
    const fs::path path = dir.WriteFile("outer.bin", outer);
    const platform::Descriptor descriptor = ArchiveMount::OpenArchiveFile(path);
    ArchiveMount::OpenResult result;
    ArchiveMount::OpenArchiveDescriptor(result, descriptor.get(), path, {1000, INT64_MAX, INT64_MAX},
                                        {777, static_cast<std::int64_t>(zip.size()), true});
    ASSERT_EQ(result.error, Error::Ok) << result.message;
    auto& reader = static_cast<ArchiveReader&>(*result.reader);
    ExpectSameAnswers(reader, Requests(reader, 11));
}

// Central headers that need care when shown alone: one whose offset sits in
// its ZIP64 block, and one whose comment ends like a ZIP64 locator, which the
// library would take for one right before the end record (that member is
// walked to instead). Both answer as the walk does.
TEST_F(MemberReach, CentralHeadersShownAloneOrWalkedToAnswerAsTheLiteralWalk) {
    testsupport::ZipEntryFields zip64 = testsupport::StoredEntry("wide.txt", testsupport::Bytes(300, 'w'));
    zip64.zip64 = true;
    testsupport::ZipEntryFields lookalike = testsupport::StoredEntry("odd.txt", testsupport::Bytes(200, 'o'));
    lookalike.comment = {0x50, 0x4b, 0x06, 0x07, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
    testsupport::ZipImageWriter writer;
    writer.Add(testsupport::StoredEntry("plain.txt", testsupport::Bytes(100, 'p'))).Add(zip64).Add(lookalike);
    const testsupport::Bytes image = writer.Build();
    const fs::path path = dir.WriteFile("care.zip", std::string(image.begin(), image.end()));
    ArchiveMount::OpenResult result;
    ArchiveMount::OpenArchivePath(result, path, {1000, INT64_MAX, INT64_MAX});
    ASSERT_EQ(result.error, Error::Ok) << result.message;
    auto& reader = static_cast<ArchiveReader&>(*result.reader);
    const auto& impl = reader.impl();
    ASSERT_EQ(impl.zip_places.size(), 3u);
    const auto shown = [&](int ordinal) {
        return !ArchiveMount::ShowZipMember(impl.descriptor.get(), 0, impl.zip_places[ordinal],
                                            impl.zip_directory_offset)
                    .tail.empty();
    };
    EXPECT_TRUE(shown(0));
    EXPECT_TRUE(shown(1));
    EXPECT_FALSE(shown(2));
    ExpectSameAnswers(reader, {2, 1, 0, 2, 2, 1});
    std::vector<unsigned char> bytes;
    EXPECT_EQ(reader.Materialize(1, bytes, nullptr), Error::Ok);
    EXPECT_EQ(bytes, std::vector<unsigned char>(300, 'w'));
}

// What the cheap ways keep must never outlive a change to the archive.
TEST_F(MemberReach, AChangedArchiveAnswersAsTheLiteralWalk) {
    const auto members = Members();
    const fs::path path = dir.WriteFile("a.tar", BuildArchive(Container::Ustar, members));
    ArchiveMount::OpenResult result;
    ArchiveMount::OpenArchivePath(result, path, {1000, INT64_MAX, INT64_MAX});
    ASSERT_EQ(result.error, Error::Ok) << result.message;
    auto& reader = static_cast<ArchiveReader&>(*result.reader);
    ExpectSameAnswers(reader, {0, 2});
    std::ofstream(path, std::ios::app | std::ios::binary) << std::string(512, '\0');
    ExpectSameAnswers(reader, {4, 2, 5});
}

}  // namespace

// Members of every served kind written to files by the real helper binary,
// one by one and as a whole tree, compared byte for byte with what went into
// the archive; and the refusals a real open can run into afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>

#include "client/request_encoding.h"
#include "support/host.h"
#include "support/archive_builder.h"
#include "support/byte_image.h"
#include "support/helper_session.h"
#include "support/isz_image_writer.h"
#include "support/legacy_fixtures.h"
#include "support/output_checks.h"
#include "support/rar5_image.h"
#include "support/sample_data.h"
#include "support/temp_dir.h"
#include "support/zip_image_writer.h"
#include "support/zip_member_streams.h"

namespace {

namespace fs = std::filesystem;
using ArchiveHelper::MessageType;
using ArchiveHelper::OpenRequest;
using ArchiveMount::Error;
using testsupport::BuildArchive;
using testsupport::Compression;
using testsupport::Container;
using testsupport::Member;
using testsupport::kReplyTimeout;

std::string Text(const std::vector<unsigned char>& bytes) { return {bytes.begin(), bytes.end()}; }

std::uint32_t Crc(const std::string& bytes) { return testsupport::Crc32(testsupport::ToBytes(bytes)); }

// What one member must come out as: its bytes when the test wrote them, else
// the size and CRC-32 the archive records.
struct Content {
    std::int64_t size = 0;
    std::uint32_t crc = 0;
    std::optional<std::string> bytes;
};

Content Exact(const std::string& bytes) { return {static_cast<std::int64_t>(bytes.size()), Crc(bytes), bytes}; }

void ExpectContent(const fs::path& file, const Content& expected) {
    ASSERT_TRUE(fs::is_regular_file(file)) << file;
    const std::string got = testsupport::ReadWholeFile(file);
    if (expected.bytes) {
        EXPECT_TRUE(got == *expected.bytes) << file << ": " << got.size() << " bytes, expected "
                                            << expected.bytes->size();
    } else {
        EXPECT_EQ(static_cast<std::int64_t>(got.size()), expected.size) << file;
        EXPECT_EQ(Crc(got), expected.crc) << file;
    }
}

// Compressible and incompressible stretches, across several read blocks.
std::string Mixed(std::size_t size) {
    const auto words = testsupport::WordText(size / 2 + 1);
    const auto noise = testsupport::RandomBytes(size - size / 2);
    return Text(words).substr(0, size / 2) + Text(noise);
}

std::vector<Member> TreeMembers() {
    return {Member{"docs", "", 1700000000, true}, Member{"docs/readme.txt", "read me\n"},
            Member{"empty.bin", ""}, Member{"docs/data.bin", Mixed(200000)},
            Member{"block.bin", std::string(65536, 'b')}};
}

std::map<std::string, Content> Expected(const std::vector<Member>& members) {
    std::map<std::string, Content> expected;
    for (const Member& m : members)
        if (!m.is_dir) expected[m.name] = Exact(m.bytes);
    return expected;
}

class Helper {
public:
    explicit Helper(std::unique_ptr<HelperClient::HelperProcess> process) : process_(std::move(process)) {}
    Helper() : Helper(testsupport::StartHelper()) {}
    ~Helper() {
        if (!process_) return;
        process_->CloseInput();
        EXPECT_TRUE(process_->Wait(kReplyTimeout));
    }
    bool started() const { return process_ != nullptr; }

    std::optional<ArchiveHelper::IndexSummary> Open(const OpenRequest& request) {
        EXPECT_TRUE(process_->SendRequest(MessageType::OpenRequest, HelperClient::EncodeOpenRequest(request)));
        auto index = process_->ReadIndex(kReplyTimeout);
        EXPECT_TRUE(index) << process_->StandardError();
        return index;
    }
    ArchiveHelper::StatusReply Materialize(int ordinal, const fs::path& file) {
        return Status(MessageType::MaterializeRequest,
                      HelperClient::EncodeMaterializeRequest(static_cast<std::uint32_t>(ordinal), file.string()));
    }
    ArchiveHelper::StatusReply MaterializeAll(const fs::path& directory) {
        return Status(MessageType::MaterializeAllRequest, HelperClient::EncodeMaterializeAllRequest(directory.string()));
    }

private:
    ArchiveHelper::StatusReply Status(MessageType type, std::vector<unsigned char> payload) {
        EXPECT_TRUE(process_->SendRequest(type, std::move(payload)));
        const auto status = process_->ReadStatus(kReplyTimeout);
        EXPECT_TRUE(status) << process_->StandardError();
        return status ? *status : ArchiveHelper::StatusReply{Error::HelperFailed, "no status reply"};
    }

    std::unique_ptr<HelperClient::HelperProcess> process_;
};

// Opens `request`, writes every file member singly and then the whole tree
// under `scratch`, and checks each file against `expected` by path; the index
// must list exactly the expected files.
void ExpectEveryMember(Helper& helper, const OpenRequest& request, const std::map<std::string, Content>& expected,
                       const fs::path& scratch) {
    const auto index = helper.Open(request);
    ASSERT_TRUE(index);
    std::map<std::string, Content> unseen = expected;
    std::vector<std::string> ordinals;
    for (const auto& entry : index->entries) {
        if (entry.is_dir) continue;
        SCOPED_TRACE(entry.path);
        const auto found = expected.find(entry.path);
        ASSERT_NE(found, expected.end()) << "unexpected member " << entry.path;
        unseen.erase(entry.path);
        ordinals.push_back(std::to_string(entry.ordinal));
        const fs::path single = scratch / "single" / std::to_string(entry.ordinal);
        const auto status = helper.Materialize(entry.ordinal, single);
        ASSERT_EQ(status.code, Error::Ok) << status.message;
        ExpectContent(single, found->second);
        EXPECT_EQ(testsupport::FileTimeSeconds(single), entry.mtime);
    }
    for (const auto& [path, content] : unseen) ADD_FAILURE() << "not in the index: " << path;

    const auto all = helper.MaterializeAll(scratch / "all");
    ASSERT_EQ(all.code, Error::Ok) << all.message;
    std::sort(ordinals.begin(), ordinals.end());
    EXPECT_EQ(testsupport::FileNamesIn(scratch / "all"), ordinals);
    for (const auto& entry : index->entries) {
        if (!entry.is_dir) ExpectContent(scratch / "all" / std::to_string(entry.ordinal), expected.at(entry.path));
    }
    testsupport::ExpectNoPartFiles(scratch);
}

// The sizes and CRC-32 of a ZIP's local headers, under the index's paths: the
// index names members in central directory order, which is their local order
// in the fixtures.
std::map<std::string, Content> RecordedByOrdinal(const ArchiveHelper::IndexSummary& index,
                                                 const std::vector<testsupport::MemberStream>& members) {
    std::map<std::string, Content> expected;
    for (const auto& entry : index.entries) {
        if (entry.is_dir) continue;
        EXPECT_LT(static_cast<std::size_t>(entry.ordinal), members.size());
        if (static_cast<std::size_t>(entry.ordinal) >= members.size()) continue;
        const auto& m = members[static_cast<std::size_t>(entry.ordinal)];
        expected[entry.path] = {static_cast<std::int64_t>(m.size), m.crc32, std::nullopt};
    }
    return expected;
}

struct BuiltCase {
    std::string file;
    std::string bytes;
    std::map<std::string, Content> expected;
};

std::vector<BuiltCase> BuiltCases() {
    const std::vector<Member> tree = TreeMembers();
    const auto expected = Expected(tree);
    std::vector<BuiltCase> cases = {
        {"stored.zip", BuildArchive(Container::ZipStored, tree), expected},
        {"deflate.zip", BuildArchive(Container::ZipDeflate, tree), expected},
        {"a.7z", BuildArchive(Container::SevenZip, tree), expected},
        {"a.iso", BuildArchive(Container::Iso9660, tree), expected},
    };
    const std::pair<Compression, const char*> filters[] = {
        {Compression::None, ".tar"},     {Compression::Gzip, ".tar.gz"},    {Compression::Bzip2, ".tar.bz2"},
        {Compression::Xz, ".tar.xz"},    {Compression::Lzma, ".tar.lzma"}, {Compression::Zstd, ".tar.zst"},
    };
    for (const auto& [compression, suffix] : filters) {
        cases.push_back({std::string("ustar") + suffix, BuildArchive(Container::Ustar, tree, compression), expected});
        cases.push_back({std::string("pax") + suffix, BuildArchive(Container::Pax, tree, compression), expected});
    }
    const std::string image = Mixed(300000);
    const std::pair<Compression, const char*> raw[] = {{Compression::Gzip, ".gz"},
                                                       {Compression::Bzip2, ".bz2"},
                                                       {Compression::Xz, ".xz"},
                                                       {Compression::Zstd, ".zst"}};
    for (const auto& [compression, suffix] : raw) {
        cases.push_back({std::string("disk.img") + suffix, testsupport::Compress(compression, image),
                         {{"disk.img", Exact(image)}}});
    }
    cases.push_back({"stored.rar",
                     testsupport::BuildRar5({{"docs", "", true},
                                             {"docs/readme.txt", "read me\n"},
                                             {"empty.bin", ""},
                                             {"docs/data.bin", Mixed(200000)}}),
                     {{"docs/readme.txt", Exact("read me\n")},
                      {"empty.bin", Exact("")},
                      {"docs/data.bin", Exact(Mixed(200000))}}});
    return cases;
}

TEST(MaterializeProcess, EveryBuiltKindComesOutByteExact) {
    testsupport::TempDir dir;
    Helper helper;
    ASSERT_TRUE(helper.started());
    for (const BuiltCase& c : BuiltCases()) {
        SCOPED_TRACE(c.file);
        const fs::path archive = dir.WriteFile(c.file, c.bytes);
        ExpectEveryMember(helper, testsupport::OpenByPath(archive.string()), c.expected, dir.path() / (c.file + ".out"));
    }
}

// An ISZ image of every chunk type, and one stored raw after its header.
TEST(MaterializeProcess, IszImagesOfEveryChunkType) {
    constexpr std::uint32_t kBlock = 32768;
    // Text, zeros, text, then noise that only a stored chunk holds, ending in
    // a partial block (an image is whole sectors).
    testsupport::Bytes image = testsupport::WordText(3 * kBlock);
    std::fill(image.begin() + kBlock, image.begin() + 2 * kBlock, 0);
    const auto noise = testsupport::RandomBytes(2 * kBlock + 2048);
    image.insert(image.end(), noise.begin(), noise.end());
    auto chunks = testsupport::ChunksOf(image, kBlock, 2);
    ASSERT_EQ(chunks[1].type, 0);
    chunks[0] = testsupport::Bzip2Chunk({image.begin(), image.begin() + kBlock});
    for (std::size_t k = 3; k < chunks.size(); ++k) {
        const auto from = image.begin() + static_cast<std::ptrdiff_t>(k * kBlock);
        chunks[k] = testsupport::StoredChunk({from, std::min(from + kBlock, image.end())});
    }
    testsupport::IszImageWriter chunked;
    chunked.header().block_size = kBlock;
    chunked.Chunks(image.size(), chunks);
    testsupport::IszImageWriter raw;
    raw.Raw(image);

    testsupport::TempDir dir;
    Helper helper;
    ASSERT_TRUE(helper.started());
    for (const auto& [name, writer] : {std::pair{"chunked", &chunked}, std::pair{"raw", &raw}}) {
        SCOPED_TRACE(name);
        fs::create_directory(dir.path() / name);
        const fs::path archive = dir.WriteFile(std::string(name) + "/disk.isz", Text(writer->Build()));
        ExpectEveryMember(helper, testsupport::OpenByPath(archive.string()), {{"disk.iso", Exact(Text(image))}},
                          dir.path() / name / "out");
    }
}

// Archives that only the host's own tools write; a row whose tool is missing
// is passed over.
TEST(MaterializeProcess, ArchivesFromHostTools) {
    if (testsupport::kWindowsHost) GTEST_SKIP() << "runs Debian's zip and tar, Linux programs";
    testsupport::TempDir dir;
    fs::create_directory(dir.path() / "in");
    const std::string data = Mixed(150000);
    dir.WriteFile("in/data.bin", data);
    dir.WriteFile("in/note.txt", "from the host\n");
    // A sparse file: the library hands back its holes as zeros.
    std::string sparse(1 << 20, '\0');
    sparse[500000] = 'x';
    {
        std::ofstream hole(dir.path() / "in" / "sparse.bin", std::ios::binary);
        hole.seekp(500000);
        hole.put('x');
    }
    fs::resize_file(dir.path() / "in" / "sparse.bin", sparse.size());
    const std::map<std::string, Content> files = {
        {"data.bin", Exact(data)}, {"note.txt", Exact("from the host\n")}, {"sparse.bin", Exact(sparse)}};
    const std::pair<const char*, const char*> tools[] = {
        {"b.zip", "zip -q -Z bzip2 ../b.zip data.bin note.txt sparse.bin"},
        {"sparse.tar", "tar --sparse --format=gnu -cf ../sparse.tar data.bin note.txt sparse.bin"},
        {"sparse.tar.gz", "tar --sparse --format=pax -czf ../sparse.tar.gz data.bin note.txt sparse.bin"},
    };
    Helper helper;
    ASSERT_TRUE(helper.started());
    for (const auto& [archive, tool] : tools) {
        SCOPED_TRACE(tool);
        const std::string command = "cd '" + (dir.path() / "in").string() + "' && " + tool + " 2>/dev/null";
        if (std::system(command.c_str()) != 0) {
            std::cout << "skipped, the tool failed: " << tool << "\n";
            continue;
        }
        ExpectEveryMember(helper, testsupport::OpenByPath((dir.path() / archive).string()), files,
                          dir.path() / (std::string(archive) + ".out"));
    }
}

// The real shrunk and imploded archives, every member checked against the
// CRC-32 and size its local header records.
TEST(MaterializeProcess, LegacyZipFixtures) {
    std::set<std::string> archives;
    for (const std::uint16_t method : {1, 6}) {
        for (const auto& fixture : testsupport::LegacyFixtureMembers(method)) archives.insert(fixture.archive);
    }
    ASSERT_FALSE(archives.empty());
    testsupport::TempDir dir;
    Helper helper;
    ASSERT_TRUE(helper.started());
    for (const std::string& archive : archives) {
        SCOPED_TRACE(archive);
        const std::string path = std::string(OMBREX_FIXTURES_DIR) + "/legacy-zip/" + archive;
        std::vector<testsupport::MemberStream> members;
        ASSERT_TRUE(testsupport::ReadMemberStreams(testsupport::ReadFileBytes(path), members));
        const auto served = [](const testsupport::MemberStream& m) {
            return m.method == 0 || m.method == 1 || m.method == 6 || m.method == 8;
        };
        // Reduced members have no decoder: their legacy neighbours are checked
        // through one-member copies.
        if (!std::all_of(members.begin(), members.end(), served)) {
            for (const auto& m : members) {
                if (m.method != 1 && m.method != 6) continue;
                const fs::path copy = dir.WriteFile("one.zip", Text(testsupport::OneMemberZip(m)));
                ExpectEveryMember(helper, testsupport::OpenByPath(copy.string()),
                                  {{m.name, {static_cast<std::int64_t>(m.size), m.crc32, std::nullopt}}},
                                  dir.path() / (archive + m.name));
            }
            continue;
        }
        const auto index = helper.Open(testsupport::OpenByPath(path));
        ASSERT_TRUE(index);
        ExpectEveryMember(helper, testsupport::OpenByPath(path), RecordedByOrdinal(*index, members),
                          dir.path() / archive);
    }
}

// RAR archives nothing here writes: sizes and CRC-32 as their file headers
// record them (read here for RAR 5, taken from the index for RAR 4).
TEST(MaterializeProcess, RarFixtures) {
    testsupport::TempDir dir;
    Helper helper;
    ASSERT_TRUE(helper.started());
    for (const char* name : {"rar4-compressed.rar", "rar5-compressed.rar", "rar5-solid.rar"}) {
        SCOPED_TRACE(name);
        const std::string path = std::string(OMBREX_FIXTURES_DIR) + "/libarchive/" + name;
        const auto request = testsupport::OpenByPath(path);
        std::map<std::string, Content> expected;
        if (std::string_view(name).starts_with("rar5")) {
            for (const auto& [file, recorded] : testsupport::Rar5RecordedFiles(testsupport::ReadWholeFile(path)))
                expected[file] = {static_cast<std::int64_t>(recorded.size), recorded.crc, std::nullopt};
        } else {
            const auto index = helper.Open(request);
            ASSERT_TRUE(index);
            for (const auto& entry : index->entries) {
                if (entry.is_dir) continue;
                EXPECT_TRUE(entry.has_crc) << entry.path;
                expected[entry.path] = {entry.size, entry.crc, std::nullopt};
            }
        }
        ASSERT_FALSE(expected.empty());
        ExpectEveryMember(helper, request, expected, dir.path() / name);
    }
}

// Windows onto stored inner ZIPs: one we built, and a real one mixing stored
// and imploded members, whose legacy path reads through the window too.
TEST(MaterializeProcess, APassedDescriptorAndWindowsOntoStoredInnerZips) {
    testsupport::TempDir dir;
    const std::vector<Member> tree = TreeMembers();
    const std::string built = BuildArchive(Container::ZipDeflate, tree);
    const std::string legacy = testsupport::ReadWholeFile(OMBREX_FIXTURES_DIR "/legacy-zip/Zip.implode.zip");
    ASSERT_FALSE(legacy.empty());
    testsupport::ZipImageWriter writer;
    writer.Add(testsupport::StoredEntry("built.zip", testsupport::ToBytes(built)));
    writer.Add(testsupport::StoredEntry("legacy.zip", testsupport::ToBytes(legacy)));
    const fs::path outer = dir.WriteFile("outer.zip", Text(writer.Build()));
    const fs::path tar = dir.WriteFile("tree.tar.xz", BuildArchive(Container::Pax, tree, Compression::Xz));

    {
        SCOPED_TRACE("descriptor");
        auto [process, handle] = testsupport::StartHelperWithArchiveHandle(tar);
        Helper helper(std::move(process));
        ASSERT_TRUE(helper.started());
        OpenRequest request = testsupport::OpenByPath(tar.string());
        request.os_handle = handle;
        ExpectEveryMember(helper, request, Expected(tree), dir.path() / "descriptor");
    }
    for (const std::size_t inner : {0, 1}) {
        SCOPED_TRACE(inner == 0 ? "built window" : "legacy window");
        Helper finder;
        ASSERT_TRUE(finder.started());
        const auto whole = finder.Open(testsupport::OpenByPath(outer.string()));
        ASSERT_TRUE(whole);
        ASSERT_EQ(whole->entries.size(), 2u);
        OpenRequest request = testsupport::OpenByPath(outer.string());
        request.window_offset = whole->entries[inner].nested_zip_offset;
        request.window_length = static_cast<std::int64_t>(inner == 0 ? built.size() : legacy.size());
        std::map<std::string, Content> expected = Expected(tree);
        if (inner == 1) {
            // The paths of the real archive come from an open of its own.
            std::vector<testsupport::MemberStream> members;
            ASSERT_TRUE(testsupport::ReadMemberStreams(testsupport::ToBytes(legacy), members));
            const fs::path copy = dir.WriteFile("legacy.zip", legacy);
            const auto index = finder.Open(testsupport::OpenByPath(copy.string()));
            ASSERT_TRUE(index);
            expected = RecordedByOrdinal(*index, members);
        }
        // Each passed handle serves one open.
        auto [process, handle] = testsupport::StartHelperWithArchiveHandle(outer);
        Helper helper(std::move(process));
        ASSERT_TRUE(helper.started());
        request.os_handle = handle;
        ExpectEveryMember(helper, request, expected, dir.path() / ("window" + std::to_string(inner)));
    }
}

// Failures after a real open: nothing is left at the target, and no .part.
class MaterializeProcessFailure : public ::testing::Test {
protected:
    void TearDown() override { testsupport::ExpectNoPartFiles(dir.path()); }

    std::optional<ArchiveHelper::IndexSummary> Open(const fs::path& archive) {
        return helper.Open(testsupport::OpenByPath(archive.string()));
    }

    // Both operations refuse with `code` and write nothing.
    void ExpectRefused(int ordinal, Error code, const std::string& message = "") {
        const fs::path single = dir.path() / "out" / ("single" + std::to_string(ordinal));
        const auto one = helper.Materialize(ordinal, single);
        EXPECT_EQ(one.code, code) << one.message;
        if (!message.empty()) {
            EXPECT_EQ(one.message, message);
        }
        EXPECT_FALSE(fs::exists(single));
    }
    void ExpectTreeRefused(Error code, const std::string& message = "") {
        const auto all = helper.MaterializeAll(dir.path() / "out" / "all");
        EXPECT_EQ(all.code, code) << all.message;
        if (!message.empty()) {
            EXPECT_EQ(all.message, message);
        }
    }

    testsupport::TempDir dir;
    Helper helper;
};

// Overwrites bytes of the archive in place and puts its modification time
// back, so that the file looks as it did at the open.
void EditInPlace(const fs::path& file, std::size_t at, const std::string& bytes) {
    const auto mtime = fs::last_write_time(file);
    {
        std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
        stream.seekp(static_cast<std::streamoff>(at));
        stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    fs::last_write_time(file, mtime);
}

// A ustar header field rewritten, with the header checksum made right again.
std::string UstarHeader(std::string header, std::size_t field, const std::string& value) {
    header.replace(field, value.size(), value);
    header.replace(148, 8, "        ");
    unsigned sum = 0;
    for (const char c : header) sum += static_cast<unsigned char>(c);
    char text[8];
    std::snprintf(text, sizeof text, "%06o", sum);
    header.replace(148, 7, std::string(text, 6) + '\0');
    return header;
}

TEST_F(MaterializeProcessFailure, ArchiveTouchedGrownOrShrunkAfterTheOpen) {
    const std::string bytes = BuildArchive(Container::ZipDeflate, TreeMembers());
    const std::pair<const char*, std::function<void(const fs::path&)>> changes[] = {
        {"touched",
         [](const fs::path& f) { fs::last_write_time(f, fs::last_write_time(f) + std::chrono::seconds(5)); }},
        {"grown", [](const fs::path& f) { std::ofstream(f, std::ios::app | std::ios::binary) << "x"; }},
        {"shrunk", [](const fs::path& f) { fs::resize_file(f, fs::file_size(f) - 1); }},
    };
    for (const auto& [what, change] : changes) {
        SCOPED_TRACE(what);
        const fs::path archive = dir.WriteFile(std::string(what) + ".zip", bytes);
        const auto index = Open(archive);
        ASSERT_TRUE(index);
        change(archive);
        ExpectRefused(1, Error::ChangedSinceIndexed);
        ExpectTreeRefused(Error::ChangedSinceIndexed);
        EXPECT_FALSE(fs::exists(dir.path() / "out" / "all" / "1"));
    }
}

TEST_F(MaterializeProcessFailure, DirectoriesDroppedAndUnknownOrdinals) {
    // A ustar with a symbolic link as its third member: the open drops it.
    std::string tar = BuildArchive(Container::Ustar, {Member{"dir", "", 1700000000, true}, Member{"a.txt", "alpha"},
                                                      Member{"link", ""}});
    // dir header at 0, a.txt header at 512 and data at 1024, link at 1536.
    tar.replace(1536, 512, UstarHeader(UstarHeader(tar.substr(1536, 512), 156, "2"), 157, "a.txt"));
    const fs::path archive = dir.WriteFile("links.tar", tar);
    const auto index = Open(archive);
    ASSERT_TRUE(index);
    std::vector<std::string> paths;
    for (const auto& entry : index->entries) paths.push_back(entry.path);
    ASSERT_EQ(paths, (std::vector<std::string>{"dir", "a.txt"}));
    ExpectRefused(0, Error::NoSuchEntry, "no such member");  // the directory
    ExpectRefused(2, Error::NoSuchEntry, "no such member");  // the dropped link
    ExpectRefused(3, Error::NoSuchEntry, "no such member");  // past every header
    ExpectRefused(0x7FFFFFFF, Error::NoSuchEntry, "no such member");
    // The tree has what the index lists and nothing of the link.
    const auto all = helper.MaterializeAll(dir.path() / "all");
    ASSERT_EQ(all.code, Error::Ok) << all.message;
    EXPECT_EQ(testsupport::FileNamesIn(dir.path() / "all"), std::vector<std::string>{"1"});
    EXPECT_EQ(testsupport::ReadWholeFile(dir.path() / "all" / "1"), "alpha");
}

TEST_F(MaterializeProcessFailure, TargetsThatCannotBeMade) {
    const fs::path archive = dir.WriteFile("a.zip", BuildArchive(Container::ZipDeflate, TreeMembers()));
    ASSERT_TRUE(Open(archive));
    const fs::path file = dir.WriteFile("plain", "not a directory");
    const auto all = helper.MaterializeAll(file);
    EXPECT_EQ(all.code, Error::OpenFailed);
    EXPECT_TRUE(all.message.starts_with("cannot create ")) << all.message;
    const auto one = helper.Materialize(1, file / "readme.txt");
    EXPECT_EQ(one.code, Error::OpenFailed) << one.message;
    EXPECT_EQ(testsupport::ReadWholeFile(file), "not a directory");
    // A second pass over a full directory replaces every file in place.
    const fs::path tree = dir.path() / "tree";
    ASSERT_EQ(helper.MaterializeAll(tree).code, Error::Ok);
    dir.WriteFile("tree/1", "stale");
    ASSERT_EQ(helper.MaterializeAll(tree).code, Error::Ok);
    EXPECT_EQ(testsupport::ReadWholeFile(tree / "1"), "read me\n");
}

TEST_F(MaterializeProcessFailure, ArchiveEndsBeforeAnIndexedMember) {
    std::string tar = BuildArchive(Container::Ustar, {Member{"a.txt", "alpha"}, Member{"b.txt", "bravo"}});
    const fs::path archive = dir.WriteFile("ends.tar", tar);
    ASSERT_TRUE(Open(archive));
    // A zero block where the second header was: the end of the archive.
    EditInPlace(archive, 1024, std::string(512, '\0'));
    ExpectRefused(1, Error::NoSuchEntry, "ordinal past the end");
}

// The third member's header says 900 or 1100 bytes where the open saw 1000;
// the tree keeps the two members before it and nothing of it or after it.
TEST_F(MaterializeProcessFailure, MemberShorterOrLongerThanIndexed) {
    const std::string tar = BuildArchive(Container::Ustar, {Member{"a.txt", "alpha"}, Member{"b.txt", "bravo"},
                                                            Member{"d.bin", std::string(1000, 'd')},
                                                            Member{"next.txt", std::string(3000, 'n')}});
    constexpr std::size_t kThirdHeader = 2048;
    const std::pair<const char*, const char*> sizes[] = {{"01604", "member shorter than its declared size"},   // 900
                                                         {"02114", "member longer than its declared size"}};  // 1100
    for (const auto& [size, message] : sizes) {
        SCOPED_TRACE(message);
        const fs::path archive = dir.WriteFile("sized.tar", tar);
        ASSERT_TRUE(Open(archive));
        EditInPlace(archive, kThirdHeader,
                    UstarHeader(tar.substr(kThirdHeader, 512), 124, std::string("0000000") + size));
        ExpectRefused(2, Error::Damaged, message);
        fs::remove_all(dir.path() / "out" / "all");
        ExpectTreeRefused(Error::Damaged, message);
        EXPECT_EQ(testsupport::FileNamesIn(dir.path() / "out" / "all"), (std::vector<std::string>{"0", "1"}));
    }
}

TEST_F(MaterializeProcessFailure, LegacyMemberFailsItsCrc) {
    for (const std::uint16_t method : {1, 6}) {
        SCOPED_TRACE(method);
        testsupport::MemberStream member = testsupport::LegacyFixtureMembers(method).front().member;
        member.crc32 ^= 1;
        const fs::path archive = dir.WriteFile("crc.zip", Text(testsupport::OneMemberZip(member)));
        const auto index = Open(archive);
        ASSERT_TRUE(index);
        ASSERT_EQ(index->entries.size(), 1u);
        ExpectRefused(0, Error::Damaged);
        ExpectTreeRefused(Error::Damaged);
        EXPECT_FALSE(fs::exists(dir.path() / "out" / "all" / "0"));
    }
}

TEST_F(MaterializeProcessFailure, IszChunkShortOrLongOfItsShare) {
    constexpr std::uint32_t kBlock = 32768;
    const testsupport::Bytes image = testsupport::WordText(3 * kBlock);
    const testsupport::Bytes block(image.begin() + kBlock, image.begin() + 2 * kBlock);
    testsupport::Bytes longer = block;
    longer.push_back(1);
    const std::pair<const char*, testsupport::IszChunkFields> bad[] = {
        {"zlib short", testsupport::ZlibChunk({block.begin(), block.end() - 1})},
        {"zlib long", testsupport::ZlibChunk(longer)},
        {"bzip2 short", testsupport::Bzip2Chunk({block.begin(), block.end() - 1})},
        {"stored short", testsupport::StoredChunk({block.begin(), block.end() - 1})},
    };
    for (const auto& [what, chunk] : bad) {
        SCOPED_TRACE(what);
        auto chunks = testsupport::ChunksOf(image, kBlock, 2);
        chunks[1] = chunk;
        testsupport::IszImageWriter writer;
        writer.header().block_size = kBlock;
        writer.Chunks(image.size(), chunks);
        const fs::path archive = dir.WriteFile("bad.isz", Text(writer.Build()));
        const auto index = Open(archive);
        ASSERT_TRUE(index);
        ExpectRefused(0, Error::Damaged);
        ExpectTreeRefused(Error::Damaged);
        EXPECT_FALSE(fs::exists(dir.path() / "out" / "all" / "0"));
    }
}

}  // namespace

// Writes the starting corpus of every fuzz target from the archives and
// streams our tests build: fuzz-seeds FIXTURES_DIR OUT_DIR. Each seed is laid
// out the way its target reads its input (selector and parameter bytes first).
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "client/request_encoding.h"
#include "helper/frame_codec.h"
#include "support/archive_builder.h"
#include "support/implode_encoder.h"
#include "support/isz_image_writer.h"
#include "support/rar4_image_writer.h"
#include "support/sample_data.h"
#include "support/shrink_encoder.h"
#include "support/zip_image_writer.h"
#include "support/zip_member_streams.h"

namespace {

namespace fs = std::filesystem;
using Blob = std::vector<unsigned char>;

fs::path g_out;
int g_written = 0;

Blob ToBlob(const std::string& s) { return Blob(s.begin(), s.end()); }

void Seed(const std::string& target, const Blob& bytes) {
    const fs::path dir = g_out / target;
    fs::create_directories(dir);
    std::ofstream out(dir / ("seed-" + std::to_string(g_written++)), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Blob Concat(Blob head, const Blob& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

Blob Le(std::uint64_t value, int width) {
    Blob out;
    for (int i = 0; i < width; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
    return out;
}

std::vector<fs::path> FilesIn(const fs::path& dir) {
    std::vector<fs::path> files;
    std::error_code error;
    for (const auto& item : fs::directory_iterator(dir, error))
        if (item.is_regular_file()) files.push_back(item.path());
    return files;
}

void FrameSeeds() {
    using namespace ArchiveHelper;
    const Blob none;
    for (MessageType type : {MessageType::OpenRequest, MessageType::MaterializeRequest, MessageType::IndexReply}) {
        Blob frame = EncodeFrame(type, Blob(3, 'x'));
        frame.resize(kFrameHeaderSize);
        Seed("frame_codec_fuzz", Concat({0}, frame));
    }
    OpenRequest open;
    open.path = "C:\\games\\doom.zip";
    Seed("frame_codec_fuzz", Concat({1}, HelperClient::EncodeOpenRequest(open)));
    open.window_offset = 4096;
    open.window_length = 100000;
    Seed("frame_codec_fuzz", Concat({1}, HelperClient::EncodeOpenRequest(open)));
    Seed("frame_codec_fuzz", Concat({2}, HelperClient::EncodeMaterializeRequest(7, "/tmp/out/7")));
    Seed("frame_codec_fuzz", Concat({3}, HelperClient::EncodeMaterializeAllRequest("/tmp/out")));
    Seed("frame_codec_fuzz", Concat({4}, HelperClient::EncodeHookRequest(3)));
    Seed("frame_codec_fuzz", Concat({5}, EncodeStatusReply(ArchiveMount::Error::Damaged, "archive damaged")));
    Seed("frame_codec_fuzz", Concat({6}, EncodeHelloReply(3, 3006002, "libarchive 3.6.2")));
    IndexSummary index;
    index.fingerprint = std::string(64, 'a');
    ArchiveMount::Entry entry;
    entry.path = "dir/readme.txt";
    entry.dos_path = "DIR\\README.TXT";
    entry.size = 12;
    entry.has_crc = true;
    index.entries = {entry, entry};
    index.entries[1].ordinal = 1;
    Seed("frame_codec_fuzz", Concat({7}, EncodeIndexReply(index)));
}

// Declared size as 3 bytes, then the parameter bytes each target reads.
Blob SizeBytes(std::size_t size) { return Le(size, 3); }

void LegacySeeds(const fs::path& fixtures) {
    const std::vector<Blob> samples = {testsupport::WordText(5000), testsupport::WordText(70000, 3),
                                       testsupport::RandomBytes(600), Blob(40000, 0), Blob{}};
    for (const Blob& sample : samples) {
        Seed("unshrink_fuzz", Concat(Concat(SizeBytes(sample.size()), {0, 0}), testsupport::ShrinkEncode(sample)));
        Seed("unshrink_fuzz", Concat(Concat(SizeBytes(sample.size()), {61, 0}),
                                     testsupport::ShrinkEncode(sample, {.clear_every = 300})));
        for (int kind = 0; kind < 4; ++kind) {
            const Blob stream = testsupport::ImplodeEncode(sample, {.dictionary_8k = (kind & 1) != 0,
                                                                    .literal_tree = (kind & 2) != 0});
            Seed("explode_fuzz", Concat(Concat(Concat({static_cast<unsigned char>(kind)}, SizeBytes(sample.size())),
                                               {0, 0, 0}),
                                        stream));
        }
    }
    for (const fs::path& file : FilesIn(fixtures / "legacy-zip")) {
        std::vector<testsupport::MemberStream> members;
        if (!testsupport::ReadMemberStreams(testsupport::ReadFileBytes(file.string()), members)) continue;
        for (const testsupport::MemberStream& m : members) {
            if (m.size >= (1u << 20)) continue;
            if (m.method == 1) Seed("unshrink_fuzz", Concat(Concat(SizeBytes(m.size), {0, 0}), m.data));
            if (m.method == 6) {
                const unsigned char kind = static_cast<unsigned char>(((m.flags >> 1) & 1) | ((m.flags >> 1) & 2));
                Seed("explode_fuzz", Concat(Concat(Concat({kind}, SizeBytes(m.size)), {0, 0, 0}), m.data));
            }
        }
    }
}

void NameSeeds() {
    const std::vector<std::string> lists = {
        "readme.txt\nREADME.TXT\nReadMe.txt\ndir/sub/file.dat\ndir/sub/\ndir/other",
        "Read Me.txt\narchive.tar.gz\n.profile\na.b.c\nx.html\na+b.txt\nLongFileName.Document",
        "\xc3\xa9.txt\n\xc3\xbc.txt\ncon\nCOM1.txt\n./a/./b\n../x\n/abs\nC:game\na//b",
        "aaaaaaaaaa/bbbbbbbbbb/cccccccccc/dddddddddd/eeeeeeeeee/ffffffffff/gggggggggg/hhhhhhhhhh/iiiiiiii",
    };
    for (const std::string& list : lists) Seed("archive_names_fuzz", ToBlob(list));
}

// ZIP files from the archive library's writer and from our byte-level writer,
// the odd layouts included; each also gives its directory image to Parse.
std::vector<Blob> ZipFiles(const fs::path& fixtures) {
    using namespace testsupport;
    using testsupport::Container;
    std::vector<Blob> zips;
    const std::vector<testsupport::Member> members = {
        {"README.TXT", "read me\n"}, {"dir", "", 1700000000, true}, {"dir/a.dat", std::string(3000, 'a')},
        {"dir/inner.zip", "PK\x03\x04 not really"}};
    zips.push_back(ToBlob(testsupport::BuildArchive(Container::ZipStored, members)));
    zips.push_back(ToBlob(testsupport::BuildArchive(Container::ZipDeflate, members)));
    zips.push_back(ZipImageWriter().Add(StoredEntry("A.TXT", ToBytes("hello"))).Add(StoredEntry("B/C.TXT", Pattern(100))).Build());
    zips.push_back(ZipImageWriter().Prefix(Pattern(100)).Add(StoredEntry("SFX.TXT", Pattern(40))).Build());
    ZipEntryFields big = StoredEntry("BIG.DAT", Pattern(64));
    big.zip64 = true;
    zips.push_back(ZipImageWriter().Add(big).Zip64().Build());
    ZipEntryFields described = StoredEntry("DESC.TXT", Pattern(20));
    described.flags = 8;
    described.local_crc32 = 0;
    described.local_compressed_size = 0;
    described.local_uncompressed_size = 0;
    described.comment = ToBytes("comment");
    described.central_extra = {0x55, 0x54, 5, 0, 1, 2, 3, 4, 5};
    zips.push_back(ZipImageWriter().Add(described).Build());
    zips.push_back(ZipImageWriter().Build());
    for (const fs::path& file : FilesIn(fixtures / "legacy-zip")) zips.push_back(testsupport::ReadFileBytes(file.string()));
    return zips;
}

// The directory image and the record count the end record announces.
bool DirectoryOf(const Blob& zip, Blob& image, std::uint64_t& count) {
    for (std::size_t at = zip.size() >= 22 ? zip.size() - 21 : 0; at-- > 0;) {
        if (zip[at] != 0x50 || zip[at + 1] != 0x4b || zip[at + 2] != 5 || zip[at + 3] != 6) continue;
        count = zip[at + 10] | (zip[at + 11] << 8);
        const std::uint64_t length = zip[at + 12] | (zip[at + 13] << 8) | (zip[at + 14] << 16) |
                                     (std::uint64_t{zip[at + 15]} << 24);
        if (count > 255 || length > at) return false;
        image.assign(zip.begin() + static_cast<long>(at - length), zip.begin() + static_cast<long>(at));
        return true;
    }
    return false;
}

void ZipSeeds(const fs::path& fixtures) {
    for (const Blob& zip : ZipFiles(fixtures)) {
        Seed("zip_read_fuzz", Concat({0}, zip));
        Blob image;
        std::uint64_t count = 0;
        if (DirectoryOf(zip, image, count)) Seed("zip_central_directory_fuzz", Concat({static_cast<unsigned char>(count), 0}, image));
    }
}

void RarSeeds(const fs::path& fixtures) {
    using namespace testsupport;
    for (const fs::path& file : FilesIn(fixtures / "libarchive"))
        if (file.extension() == ".rar") Seed("rar4_headers_fuzz", Concat({8}, testsupport::ReadFileBytes(file.string())));
    Rar4FileFields file;
    file.data = Pattern(50);
    file.unpacked_size = 50;
    Rar4FileFields large = file;
    large.flags = 0x8100;
    Rar4FileFields directory;
    directory.flags = 0x80E0;
    directory.name = "DIR";
    Seed("rar4_headers_fuzz", Concat({8}, Rar4ImageWriter().Marker().MainHeader().File(file).File(large).File(directory)
                                             .Service(file).Block(0x75, 0x8000, {1, 2}, {3, 4, 5}).End().Raw({9, 9}).bytes()));
    Seed("rar4_headers_fuzz", Concat({1}, Rar4ImageWriter().Marker().MainHeader().File(file).File(file).bytes()));
}

void IszSeeds() {
    using namespace testsupport;
    Bytes image = Pattern(5 * 65536 + 4096, 7);
    std::fill(image.begin() + 65536, image.begin() + 2 * 65536, 0);
    for (std::uint8_t type : {1, 2, 3}) {
        IszImageWriter writer;
        writer.Chunks(image.size(), ChunksOf(image, 65536, type));
        Seed("isz_image_fuzz", Concat({0}, writer.Build()));
    }
    IszImageWriter small;
    small.header().block_size = 2048;
    small.header().pointer_length = 2;
    small.Chunks(8192, {ZlibChunk(Bytes(2048, 1)), ZeroChunk(), StoredChunk(Pattern(2048)), Bzip2Chunk(Bytes(2048, 3))});
    Seed("isz_image_fuzz", Concat({4}, small.Build()));
    IszImageWriter raw;
    raw.Raw(Pattern(3 * 2048));
    Seed("isz_image_fuzz", Concat({0}, raw.Build()));
}

// Whole archives for the open: byte 0 picks the name the target gives the
// file (0 .zip, 1 .rar, 2 .7z, 3 .tar, 4 .tar.gz, 6 .isz, 7 .img.gz, 9 .tar.xz,
// 10 .bz2, 11 .zst, 5 .iso).
void OpenSeeds(const fs::path& fixtures) {
    using testsupport::Compression;
    using testsupport::Container;
    const std::vector<testsupport::Member> members = {
        {"GAME.EXE", std::string(5000, 'x')}, {"data", "", 1700000000, true}, {"data/level1.dat", "level one"},
        {"data/Long File Name.txt", "long"}, {"old.txt", "old", 100}};
    for (const Blob& zip : ZipFiles(fixtures)) Seed("open_materialize_fuzz", Concat({0}, zip));
    Seed("open_materialize_fuzz", Concat({2}, ToBlob(testsupport::BuildArchive(Container::SevenZip, members))));
    Seed("open_materialize_fuzz", Concat({3}, ToBlob(testsupport::BuildArchive(Container::Ustar, members))));
    Seed("open_materialize_fuzz", Concat({5}, ToBlob(testsupport::BuildArchive(Container::Iso9660, members))));
    const std::pair<unsigned char, Compression> tars[] = {
        {4, Compression::Gzip}, {9, Compression::Xz}, {10, Compression::Bzip2}, {11, Compression::Zstd}};
    for (const auto& [selector, compression] : tars)
        Seed("open_materialize_fuzz", Concat({selector}, ToBlob(testsupport::BuildArchive(Container::Pax, members, compression))));
    Seed("open_materialize_fuzz",
         Concat({7}, ToBlob(testsupport::Compress(Compression::Gzip, std::string(40000, '\xf6')))));
    for (const fs::path& file : FilesIn(fixtures / "libarchive")) {
        const unsigned char selector = file.extension() == ".rar" ? 1 : 2;
        Seed("open_materialize_fuzz", Concat({selector}, testsupport::ReadFileBytes(file.string())));
    }
    using namespace testsupport;
    IszImageWriter isz;
    Bytes image = Pattern(3 * 65536 + 2048, 5);
    isz.Chunks(image.size(), ChunksOf(image, 65536, 2));
    Seed("open_materialize_fuzz", Concat({6}, isz.Build()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: fuzz-seeds FIXTURES_DIR OUT_DIR\n");
        return 2;
    }
    const fs::path fixtures = argv[1];
    g_out = argv[2];
    FrameSeeds();
    LegacySeeds(fixtures);
    NameSeeds();
    ZipSeeds(fixtures);
    RarSeeds(fixtures);
    IszSeeds();
    OpenSeeds(fixtures);
    std::printf("%d seeds in %s\n", g_written, g_out.c_str());
    return 0;
}

// Writes the starting corpus of every fuzz target from the archives and
// streams our tests build: fuzz-seeds FIXTURES_DIR OUT_DIR. Each seed is laid
// out the way its target reads its input (selector and parameter bytes first).
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "client/request_encoding.h"
#include "helper/frame_codec.h"
#include "support/archive_builder.h"
#include "support/implode_encoder.h"
#include "support/sample_data.h"
#include "support/shrink_encoder.h"
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
    const std::vector<Blob> samples = {TestStreams::WordText(5000), TestStreams::WordText(70000, 3),
                                       TestStreams::RandomBytes(600), Blob(40000, 0), Blob{}};
    for (const Blob& sample : samples) {
        Seed("unshrink_fuzz", Concat(Concat(SizeBytes(sample.size()), {0, 0}), TestStreams::ShrinkEncode(sample)));
        Seed("unshrink_fuzz", Concat(Concat(SizeBytes(sample.size()), {61, 0}),
                                     TestStreams::ShrinkEncode(sample, {.clear_every = 300})));
        for (int kind = 0; kind < 4; ++kind) {
            const Blob stream = TestStreams::ImplodeEncode(sample, {.dictionary_8k = (kind & 1) != 0,
                                                                    .literal_tree = (kind & 2) != 0});
            Seed("explode_fuzz", Concat(Concat(Concat({static_cast<unsigned char>(kind)}, SizeBytes(sample.size())),
                                               {0, 0, 0}),
                                        stream));
        }
    }
    for (const fs::path& file : FilesIn(fixtures / "legacy-zip")) {
        std::vector<TestZip::MemberStream> members;
        if (!TestZip::ReadMemberStreams(TestZip::ReadFileBytes(file.string()), members)) continue;
        for (const TestZip::MemberStream& m : members) {
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
    std::printf("%d seeds in %s\n", g_written, g_out.c_str());
    return 0;
}

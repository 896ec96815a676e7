// The checks before the walk, in the order the open runs them, through real opens.
#include <gtest/gtest.h>

#include "mount/archive_reader_impl.h"
#include "mount/archive_sources.h"
#include "support/archive_builder.h"
#include "support/byte_image.h"
#include "support/helper_session.h"
#include "support/isz_image_writer.h"
#include "support/open_descriptors.h"
#include "support/open_outcome.h"
#include "support/rar4_image_writer.h"
#include "support/rar5_image.h"
#include "support/temp_dir.h"
#include "support/zip_image_writer.h"

namespace {

using ArchiveMount::ArchiveKind;
using ArchiveMount::ArchiveWindow;
using ArchiveMount::Error;
using ArchiveMount::OpenResult;
using testsupport::BuildArchive;
using testsupport::Compression;
using testsupport::Container;
using testsupport::ExpectIndexed;
using testsupport::ExpectRefused;
using testsupport::OpenBytes;
using testsupport::PathsOf;

std::string Text(const testsupport::Bytes& bytes) { return {bytes.begin(), bytes.end()}; }
testsupport::Bytes Bytes(const std::string& text) { return {text.begin(), text.end()}; }

const std::string kFixtures = OMBREX_FIXTURES_DIR "/libarchive/";

class OpenSequence : public testing::Test {
protected:
    // Opens `bytes` as a file through a descriptor the test closes at once.
    OpenResult OpenWindow(const std::string& bytes, const ArchiveWindow& window) {
        const platform::Descriptor descriptor = ArchiveMount::OpenArchiveFile(dir.WriteFile("outer.bin", bytes));
        EXPECT_TRUE(descriptor.valid());
        OpenResult out;
        ArchiveMount::OpenArchiveDescriptor(out, descriptor.get(), dir.path() / "outer.bin", {}, window);
        return out;
    }

    testsupport::TempDir dir;
};

TEST_F(OpenSequence, StoredInnerZipsAreFoundAndOpenThroughAWindow) {
    const std::string inner = BuildArchive(Container::ZipDeflate, {{"in/a.txt", std::string(3000, 'a')}, {"b", "b"}});
    testsupport::ZipImageWriter writer;
    writer.Add(testsupport::StoredEntry("lead.txt", Bytes("lead")))
        .Add(testsupport::StoredEntry("pack/Inner.ZIP", Bytes(inner)))
        .Add(testsupport::StoredEntry("inner.bin", Bytes(inner)));
    testsupport::ZipEntryFields deflated = testsupport::StoredEntry("deflated.zip", Bytes(inner));
    deflated.method = 8;  // data left as is: only the method disqualifies it
    writer.Add(deflated);
    testsupport::ZipLayout layout;
    const std::string outer = Text(writer.Build(&layout));

    const auto outcome = OpenBytes(dir, "outer.zip", outer);
    ExpectIndexed(outcome);
    const auto& entries = outcome.entries();
    ASSERT_EQ(PathsOf(entries),
              (std::vector<std::string>{"lead.txt", "pack/", "pack/Inner.ZIP", "inner.bin", "deflated.zip"}));
    const std::int64_t inner_at = static_cast<std::int64_t>(layout.local_headers[1]) + 30 + 14;
    EXPECT_EQ(entries[0].nested_zip_offset, -1);
    EXPECT_EQ(entries[2].nested_zip_offset, inner_at);
    EXPECT_EQ(entries[3].nested_zip_offset, -1) << "not named like an archive";
    EXPECT_EQ(entries[4].nested_zip_offset, -1) << "not stored";

    // The window's own central directory is found at the window's end, not
    // the outer one at the file's end.
    const OpenResult opened = OpenWindow(outer, {inner_at, static_cast<std::int64_t>(inner.size()), true});
    ASSERT_EQ(opened.error, Error::Ok) << opened.message;
    EXPECT_EQ(PathsOf(opened.reader->Entries()), (std::vector<std::string>{"in/", "in/a.txt", "b"}));
    EXPECT_EQ(opened.reader->ArchiveSize(), inner.size());
    EXPECT_EQ(opened.reader->Identity().size, outer.size());
}

TEST_F(OpenSequence, InnerZipOffsetsCountFromTheWindowStart) {
    const std::string inner = BuildArchive(Container::ZipStored, {{"x", "x"}});
    const std::string middle = Text(testsupport::ZipImageWriter()
                                        .Add(testsupport::StoredEntry("pad", testsupport::Pattern(777)))
                                        .Add(testsupport::StoredEntry("inner.zip", Bytes(inner)))
                                        .Build());
    const std::string outer =
        Text(testsupport::ZipImageWriter().Add(testsupport::StoredEntry("middle.zip", Bytes(middle))).Build());
    const std::int64_t middle_at = 30 + 10;
    const OpenResult opened = OpenWindow(outer, {middle_at, static_cast<std::int64_t>(middle.size()), true});
    ASSERT_EQ(opened.error, Error::Ok) << opened.message;
    const auto& entries = opened.reader->Entries();
    ASSERT_EQ(entries.size(), 2u);
    const std::int64_t inner_at = 30 + 3 + 777 + 30 + 9;
    EXPECT_EQ(entries[1].nested_zip_offset, inner_at);
    EXPECT_EQ(middle.compare(static_cast<std::size_t>(inner_at), 4, "PK\x03\x04"), 0);
}

TEST_F(OpenSequence, OnlyAZipIsReadThroughAWindow) {
    const std::string seven = BuildArchive(Container::SevenZip, {{"a", "a"}});
    const std::string file = std::string(100, 'x') + seven + std::string(100, 'y');
    const std::size_t mark = testsupport::LogRecorder::Instance().Mark();
    OpenResult out = OpenWindow(file, {100, static_cast<std::int64_t>(seven.size()), true});
    EXPECT_EQ(out.error, Error::MethodUnsupported);
    EXPECT_EQ(out.message, "only a zip is read through an archive window, not 7z");
    out = OpenWindow(file, {0, 100, true});
    EXPECT_EQ(out.error, Error::NotRecognized);
    EXPECT_EQ(out.message, "no zip signature at the start of the archive window");
    EXPECT_EQ(testsupport::LogRecorder::Instance().Since(mark).size(), 2u);
}

TEST_F(OpenSequence, CompressedFilesAreRawStreamsOnlyUnderImageNames) {
    const std::string tar = BuildArchive(Container::Ustar, {{"game/run.exe", "MZ"}});
    const std::string fat = std::string("\xEB\x3C\x90MSDOS5.0", 11) + std::string(4000, '\0');
    struct Case {
        const char* file;
        std::string bytes;
        ArchiveKind kind;
        std::vector<std::string> paths;
    };
    const Case cases[] = {
        {"disk.img.gz", testsupport::Compress(Compression::Gzip, fat), ArchiveKind::Raw, {"disk.img"}},
        {"FLOPPY.1440.XZ", testsupport::Compress(Compression::Xz, fat), ArchiveKind::Raw, {"FLOPPY.1440"}},
        {"a.iso.zst", testsupport::Compress(Compression::Zstd, fat), ArchiveKind::Raw, {"a.iso"}},
        {"d.ima.bz2", testsupport::Compress(Compression::Bzip2, fat), ArchiveKind::Raw, {"d.ima"}},
        {"game.tar.gz", BuildArchive(Container::Ustar, {{"game/run.exe", "MZ"}}, Compression::Gzip),
         ArchiveKind::Tar, {"game/", "game/run.exe"}},
        {"notes.gz", testsupport::Compress(Compression::Gzip, tar), ArchiveKind::Tar, {"game/", "game/run.exe"}},
        // lzma has no image-name rule.
        {"disk.img.lzma", testsupport::Compress(Compression::Lzma, tar), ArchiveKind::Tar,
         {"game/", "game/run.exe"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const auto outcome = OpenBytes(dir, c.file, c.bytes);
        ExpectIndexed(outcome);
        if (!outcome.result.reader) continue;
        EXPECT_EQ(outcome.reader().Kind(), c.kind);
        EXPECT_EQ(PathsOf(outcome.entries()), c.paths);
        const auto& impl = static_cast<const ArchiveMount::ArchiveReader&>(outcome.reader()).impl();
        EXPECT_EQ(impl.raw_stream, c.kind == ArchiveKind::Raw);
    }
    ExpectRefused(OpenBytes(dir, "disk.img.gz", testsupport::Compress(Compression::Gzip, tar)), Error::NotRecognized,
                  "a tar under a compressed image name; a tar archive needs a .tar name");
    ExpectRefused(OpenBytes(dir, "notes.gz", testsupport::Compress(Compression::Gzip, fat)), Error::NotRecognized,
                  "Unrecognized archive format");
}

// An archive image and the refusal its open must give.
struct RefusalCase {
    const char* name;
    std::string bytes;
    ArchiveMount::OpenLimits limits;
    Error error;
    const char* message;
};

TEST_F(OpenSequence, Rar4MainHeaderFlagsAndBlockChain) {
    auto rar4 = [](std::uint16_t main_flags) {
        testsupport::Rar4ImageWriter writer;
        writer.Marker().MainHeader(main_flags);
        return writer;
    };
    testsupport::Rar4FileFields file;
    file.data = testsupport::ToBytes("data");
    testsupport::Rar4FileFields runs_past = file;
    runs_past.packed_size = 5;
    const RefusalCase cases[] = {
        {"volume and solid", Text(rar4(0x09).File(file).End().bytes()), {}, Error::MultiVolume, "RAR volume flag set"},
        {"solid", Text(rar4(0x08).File(file).End().bytes()), {}, Error::SolidRar4, "RAR solid flag set"},
        {"encrypted headers", Text(rar4(0x80).bytes()), {}, Error::PasswordProtected,
         "RAR header encryption flag set"},
        {"data past the end", Text(rar4(0).File(runs_past).bytes()), {}, Error::Damaged,
         "RAR block headers do not add up"},
        // No main header: straight to the block walk.
        {"no main header", Text(testsupport::Rar4ImageWriter().Marker().File(runs_past).bytes()), {}, Error::Damaged,
         "RAR block headers do not add up"},
        {"more files than the cap", Text(rar4(0).File(file).File(file).End().bytes()), {1, 100, 100},
         Error::TooManyEntries, "more RAR file headers than the cap"},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        ExpectRefused(OpenBytes(dir, "a.rar", c.bytes, c.limits), c.error, c.message);
    }
    ExpectRefused(testsupport::OpenPath(kFixtures + "rar4-volume-4.rar"), Error::MultiVolume,
                  "RAR volume flag set");
    ExpectRefused(testsupport::OpenPath(kFixtures + "rar4-encrypted-header.rar"), Error::PasswordProtected,
                  "RAR header encryption flag set");
}

TEST_F(OpenSequence, Rar5VolumesAreRefusedFromTheMainHeader) {
    ExpectRefused(OpenBytes(dir, "v.rar", testsupport::BuildRar5({{"a", "a"}}, 0x01)), Error::MultiVolume,
                  "RAR5 volume flag set");
    ExpectRefused(testsupport::OpenPath(kFixtures + "rar5-volume-4.rar"), Error::MultiVolume,
                  "RAR5 volume flag set");
    // Solid RAR 5 archives are served.
    ExpectIndexed(OpenBytes(dir, "s.rar", testsupport::BuildRar5({{"a", "a"}}, 0x04)));
    ExpectIndexed(testsupport::OpenPath(kFixtures + "rar5-solid.rar"));
}

TEST_F(OpenSequence, ZipCentralDirectoryChecks) {
    auto two = [] {
        testsupport::ZipImageWriter writer;
        writer.Add(testsupport::StoredEntry("a.txt", testsupport::ToBytes("a")))
            .Add(testsupport::StoredEntry("b.txt", testsupport::ToBytes("bb")));
        return writer;
    };
    testsupport::ZipImageWriter tab = two();
    tab.Add(testsupport::StoredEntry("c\td.txt", testsupport::ToBytes("c")));
    testsupport::ZipImageWriter spanned = two();
    spanned.end().disk = 1;
    testsupport::ZipImageWriter mismatch;
    testsupport::ZipEntryFields entry = testsupport::StoredEntry("a.txt", testsupport::ToBytes("a"));
    entry.local_method = 8;
    mismatch.Add(entry);
    const std::string whole = Text(two().Build());
    const RefusalCase cases[] = {
        {"cut before its end record", whole.substr(0, 40), {}, Error::Damaged,
         "zip local header without an end record: truncated, or one volume of a spanned set"},
        {"tab in a name", Text(tab.Build()), {}, Error::NameRefused, "entry 2: control character in name"},
        {"spanned", Text(spanned.Build()), {}, Error::MultiVolume, "spanned zip archive"},
        {"local header disagrees", Text(mismatch.Build()), {}, Error::Damaged,
         "a zip local header disagrees with the central directory"},
        {"more records than the cap", whole, {1, 100, 100}, Error::TooManyEntries, "too many zip entries"},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        ExpectRefused(OpenBytes(dir, "a.zip", c.bytes, c.limits), c.error, c.message);
    }
}

TEST_F(OpenSequence, AZipBehindAStubIsAZipByItsDirectory) {
    testsupport::ZipImageWriter writer;
    writer.Prefix(testsupport::Pattern(3000)).Add(testsupport::StoredEntry("a.txt", testsupport::ToBytes("alpha")));
    const auto outcome = OpenBytes(dir, "setup.exe", Text(writer.Build()));
    ExpectIndexed(outcome);
    EXPECT_EQ(outcome.reader().Kind(), ArchiveKind::Zip);
    EXPECT_EQ(PathsOf(outcome.entries()), std::vector<std::string>{"a.txt"});

    // The longest comment the end-record search still gets past.
    writer.end().comment = testsupport::Bytes(16361, 'c');
    ExpectIndexed(OpenBytes(dir, "setup.exe", Text(writer.Build())));
    writer.end().comment.push_back('c');
    ExpectRefused(OpenBytes(dir, "setup.exe", Text(writer.Build())), Error::NotRecognized,
                  "Unrecognized archive format");
}

TEST_F(OpenSequence, WhatNoReaderTakesIsNotRecognized) {
    ExpectRefused(OpenBytes(dir, "junk.dat", std::string(5000, 'j')), Error::NotRecognized,
                  "Unrecognized archive format");
    ExpectRefused(OpenBytes(dir, "empty.dat", ""), Error::NotRecognized, "Unrecognized archive format");
}

TEST_F(OpenSequence, ADescriptorOpenKeepsOnlyTheReadersOwnDescriptor) {
    const std::string zip = BuildArchive(Container::ZipStored, {{"a.txt", "alpha"}});
    const std::size_t before = testsupport::OpenDescriptorCount();
    {
        const OpenResult out = OpenWindow(zip, {});
        ASSERT_EQ(out.error, Error::Ok) << out.message;
        EXPECT_EQ(out.reader->Identity().size, zip.size());
        EXPECT_EQ(out.reader->ArchiveSize(), zip.size());
        EXPECT_EQ(testsupport::OpenDescriptorCount(), before + 1);
    }
    EXPECT_EQ(testsupport::OpenDescriptorCount(), before);
}

// Cut short or with a byte overwritten, every format either still indexes
// or fails with one code, one WARN line and no descriptor kept.
TEST_F(OpenSequence, DamagedArchivesOfEveryFormatFailCleanly) {
    const std::vector<testsupport::Member> members = {
        {"dir/a.txt", std::string(70000, 'a')}, {"dir/b.txt", "bee"}, {"c.bin", std::string(3000, 'c')}};
    testsupport::IszImageWriter isz;
    isz.header().block_size = 4096;
    const testsupport::Bytes image = testsupport::Pattern(8 * 2048);
    isz.Chunks(image.size(), testsupport::ChunksOf(image, 4096, 2));
    const std::pair<const char*, std::string> archives[] = {
        {"a.zip", BuildArchive(Container::ZipDeflate, members)},
        {"a.7z", BuildArchive(Container::SevenZip, members)},
        {"a.tar.bz2", BuildArchive(Container::Pax, members, Compression::Bzip2)},
        {"a.iso", BuildArchive(Container::Iso9660, members)},
        {"disk.img.zst", testsupport::Compress(Compression::Zstd, std::string(100000, 'z'))},
        {"a.rar", testsupport::BuildRar5({{"dir/a.txt", std::string(5000, 'a')}, {"b.txt", "bee"}})},
        {"b.rar", Text(testsupport::Rar4ImageWriter().Marker().MainHeader(0).File({}).End().bytes())},
        {"disk.isz", Text(isz.Build())},
    };
    for (const auto& [name, whole] : archives) {
        std::vector<std::string> damaged;
        for (std::size_t cut : {std::size_t{7}, whole.size() / 3, whole.size() / 2, whole.size() - 1})
            damaged.push_back(whole.substr(0, cut));
        for (std::size_t at : {whole.size() / 4, whole.size() / 2, whole.size() * 9 / 10}) {
            std::string flipped = whole;
            flipped[at] = static_cast<char>(flipped[at] ^ 0x5A);
            damaged.push_back(flipped);
        }
        for (std::size_t i = 0; i < damaged.size(); ++i) {
            SCOPED_TRACE(std::string(name) + " variant " + std::to_string(i));
            const auto outcome = OpenBytes(dir, name, damaged[i]);
            if (outcome.result.error == Error::Ok) {
                ExpectIndexed(outcome);
                continue;
            }
            ExpectRefused(outcome, outcome.result.error, outcome.result.message);
        }
    }
}

// With room for the reader's own descriptor and nothing more, the private
// duplicates of the pre-readers cannot be made: the ZIP directory read fails
// and a file that might be a ZIP cannot be told apart.
TEST_F(OpenSequence, NoDescriptorLeftForThePreReaders) {
    // The sanitizers' own memory checks need a pipe, which this limit denies.
    if (testsupport::kSanitizerBuild) GTEST_SKIP() << "needs descriptors the sanitizer runtime takes";
    const std::string zip = BuildArchive(Container::ZipStored, {{"a.txt", "alpha"}});
    const platform::Descriptor caller = ArchiveMount::OpenArchiveFile(dir.WriteFile("a.zip", zip));
    ASSERT_TRUE(caller.valid());
    OpenResult out;
    {
        const testsupport::ScopedDescriptorLimit limit(1);  // the reader's own duplicate
        ArchiveMount::OpenArchiveDescriptor(out, caller.get(), dir.path() / "a.zip", {}, {});
    }
    EXPECT_EQ(out.error, Error::OpenFailed);
    EXPECT_EQ(out.message, "zip could not be read");
}

}  // namespace

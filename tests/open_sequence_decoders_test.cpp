// Opens on a host whose library has no zstd decoder. A process of its own:
// the decoder registry is built once per process.
#include <gtest/gtest.h>

#include <cstring>

#include "mount/library_setup.h"
#include "support/archive_builder.h"
#include "support/byte_image.h"
#include "support/open_outcome.h"
#include "support/zip_image_writer.h"

namespace {

using ArchiveMount::Error;

const bool kNoZstd = [] {
    ArchiveMount::SetDecoderProbe([](const char* name, ArchiveMount::FilterRegistration registration,
                                     struct archive* scratch) {
        return std::strcmp(name, "zstd") == 0 ? ARCHIVE_WARN : registration(scratch);
    });
    return true;
}();

TEST(OpenSequenceDecoders, AFormatWithoutItsDecoderIsRefusedBeforeTheLibrarySeesIt) {
    ASSERT_TRUE(kNoZstd);
    ASSERT_FALSE(ArchiveMount::DecoderFlags()[ArchiveMount::kZstdDecoder]);  // logs its one line here
    testsupport::TempDir dir;
    const std::string tar = testsupport::BuildArchive(testsupport::Container::Ustar, {{"a", "a"}});
    testsupport::ExpectRefused(
        testsupport::OpenBytes(dir, "game.tar.zst", testsupport::Compress(testsupport::Compression::Zstd, tar)),
        Error::MethodUnsupported, "no built-in zstd decoder on this host");

    testsupport::ZipImageWriter writer;
    testsupport::ZipEntryFields member = testsupport::StoredEntry("a.bin", testsupport::ToBytes("not really zstd"));
    member.method = 93;
    writer.Add(member);
    const testsupport::Bytes zip = writer.Build();
    testsupport::ExpectRefused(testsupport::OpenBytes(dir, "z.zip", std::string(zip.begin(), zip.end())),
                               Error::MethodUnsupported, "'a.bin': ZIP method 93 (unknown)");
    // Other formats are untouched.
    testsupport::ExpectIndexed(testsupport::OpenBytes(
        dir, "game.tar.gz", testsupport::Compress(testsupport::Compression::Gzip, tar)));
}

}  // namespace

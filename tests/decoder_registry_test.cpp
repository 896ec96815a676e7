// The registry as it is built against a library without zstd and lzma
// decoders. Its own executable: the registry is built once per process, and
// the missing decoders must be in place before anything builds it.
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <cstring>

#include "mount/archive_sources.h"
#include "mount/library_setup.h"
#include "support/archive_builder.h"
#include "support/log_recorder.h"
#include "support/temp_dir.h"

namespace {

using ArchiveMount::DetectedFormat;
using testsupport::Compression;

int WithoutZstdAndLzma(const char* name, ArchiveMount::FilterRegistration registration, struct archive* scratch) {
    if (std::strcmp(name, "zstd") == 0 || std::strcmp(name, "lzma") == 0) return ARCHIVE_WARN;
    return registration(scratch);
}

// Before main: the recorder sees the registry's lines whichever test builds it.
const bool kInstalled = [] {
    testsupport::LogRecorder::Instance();
    ArchiveMount::SetDecoderProbe(WithoutZstdAndLzma);
    return true;
}();

std::string Line(const char* name) {
    return std::string("libarchive has no built-in ") + name +
           " decoder; archives and zip members using it are refused";
}

// The filter the library found on a raw stream of `data` compressed with
// `compression`, opened as `format`.
int FilterCodeOfRawStream(Compression compression, DetectedFormat format) {
    testsupport::TempDir dir;
    const platform::Descriptor fd =
        ArchiveMount::OpenArchiveFile(dir.WriteFile("s", testsupport::Compress(compression, "payload")));
    ArchiveMount::LibraryHandle handle;
    std::string message;
    const int result = ArchiveMount::OpenLibraryHandle(fd.get(), format, false, true, {}, handle, &message);
    EXPECT_EQ(result, ArchiveMount::kLibraryOpened) << message;
    struct archive_entry* entry = nullptr;
    EXPECT_EQ(archive_read_next_header(handle.archive, &entry), ARCHIVE_OK);
    return archive_filter_code(handle.archive, 0);
}

TEST(DecoderRegistry, MissingDecodersClearTheirFlagsAndAreLoggedOnce) {
    ASSERT_TRUE(kInstalled);
    const bool* flags = ArchiveMount::DecoderFlags();
    EXPECT_TRUE(flags[ArchiveMount::kGzipDecoder]);
    EXPECT_TRUE(flags[ArchiveMount::kBzip2Decoder]);
    EXPECT_FALSE(flags[ArchiveMount::kXzLzmaDecoder]);  // shared with lzma
    EXPECT_FALSE(flags[ArchiveMount::kZstdDecoder]);
    FilterCodeOfRawStream(Compression::Zstd, DetectedFormat::Zstd);
    EXPECT_EQ(ArchiveMount::DecoderFlags(), flags);

    auto& log = testsupport::LogRecorder::Instance();
    EXPECT_EQ(log.CountSince(0, Line("zstd")), 1u);
    EXPECT_EQ(log.CountSince(0, Line("lzma")), 1u);
    EXPECT_EQ(log.CountSince(0, Line("xz")), 0u);
    for (const auto& record : log.Since(0)) {
        EXPECT_EQ(record.level, 3);
        EXPECT_EQ(record.component, "archive");
    }
}

TEST(DecoderRegistry, HandlesRegisterOnlyTheUsableFilters) {
    ASSERT_TRUE(kInstalled);
    // Without its filter the raw reader hands up the compressed bytes as they are.
    EXPECT_EQ(FilterCodeOfRawStream(Compression::Zstd, DetectedFormat::Zstd), ARCHIVE_FILTER_NONE);
    EXPECT_EQ(FilterCodeOfRawStream(Compression::Lzma, DetectedFormat::Lzma), ARCHIVE_FILTER_NONE);
    // xz passed its own probe although the family flag is cleared.
    EXPECT_EQ(FilterCodeOfRawStream(Compression::Xz, DetectedFormat::Xz), ARCHIVE_FILTER_XZ);
    EXPECT_EQ(FilterCodeOfRawStream(Compression::Gzip, DetectedFormat::Gzip), ARCHIVE_FILTER_GZIP);
}

}  // namespace

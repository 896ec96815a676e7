#include "mount/library_setup.h"

#include <archive_entry.h>
#include <gtest/gtest.h>

#include <map>

#include "mount/archive_sources.h"
#include "platform/platform.h"
#include "support/archive_builder.h"
#include "support/open_descriptors.h"
#include "support/temp_dir.h"

namespace {

using ArchiveMount::ArchiveWindow;
using ArchiveMount::DetectedFormat;
using ArchiveMount::LibraryHandle;
using testsupport::Compression;
using testsupport::Container;

// Every member the library walks, by name, with its bytes.
std::map<std::string, std::string> Walk(struct archive* archive) {
    std::map<std::string, std::string> members;
    struct archive_entry* entry = nullptr;
    int status;
    while ((status = archive_read_next_header(archive, &entry)) == ARCHIVE_OK) {
        std::string& bytes = members[archive_entry_pathname(entry)];
        char buffer[4096];
        for (la_ssize_t n; (n = archive_read_data(archive, buffer, sizeof buffer)) > 0;)
            bytes.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(status, ARCHIVE_EOF) << archive_error_string(archive);
    return members;
}

class LibrarySetup : public testing::Test {
protected:
    // Opens `bytes` written to a file and keeps the caller's descriptor.
    int Descriptor(const std::string& bytes) {
        descriptor_ = ArchiveMount::OpenArchiveFile(dir.WriteFile("archive", bytes));
        EXPECT_TRUE(descriptor_.valid());
        return descriptor_.get();
    }

    testsupport::TempDir dir;
    platform::Descriptor descriptor_;
};

TEST_F(LibrarySetup, EveryDecoderIsBuiltIntoThisLibrary) {
    const bool* flags = ArchiveMount::DecoderFlags();
    for (int family = 0; family < 4; ++family) EXPECT_TRUE(flags[family]) << family;
}

TEST_F(LibrarySetup, WindowHandleSeesOnlyTheWindow) {
    // Whole archives before and after the window: a leak past either edge
    // would show their members.
    const std::string before = BuildArchive(Container::ZipStored, {{"before.txt", "B"}});
    const std::string inner = BuildArchive(Container::ZipDeflate, {{"inner.txt", std::string(100000, 'i')},
                                                                   {"sub", "", 0, true},
                                                                   {"sub/x.txt", "x"}});
    const std::string after = BuildArchive(Container::ZipStored, {{"after.txt", "A"}});
    const int fd = Descriptor(before + inner + after);
    const ArchiveWindow window{static_cast<std::int64_t>(before.size()), static_cast<std::int64_t>(inner.size()), true};
    const std::size_t open_before = testsupport::OpenDescriptorCount();
    {
        LibraryHandle handle;
        std::string message = "untouched";
        ASSERT_EQ(ArchiveMount::OpenLibraryHandle(fd, DetectedFormat::Zip, true, false, window, handle, &message),
                  ArchiveMount::kLibraryOpened)
            << message;
        EXPECT_EQ(message, "untouched");
        ASSERT_NE(handle.cursor, nullptr);
        EXPECT_TRUE(handle.descriptor.valid());
        EXPECT_NE(handle.descriptor.get(), fd);
        EXPECT_EQ(handle.cursor->descriptor, handle.descriptor.get());
        const std::map<std::string, std::string> expected = {
            {"inner.txt", std::string(100000, 'i')}, {"sub/", ""}, {"sub/x.txt", "x"}};
        EXPECT_EQ(Walk(handle.archive), expected);
        }
    EXPECT_EQ(testsupport::OpenDescriptorCount(), open_before);  // the handle closed its duplicate
}

TEST_F(LibrarySetup, FileThatShrankAfterTheOpenEndsInsideTheWindow) {
    // Plain bytes read raw (the gzip filter does not bid on them): the raw
    // reader passes the window's own error on unchanged.
    std::string bytes(300000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7919 % 251);
    const int fd = Descriptor(std::string(4096, 'P') + bytes + "trailer");
    LibraryHandle handle;
    std::string message;
    ASSERT_EQ(ArchiveMount::OpenLibraryHandle(fd, DetectedFormat::Gzip, false, true,
                                              {4096, static_cast<std::int64_t>(bytes.size()), true}, handle, &message),
              ArchiveMount::kLibraryOpened)
        << message;
    struct archive_entry* entry = nullptr;
    ASSERT_EQ(archive_read_next_header(handle.archive, &entry), ARCHIVE_OK) << archive_error_string(handle.archive);
    std::filesystem::resize_file(dir.path() / "archive", 4096 + 100000);
    std::string seen;
    char buffer[4096];
    la_ssize_t n;
    while ((n = archive_read_data(handle.archive, buffer, sizeof buffer)) > 0) seen.append(buffer, n);
    EXPECT_EQ(n, ARCHIVE_FATAL);
    EXPECT_STREQ(archive_error_string(handle.archive), "the file ends inside the archive window");
    EXPECT_LE(seen.size(), 100000u);
    EXPECT_TRUE(bytes.compare(0, seen.size(), seen) == 0) << "bytes from outside the window";
}

struct FormatCase {
    const char* what;
    std::string bytes;
    DetectedFormat format;
    bool zip_only;
    bool raw_stream;
    std::map<std::string, std::string> expected;  // empty: the library refuses
};

TEST_F(LibrarySetup, FormatsAndFiltersFollowTheDetectedFormat) {
    const std::vector<testsupport::Member> members = {{"a.txt", "alpha"}, {"d", "", 0, true}};
    const std::map<std::string, std::string> walked = {{"a.txt", "alpha"}, {"d/", ""}};
    const std::string tar = BuildArchive(Container::Ustar, members);
    const FormatCase cases[] = {
        {"zip", BuildArchive(Container::ZipDeflate, members), DetectedFormat::Zip, true, false, walked},
        {"7z", BuildArchive(Container::SevenZip, members), DetectedFormat::SevenZip, false, false, walked},
        {"pax", BuildArchive(Container::Pax, members), DetectedFormat::Tar, false, false, walked},
        {"tar.gz", BuildArchive(Container::Ustar, members, Compression::Gzip), DetectedFormat::Gzip, false, false,
         walked},
        {"tar.bz2", BuildArchive(Container::Ustar, members, Compression::Bzip2), DetectedFormat::Bzip2, false, false,
         walked},
        {"tar.xz", BuildArchive(Container::Ustar, members, Compression::Xz), DetectedFormat::Xz, false, false, walked},
        {"tar.zst", BuildArchive(Container::Ustar, members, Compression::Zstd), DetectedFormat::Zstd, false, false,
         walked},
        {"tar.lzma", BuildArchive(Container::Ustar, members, Compression::Lzma), DetectedFormat::Lzma, false, false,
         walked},
        // Read raw, a tar inside gzip stays one stream of tar bytes.
        {"raw gzip", testsupport::Compress(Compression::Gzip, tar), DetectedFormat::Gzip, false, true,
         {{"data", tar}}},
        {"raw zstd", testsupport::Compress(Compression::Zstd, "zz"), DetectedFormat::Zstd, false, true,
         {{"data", "zz"}}},
        // Only the format's own filter: a gzip stream claimed as xz is not decoded.
        {"gzip claimed as xz", BuildArchive(Container::Ustar, members, Compression::Gzip), DetectedFormat::Xz, false,
         false, {}},
        {"iso 9660", BuildArchive(Container::Iso9660, {{"A.TXT", "alpha"}}), DetectedFormat::Iso9660, false, false,
         {{".", ""}, {"A.TXT", "alpha"}}},
        {"iso 9660 gets no filter", BuildArchive(Container::Iso9660, {{"A.TXT", "a"}}, Compression::Gzip),
         DetectedFormat::Iso9660, false, false, {}},
        {"unknown may be tar", tar, DetectedFormat::Unknown, false, false, walked},
        {"unknown limited to zip", tar, DetectedFormat::Unknown, true, false, {}},
        {"isz has no library format", tar, DetectedFormat::Isz, false, false, {}},
        {"zip reader only for zip", tar, DetectedFormat::Zip, true, false, {}},
    };
    for (const auto& c : cases) {
        const int fd = Descriptor(c.bytes);
        // Shared position moved away: the handle must position its duplicate.
        char scratch[7];
        ASSERT_EQ(platform::ReadSome(fd, scratch, sizeof scratch), 7) << c.what;
        LibraryHandle handle;
        std::string message;
        const int result =
            ArchiveMount::OpenLibraryHandle(fd, c.format, c.zip_only, c.raw_stream, {}, handle, &message);
        EXPECT_EQ(handle.cursor, nullptr);
        if (c.expected.empty()) {
            // Some readers refuse at the open, others at the first header.
            if (result == ArchiveMount::kLibraryOpened) {
                struct archive_entry* entry = nullptr;
                EXPECT_NE(archive_read_next_header(handle.archive, &entry), ARCHIVE_OK) << c.what;
            } else {
                EXPECT_EQ(result, ArchiveMount::kLibraryRefused) << c.what;
                EXPECT_FALSE(message.empty()) << c.what;
            }
        } else {
            ASSERT_EQ(result, ArchiveMount::kLibraryOpened) << c.what << ": " << message;
            EXPECT_EQ(Walk(handle.archive), c.expected) << c.what;
        }
        descriptor_.reset();
    }
}

TEST_F(LibrarySetup, DescriptorThatCannotBeDuplicated) {
    LibraryHandle handle;
    std::string message;
    EXPECT_EQ(ArchiveMount::OpenLibraryHandle(-1, DetectedFormat::Zip, true, false, {}, handle, &message),
              ArchiveMount::kLibraryNoDescriptor);
    EXPECT_EQ(message, "cannot duplicate the archive descriptor");
    EXPECT_NE(handle.archive, nullptr);
    EXPECT_FALSE(handle.descriptor.valid());
    LibraryHandle window_handle;
    EXPECT_EQ(ArchiveMount::OpenLibraryHandle(-1, DetectedFormat::Zip, true, false, {0, 22, true}, window_handle,
                                              nullptr),
              ArchiveMount::kLibraryNoDescriptor);
    EXPECT_EQ(window_handle.cursor, nullptr);
}

}  // namespace

#include "support/hand_reader.h"

#include <gtest/gtest.h>

#include <archive.h>
#include <archive_entry.h>

#include "mount/archive_sources.h"
#include "mount/library_setup.h"

namespace testsupport {

std::unique_ptr<ArchiveMount::ArchiveReader> HandReader(const std::filesystem::path& path,
                                                        std::vector<ArchiveMount::Entry> entries) {
    auto impl = std::make_unique<ArchiveMount::ArchiveReader::Impl>();
    impl->archive_path = path;
    impl->descriptor = ArchiveMount::OpenArchiveFile(path);
    EXPECT_TRUE(impl->descriptor.valid()) << path;
    EXPECT_TRUE(ArchiveMount::ReadArchiveIdentity(impl->descriptor.get(), impl->identity));
    impl->archive_size = impl->identity.size;
    for (auto& entry : entries) {
        const std::uint64_t stamp = static_cast<std::uint64_t>(entry.mtime);
        ArchiveMount::AddEntry(*impl, std::move(entry), stamp);
    }
    return std::make_unique<ArchiveMount::ArchiveReader>(std::move(impl));
}

std::unique_ptr<ArchiveMount::ArchiveReader> LibraryIndexedReader(const std::filesystem::path& path,
                                                                  ArchiveMount::DetectedFormat format,
                                                                  ArchiveMount::ArchiveKind kind, bool raw_stream) {
    auto reader = HandReader(path, {});
    auto& impl = reader->impl();
    impl.detected_format = format;
    impl.kind = kind;
    impl.raw_stream = raw_stream;
    ArchiveMount::LibraryHandle handle;
    std::string message;
    EXPECT_EQ(ArchiveMount::OpenLibraryHandle(impl.descriptor.get(), format, kind == ArchiveMount::ArchiveKind::Zip,
                                              raw_stream, impl.window, handle, &message),
              ArchiveMount::kLibraryOpened)
        << message;
    struct archive_entry* header = nullptr;
    for (int ordinal = 0; handle.archive; ++ordinal) {
        const int result = archive_read_next_header(handle.archive, &header);
        if (result != ARCHIVE_OK && result != ARCHIVE_WARN) break;
        const char* name = archive_entry_pathname_utf8(header);
        ArchiveMount::Entry entry =
            FileEntry(ordinal, name ? name : "", archive_entry_size(header), archive_entry_mtime(header));
        entry.is_dir = archive_entry_filetype(header) == AE_IFDIR;
        if (raw_stream) {
            // The raw reader knows no size up front; the open measures it.
            entry.size = 0;
            const void* block;
            size_t length;
            la_int64_t offset;
            while (archive_read_data_block(handle.archive, &block, &length, &offset) == ARCHIVE_OK) entry.size += length;
        }
        ArchiveMount::AddEntry(impl, std::move(entry), 0);
    }
    return reader;
}

ArchiveMount::Entry FileEntry(int ordinal, const std::string& path, std::int64_t size, std::int64_t mtime) {
    ArchiveMount::Entry entry;
    entry.ordinal = ordinal;
    entry.path = path;
    entry.dos_path = path;
    entry.size = size;
    entry.mtime = mtime;
    return entry;
}

}  // namespace testsupport

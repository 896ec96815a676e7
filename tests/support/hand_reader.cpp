#include "support/hand_reader.h"

#include <gtest/gtest.h>

#include "mount/archive_sources.h"

namespace testsupport {

std::unique_ptr<ArchiveMount::ArchiveReader> HandReader(const std::filesystem::path& path,
                                                        std::vector<ArchiveMount::Entry> entries) {
    auto impl = std::make_unique<ArchiveMount::ArchiveReader::Impl>();
    impl->archive_path = path;
    impl->descriptor = ArchiveMount::OpenArchiveFile(path);
    EXPECT_GE(impl->descriptor, 0) << path;
    EXPECT_TRUE(ArchiveMount::ReadArchiveIdentity(impl->descriptor, impl->identity));
    impl->archive_size = impl->identity.size;
    for (auto& entry : entries) {
        const std::uint64_t stamp = static_cast<std::uint64_t>(entry.mtime);
        ArchiveMount::AddEntry(*impl, std::move(entry), stamp);
    }
    return std::make_unique<ArchiveMount::ArchiveReader>(std::move(impl));
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

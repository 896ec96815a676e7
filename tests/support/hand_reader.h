// Readers filled by hand around an archive file, for tests of materialization
// that must not depend on what the open admits.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "mount/archive_reader_impl.h"

namespace testsupport {

// A reader of the archive at `path` with the descriptor, identity and size the
// open would record, and `entries` added in order. Kind, format and the rest
// stay at the open's starting values for the caller to set.
std::unique_ptr<ArchiveMount::ArchiveReader> HandReader(const std::filesystem::path& path,
                                                        std::vector<ArchiveMount::Entry> entries);

// A reader of the archive at `path` whose entries are every header the archive
// library walks, ordinal by ordinal, with the library's path, size and type;
// `raw_stream` reads a compressed file as one stream.
std::unique_ptr<ArchiveMount::ArchiveReader> LibraryIndexedReader(const std::filesystem::path& path,
                                                                  ArchiveMount::DetectedFormat format,
                                                                  ArchiveMount::ArchiveKind kind,
                                                                  bool raw_stream = false);

// A file entry with this ordinal, path and declared size.
ArchiveMount::Entry FileEntry(int ordinal, const std::string& path, std::int64_t size, std::int64_t mtime = 1700000000);

}  // namespace testsupport

// The end of indexing: the checks after the library's walk, the one-entry
// index of an ISZ image, and handing out the finished reader.
#pragma once

#include <archive.h>

#include <memory>
#include <string>

#include "mount/index_walk.h"

namespace ArchiveMount {

// Runs once the walk met ARCHIVE_EOF. An archive without headers takes its
// kind from the library's format family; a ZIP or RAR 4 archive must have had
// exactly as many headers walked as its own directory lists. Ok, or the first
// failed check's code and message.
Error EndOfWalk(ArchiveReader::Impl& reader, struct archive* handle, const WalkState& state,
                const PreWalkValues& values, std::string* message);

// Indexes an ISZ image without the library: one member, named after the
// archive with ".iso", as large as the image it expands to, with the image
// check's CRC and the archive file's time.
Error BuildIszIndex(ArchiveReader::Impl& reader, std::string* message);

// Computes the fingerprint over the file entries and hands the reader out:
// `out` holds it with Ok and an empty message.
void FinishOpen(std::unique_ptr<ArchiveReader> reader, OpenResult& out);

}  // namespace ArchiveMount

// Steps that every materialize operation shares: the checks before any byte
// is produced and the producers that do not need a library handle.
#pragma once

#include <string>

#include "mount/archive_reader_impl.h"

namespace ArchiveMount {

// ChangedSinceIndexed when the archive file's size or modification time is no
// longer what the open recorded (or cannot be read); Ok otherwise.
Error CheckUnchanged(const ArchiveReader::Impl& impl, std::string* message);

// The file entry with this ordinal, or null for a directory, a dropped or
// unknown ordinal.
const Entry* FindFileEntry(const ArchiveReader::Impl& impl, int ordinal);

// The producer of the whole decoded ISZ image (the reader's only member).
MemberProducer IszProducer(const ArchiveReader::Impl& impl, std::string* message);

// The producer of a shrunk or imploded ZIP member, or an empty function when
// `ordinal` is not one.
MemberProducer LegacyProducer(const ArchiveReader::Impl& impl, int ordinal, const Entry& entry, std::string* message);

// Damaged, with the archive library's error text for `archive` when it has
// one, else `fallback`.
Error LibraryFailure(struct archive* archive, const char* fallback, std::string* message);

}  // namespace ArchiveMount

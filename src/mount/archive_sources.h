// How an archive becomes a descriptor the reader owns, and how a failed open
// ends. Every descriptor here is read-only and non-inheritable.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "mount/archive_index.h"
#include "platform/owners.h"

namespace ArchiveMount {

// Opens an existing regular file by path with every sharing mode granted.
// Never blocks: a directory, FIFO, socket or device gives none, as does any
// failure.
platform::Descriptor OpenArchiveFile(const std::filesystem::path& path);

// A new descriptor on the same open file; the two share one file position, so
// whoever reads through either one seeks first. Empty on failure.
platform::Descriptor DuplicateArchiveDescriptor(int descriptor);

// Fills `out` with the file's size and whole-second modification time; false
// (and `out` untouched) when the file cannot be queried.
bool ReadArchiveIdentity(int descriptor, ArchiveIdentity& out);

// Ends a failed open: `out` gets no reader, `error` and `message`, and one WARN
// line "<path>: <ErrorText(error)> (<message>)" is logged for "archive".
// Every check of the open reports its first failure through this.
void FailOpen(OpenResult& out, const std::filesystem::path& path, Error error, std::string message);

// The first steps of every open: creates the reader, takes its own duplicate of
// `descriptor` (which stays the caller's), records the identity and accepts or
// refuses `window`. On success the reader holds path, limits, descriptor,
// identity, window and archive size; on failure FailOpen has filled `out` and
// the result is null.
std::unique_ptr<ArchiveReader> AcquireArchive(OpenResult& out, int descriptor, const std::filesystem::path& path,
                                              const OpenLimits& limits, const ArchiveWindow& window);

}  // namespace ArchiveMount

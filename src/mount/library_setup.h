// Archive-library handles set up with exactly the formats and decompression
// filters that fit the archive, and the process-wide registry of the filters
// whose decoders are built into the library.
#pragma once

#include <archive.h>

#include <memory>
#include <string>

#include "mount/archive_index.h"
#include "mount/window_cursor.h"
#include "mount/zip_member_view.h"
#include "platform/owners.h"

namespace ArchiveMount {

// Indexes of the flags DecoderFlags() returns.
enum DecoderFamily : int {
    kBzip2Decoder = 0,
    kXzLzmaDecoder = 1,  // one flag for both
    kZstdDecoder = 2,
    kGzipDecoder = 3,
};

// The four "decoder is built in" flags, indexed by DecoderFamily. The registry
// is probed on the first call of this or AddDecoder; a missing decoder logs one
// WARN line per process.
const bool* DecoderFlags();

// False when `format` is compressed with a filter whose decoder family
// failed the probe; true for formats without a filter.
bool HasBuiltInDecoder(DetectedFormat format);

// Registers on `archive` the filter that `format` is compressed with, when its
// decoder passed the probe; nothing for formats without a filter.
void AddDecoder(struct archive* archive, DetectedFormat format);

// A filter registration call of the library, e.g. archive_read_support_filter_zstd.
using FilterRegistration = int (*)(struct archive*);

// Test seam: how the registry probes one filter ("gzip", "bzip2", "xz", "lzma",
// "zstd") on a scratch handle; 0 means usable. Consulted only while the
// registry is first built, so it must be set before anything uses it.
using DecoderProbe = int (*)(const char* name, FilterRegistration registration, struct archive* scratch);
void SetDecoderProbe(DecoderProbe probe);

// The one owner of a library read handle and of what it reads through.
// Destruction frees the library handle first, then the cursor and the
// descriptor it reads.
struct LibraryHandle {
    LibraryHandle() = default;
    LibraryHandle(const LibraryHandle&) = delete;
    LibraryHandle& operator=(const LibraryHandle&) = delete;
    ~LibraryHandle();

    struct archive* archive = nullptr;
    platform::Descriptor descriptor;       // the handle's own duplicate; none for a member view
    std::unique_ptr<WindowCursor> cursor;  // only when reading a window
};

// The library's error text for `archive`, or `fallback` when it has none.
// Every library failure is reported through this, and one the library gives
// as ENOMEM is the helper running out of memory, not a damaged archive: it
// throws std::bad_alloc, as the helper's own allocations do.
std::string LibraryErrorText(struct archive* archive, const char* fallback);

// Results of OpenLibraryHandle.
enum : int {
    kLibraryOpened = 0,
    kLibraryNoDescriptor = 1,  // the descriptor could not be duplicated
    kLibraryRefused = 2,       // the library did not accept the archive
};

// Opens a library handle on a duplicate of `descriptor` (the reader's own),
// with the formats and filters for `format`: `zip_only` limits an Unknown
// archive to the ZIP reader, `raw_stream` reads a compressed file as one raw
// stream rather than as a compressed tar, and a present `window` makes the
// library see only that byte range. Returns one of the results above; on
// failure `message`, when given, receives the reason. `out` is filled as far
// as the routine got and is the caller's to destroy in every case.
int OpenLibraryHandle(int descriptor, DetectedFormat format, bool zip_only, bool raw_stream,
                      const ArchiveWindow& window, LibraryHandle& out, std::string* message);

// Like OpenLibraryHandle, but the handle positions the file itself before
// every read, whatever the window: it stays usable while other readers move
// the file position its descriptor shares, as a handle kept from one request
// to the next must. `archive_size` is the file's size at the open.
int OpenKeepableHandle(int descriptor, DetectedFormat format, bool zip_only, bool raw_stream,
                       const ArchiveWindow& window, std::uint64_t archive_size, LibraryHandle& out,
                       std::string* message);

// Like OpenLibraryHandle, for one ZIP member shown on its own (ShowZipMember
// made `view`, with a tail): only the ZIP reader is registered, and it reads
// `descriptor` itself, at offsets, so `out` must not outlive it.
int OpenZipMemberHandle(int descriptor, ZipMemberView view, LibraryHandle& out, std::string* message);

}  // namespace ArchiveMount

// Reading an archive window: the archive library sees the byte range
// [offset, offset + length) of a file, followed by `tail` (bytes of ours,
// usually none), as a file of `length` + tail.size() bytes.
#pragma once

#include <archive.h>

#include <array>
#include <cstdint>
#include <vector>

namespace ArchiveMount {

// Window state owned by one library handle; the callbacks' client data.
struct WindowCursor {
    static constexpr std::size_t kBufferSize = 65536;

    int descriptor = -1;        // read at offsets only: its shared position is never used
    std::int64_t offset = 0;    // the window's first byte in the file
    std::int64_t length = 0;    // the window's length in the file
    std::int64_t position = 0;  // 0..End(), relative to the window start
    std::vector<unsigned char> tail;
    // The bytes [buffered_from, buffered_from + buffered) of the window, as
    // last read: the library seeks back to the start of a small archive more
    // than once, and reading those bytes again cost a read each time.
    std::int64_t buffered_from = 0;
    std::int64_t buffered = 0;
    std::array<unsigned char, kBufferSize> buffer;  // never read before it is written

    std::int64_t End() const { return length + static_cast<std::int64_t>(tail.size()); }
};

// Read callback: hands up to 64 KiB from the current position to the library,
// from the buffer when it holds them, never a block that spans the file and
// the tail; 0 at the end, ARCHIVE_FATAL
// (with the library error set) when the file cannot be read or ends inside
// the window.
la_ssize_t WindowRead(struct archive* archive, void* cursor, const void** block);

// Seek callback: the new position, or ARCHIVE_FATAL for a target outside
// 0..End(). Never touches the descriptor.
la_int64_t WindowSeek(struct archive* archive, void* cursor, la_int64_t request, int whence);

// Skip callback: skips up to `request` bytes without passing the end;
// the count skipped (0 for a request of 0 or less).
la_int64_t WindowSkip(struct archive* archive, void* cursor, la_int64_t request);

}  // namespace ArchiveMount

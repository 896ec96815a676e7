// Reading an archive window: the archive library sees the byte range
// [offset, offset + length) of a file as a file of `length` bytes.
#pragma once

#include <archive.h>

#include <array>
#include <cstdint>

namespace ArchiveMount {

// Window state owned by one library handle; the callbacks' client data.
struct WindowCursor {
    static constexpr std::size_t kBufferSize = 65536;

    int descriptor = -1;        // the handle's own duplicate; position shared, so every read seeks
    std::int64_t offset = 0;    // the window's first byte in the file
    std::int64_t length = 0;    // the window's length
    std::int64_t position = 0;  // 0..length, relative to the window start
    std::array<unsigned char, kBufferSize> buffer{};
};

// Read callback: hands up to 64 KiB from the current position to the library;
// 0 at the end of the window, ARCHIVE_FATAL (with the library error set) when
// the file cannot be positioned or ends inside the window.
la_ssize_t WindowRead(struct archive* archive, void* cursor, const void** block);

// Seek callback: the new position, or ARCHIVE_FATAL for a target outside
// 0..length. Never touches the descriptor.
la_int64_t WindowSeek(struct archive* archive, void* cursor, la_int64_t request, int whence);

// Skip callback: skips up to `request` bytes without passing the window's end;
// the count skipped (0 for a request of 0 or less).
la_int64_t WindowSkip(struct archive* archive, void* cursor, la_int64_t request);

}  // namespace ArchiveMount

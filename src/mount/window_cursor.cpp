#include "mount/window_cursor.h"

#include <algorithm>
#include <cerrno>

#include "platform/platform.h"

namespace ArchiveMount {

la_ssize_t WindowRead(struct archive* archive, void* data, const void** block) {
    auto& cursor = *static_cast<WindowCursor*>(data);
    if (cursor.position >= cursor.length) {
        const std::int64_t in_tail = cursor.position - cursor.length;
        const std::int64_t left = static_cast<std::int64_t>(cursor.tail.size()) - in_tail;
        if (left <= 0) return 0;
        *block = cursor.tail.data() + in_tail;
        cursor.position += left;
        return static_cast<la_ssize_t>(left);
    }
    const std::int64_t into = cursor.position - cursor.buffered_from;
    if (into >= 0 && into < cursor.buffered) {
        const std::int64_t n = cursor.buffered - into;
        *block = cursor.buffer.data() + into;
        cursor.position += n;
        return static_cast<la_ssize_t>(n);
    }
    const std::int64_t n = std::min<std::int64_t>(cursor.length - cursor.position, WindowCursor::kBufferSize);
    cursor.buffered = 0;
    const long long count = platform::ReadAt(cursor.descriptor, cursor.buffer.data(), static_cast<std::size_t>(n),
                                             cursor.offset + cursor.position);
    if (count <= 0) {
        archive_set_error(archive, count < 0 ? platform::LastErrorNumber() : EIO,
                          "the file ends inside the archive window");
        return ARCHIVE_FATAL;
    }
    cursor.buffered_from = cursor.position;
    cursor.buffered = count;
    cursor.position += count;
    *block = cursor.buffer.data();
    return static_cast<la_ssize_t>(count);
}

la_int64_t WindowSeek(struct archive* archive, void* data, la_int64_t request, int whence) {
    auto& cursor = *static_cast<WindowCursor*>(data);
    la_int64_t base = 0;
    bool known_whence = true;
    switch (whence) {
        case SEEK_SET: base = 0; break;
        case SEEK_CUR: base = cursor.position; break;
        case SEEK_END: base = cursor.End(); break;
        default: known_whence = false; break;
    }
    // An overflowing sum is as far outside the window as any other target.
    la_int64_t target = 0;
    if (!known_whence || __builtin_add_overflow(request, base, &target) || target < 0 || target > cursor.End()) {
        archive_set_error(archive, EINVAL, "seek outside the archive window");
        return ARCHIVE_FATAL;
    }
    cursor.position = target;
    return target;
}

la_int64_t WindowSkip(struct archive*, void* data, la_int64_t request) {
    auto& cursor = *static_cast<WindowCursor*>(data);
    if (request <= 0) return 0;
    const la_int64_t n = std::min<la_int64_t>(request, cursor.End() - cursor.position);
    cursor.position += n;
    return n;
}

}  // namespace ArchiveMount

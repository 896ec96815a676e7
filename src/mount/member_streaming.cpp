// Reaching a member through the archive library and streaming its data.
#include <archive.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "mount/archive_reader_impl.h"
#include "mount/library_setup.h"
#include "mount/member_materialization.h"

namespace ArchiveMount {

namespace {

// Holes of a sparse member reach the sink in pieces of this size, and the
// verdict on a member longer than declared is taken over stretches of it.
constexpr std::int64_t kStretch = 0x10000;

}  // namespace

Error LibraryFailure(struct archive* archive, const char* fallback, std::string* message) {
    if (message) *message = LibraryErrorText(archive, fallback);
    return Error::Damaged;
}

namespace {

// From header number `from`, which the handle reads next, to the start of the
// data of header number `ordinal`, skipping the data of every header between.
Error WalkTo(LibraryHandle& handle, int from, int ordinal, std::string* message) {
    struct archive_entry* header = nullptr;
    for (int k = from;; ++k) {
        const int result = archive_read_next_header(handle.archive, &header);
        if (result == ARCHIVE_EOF) {
            if (message) *message = "ordinal past the end";
            return Error::NoSuchEntry;
        }
        // A header read with a warning is still a header and keeps the count.
        if (result < 0 && result != ARCHIVE_WARN) return LibraryFailure(handle.archive, "header failed", message);
        if (k == ordinal) return Error::Ok;
        if (archive_read_data_skip(handle.archive) < 0) return LibraryFailure(handle.archive, "skip failed", message);
    }
}

Error Refused(std::string* message) {
    if (message) *message = "cannot write the member";
    return Error::OpenFailed;
}

}  // namespace

Error ArchiveReader::Impl::seek_ordinal(int ordinal, LibraryHandle& handle, std::string* message) const {
    if (OpenLibraryHandle(descriptor.get(), detected_format, kind == ArchiveKind::Zip, raw_stream, window, handle,
                          message) != kLibraryOpened) {
        return Error::OpenFailed;
    }
    return WalkTo(handle, 0, ordinal, message);
}

Error ArchiveReader::Impl::reach_member(int ordinal, std::unique_ptr<LibraryHandle>& handle,
                                        std::string* message) const {
    if (kind == ArchiveKind::Zip && ordinal >= 0 && static_cast<std::size_t>(ordinal) < zip_places.size()) {
        const std::uint64_t base = window.present ? static_cast<std::uint64_t>(window.offset) : 0;
        ZipMemberView view = ShowZipMember(descriptor.get(), base, zip_places[ordinal], zip_directory_offset);
        if (!view.tail.empty()) {
            // The member alone is header 0 of its view. A view the library
            // will not open is ours to blame, not the archive's: walk instead.
            handle = std::make_unique<LibraryHandle>();
            std::string refused;
            if (OpenZipMemberHandle(descriptor.get(), std::move(view), *handle, &refused) == kLibraryOpened)
                return WalkTo(*handle, 0, 0, message);
        }
    }
    if (kept_handle && kept_next <= ordinal) {
        handle = std::move(kept_handle);
        return WalkTo(*handle, kept_next, ordinal, message);
    }
    drop_kept();
    handle = std::make_unique<LibraryHandle>();
    if (OpenKeepableHandle(descriptor.get(), detected_format, kind == ArchiveKind::Zip, raw_stream, window,
                           archive_size, *handle, message) != kLibraryOpened)
        return Error::OpenFailed;
    return WalkTo(*handle, 0, ordinal, message);
}

void ArchiveReader::Impl::keep_for_later(std::unique_ptr<LibraryHandle> handle, int ordinal) const {
    if (kind == ArchiveKind::Zip) return;
    kept_handle = std::move(handle);
    kept_next = ordinal + 1;
}

void ArchiveReader::Impl::drop_kept() const { kept_handle.reset(); }

namespace {

// The next block of the member's data, or the end (`end` set) with the
// offset the library reports there. Damaged with the library's text when the
// read fails, and for a block that starts before `reached`, as the library's
// own copying read refuses it.
Error NextBlock(struct archive* archive, std::int64_t reached, const unsigned char*& data, std::int64_t& count,
                std::int64_t& offset, bool& end, std::string* message) {
    const void* block = nullptr;
    std::size_t size = 0;
    la_int64_t at = reached;
    const int result = archive_read_data_block(archive, &block, &size, &at);
    end = result == ARCHIVE_EOF;
    offset = at;
    count = 0;
    if (end) return Error::Ok;
    // Unlike a header, data read with a warning is not trusted.
    if (result != ARCHIVE_OK) return LibraryFailure(archive, "read failed", message);
    if (at < reached) {
        if (message) *message = "Encountered out-of-order sparse blocks";
        return Error::Damaged;
    }
    data = static_cast<const unsigned char*>(block);
    count = static_cast<std::int64_t>(size);
    return Error::Ok;
}

// A member whose data has run past `declared` up to `reached`. The verdict
// must not depend on where the library cuts its blocks: the whole stretch
// that holds the first byte past the declared size is read, and a library
// failure inside it wins over the size.
Error PastDeclaredSize(struct archive* archive, std::int64_t declared, std::int64_t reached, std::string* message) {
    const std::int64_t stretch_end = (declared / kStretch + 1) * kStretch;
    while (reached < stretch_end) {
        const unsigned char* data = nullptr;
        std::int64_t count = 0, offset = 0;
        bool end = false;
        const Error code = NextBlock(archive, reached, data, count, offset, end, message);
        if (code != Error::Ok) return code;
        if (end) break;
        reached = offset + count;
    }
    if (message) *message = "member longer than its declared size";
    return Error::Damaged;
}

}  // namespace

Error ArchiveReader::Impl::stream_member(struct archive* archive, const Entry& entry, const MemberSink& sink,
                                         std::string* message) const {
    // The library's blocks go to the sink as they are, with no copy; the
    // holes of a sparse member come from zeros that are never written.
    static const unsigned char kZeros[kStretch] = {};
    std::int64_t total = 0;
    for (;;) {
        const unsigned char* data = nullptr;
        std::int64_t count = 0, offset = 0;
        bool end = false;
        const Error code = NextBlock(archive, total, data, count, offset, end, message);
        if (code != Error::Ok) return code;
        if (end) {
            // The library's copying read, by which a member must come out
            // alike, honours what the end reports (a hole that ends a sparse
            // member) only when it meets the end partway through a stretch;
            // at the start of one the member ends with its data. A link may
            // report an end past its size of 0.
            if (total % kStretch == 0) offset = total;
            if (offset < total) {
                if (message) *message = "Encountered out-of-order sparse blocks";
                return Error::Damaged;
            }
        }
        // No byte past the declared size ever reaches the sink.
        if (offset + count > entry.size) return PastDeclaredSize(archive, entry.size, offset + count, message);
        for (std::int64_t hole = offset - total; hole > 0;) {
            const std::int64_t piece = std::min(hole, kStretch);
            if (!sink(kZeros, static_cast<unsigned long long>(piece))) return Refused(message);
            hole -= piece;
        }
        if (end) {
            if (offset == entry.size) return Error::Ok;
            if (message) *message = "member shorter than its declared size";
            return Error::Damaged;
        }
        if (count > 0 && !sink(data, static_cast<unsigned long long>(count))) return Refused(message);
        total = offset + count;
    }
}

}  // namespace ArchiveMount

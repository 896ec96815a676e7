// Reaching a member through the archive library and streaming its data.
#include <archive.h>

#include <memory>
#include <vector>

#include "mount/archive_reader_impl.h"
#include "mount/library_setup.h"
#include "mount/member_materialization.h"

namespace ArchiveMount {

namespace {

constexpr std::size_t kReadBlock = 0x10000;

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

Error ArchiveReader::Impl::stream_member(struct archive* archive, const Entry& entry, const MemberSink& sink,
                                         std::string* message) const {
    // On the stack: a tree of small members paid for allocating and zeroing
    // a heap block per member.
    unsigned char buffer[kReadBlock];
    std::int64_t total = 0;
    for (;;) {
        const la_ssize_t count = archive_read_data(archive, buffer, sizeof buffer);
        // Unlike a header, data read with a warning is not trusted.
        if (count < 0) return LibraryFailure(archive, "read failed", message);
        if (count == 0) {
            if (total == entry.size) return Error::Ok;
            if (message) *message = "member shorter than its declared size";
            return Error::Damaged;
        }
        total += count;
        if (total > entry.size) {
            // The block that crosses the declared size never reaches the sink.
            if (message) *message = "member longer than its declared size";
            return Error::Damaged;
        }
        if (!sink(buffer, static_cast<unsigned long long>(count))) {
            if (message) *message = "cannot write the member";
            return Error::OpenFailed;
        }
    }
}

}  // namespace ArchiveMount

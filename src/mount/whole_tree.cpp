// Every file member into one flat directory, named by ordinal, in one pass.
#include <archive.h>

#include <string>
#include <system_error>

#include "mount/library_setup.h"
#include "mount/member_materialization.h"
#include "platform/platform.h"

namespace ArchiveMount {

namespace {

// True when the index lists a file member at or past `ordinal`.
bool FileMemberFrom(const ArchiveReader::Impl& impl, int ordinal) {
    for (const Entry& entry : impl.entries) {
        if (!entry.is_dir && entry.ordinal >= ordinal) return true;
    }
    return false;
}

}  // namespace

Error ArchiveReader::MaterializeAll(const std::filesystem::path& directory, std::string* message) {
    const Impl& impl = *impl_;
    Error code = CheckUnchanged(impl, message);
    if (code != Error::Ok) return code;

    std::error_code made;
    std::filesystem::create_directories(directory, made);
    if (made) {
        if (message) *message = "cannot create " + platform::PathToUtf8(directory);
        return Error::OpenFailed;
    }

    if (impl.isz_image) {
        const Entry* image = FindFileEntry(impl, 0);
        if (image == nullptr) {
            if (message) *message = "no such member";
            return Error::NoSuchEntry;
        }
        return impl.write_member(IszProducer(impl, message), *image, directory / "0", message);
    }

    // One handle for the whole pass: each member is reached by reading on, not
    // by walking again from the first header.
    LibraryHandle handle;
    if (OpenLibraryHandle(impl.descriptor.get(), impl.detected_format, impl.kind == ArchiveKind::Zip, impl.raw_stream,
                          impl.window, handle, message) != kLibraryOpened) {
        return Error::OpenFailed;
    }
    struct archive_entry* header = nullptr;
    for (int k = 0;; ++k) {
        const int result = archive_read_next_header(handle.archive, &header);
        if (result == ARCHIVE_EOF) {
            // An archive that ends before members the index lists must not
            // pass for a complete tree.
            if (FileMemberFrom(impl, k)) {
                if (message) *message = "ordinal past the end";
                return Error::NoSuchEntry;
            }
            return Error::Ok;
        }
        if (result < 0 && result != ARCHIVE_WARN) return LibraryFailure(handle.archive, "header failed", message);
        const Entry* entry = FindFileEntry(impl, k);
        if (entry == nullptr) {
            // A failed skip shows in the next header read.
            archive_read_data_skip(handle.archive);
            continue;
        }
        // A legacy member is read from the reader's own descriptor; the next
        // header read passes over its data in the library.
        MemberProducer produce = LegacyProducer(impl, k, *entry, message);
        if (!produce) {
            produce = [&](const MemberSink& sink) { return impl.stream_member(handle.archive, *entry, sink, message); };
        }
        code = impl.write_member(produce, *entry, directory / std::to_string(k), message);
        if (code != Error::Ok) return code;
    }
}

}  // namespace ArchiveMount

#include "mount/archive_sources.h"

#include "log/logger.h"
#include "mount/archive_reader_impl.h"
#include "platform/platform.h"

namespace ArchiveMount {

namespace {

// The smallest ZIP end record; nothing shorter can be an archive of any kind
// the helper opens through a window.
constexpr std::int64_t kMinWindowLength = 22;

bool WindowFits(const ArchiveWindow& window, std::int64_t file_size) {
    return window.offset >= 0 && window.offset <= file_size && window.length <= file_size - window.offset &&
           window.length >= kMinWindowLength;
}

}  // namespace

platform::Descriptor OpenArchiveFile(const std::filesystem::path& path) {
    return platform::OpenFileSharedForReading(path);
}

platform::Descriptor DuplicateArchiveDescriptor(int descriptor) {
    return platform::DuplicateSharingPosition(descriptor);
}

bool ReadArchiveIdentity(int descriptor, ArchiveIdentity& out) {
    platform::FileIdentity identity;
    if (!platform::ReadFileIdentity(descriptor, identity)) return false;
    out.size = identity.size;
    out.mtime = identity.mtime;
    return true;
}

void FailOpen(OpenResult& out, const std::filesystem::path& path, Error error, std::string message) {
    out.reader.reset();
    out.error = error;
    out.message = std::move(message);
    tessra::Logger::Instance().Log(3, "archive", "%s: %s (%s)", platform::PathToUtf8(path).c_str(), ErrorText(error),
                                   out.message.c_str());
}

std::unique_ptr<ArchiveReader> AcquireArchive(OpenResult& out, int descriptor, const std::filesystem::path& path,
                                              const OpenLimits& limits, const ArchiveWindow& window) {
    auto reader = std::make_unique<ArchiveReader>(std::make_unique<ArchiveReader::Impl>());
    ArchiveReader::Impl& impl = reader->impl();
    impl.archive_path = path;
    impl.limits = limits;

    impl.descriptor = DuplicateArchiveDescriptor(descriptor);
    if (!impl.descriptor.valid()) {
        FailOpen(out, path, Error::OpenFailed, "cannot duplicate the archive descriptor");
        return nullptr;
    }
    if (!ReadArchiveIdentity(impl.descriptor.get(), impl.identity)) {
        FailOpen(out, path, Error::OpenFailed, "fstat failed");
        return nullptr;
    }
    impl.window = window;
    impl.archive_size = impl.identity.size;
    if (window.present) {
        const auto file_size = static_cast<std::int64_t>(impl.identity.size);
        if (!WindowFits(window, file_size)) {
            FailOpen(out, path, Error::OpenFailed,
                     "archive window outside the file: offset " + std::to_string(window.offset) + ", length " +
                         std::to_string(window.length) + ", file " + std::to_string(file_size));
            return nullptr;
        }
        impl.archive_size = static_cast<std::uint64_t>(window.length);
    }
    return reader;
}

}  // namespace ArchiveMount

#include "mount/archive_sources.h"

namespace ArchiveMount {

void OpenArchivePath(OpenResult& out, const std::filesystem::path& path, const OpenLimits& limits) {
    const int descriptor = OpenArchiveFile(path);
    if (descriptor < 0) {
        FailOpen(out, path, Error::OpenFailed, "open failed");
        return;
    }
    OpenArchiveDescriptor(out, descriptor, path, limits, ArchiveWindow{});
    CloseArchiveDescriptor(descriptor);
}

void OpenArchiveDescriptor(OpenResult& out, int descriptor, const std::filesystem::path& path,
                           const OpenLimits& limits, const ArchiveWindow& window) {
    std::unique_ptr<ArchiveReader> reader = AcquireArchive(out, descriptor, path, limits, window);
    if (!reader) return;
    // Detection, pre-readers and the walk follow here once they exist.
    FailOpen(out, path, Error::OpenFailed, "opening archives is not built yet");
}

}  // namespace ArchiveMount

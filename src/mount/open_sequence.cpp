#include "mount/archive_index.h"

namespace ArchiveMount {

// Archives cannot be opened yet: every open fails plainly.
void OpenArchivePath(OpenResult& out, const std::filesystem::path&, const OpenLimits&) {
    out = OpenResult{};
    out.error = Error::OpenFailed;
    out.message = "opening archives is not built yet";
}

void OpenArchiveDescriptor(OpenResult& out, int, const std::filesystem::path&, const OpenLimits&,
                           const ArchiveWindow&) {
    out = OpenResult{};
    out.error = Error::OpenFailed;
    out.message = "opening archives is not built yet";
}

}  // namespace ArchiveMount

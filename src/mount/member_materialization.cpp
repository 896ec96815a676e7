#include "mount/archive_reader_impl.h"

namespace ArchiveMount {

// Members cannot be written out yet; no reader exists before the open
// sequence does, so these are never reached by the request loop.
Error ArchiveReader::Materialize(int, std::vector<unsigned char>&, std::string* message) {
    if (message) *message = "materializing members is not built yet";
    return Error::HelperFailed;
}

Error ArchiveReader::MaterializeToFile(int, const std::filesystem::path&, std::string* message) {
    if (message) *message = "materializing members is not built yet";
    return Error::HelperFailed;
}

Error ArchiveReader::MaterializeAll(const std::filesystem::path&, std::string* message) {
    if (message) *message = "materializing members is not built yet";
    return Error::HelperFailed;
}

}  // namespace ArchiveMount

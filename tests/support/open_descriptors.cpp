#include "support/open_descriptors.h"

#include <filesystem>
#include <iterator>

namespace testsupport {

std::size_t OpenDescriptorCount() {
    // The iterator's own descriptor is counted too, the same in every call.
    const std::filesystem::directory_iterator entries("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(entries, std::filesystem::directory_iterator{}));
}

}  // namespace testsupport

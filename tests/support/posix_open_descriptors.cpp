#include "support/open_descriptors.h"

#include <filesystem>
#include <iterator>

namespace testsupport {

std::size_t OpenDescriptorCount() {
    // The iterator's own descriptor is counted too, the same in every call.
    const std::filesystem::directory_iterator entries("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(entries, std::filesystem::directory_iterator{}));
}

std::set<std::string> OpenDescriptorsOf(int pid) {
    std::set<std::string> found;
    std::error_code error;
    for (const auto& item : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        std::error_code unreadable;
        found.insert(item.path().filename().string() + " -> " +
                     std::filesystem::read_symlink(item.path(), unreadable).string());
    }
    return found;
}

}  // namespace testsupport

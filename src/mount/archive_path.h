// Member paths as the index accepts them: checked, cut into components, and
// free of names that DOS would take for a device.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ArchiveMount {

// Why SplitArchivePath refused a path.
enum PathRefusal : int {
    kPathAbsolute = 1,
    kPathDotDot = 2,
    kPathEmptyComponent = 3,
    kPathControlCharacter = 4,
    kPathComponentTooLong = 5,
    kPathReservedDevice = 6,
};

// The message text of a refusal reason; "" for any value outside 1..6.
const char* PathRefusalText(int reason);

struct SplitPathResult {
    std::vector<std::string> components;  // in path order
    bool trailing_separator = false;      // the name denotes a directory
    bool ok = false;                      // the other fields hold only when set
};

// Checks a member path ("/" and "\" both separate) and cuts it into
// components: "." components vanish, trailing dots and spaces are dropped.
// `reason` (may be null) receives 0 on success, else the refusal reason.
// An empty component list with `trailing_separator` names the archive root.
SplitPathResult SplitArchivePath(std::string_view name, int* reason);

// True when DOS would open a device for this component, whatever its
// extension, trailing dots or spaces, or letter case.
bool IsReservedDeviceName(std::string_view component);

}  // namespace ArchiveMount

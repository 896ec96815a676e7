// The parts of the host layer that are the same on every host, built on the
// host's own calls.
#include "platform/platform.h"

namespace platform {

bool WriteAll(int descriptor, const void* buffer, std::size_t count) {
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    while (count > 0) {
        const long long written = WriteSome(descriptor, bytes, count);
        if (written <= 0) return false;
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace platform

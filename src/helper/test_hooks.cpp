#include "helper/test_hooks.h"

#include <chrono>
#include <cstdlib>
#include <thread>

namespace ArchiveHelper {

void CheckHooks(const HookState& hooks, std::uint32_t ordinal) {
    if (hooks.abort_ordinal && *hooks.abort_ordinal == ordinal) std::abort();
    if (hooks.stall_ordinal && *hooks.stall_ordinal == ordinal) {
        // sleep_for may wake early on a signal; wait out the full time.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(600);
        while (std::chrono::steady_clock::now() < until) std::this_thread::sleep_until(until);
    }
}

ArchiveMount::Error AllocateAndTouch(std::uint32_t mebibytes) {
    const std::size_t size = static_cast<std::size_t>(mebibytes) * 1048576u;
    void* block = std::malloc(size);
    if (block == nullptr) return ArchiveMount::Error::SizeOverLimit;
    // Volatile stores keep the compiler from dropping the block: the pages must
    // really be committed for a cap to refuse them.
    volatile unsigned char* bytes = static_cast<unsigned char*>(block);
    for (std::size_t offset = 0; offset < size; offset += 4096) bytes[offset] = 1;
    std::free(block);
    return ArchiveMount::Error::Ok;
}

}  // namespace ArchiveHelper

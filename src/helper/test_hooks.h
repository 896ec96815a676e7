// Requests that let a test harness make the helper abort, stall or allocate
// at chosen points; served only under --test-hooks.
#pragma once

#include <cstdint>
#include <optional>

#include "mount/archive_error.h"

namespace ArchiveHelper {

struct HookState {
    std::optional<std::uint32_t> abort_ordinal;
    std::optional<std::uint32_t> stall_ordinal;
};

constexpr std::uint32_t kMaterializeAllOrdinal = 0xFFFFFFFF;

// Aborts the process when the abort ordinal is armed and equal; otherwise
// sleeps 600 seconds when the stall ordinal is. Abort wins a tie.
void CheckHooks(const HookState& hooks, std::uint32_t ordinal);

// Allocates `mebibytes` MiB, writes one byte into every 4 KiB page, frees the
// block. SizeOverLimit when the allocation is refused, else Ok.
ArchiveMount::Error AllocateAndTouch(std::uint32_t mebibytes);

}  // namespace ArchiveHelper

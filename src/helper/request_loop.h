// The request loop: one frame at a time from the input descriptor, exactly
// one reply per request on the reply channel, at most 256 frames.
#pragma once

#include <functional>

#include "mount/archive_index.h"

namespace ArchiveHelper {

constexpr int kMaxFrames = 256;

// The two open operations the loop calls; tests put fakes here.
struct ArchiveOpeners {
    std::function<void(ArchiveMount::OpenResult&, const std::filesystem::path&, const ArchiveMount::OpenLimits&)>
        open_path = ArchiveMount::OpenArchivePath;
    std::function<void(ArchiveMount::OpenResult&, int, const std::filesystem::path&,
                       const ArchiveMount::OpenLimits&, const ArchiveMount::ArchiveWindow&)>
        open_descriptor = ArchiveMount::OpenArchiveDescriptor;
};

// Serves requests read from `input` until the input ends (0), a CloseRequest
// (0), a reply that cannot be written (0), the 256th answered frame (0) or a
// protocol error (2, after its StatusReply). Returns the exit code.
int RunRequestLoop(int input, bool test_hooks_enabled, const ArchiveOpeners& openers = {});

}  // namespace ArchiveHelper

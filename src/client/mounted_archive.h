// An archive opened once and served for as long as the caller wants, over as
// many helpers as that takes. A helper ends after its 256th frame, and may
// die or stall; the mount starts the next one, opens the archive in it again
// and serves on only when the new index has the fingerprint and the identity
// (file size and mtime) of the one it holds.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/archive_session.h"

namespace HelperClient {

// One test hook request (AbortHook, StallHook or AllocateHook) and its u32.
struct TestHook {
    ArchiveHelper::MessageType type = ArchiveHelper::MessageType::AbortHook;
    std::uint32_t value = 0;
};

struct MountOptions {
    // The helper binary, its memory cap, --test-hooks and the reply deadline.
    // For handle passing, archive_handle is the archive's handle: the
    // caller's, handed to every helper, open for as long as the mount.
    SessionOptions session;
    ArchiveMount::OpenLimits limits;
    // With archive_handle: the byte range of that file holding the archive.
    ArchiveMount::ArchiveWindow window;
    // Tests only, with session.test_hooks: asked once per new helper, after
    // the archive is open in it, for the hooks to arm in that helper.
    std::function<std::vector<TestHook>()> hooks_per_helper;
};

// Why a mount could not be made: the first helper's outcome, whether it ran
// at all (false: it could not be started) and its standard error.
struct MountFailure {
    Outcome outcome;
    bool helper_started = false;
    std::string helper_log;
};

class MountedArchive {
public:
    // Starts a helper and opens the archive at `path` (read through the
    // options' descriptor when there is one). Null with the failure when the
    // helper cannot be started, fails or refuses the archive; this first open
    // is never retried.
    static std::unique_ptr<MountedArchive> Open(const std::string& path, const MountOptions& options,
                                                MountFailure* failure);

    MountedArchive(const MountedArchive&) = delete;
    MountedArchive& operator=(const MountedArchive&) = delete;

    // The index of the first open; every later helper's must match it.
    const ArchiveHelper::IndexSummary& Index() const { return index_; }

    // One member, or every file member into `directory` (files named by
    // ordinal), in the current helper or a new one. A request whose helper
    // dies or times out is sent once more to a fresh helper; if that one is
    // lost too, the outcome is its HelperFailed or HelperTimeout and the next
    // request starts another. An answer the helper gives is never retried.
    // ChangedSinceIndexed, from the helper or from a new helper's index,
    // spends the mount: every later request answers the same.
    Outcome Materialize(std::uint32_t ordinal, std::string_view path);
    // `waiting` as in ArchiveSession::MaterializeAll.
    Outcome MaterializeAll(std::string_view directory, const std::function<void()>& waiting = {});

    // Helpers started so far, the first included, and of those the ones that
    // died or timed out; every loss is otherwise hidden from the caller.
    int HelpersStarted() const { return helpers_started_; }
    int HelpersLost() const { return helpers_lost_; }

    // Ends the current helper as ArchiveSession::Finish does; nullopt when
    // none is running. A later request starts a new one.
    std::optional<ExitStatus> Finish();

    // The standard error of the latest helper.
    const std::string& helper_log();

private:
    using Request = std::function<Outcome(ArchiveSession&)>;

    MountedArchive(const std::string& path, const MountOptions& options);
    Outcome Serve(const Request& request);
    // One try of `request`, in a new helper when the current one has no room;
    // `lost` says whether a helper died, timed out or could not be started on
    // the way, which alone earns a retry.
    Outcome Attempt(const Request& request, bool& lost);
    // Ends the current helper, starts the next, opens the archive into
    // `index` and arms the test hooks; on any failure no helper is current.
    Outcome StartHelper(ArchiveHelper::IndexSummary& index, bool& lost);
    // Runs `step` (one frame) in the current helper and counts the frame;
    // `lost` says whether the helper died or timed out on it.
    Outcome Step(const Request& step, bool& lost);
    bool HasRoomForRequest() const;

    MountOptions options_;
    ArchiveHelper::OpenRequest open_;
    ArchiveHelper::IndexSummary index_;
    std::unique_ptr<ArchiveSession> session_;
    int frames_ = 0;  // frames the current helper has answered
    int helpers_started_ = 0;
    int helpers_lost_ = 0;
    std::optional<Outcome> spent_;
};

}  // namespace HelperClient

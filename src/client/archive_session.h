// One helper process seen as a series of requests and decoded answers. Every
// request waits for its reply until a deadline; past it the helper is killed
// and reaped and the answer is HelperTimeout. A helper that dies, closes its
// channel or answers out of protocol gives HelperFailed, and the session is
// spent: later requests answer HelperFailed without a helper.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "client/helper_process.h"
#include "helper/frame_codec.h"

namespace HelperClient {

struct SessionOptions {
    std::string helper_binary;
    std::int64_t memory_limit_mb = 0;  // 0: no cap
    bool test_hooks = false;
    // A host handle value left open in the helper under the same value, so
    // that an OpenRequest can name it as its os_handle: a descriptor number
    // (3 or above) on POSIX, an inheritable handle on Windows.
    // platform::OpenFileForChild opens a file so, platform::HandleValue names it.
    std::optional<std::uint64_t> archive_handle;
    std::chrono::milliseconds reply_timeout{std::chrono::minutes(5)};
};

// A code of the shared enum and its message; the helper's own answers pass
// through unchanged.
struct Outcome {
    ArchiveMount::Error code = ArchiveMount::Error::Ok;
    std::string message;
    bool ok() const { return code == ArchiveMount::Error::Ok; }
};

class ArchiveSession {
public:
    // Starts the helper with the options' arguments; null with a HelperFailed
    // outcome when it cannot be started.
    static std::unique_ptr<ArchiveSession> Start(const SessionOptions& options, Outcome* failure);

    ArchiveSession(const ArchiveSession&) = delete;
    ArchiveSession& operator=(const ArchiveSession&) = delete;
    // Finish(), with a short grace period before the kill.
    ~ArchiveSession();

    Outcome Hello(ArchiveHelper::HelloReply& out);
    // Fills `index` only when the answer is an IndexReply.
    Outcome Open(const ArchiveHelper::OpenRequest& request, ArchiveHelper::IndexSummary& index);
    Outcome Materialize(std::uint32_t ordinal, std::string_view path);
    // `waiting`, when given, is called about every 200 ms while the reply is
    // outstanding (for progress displays).
    Outcome MaterializeAll(std::string_view directory, const std::function<void()>& waiting = {});
    // AbortHook, StallHook or AllocateHook with its u32 argument.
    Outcome SendHook(ArchiveHelper::MessageType hook, std::uint32_t value);

    // Sends CloseRequest, waits up to the reply timeout for the helper to end
    // (killing it after that) and returns how it ended; nullopt when it was
    // already gone.
    std::optional<ExitStatus> Finish();

    // How the helper ended, once it has; the helper's standard error so far.
    const std::optional<ExitStatus>& exit_status() const { return exit_; }
    const std::string& helper_log();
    bool running() const { return process_ != nullptr; }

private:
    explicit ArchiveSession(const SessionOptions& options) : options_(options) {}
    // Sends one request and reads one reply frame of the `expected` type or a
    // StatusReply; the outcome is Ok when `reply` holds such a frame.
    Outcome Exchange(ArchiveHelper::MessageType type, ArchiveHelper::Bytes payload, ArchiveHelper::MessageType expected,
                     Frame& reply, const std::function<void()>& waiting);
    Outcome ExpectStatus(ArchiveHelper::MessageType type, ArchiveHelper::Bytes payload,
                         const std::function<void()>& waiting = {});
    // Ends the helper for good (after a short wait for its exit when its
    // channel closed, else with a kill at once), reaps it, keeps its log and
    // exit status; the outcome's message ends with how it ended.
    Outcome Abandon(ArchiveMount::Error code, std::string message, bool channel_closed = false);

    SessionOptions options_;
    std::unique_ptr<HelperProcess> process_;
    std::optional<ExitStatus> exit_;
    std::string log_;
};

}  // namespace HelperClient

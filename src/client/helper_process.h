// Starts the helper as a child process and speaks frames with it: requests
// to its standard input, replies from its standard output, its standard
// error collected as text. The parent side; never dies of a closed pipe and
// never leaves a zombie, a handle or a descriptor behind.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "helper/frame_codec.h"
#include "platform/child_process.h"

namespace HelperClient {

struct StartOptions {
    std::string binary;
    std::vector<std::string> arguments;
    // A host handle value left open in the child under the same value, for
    // handle passing: a descriptor number (3 or above) on POSIX, an
    // inheritable handle on Windows (platform::OpenFileForChild makes both).
    std::optional<std::uint64_t> inherited_handle;
    // Start the child without a standard error instead of collecting it.
    bool close_standard_error = false;
};

// How the helper ended: whether it exited on its own, its exit code (or on
// POSIX the signal that ended it) and its peak memory where the host tells.
using ExitStatus = platform::ChildExit;

struct Frame {
    ArchiveHelper::MessageType type = ArchiveHelper::MessageType::StatusReply;
    std::vector<unsigned char> payload;
};

enum class ReadResult { Frame, EndOfStream, Malformed, Timeout, Failed };

class HelperProcess {
public:
    using Clock = std::chrono::steady_clock;

    // Starts the binary; null with a message when the pipes, the process or
    // the program fail.
    static std::unique_ptr<HelperProcess> Start(const StartOptions& options, std::string* message);

    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;
    // Closes every pipe; a child still running is killed and reaped.
    ~HelperProcess() = default;

    int pid() const { return child_->id(); }

    // Kills the child unless it has ended, reaps it and returns how it ended.
    ExitStatus Kill();

    // Raw bytes to the child's standard input; false once the child stopped
    // reading (no signal is raised).
    bool WriteBytes(ArchiveHelper::Bytes bytes);
    bool SendRequest(ArchiveHelper::MessageType type, ArchiveHelper::Bytes payload);
    // Ends the child's standard input.
    void CloseInput();

    // The next reply frame, waiting at most `timeout`. A header the protocol
    // does not allow is Malformed; the channel closing is EndOfStream, also
    // inside a frame.
    ReadResult ReadFrame(Frame& out, std::chrono::milliseconds timeout);

    // True once a reply byte (or the channel's end) can be read, waiting at
    // most `wait`; standard error is collected meanwhile.
    bool ReplyReady(std::chrono::milliseconds wait);

    // Everything left on the reply channel up to its end; nullopt when it is
    // still open after `timeout`.
    std::optional<std::vector<unsigned char>> ReadToEnd(std::chrono::milliseconds timeout);

    // Stops listening: the child's next reply write fails.
    void CloseReplies();

    // Reply frames of one kind, decoded; nullopt on anything else.
    std::optional<ArchiveHelper::StatusReply> ReadStatus(std::chrono::milliseconds timeout);
    std::optional<ArchiveHelper::HelloReply> ReadHello(std::chrono::milliseconds timeout);
    std::optional<ArchiveHelper::IndexSummary> ReadIndex(std::chrono::milliseconds timeout);

    // Waits for the child to end, collecting its standard error meanwhile;
    // nullopt when it is still running after `timeout`.
    std::optional<ExitStatus> Wait(std::chrono::milliseconds timeout);

    // What the child wrote to its standard error so far.
    const std::string& StandardError();

private:
    explicit HelperProcess(std::unique_ptr<platform::ChildProcess> child) : child_(std::move(child)) {}
    bool ReadReplyBytes(unsigned char* data, std::size_t count, Clock::time_point deadline, ReadResult& failure);

    std::unique_ptr<platform::ChildProcess> child_;
};

// The helper's exit status text for messages: "exit 2", and for a helper that
// did not exit on its own "signal 9" (POSIX) or "killed" (Windows).
std::string DescribeExit(const ExitStatus& status);

}  // namespace HelperClient

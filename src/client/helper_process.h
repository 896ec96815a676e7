// Starts the helper as a child process and speaks frames with it: requests
// to its standard input, replies from its standard output, its standard
// error collected as text. The parent side; never dies of a closed pipe and
// never leaves a zombie or a descriptor behind.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "helper/frame_codec.h"

namespace HelperClient {

struct StartOptions {
    std::string binary;
    std::vector<std::string> arguments;
    // Left open in the child under the same number (>= 3), for handle passing.
    int inherited_descriptor = -1;
    // Start the child with descriptor 2 closed instead of collecting it.
    bool close_standard_error = false;
};

struct ExitStatus {
    bool exited = false;  // false: ended by a signal
    int code = 0;         // exit code when exited, else the signal number
    long peak_rss_kib = 0;  // the child's largest resident set
};

struct Frame {
    ArchiveHelper::MessageType type = ArchiveHelper::MessageType::StatusReply;
    std::vector<unsigned char> payload;
};

enum class ReadResult { Frame, EndOfStream, Malformed, Timeout, Failed };

class HelperProcess {
public:
    using Clock = std::chrono::steady_clock;

    // Starts the binary; null with a message when the pipes, the fork or the
    // exec fail.
    static std::unique_ptr<HelperProcess> Start(const StartOptions& options, std::string* message);

    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;
    // Closes every pipe; a child still running is killed and reaped.
    ~HelperProcess();

    int pid() const { return pid_; }

    // Kills the child unless it has ended, reaps it and returns how it ended.
    ExitStatus Kill();

    // Raw bytes to the child's standard input; false once the child stopped
    // reading (no SIGPIPE is raised).
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
    HelperProcess() = default;
    // Drains standard error and waits until the reply channel is readable or
    // the deadline passes; false on the deadline.
    bool AwaitReply(Clock::time_point deadline);
    bool ReadReplyBytes(unsigned char* data, std::size_t count, Clock::time_point deadline, ReadResult& failure);
    void DrainStandardError(int wait_milliseconds);
    bool Reap(bool block);

    int pid_ = -1;
    int input_ = -1;
    int replies_ = -1;
    int errors_ = -1;
    std::optional<ExitStatus> status_;
    std::string standard_error_;
};

// The helper's exit status text for messages: "exit 2" or "signal 6".
std::string DescribeExit(const ExitStatus& status);

}  // namespace HelperClient

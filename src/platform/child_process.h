// A child process the parent starts and owns, talking to it through pipes on
// its standard input, output and error. The parent's side of the host layer:
// the helper never starts processes. One implementation per host:
// posix_child_process.cpp, win32_child_process.cpp.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// How a child ended.
struct ChildExit {
    // False when it did not exit on its own: ended by a signal (POSIX), or
    // terminated by its parent (Windows).
    bool exited = false;
    // The exit code when it exited; on POSIX the signal number otherwise.
    int code = 0;
    // Its largest resident set (Windows: peak working set); 0 where unknown.
    long peak_rss_kib = 0;
};

// "exit 2"; for a child that did not exit, "signal 6" (POSIX) or "killed"
// (Windows). Exit codes of Windows exceptions are shown in hexadecimal.
std::string DescribeChildExit(const ChildExit& exit);

struct ChildOptions {
    // UTF-8 path of the program, used as it is (no search path).
    std::string program;
    // The arguments after the program's own name.
    std::vector<std::string> arguments;
    // A handle of the parent's that the child is to hold under the same
    // value; no other handle or descriptor of the parent reaches the child.
    // POSIX: a descriptor numbered 3 or above. Windows: an inheritable handle.
    std::optional<std::uint64_t> inherited_handle;
    // Start the child without a standard error instead of collecting it.
    bool close_standard_error = false;
    // NAME=VALUE settings the child gets on top of the parent's environment,
    // each replacing a variable of the same name.
    std::vector<std::string> environment;
};

// Why a start failed: the stage, and the host's text for the error.
struct StartFailure {
    enum class Stage {
        Options,   // the options cannot be honoured; `reason` says why
        Pipes,     // the pipes could not be made
        Process,   // no process could be made
        Program,   // the program could not be run in it
    };
    Stage stage = Stage::Process;
    std::string reason;
};

class ChildProcess {
public:
    using Clock = std::chrono::steady_clock;
    enum class Read { Data, End, Timeout, Failed };

    // Starts the program; null with the failure when it cannot be run. Nothing
    // is left behind by a failed start.
    static std::unique_ptr<ChildProcess> Start(const ChildOptions& options, StartFailure* failure);

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Closes every pipe; a child still running is killed and reaped.
    ~ChildProcess();

    // The host's process id.
    int id() const;

    // All of `count` bytes to the child's standard input; false once the child
    // stopped reading (never a signal). Blocks while the pipe is full.
    bool Write(const unsigned char* data, std::size_t count);
    // Ends the child's standard input.
    void CloseInput();
    // Closes the parent's end of the child's standard output: its next write
    // there fails.
    void CloseOutput();

    // True once output can be read without waiting (data or its end), false
    // at the deadline; standard error is collected meanwhile.
    bool AwaitOutput(Clock::time_point deadline);
    // Some of the child's standard output, at most `count` bytes into `data`,
    // waiting until the deadline: Data with `got` set, End when the output
    // ended, Timeout, or Failed (also after CloseOutput).
    Read ReadOutput(unsigned char* data, std::size_t count, Clock::time_point deadline, std::size_t& got);

    // Waits until the deadline for the child to end, collecting its standard
    // error meanwhile, and reaps it; nullopt while it still runs.
    std::optional<ChildExit> Wait(Clock::time_point deadline);
    // Kills the child unless it has ended, reaps it and returns how it ended.
    ChildExit Kill();

    // What the child wrote to its standard error so far.
    const std::string& ErrorOutput();

private:
    struct State;
    explicit ChildProcess(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace platform

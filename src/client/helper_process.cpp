// The parent side runs on POSIX directly: it starts and watches a child
// process, which the helper's own platform layer has no business doing.
#include "client/helper_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "client/reply_decoding.h"
#include "platform/platform.h"

namespace HelperClient {

using ArchiveHelper::Bytes;
using ArchiveHelper::MessageType;

namespace {

void CloseIfOpen(int& descriptor) {
    if (descriptor >= 0) close(descriptor);
    descriptor = -1;
}

int Remaining(HelperProcess::Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - HelperProcess::Clock::now()).count();
    if (left <= 0) return 0;
    return left > 60000 ? 60000 : static_cast<int>(left);
}

// Writes with SIGPIPE blocked on this thread, and takes back a SIGPIPE that
// the write raised, so a child that stopped reading cannot kill the parent.
bool WriteWithoutSigpipe(int descriptor, const unsigned char* data, std::size_t count) {
    sigset_t pipe_only, previous;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, &previous);
    sigset_t pending;
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    bool ok = true;
    std::size_t done = 0;
    while (done < count) {
        const ssize_t written = write(descriptor, data + done, count - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (errno == EPIPE && !was_pending) {
                const timespec zero{0, 0};
                while (sigtimedwait(&pipe_only, nullptr, &zero) < 0 && errno == EINTR) {
                }
            }
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(written);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return ok;
}

}  // namespace

std::unique_ptr<HelperProcess> HelperProcess::Start(const StartOptions& options, std::string* message) {
    auto fail = [message](const char* what, int error) {
        if (message) *message = std::string(what) + ": " + std::strerror(error);
        return nullptr;
    };
    if (options.inherited_descriptor >= 0 && options.inherited_descriptor < 3) {
        if (message) *message = "the inherited descriptor must be 3 or above";
        return nullptr;
    }
    // Everything the child needs is built before the fork: after it, only
    // async-signal-safe calls are allowed.
    std::vector<std::string> words;
    words.push_back(options.binary);
    words.insert(words.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    // The helper restarts itself unless its allocator switch is in its
    // environment from the start; handing it over saves a program load.
    std::string allocator = platform::SteadyAllocatorEnvironment();
    std::vector<char*> envp;
    const std::size_t name_length = allocator.find('=') + 1;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (allocator.empty() || std::strncmp(*variable, allocator.data(), name_length) != 0) envp.push_back(*variable);
    }
    if (!allocator.empty()) envp.push_back(allocator.data());
    envp.push_back(nullptr);

    // The owner of the child exists before the child does: no allocation may
    // fail between the fork and the child having an owner that reaps it.
    std::unique_ptr<HelperProcess> process(new HelperProcess());
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1}, report[2] = {-1, -1};
    auto close_all = [&] {
        for (int* pair : {in, out, err, report}) {
            CloseIfOpen(pair[0]);
            CloseIfOpen(pair[1]);
        }
    };
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0 ||
        (!options.close_standard_error && pipe2(err, O_CLOEXEC) != 0)) {
        const int error = errno;
        close_all();
        return fail("cannot create pipes", error);
    }
    const pid_t pid = fork();
    if (pid < 0) {
        const int error = errno;
        close_all();
        return fail("cannot start the helper", error);
    }
    if (pid == 0) {
        bool ok = dup2(in[0], 0) == 0 && dup2(out[1], 1) == 1;
        if (options.close_standard_error) {
            close(2);
        } else {
            ok = ok && dup2(err[1], 2) == 2;
        }
        // Nothing but the standard descriptors and the one handed over may
        // reach the helper.
        if (ok && close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
            for (int descriptor = 3; descriptor < 4096; ++descriptor) fcntl(descriptor, F_SETFD, FD_CLOEXEC);
        }
        if (ok && options.inherited_descriptor >= 0) ok = fcntl(options.inherited_descriptor, F_SETFD, 0) == 0;
        signal(SIGPIPE, SIG_DFL);
        if (ok) execve(argv[0], argv.data(), envp.data());
        const int error = errno;
        [[maybe_unused]] const ssize_t ignored = write(report[1], &error, sizeof error);
        _exit(127);
    }
    process->pid_ = pid;
    process->input_ = in[1];
    process->replies_ = out[0];
    process->errors_ = err[0];
    in[1] = out[0] = err[0] = -1;
    for (int* descriptor : {&in[0], &out[1], &err[1], &report[1]}) CloseIfOpen(*descriptor);
    int child_error = 0;
    ssize_t got;
    do {
        got = read(report[0], &child_error, sizeof child_error);
    } while (got < 0 && errno == EINTR);
    CloseIfOpen(report[0]);
    if (got > 0) {
        process->Reap(true);
        return fail("cannot run the helper", child_error);
    }
    return process;
}

HelperProcess::~HelperProcess() {
    CloseIfOpen(input_);
    CloseIfOpen(replies_);
    if (pid_ > 0) Kill();
    CloseIfOpen(errors_);
}

ExitStatus HelperProcess::Kill() {
    if (!status_) {
        kill(pid_, SIGKILL);
        // Only a child reaped elsewhere cannot be waited for; it is gone all the same.
        if (!Reap(true)) status_ = ExitStatus{false, SIGKILL, 0};
    }
    return *status_;
}

bool HelperProcess::WriteBytes(Bytes bytes) {
    if (input_ < 0) return false;
    return WriteWithoutSigpipe(input_, bytes.data(), bytes.size());
}

bool HelperProcess::SendRequest(MessageType type, Bytes payload) {
    return WriteBytes(ArchiveHelper::EncodeFrame(type, payload));
}

void HelperProcess::CloseInput() { CloseIfOpen(input_); }

void HelperProcess::DrainStandardError(int wait_milliseconds) {
    while (errors_ >= 0) {
        pollfd watch{errors_, POLLIN, 0};
        const int ready = poll(&watch, 1, wait_milliseconds);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return;
        char buffer[4096];
        const ssize_t got = read(errors_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            CloseIfOpen(errors_);
            return;
        }
        standard_error_.append(buffer, static_cast<std::size_t>(got));
        wait_milliseconds = 0;
    }
}

bool HelperProcess::AwaitReply(Clock::time_point deadline) {
    for (;;) {
        pollfd watch[2] = {{replies_, POLLIN, 0}, {errors_, POLLIN, 0}};
        const int ready = poll(watch, errors_ >= 0 ? 2 : 1, Remaining(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return true;  // let the read report the failure
        if (watch[0].revents != 0) return true;
        if (errors_ >= 0 && watch[1].revents != 0) {
            DrainStandardError(0);
            continue;
        }
        if (Clock::now() >= deadline) return false;
    }
}

bool HelperProcess::ReadReplyBytes(unsigned char* data, std::size_t count, Clock::time_point deadline,
                                   ReadResult& failure) {
    std::size_t done = 0;
    while (done < count) {
        if (!AwaitReply(deadline)) {
            failure = ReadResult::Timeout;
            return false;
        }
        const ssize_t got = read(replies_, data + done, count - done);
        if (got < 0 && errno == EINTR) continue;
        if (got == 0) {
            failure = ReadResult::EndOfStream;
            return false;
        }
        if (got < 0) {
            failure = ReadResult::Failed;
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

ReadResult HelperProcess::ReadFrame(Frame& out, std::chrono::milliseconds timeout) {
    if (replies_ < 0) return ReadResult::Failed;
    const auto deadline = Clock::now() + timeout;
    unsigned char header[ArchiveHelper::kFrameHeaderSize];
    ReadResult failure = ReadResult::Failed;
    if (!ReadReplyBytes(header, sizeof header, deadline, failure)) return failure;
    ArchiveHelper::FrameHeader parsed;
    if (!ArchiveHelper::ParseFrameHeader(Bytes(header, sizeof header), ArchiveHelper::kMaxIndexReplyPayload, parsed)) {
        return ReadResult::Malformed;
    }
    out.type = parsed.type;
    out.payload.resize(parsed.length);
    if (!ReadReplyBytes(out.payload.data(), parsed.length, deadline, failure)) return failure;
    return ReadResult::Frame;
}

bool HelperProcess::ReplyReady(std::chrono::milliseconds wait) {
    if (replies_ < 0) return true;
    return AwaitReply(Clock::now() + wait);
}

std::optional<std::vector<unsigned char>> HelperProcess::ReadToEnd(std::chrono::milliseconds timeout) {
    if (replies_ < 0) return std::nullopt;
    const auto deadline = Clock::now() + timeout;
    std::vector<unsigned char> bytes;
    for (;;) {
        if (!AwaitReply(deadline)) return std::nullopt;
        unsigned char buffer[65536];
        const ssize_t got = read(replies_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return bytes;
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
}

void HelperProcess::CloseReplies() { CloseIfOpen(replies_); }

namespace {

// One frame of `type`, decoded; nothing when the read, the type or the
// decoding fails.
template <typename Reply>
std::optional<Reply> ReadReply(HelperProcess& helper, MessageType type, bool (*decode)(Bytes, Reply&),
                               std::chrono::milliseconds timeout) {
    Frame frame;
    Reply reply;
    if (helper.ReadFrame(frame, timeout) != ReadResult::Frame || frame.type != type || !decode(frame.payload, reply))
        return std::nullopt;
    return reply;
}

}  // namespace

std::optional<ArchiveHelper::StatusReply> HelperProcess::ReadStatus(std::chrono::milliseconds timeout) {
    return ReadReply(*this, MessageType::StatusReply, DecodeStatusReply, timeout);
}

std::optional<ArchiveHelper::HelloReply> HelperProcess::ReadHello(std::chrono::milliseconds timeout) {
    return ReadReply(*this, MessageType::HelloReply, DecodeHelloReply, timeout);
}

std::optional<ArchiveHelper::IndexSummary> HelperProcess::ReadIndex(std::chrono::milliseconds timeout) {
    return ReadReply(*this, MessageType::IndexReply, DecodeIndexReply, timeout);
}

bool HelperProcess::Reap(bool block) {
    if (status_) return true;
    int raw = 0;
    rusage usage{};
    pid_t got;
    do {
        got = wait4(pid_, &raw, block ? 0 : WNOHANG, &usage);
    } while (got < 0 && errno == EINTR);
    if (got != pid_) return false;
    ExitStatus status;
    status.exited = WIFEXITED(raw);
    status.code = status.exited ? WEXITSTATUS(raw) : WTERMSIG(raw);
    status.peak_rss_kib = usage.ru_maxrss;
    status_ = status;
    return true;
}

std::optional<ExitStatus> HelperProcess::Wait(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!Reap(false)) {
        if (Clock::now() >= deadline) return std::nullopt;
        if (errors_ >= 0) {
            DrainStandardError(10);
        } else {
            poll(nullptr, 0, 10);
        }
    }
    DrainStandardError(0);
    return status_;
}

const std::string& HelperProcess::StandardError() {
    DrainStandardError(0);
    return standard_error_;
}

std::string DescribeExit(const ExitStatus& status) {
    return (status.exited ? "exit " : "signal ") + std::to_string(status.code);
}

}  // namespace HelperClient

// POSIX children: fork and exec, pipes watched with poll, wait4 for the exit
// status and the child's resource use.
#include "platform/child_process.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/owners.h"

namespace platform {

namespace {

using Clock = ChildProcess::Clock;

int MillisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left > 60000 ? 60000 : static_cast<int>(left);
}

bool MakePipe(Descriptor& read_end, Descriptor& write_end) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    read_end.reset(ends[0]);
    write_end.reset(ends[1]);
    return true;
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

struct ChildProcess::State {
    pid_t pid = -1;
    Descriptor input;
    Descriptor output;
    Descriptor errors;
    std::optional<ChildExit> exit;
    std::string error_text;

    // Reads what standard error holds, waiting up to `wait_milliseconds` for
    // the first of it.
    void DrainErrors(int wait_milliseconds) {
        while (errors.valid()) {
            pollfd watch{errors.get(), POLLIN, 0};
            const int ready = poll(&watch, 1, wait_milliseconds);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return;
            char buffer[4096];
            const ssize_t got = read(errors.get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                errors.reset();
                return;
            }
            error_text.append(buffer, static_cast<std::size_t>(got));
            wait_milliseconds = 0;
        }
    }

    bool AwaitOutput(Clock::time_point deadline) {
        for (;;) {
            pollfd watch[2] = {{output.get(), POLLIN, 0}, {errors.get(), POLLIN, 0}};
            const int ready = poll(watch, errors.valid() ? 2 : 1, MillisecondsUntil(deadline));
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) return true;  // let the read report the failure
            if (watch[0].revents != 0) return true;
            if (errors.valid() && watch[1].revents != 0) {
                DrainErrors(0);
                continue;
            }
            if (Clock::now() >= deadline) return false;
        }
    }

    bool Reap(bool block) {
        if (exit) return true;
        int raw = 0;
        rusage usage{};
        pid_t got;
        do {
            got = wait4(pid, &raw, block ? 0 : WNOHANG, &usage);
        } while (got < 0 && errno == EINTR);
        if (got != pid) return false;
        ChildExit ended;
        ended.exited = WIFEXITED(raw);
        ended.code = ended.exited ? WEXITSTATUS(raw) : WTERMSIG(raw);
        ended.peak_rss_kib = usage.ru_maxrss;
        exit = ended;
        return true;
    }
};

ChildProcess::ChildProcess(std::unique_ptr<State> state) : state_(std::move(state)) {}

std::unique_ptr<ChildProcess> ChildProcess::Start(const ChildOptions& options, StartFailure* failure) {
    auto fail = [failure](StartFailure::Stage stage, std::string reason) {
        if (failure) *failure = {stage, std::move(reason)};
        return nullptr;
    };
    if (options.inherited_handle && (*options.inherited_handle < 3 || *options.inherited_handle > INT_MAX)) {
        return fail(StartFailure::Stage::Options, "the inherited descriptor must be 3 or above");
    }
    const int inherited = options.inherited_handle ? static_cast<int>(*options.inherited_handle) : -1;
    // Everything the child needs is built before the fork: after it, only
    // async-signal-safe calls are allowed.
    std::vector<std::string> words;
    words.push_back(options.program);
    words.insert(words.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<std::string> settings = options.environment;
    std::vector<char*> envp;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string_view name(*variable, std::strcspn(*variable, "="));
        const bool replaced = std::any_of(settings.begin(), settings.end(), [&](const std::string& setting) {
            return setting.size() > name.size() && setting.compare(0, name.size(), name) == 0 &&
                   setting[name.size()] == '=';
        });
        if (!replaced) envp.push_back(*variable);
    }
    for (auto& setting : settings) envp.push_back(setting.data());
    envp.push_back(nullptr);

    // The owner of the child exists before the child does: no allocation may
    // fail between the fork and the child having an owner that reaps it.
    std::unique_ptr<ChildProcess> child(new ChildProcess(std::make_unique<State>()));
    State& state = *child->state_;
    Descriptor in_read, out_write, err_write, report_read, report_write;
    if (!MakePipe(in_read, state.input) || !MakePipe(state.output, out_write) ||
        !MakePipe(report_read, report_write) ||
        (!options.close_standard_error && !MakePipe(state.errors, err_write))) {
        return fail(StartFailure::Stage::Pipes, std::strerror(errno));
    }
    const pid_t pid = fork();
    if (pid < 0) return fail(StartFailure::Stage::Process, std::strerror(errno));
    if (pid == 0) {
        bool ok = dup2(in_read.get(), 0) == 0 && dup2(out_write.get(), 1) == 1;
        if (options.close_standard_error) {
            close(2);
        } else {
            ok = ok && dup2(err_write.get(), 2) == 2;
        }
        // Nothing but the standard descriptors and the one handed over may
        // reach the child.
        if (ok && close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
            for (int descriptor = 3; descriptor < 4096; ++descriptor) fcntl(descriptor, F_SETFD, FD_CLOEXEC);
        }
        if (ok && inherited >= 0) ok = fcntl(inherited, F_SETFD, 0) == 0;
        signal(SIGPIPE, SIG_DFL);
        if (ok) execve(argv[0], argv.data(), envp.data());
        const int error = errno;
        [[maybe_unused]] const ssize_t ignored = write(report_write.get(), &error, sizeof error);
        _exit(127);
    }
    state.pid = pid;
    // The child's ends are the child's alone now.
    in_read.reset();
    out_write.reset();
    err_write.reset();
    report_write.reset();
    int child_error = 0;
    ssize_t got;
    do {
        got = read(report_read.get(), &child_error, sizeof child_error);
    } while (got < 0 && errno == EINTR);
    if (got > 0) {
        state.Reap(true);
        return fail(StartFailure::Stage::Program, std::strerror(child_error));
    }
    return child;
}

ChildProcess::~ChildProcess() {
    state_->input.reset();
    state_->output.reset();
    if (state_->pid > 0) Kill();
}

int ChildProcess::id() const { return state_->pid; }

bool ChildProcess::Write(const unsigned char* data, std::size_t count) {
    if (!state_->input.valid()) return false;
    return WriteWithoutSigpipe(state_->input.get(), data, count);
}

void ChildProcess::CloseInput() { state_->input.reset(); }

void ChildProcess::CloseOutput() { state_->output.reset(); }

bool ChildProcess::AwaitOutput(Clock::time_point deadline) {
    if (!state_->output.valid()) return true;
    return state_->AwaitOutput(deadline);
}

ChildProcess::Read ChildProcess::ReadOutput(unsigned char* data, std::size_t count, Clock::time_point deadline,
                                            std::size_t& got) {
    got = 0;
    if (!state_->output.valid()) return Read::Failed;
    for (;;) {
        if (!state_->AwaitOutput(deadline)) return Read::Timeout;
        const ssize_t result = read(state_->output.get(), data, count);
        if (result < 0 && errno == EINTR) continue;
        if (result == 0) return Read::End;
        if (result < 0) return Read::Failed;
        got = static_cast<std::size_t>(result);
        return Read::Data;
    }
}

std::optional<ChildExit> ChildProcess::Wait(Clock::time_point deadline) {
    while (!state_->Reap(false)) {
        if (Clock::now() >= deadline) return std::nullopt;
        const int slice = std::min(10, MillisecondsUntil(deadline));
        if (state_->errors.valid()) {
            state_->DrainErrors(slice);
        } else {
            poll(nullptr, 0, slice);
        }
    }
    state_->DrainErrors(0);
    return state_->exit;
}

ChildExit ChildProcess::Kill() {
    if (!state_->exit) {
        kill(state_->pid, SIGKILL);
        // Only a child reaped elsewhere cannot be waited for; it is gone all the same.
        if (!state_->Reap(true)) state_->exit = ChildExit{false, SIGKILL, 0};
    }
    return *state_->exit;
}

const std::string& ChildProcess::ErrorOutput() {
    state_->DrainErrors(0);
    return state_->error_text;
}

std::string DescribeChildExit(const ChildExit& exit) {
    return (exit.exited ? "exit " : "signal ") + std::to_string(exit.code);
}

}  // namespace platform

// Win32 children: CreateProcessW with a list of the handles the child may
// inherit, so that nothing else of the parent reaches it. The child's standard
// output and error arrive on named pipes read with overlapped I/O: every wait
// has a deadline, and no thread is needed.
#include "platform/child_process.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwchar>

#include "platform/platform.h"
#include "platform/win32_support.h"

namespace platform {

namespace {

using Clock = ChildProcess::Clock;

constexpr DWORD kPipeBuffer = 65536;
// The exit code a child ended by its parent is given.
constexpr UINT kKilledExitCode = 0xC000013A;  // STATUS_CONTROL_C_EXIT, as for an interrupted console program
// After a child ends, the end of its standard error is awaited this long at
// most: a grandchild may still hold the pipe.
constexpr auto kErrorsGrace = std::chrono::milliseconds(500);

DWORD MillisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left > 60000 ? 60000 : static_cast<DWORD>(left);
}

// Quotes one argument the way the C runtime's command-line parser undoes.
std::wstring Quote(const std::wstring& argument) {
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') backslashes = backslashes * 2 + 1;
        out.append(backslashes, L'\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, L'\\');
    out.push_back(L'"');
    return out;
}

bool Wide(const std::string& utf8, std::wstring& out) {
    const auto path = PathFromUtf8(utf8);
    if (!path) return false;
    out = path->native();
    return true;
}

// A pipe whose reading end is the parent's, opened for overlapped reads, and
// whose writing end is inheritable, for the child.
bool MakeReplyPipe(WinHandle& parent_end, WinHandle& child_end) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 16; ++attempt) {
        wchar_t name[96];
        std::swprintf(name, sizeof name / sizeof name[0], L"\\\\.\\pipe\\ombrex-child-%lu-%u-%llu",
                      GetCurrentProcessId(), counter++, static_cast<unsigned long long>(GetTickCount64()));
        WinHandle server(CreateNamedPipeW(name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                          PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                          0, kPipeBuffer, 0, nullptr));
        if (!server.valid()) {
            if (GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_PIPE_BUSY) continue;  // name taken
            return false;
        }
        SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        WinHandle client(
            CreateFileW(name, GENERIC_WRITE, 0, &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!client.valid()) return false;
        parent_end = std::move(server);
        child_end = std::move(client);
        return true;
    }
    return false;
}

// The writing end the parent's, the reading end inheritable, for the child.
bool MakeRequestPipe(WinHandle& parent_end, WinHandle& child_end) {
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, nullptr, kPipeBuffer)) return false;
    child_end.reset(read_end);
    parent_end.reset(write_end);
    return SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) != 0;
}

// The reading end of a pipe, read with at most one overlapped read in flight
// into a buffer of its own; the read is cancelled and awaited before the
// buffer or the handle goes.
class PipeReader {
public:
    PipeReader() = default;
    PipeReader(const PipeReader&) = delete;
    PipeReader& operator=(const PipeReader&) = delete;
    ~PipeReader() { Close(); }

    bool Open(WinHandle pipe) {
        event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!event_.valid()) return false;
        pipe_ = std::move(pipe);
        state_ = State::Open;
        return true;
    }

    bool open() const { return pipe_.valid(); }
    HANDLE event() const { return event_.get(); }
    // Data is buffered, or the pipe has ended or failed: a read need not wait.
    bool ready() const { return begin_ < end_ || state_ != State::Open; }
    bool has_data() const { return begin_ < end_; }
    // Data has come that nothing was taken from yet.
    bool fresh() const { return begin_ == 0 && end_ > 0; }
    bool ended() const { return state_ == State::Ended; }

    // Starts a read unless one is in flight or the pipe is ready.
    void Arm() {
        if (pending_ || ready() || !open()) return;
        overlapped_ = OVERLAPPED{};
        overlapped_.hEvent = event_.get();
        if (ReadFile(pipe_.get(), buffer_, sizeof buffer_, nullptr, &overlapped_) ||
            GetLastError() == ERROR_IO_PENDING) {
            pending_ = true;
        } else {
            Finish(GetLastError());
        }
    }

    // Takes in a read that finished, without waiting.
    void Collect() {
        if (!pending_) return;
        DWORD got = 0;
        if (GetOverlappedResult(pipe_.get(), &overlapped_, &got, FALSE)) {
            pending_ = false;
            begin_ = 0;
            end_ = got;
        } else if (GetLastError() != ERROR_IO_INCOMPLETE) {
            pending_ = false;
            Finish(GetLastError());
        }
    }

    std::size_t Take(unsigned char* data, std::size_t count) {
        const std::size_t taken = std::min(count, end_ - begin_);
        std::copy(buffer_ + begin_, buffer_ + begin_ + taken, data);
        begin_ += taken;
        return taken;
    }

    void Close() {
        if (pending_) {
            CancelIoEx(pipe_.get(), &overlapped_);
            DWORD ignored = 0;
            GetOverlappedResult(pipe_.get(), &overlapped_, &ignored, TRUE);
            pending_ = false;
        }
        pipe_.reset();
        event_.reset();
        state_ = State::Failed;
        begin_ = end_ = 0;
    }

private:
    enum class State { Open, Ended, Failed };

    void Finish(DWORD error) {
        const bool end = error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF || error == ERROR_PIPE_NOT_CONNECTED;
        state_ = end ? State::Ended : State::Failed;
    }

    WinHandle pipe_;
    WinHandle event_;
    OVERLAPPED overlapped_{};
    bool pending_ = false;
    State state_ = State::Failed;
    unsigned char buffer_[kPipeBuffer];
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

// The attribute list that limits what a child inherits to `handles`.
class InheritanceList {
public:
    bool Build(const std::vector<HANDLE>& handles) {
        handles_ = handles;
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return false;
        initialized_ = true;
        return UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                         handles_.size() * sizeof(HANDLE), nullptr, nullptr) != 0;
    }
    LPPROC_THREAD_ATTRIBUTE_LIST get() { return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data()); }
    ~InheritanceList() {
        if (initialized_) DeleteProcThreadAttributeList(get());
    }

private:
    std::vector<HANDLE> handles_;
    std::vector<unsigned char> storage_;
    bool initialized_ = false;
};

}  // namespace

struct ChildProcess::State {
    WinHandle process;
    DWORD id = 0;
    WinHandle input;
    PipeReader output;
    PipeReader errors;
    std::optional<ChildExit> exit;
    std::string error_text;
    long peak_rss_kib = 0;

    // Some hosts (Wine) have no memory figures for a process that has ended,
    // so they are also taken whenever output arrives from the child.
    void NotePeakMemory() {
        PROCESS_MEMORY_COUNTERS counters{};
        counters.cb = sizeof counters;
        if (GetProcessMemoryInfo(process.get(), &counters, sizeof counters)) {
            peak_rss_kib = std::max(peak_rss_kib, static_cast<long>(counters.PeakWorkingSetSize / 1024));
        }
    }

    // Takes in what standard error holds without waiting.
    void CollectErrors() {
        while (errors.open()) {
            errors.Collect();
            if (errors.has_data()) {
                char buffer[4096];
                const std::size_t got = errors.Take(reinterpret_cast<unsigned char*>(buffer), sizeof buffer);
                error_text.append(buffer, got);
                continue;
            }
            if (errors.ready()) {
                errors.Close();
                return;
            }
            errors.Arm();
            errors.Collect();
            if (!errors.ready()) return;
        }
    }

    // Waits for the first of: the output ready, the child ended, the
    // deadline; standard error is taken in meanwhile. WAIT_OBJECT_0 for the
    // output, WAIT_OBJECT_0 + 1 for the child, WAIT_TIMEOUT.
    DWORD Await(bool for_output, Clock::time_point deadline) {
        for (;;) {
            CollectErrors();
            if (for_output) {
                output.Collect();
                output.Arm();
                output.Collect();
                if (output.ready() || !output.open()) return WAIT_OBJECT_0;
            }
            if (!for_output && WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) return WAIT_OBJECT_0 + 1;
            HANDLE watched[2];
            DWORD count = 0;
            watched[count++] = for_output ? output.event() : process.get();
            if (errors.open()) watched[count++] = errors.event();
            const DWORD woke = WaitForMultipleObjects(count, watched, FALSE, MillisecondsUntil(deadline));
            if (woke == WAIT_FAILED) return for_output ? WAIT_OBJECT_0 : WAIT_OBJECT_0 + 1;
            if (woke == WAIT_TIMEOUT && Clock::now() >= deadline) return WAIT_TIMEOUT;
        }
    }

    // Records how the ended child ended, with what is left of its standard
    // error, and lets go of it.
    void Reap(bool killed) {
        DWORD code = 0;
        GetExitCodeProcess(process.get(), &code);
        ChildExit ended;
        ended.exited = !killed;
        ended.code = static_cast<int>(code);
        NotePeakMemory();
        ended.peak_rss_kib = peak_rss_kib;
        exit = ended;
        const auto until = Clock::now() + kErrorsGrace;
        while (errors.open() && Clock::now() < until) {
            CollectErrors();
            if (errors.open()) WaitForSingleObject(errors.event(), MillisecondsUntil(until));
        }
        process.reset();
    }
};

namespace {

// The parent's environment with `settings` put over it, as the block
// CreateProcessW takes: NAME=VALUE strings, each ended by a NUL, and one more
// NUL at the end. Names compare without case, as Windows treats them.
bool EnvironmentBlock(const std::vector<std::string>& settings, std::wstring& block) {
    std::vector<std::wstring> wide(settings.size());
    for (std::size_t i = 0; i < settings.size(); ++i) {
        if (!Wide(settings[i], wide[i]) || wide[i].find(L'=', 1) == std::wstring::npos) return false;
    }
    auto same_name = [](const wchar_t* variable, const std::wstring& setting) {
        const std::size_t name = setting.find(L'=', 1);
        return _wcsnicmp(variable, setting.c_str(), name) == 0 && variable[name] == L'=';
    };
    struct Strings {
        wchar_t* strings = GetEnvironmentStringsW();
        ~Strings() {
            if (strings) FreeEnvironmentStringsW(strings);
        }
    } parent;
    block.clear();
    for (const wchar_t* variable = parent.strings; variable && *variable; variable += wcslen(variable) + 1) {
        if (std::none_of(wide.begin(), wide.end(), [&](const std::wstring& s) { return same_name(variable, s); })) {
            block.append(variable).push_back(L'\0');
        }
    }
    for (const std::wstring& setting : wide) block.append(setting).push_back(L'\0');
    block.push_back(L'\0');
    return true;
}

}  // namespace

ChildProcess::ChildProcess(std::unique_ptr<State> state) : state_(std::move(state)) {}

std::unique_ptr<ChildProcess> ChildProcess::Start(const ChildOptions& options, StartFailure* failure) {
    auto fail = [failure](StartFailure::Stage stage, std::string reason) {
        if (failure) *failure = {stage, std::move(reason)};
        return nullptr;
    };
    HANDLE inherited = nullptr;
    if (options.inherited_handle) {
        inherited = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(*options.inherited_handle));
        DWORD flags = 0;
        if (!GetHandleInformation(inherited, &flags) || (flags & HANDLE_FLAG_INHERIT) == 0) {
            return fail(StartFailure::Stage::Options, "the inherited handle is not an open, inheritable handle");
        }
    }
    std::wstring program;
    std::wstring command_line;
    if (!Wide(options.program, program)) return fail(StartFailure::Stage::Options, "the program's path is not UTF-8");
    command_line = Quote(program);
    for (const std::string& argument : options.arguments) {
        std::wstring wide;
        if (!Wide(argument, wide)) return fail(StartFailure::Stage::Options, "an argument is not UTF-8");
        command_line += L" " + Quote(wide);
    }
    std::wstring environment;
    if (!options.environment.empty() && !EnvironmentBlock(options.environment, environment)) {
        return fail(StartFailure::Stage::Options, "an environment setting is not UTF-8 NAME=VALUE");
    }

    auto state = std::make_unique<State>();
    WinHandle child_input, child_output, child_errors, output, errors;
    if (!MakeRequestPipe(state->input, child_input) || !MakeReplyPipe(output, child_output) ||
        (!options.close_standard_error && !MakeReplyPipe(errors, child_errors)) ||
        !state->output.Open(std::move(output)) || (errors.valid() && !state->errors.Open(std::move(errors)))) {
        return fail(StartFailure::Stage::Pipes, SystemErrorText(GetLastError()));
    }

    std::vector<HANDLE> handles{child_input.get(), child_output.get()};
    if (child_errors.valid()) handles.push_back(child_errors.get());
    if (inherited != nullptr) handles.push_back(inherited);
    InheritanceList inheritance;
    if (!inheritance.Build(handles)) return fail(StartFailure::Stage::Process, SystemErrorText(GetLastError()));

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = child_input.get();
    startup.StartupInfo.hStdOutput = child_output.get();
    startup.StartupInfo.hStdError = child_errors.valid() ? child_errors.get() : nullptr;
    startup.lpAttributeList = inheritance.get();
    PROCESS_INFORMATION created{};
    // No console window: a front end is usually a windowed program.
    if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                        EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT,
                        environment.empty() ? nullptr : environment.data(), nullptr, &startup.StartupInfo, &created)) {
        return fail(StartFailure::Stage::Program, SystemErrorText(GetLastError()));
    }
    CloseHandle(created.hThread);
    state->process.reset(created.hProcess);
    state->id = created.dwProcessId;
    // The child's ends close with this scope: the child holds its own copies.
    return std::unique_ptr<ChildProcess>(new ChildProcess(std::move(state)));
}

ChildProcess::~ChildProcess() {
    state_->input.reset();
    state_->output.Close();
    Kill();
}

int ChildProcess::id() const { return static_cast<int>(state_->id); }

bool ChildProcess::Write(const unsigned char* data, std::size_t count) {
    if (!state_->input.valid()) return false;
    std::size_t done = 0;
    while (done < count) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(count - done, 1u << 20));
        DWORD written = 0;
        if (!WriteFile(state_->input.get(), data + done, chunk, &written, nullptr) || written == 0) return false;
        done += written;
    }
    return true;
}

void ChildProcess::CloseInput() { state_->input.reset(); }

void ChildProcess::CloseOutput() { state_->output.Close(); }

bool ChildProcess::AwaitOutput(Clock::time_point deadline) {
    return state_->Await(true, deadline) != WAIT_TIMEOUT;
}

ChildProcess::Read ChildProcess::ReadOutput(unsigned char* data, std::size_t count, Clock::time_point deadline,
                                            std::size_t& got) {
    got = 0;
    PipeReader& output = state_->output;
    if (!output.open()) return Read::Failed;
    if (state_->Await(true, deadline) == WAIT_TIMEOUT) return Read::Timeout;
    if (output.has_data()) {
        if (output.fresh()) state_->NotePeakMemory();
        got = output.Take(data, count);
        return Read::Data;
    }
    return output.ended() ? Read::End : Read::Failed;
}

std::optional<ChildExit> ChildProcess::Wait(Clock::time_point deadline) {
    if (state_->exit) return state_->exit;
    if (state_->Await(false, deadline) == WAIT_TIMEOUT ||
        WaitForSingleObject(state_->process.get(), 0) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    state_->Reap(false);
    return state_->exit;
}

ChildExit ChildProcess::Kill() {
    if (!state_->exit) {
        const bool running = WaitForSingleObject(state_->process.get(), 0) == WAIT_TIMEOUT;
        // A child that ended on its own in the meantime cannot be terminated.
        const bool killed = running && TerminateProcess(state_->process.get(), kKilledExitCode);
        WaitForSingleObject(state_->process.get(), INFINITE);
        state_->Reap(killed);
    }
    return *state_->exit;
}

const std::string& ChildProcess::ErrorOutput() {
    state_->CollectErrors();
    return state_->error_text;
}

std::string DescribeChildExit(const ChildExit& exit) {
    if (!exit.exited) return "killed";
    const auto code = static_cast<std::uint32_t>(exit.code);
    if (code < 0xC0000000u) return "exit " + std::to_string(code);
    char text[24];
    std::snprintf(text, sizeof text, "exit 0x%08X", static_cast<unsigned>(code));
    return text;
}

}  // namespace platform

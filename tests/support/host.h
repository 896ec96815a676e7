// What tests need of the host beyond the platform layer, which production code
// alone uses: processes, devices, descriptor limits, the time zone. One
// implementation per host: posix_host.cpp, win32_host.cpp.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/owners.h"

namespace testsupport {

constexpr bool kWindowsHost =
#if defined(_WIN32)
    true;
#else
    false;
#endif

// How a process that called abort() ended, as DescribeExit says it: the C
// runtime on Windows exits with 3 where POSIX raises SIGABRT.
constexpr const char* kAbortedExit = kWindowsHost ? "exit 3" : "signal 6";

// True when the tests run under Wine, which accepts a job's memory limit but
// does not enforce it.
bool RunningUnderWine();

// True while the process `pid` has not been reaped: on POSIX while it runs
// or is a zombie; on Windows while it runs (whether its parent still holds a
// handle to it only the parent's handle count shows).
bool ProcessRunning(int pid);

// The ids of the running processes whose parent is this process.
std::vector<int> ChildProcessIds();

// The host's text for a path whose directory does not exist, as a failed
// start of the helper reports it.
std::string NoSuchFileText();

// `path` as the file system takes it literally: itself on POSIX; on Windows
// with the \\?\ prefix, so that a name such as AUX is a file, not the device.
std::filesystem::path LiteralPath(const std::filesystem::path& path);

// Opens `path` for reading as a handle that nothing in this process owns
// (on Windows not even the C runtime's table of descriptors), as the value a
// parent passes: a descriptor number on POSIX, a handle on Windows. Whoever
// takes it over closes it; HandleIsOpen tells whether that happened.
std::uint64_t OpenUnownedHandle(const std::filesystem::path& path);

// True while a handle value (as OpenUnownedHandle gives) names an open handle.
bool HandleIsOpen(std::uint64_t handle);

// A device that is no regular file: /dev/null, NUL.
std::filesystem::path NullDevice();

// A pipe with a name that nobody writes to, for as long as this lives: a
// FIFO in `directory` on POSIX, a named pipe on Windows (whose names live
// outside any directory).
class UnwrittenPipe {
public:
    UnwrittenPipe(const std::filesystem::path& directory, const std::string& name);
    ~UnwrittenPipe();
    UnwrittenPipe(const UnwrittenPipe&) = delete;
    UnwrittenPipe& operator=(const UnwrittenPipe&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
    void* server_ = nullptr;  // Windows: the pipe's listening end
};

// Opens `path` for reading as a descriptor that any child started without
// care would inherit: no close-on-exec on POSIX, over an inheritable handle
// on Windows. Empty on failure.
platform::Descriptor OpenLeakyDescriptor(const std::filesystem::path& path);

// Sets this process's environment variable `name` to `value`, or unsets it
// for nullopt, where child processes inherit it from.
void SetVariable(const std::string& name, const std::optional<std::string>& value);

// While alive, the environment variable `name` of this process is `value`,
// or unset for nullopt; then it is what it was before.
class ScopedVariable {
public:
    ScopedVariable(std::string name, const std::optional<std::string>& value);
    ~ScopedVariable();
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

// Makes this process's local time UTC.
void UseUtcAsLocalTime();

// While alive, this process can make `room` more descriptors and no more.
class ScopedDescriptorLimit {
public:
    explicit ScopedDescriptorLimit(int room);
    ~ScopedDescriptorLimit();
    ScopedDescriptorLimit(const ScopedDescriptorLimit&) = delete;
    ScopedDescriptorLimit& operator=(const ScopedDescriptorLimit&) = delete;

private:
    unsigned long long previous_ = 0;       // POSIX: the limit before
    std::vector<platform::Descriptor> held_;  // Windows: the descriptors that fill the table
};

}  // namespace testsupport

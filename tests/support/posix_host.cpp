// Test-side only: the host calls live here rather than in the platform layer,
// which production code alone uses.
#include "support/host.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

namespace testsupport {

bool RunningUnderWine() { return false; }

bool ProcessRunning(int pid) { return std::filesystem::exists("/proc/" + std::to_string(pid)); }

std::vector<int> ChildProcessIds() {
    std::vector<int> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        if (close == std::string::npos) continue;
        int parent = 0;
        char state = 0;
        std::istringstream rest(line.substr(close + 1));
        rest >> state >> parent;
        if (parent == getpid()) children.push_back(std::stoi(name));
    }
    return children;
}

std::string NoSuchFileText() { return std::strerror(ENOENT); }

std::filesystem::path LiteralPath(const std::filesystem::path& path) { return path; }

std::uint64_t OpenUnownedHandle(const std::filesystem::path& path) {
    const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(descriptor, 0) << path;
    return static_cast<std::uint64_t>(descriptor);
}

bool HandleIsOpen(std::uint64_t handle) {
    return handle <= static_cast<std::uint64_t>(INT_MAX) && fcntl(static_cast<int>(handle), F_GETFD) != -1;
}

std::filesystem::path NullDevice() { return "/dev/null"; }

UnwrittenPipe::UnwrittenPipe(const std::filesystem::path& directory, const std::string& name)
    : path_(directory / name) {
    // The standard library cannot make FIFOs; only tests need one.
    EXPECT_EQ(mkfifo(path_.c_str(), 0600), 0) << path_;
}

UnwrittenPipe::~UnwrittenPipe() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
}

platform::Descriptor OpenLeakyDescriptor(const std::filesystem::path& path) {
    return platform::Descriptor(open(path.c_str(), O_RDONLY));
}

void SetVariable(const std::string& name, const std::optional<std::string>& value) {
    if (value) {
        EXPECT_EQ(setenv(name.c_str(), value->c_str(), 1), 0) << name;
    } else {
        EXPECT_EQ(unsetenv(name.c_str()), 0) << name;
    }
}

void UseUtcAsLocalTime() {
    setenv("TZ", "UTC", 1);
    tzset();
}

ScopedDescriptorLimit::ScopedDescriptorLimit(int room) {
    const int lowest_free = dup(0);  // the number the next descriptor gets
    EXPECT_GE(lowest_free, 0);
    close(lowest_free);
    rlimit limit{};
    EXPECT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    previous_ = limit.rlim_cur;
    limit.rlim_cur = static_cast<rlim_t>(lowest_free + room);
    EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
}

ScopedDescriptorLimit::~ScopedDescriptorLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = static_cast<rlim_t>(previous_);
    setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace testsupport

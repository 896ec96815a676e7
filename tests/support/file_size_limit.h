// Simulates a full disk: files of this process cannot grow past a limit.
// POSIX only (RLIMIT_FSIZE): Windows has no such limit.
#pragma once

namespace testsupport {

// While alive, writes that would grow a file past `bytes` fail with an error
// instead of raising a signal. The previous limit comes back afterwards.
class ScopedFileSizeLimit {
public:
    explicit ScopedFileSizeLimit(unsigned long long bytes);
    ~ScopedFileSizeLimit();
    ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
    ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;

private:
    unsigned long long previous_ = 0;
    void (*previous_handler_)(int) = nullptr;
};

}  // namespace testsupport

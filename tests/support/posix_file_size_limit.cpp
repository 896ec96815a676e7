// Test-side only: the host calls live here rather than in the platform layer,
// which production code alone uses.
#include "support/file_size_limit.h"

#include <csignal>
#include <sys/resource.h>

namespace testsupport {

ScopedFileSizeLimit::ScopedFileSizeLimit(unsigned long long bytes) {
    previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit;
    getrlimit(RLIMIT_FSIZE, &limit);
    previous_ = limit.rlim_cur;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
}

ScopedFileSizeLimit::~ScopedFileSizeLimit() {
    struct rlimit limit;
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = previous_;
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, previous_handler_);
}

}  // namespace testsupport

#include "support/file_size_limit.h"

#include <gtest/gtest.h>

namespace testsupport {

// Windows has no limit on the size of a process's files to stand in for a
// full disk; tests that need one skip on Windows before they get here.
ScopedFileSizeLimit::ScopedFileSizeLimit(unsigned long long) {
    ADD_FAILURE() << "no file size limit on this host";
}

ScopedFileSizeLimit::~ScopedFileSizeLimit() = default;

}  // namespace testsupport

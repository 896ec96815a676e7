// For tests that check that code closes every descriptor it made.
#pragma once

#include <cstddef>

namespace testsupport {

// How many descriptors the process has open right now.
std::size_t OpenDescriptorCount();

}  // namespace testsupport

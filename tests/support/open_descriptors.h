// For tests that check that code closes every descriptor it made.
#pragma once

#include <cstddef>
#include <set>
#include <string>

namespace testsupport {

// How many descriptors the process has open right now.
std::size_t OpenDescriptorCount();

// The descriptors another process of ours holds, each as "number -> target".
std::set<std::string> OpenDescriptorsOf(int pid);

}  // namespace testsupport

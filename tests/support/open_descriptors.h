// For tests that check that code closes every descriptor it made.
#pragma once

#include <cstddef>
#include <set>
#include <string>

namespace testsupport {

// How many descriptors the process has open right now (Windows: handles on
// files, pipes and processes; a handle lies under every descriptor).
std::size_t OpenDescriptorCount();

// The descriptors another process of ours holds, each as "number -> target"
// (Windows: its handles on files, pipes and processes, as "value -> File").
std::set<std::string> OpenDescriptorsOf(int pid);

}  // namespace testsupport

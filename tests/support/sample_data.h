// Reproducible inputs for encoder round trips and benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testsupport {

// Text-like bytes: words from a small vocabulary, with spaces and line breaks.
std::vector<unsigned char> WordText(std::size_t size, std::uint32_t seed = 1);

// Incompressible bytes.
std::vector<unsigned char> RandomBytes(std::size_t size, std::uint32_t seed = 1);

}  // namespace testsupport

// The helper's command line: --memory-limit-mb N, --test-hooks, --version.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace ArchiveHelper {

struct CommandLine {
    std::int64_t memory_limit_mb = 0;  // 0 = no cap
    bool test_hooks = false;
    bool version = false;
    bool usage_error = false;
};

constexpr std::int64_t kMaxMemoryLimitMb = 0x100000;

inline constexpr std::string_view kUsageLine =
    "usage: ombrex-archive-helper [--memory-limit-mb N] [--test-hooks] [--version]\n";

// An optional "-" and one or more ASCII digits, nothing else, within int64.
std::optional<std::int64_t> ParseSignedDecimal(std::string_view text);

// Walks every argument after the program name; each is compared whole. The
// value after --memory-limit-mb is consumed whatever it holds; an invalid one
// keeps the previous limit but flags a usage error.
CommandLine ParseCommandLine(int argc, const char* const* argv);

}  // namespace ArchiveHelper

#include "helper/command_line.h"

#include <limits>

namespace ArchiveHelper {

std::optional<std::int64_t> ParseSignedDecimal(std::string_view text) {
    bool negative = false;
    if (!text.empty() && text.front() == '-') {
        negative = true;
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    // Accumulate towards the negative side so that INT64_MIN parses too.
    std::int64_t value = 0;
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const int digit = c - '0';
        if (value < (kMin + digit) / 10) return std::nullopt;
        value = value * 10 - digit;
    }
    if (negative) return value;
    if (value == kMin) return std::nullopt;
    return -value;
}

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    CommandLine line;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--memory-limit-mb") {
            if (i + 1 >= argc) {
                line.usage_error = true;
                continue;
            }
            const auto value = ParseSignedDecimal(argv[++i]);
            if (value && *value >= 1 && *value <= kMaxMemoryLimitMb) {
                line.memory_limit_mb = *value;
            } else {
                line.usage_error = true;
            }
        } else if (argument == "--test-hooks") {
            line.test_hooks = true;
        } else if (argument == "--version") {
            line.version = true;
        } else {
            line.usage_error = true;
        }
    }
    return line;
}

}  // namespace ArchiveHelper

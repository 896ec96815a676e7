// The command line of ombrex-archive: a command, its operands and the
// options that shape the helper and the open.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "mount/archive_index.h"

namespace HelperClient {

enum class Command { Hello, List, Info, Extract, ExtractAll, Mount };

struct CommandOptions {
    Command command = Command::Hello;
    std::vector<std::string> operands;  // ARCHIVE [MEMBER OUT | DIR], as the command takes them
    bool help = false;
    bool json = false;
    bool stats = false;
    std::string helper;  // empty: the helper beside this program
    ArchiveMount::OpenLimits limits;
    std::int64_t memory_limit_mb = 0;
    ArchiveMount::ArchiveWindow window;
    std::chrono::milliseconds timeout{std::chrono::minutes(5)};
    std::int64_t cache_bytes = std::int64_t{1} << 30;  // what a mount may keep materialized
    std::string cache_dir;                              // empty: the temporary directory
};

extern const char* const kUsageText;

// Parses the arguments after the program name. Options may stand anywhere;
// "--" ends them. False with a one-line message on a usage error; --help
// alone succeeds with `help` set.
bool ParseCommandOptions(const std::vector<std::string>& arguments, CommandOptions& out, std::string* message);

}  // namespace HelperClient

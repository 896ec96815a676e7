// Output files: members reach the file system only complete, written under a
// temporary name beside the final path and renamed into place once.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace ArchiveMount {

// Latest file time stamped on an output file: 2100-01-01 00:00:00 UTC. Member
// times outside 0..kLatestFileTime are clamped into that range.
constexpr std::int64_t kLatestFileTime = 4102444800LL;

// Eight lowercase hex digits per 32-bit draw from std::random_device, lowest
// nibble first. Empty when the random source fails.
std::string RandomHex(int count);

// Creates `path`, which must not exist yet, and wraps it in a "wb" stream that
// the caller closes. Null on failure; nothing is left on disk then.
std::FILE* CreateExclusive(const std::filesystem::path& path);

// Seconds to add to a system-clock time (seconds since 1970) to get the same
// instant on std::filesystem's file clock; measured once per process.
std::int64_t FileClockOffsetSeconds();

}  // namespace ArchiveMount

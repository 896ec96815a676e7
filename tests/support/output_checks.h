// Checks shared by tests that write member files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

// Every file under `directory` (recursively) whose name ends in ".part".
std::vector<std::filesystem::path> PartFilesUnder(const std::filesystem::path& directory);

// Adds a test failure naming every ".part" file left under `directory`.
void ExpectNoPartFiles(const std::filesystem::path& directory);

// The whole content of a file; empty when it cannot be read.
std::string ReadWholeFile(const std::filesystem::path& path);

// The file's last-write time as seconds since 1970-01-01 00:00 UTC.
std::int64_t FileTimeSeconds(const std::filesystem::path& path);

// Sorted file names directly inside `directory`.
std::vector<std::string> FileNamesIn(const std::filesystem::path& directory);

}  // namespace testsupport

// Checks shared by tests that write member files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace test_support {

// A fresh directory under the system's temporary folder, removed with its
// contents when the object goes.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Every file under `directory` (recursively) whose name ends in ".part".
std::vector<std::filesystem::path> PartFilesUnder(const std::filesystem::path& directory);

// Adds a test failure naming every ".part" file left under `directory`.
void ExpectNoPartFiles(const std::filesystem::path& directory);

// The whole content of a file; empty when it cannot be read.
std::string ReadWholeFile(const std::filesystem::path& path);

// Writes `content` to `path`, replacing what was there.
void WriteWholeFile(const std::filesystem::path& path, const std::string& content);

// The file's last-write time as seconds since 1970-01-01 00:00 UTC.
std::int64_t FileTimeSeconds(const std::filesystem::path& path);

// Sorted file names directly inside `directory`.
std::vector<std::string> FileNamesIn(const std::filesystem::path& directory);

// Records the messages logged at WARN with component "archive" from its
// creation to its destruction.
class WarnCapture {
public:
    WarnCapture();
    ~WarnCapture();
    WarnCapture(const WarnCapture&) = delete;
    WarnCapture& operator=(const WarnCapture&) = delete;
    std::vector<std::string> lines() const;
};

}  // namespace test_support

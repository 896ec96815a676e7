// Output files: members reach the file system only complete, written under a
// temporary name beside the final path and renamed into place once.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/owners.h"

namespace ArchiveMount {

// Latest file time stamped on an output file: 2100-01-01 00:00:00 UTC. Member
// times outside 0..kLatestFileTime are clamped into that range.
constexpr std::int64_t kLatestFileTime = 4102444800LL;

// Eight lowercase hex digits per draw: SHA-256 of a key drawn once per
// process from std::random_device and a counter, so no two draws repeat.
// Empty when the random source fails.
std::string RandomHex(int count);

// The output stream's buffer: small pieces are gathered into writes of this
// size, and a whole 64 KiB block from the library goes to the file as it is,
// with no copy through the buffer.
constexpr std::size_t kOutputBufferBytes = 1 << 16;

// Creates `path`, which must not exist yet, and wraps it in a "wb" stream
// buffered in `buffer` (kOutputBufferBytes, the caller's for as long as the
// stream lives). Empty on failure; nothing is left on disk then.
platform::Stream CreateExclusive(const std::filesystem::path& path, char* buffer);

// The one owner of a temporary output file: created exclusively, and removed
// when the owner goes unless Commit has moved it into place.
class TemporaryFile {
public:
    // Creates `path` with CreateExclusive; is_open() tells whether it worked.
    TemporaryFile(std::filesystem::path path, char* buffer);
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    // Closes the stream if still open and removes the file unless committed.
    ~TemporaryFile();

    bool is_open() const { return stream_ != nullptr; }
    std::FILE* stream() const { return stream_.get(); }
    const std::filesystem::path& path() const { return path_; }

    // Flushes and closes the stream; false when the last bytes did not reach
    // the file (or it was never open).
    bool Close();

    // Renames the closed file onto `target`, replacing a file there; after
    // success the file is no longer this owner's. False when the rename fails.
    bool Commit(const std::filesystem::path& target);

private:
    std::filesystem::path path_;
    platform::Stream stream_;
    bool owned_;  // created here and not yet committed
};

// Seconds to add to a system-clock time (seconds since 1970) to get the same
// instant on std::filesystem's file clock; measured once per process.
std::int64_t FileClockOffsetSeconds();

}  // namespace ArchiveMount

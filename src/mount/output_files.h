// Output files: members reach the file system only complete, written under a
// temporary name beside the final path and renamed into place once.
#pragma once

#include <cstdint>
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

// A member file's buffer: small pieces are gathered into writes of up to
// this size.
constexpr std::size_t kOutputBufferBytes = 1 << 16;
// A piece at least this large goes to the file in one write of its own,
// straight from where the producer holds it: the library hands out blocks
// from just under 64 KiB to 256 KiB, which a copy through the buffer would
// only split.
constexpr std::size_t kDirectWriteBytes = 1 << 15;

// The one owner of a temporary output file: created exclusively (it must not
// exist yet), written through the caller's buffer, and removed when the owner
// goes unless Commit has moved it into place.
class TemporaryFile {
public:
    // Creates `path`; is_open() tells whether it worked. `buffer` holds
    // kOutputBufferBytes and is the caller's for as long as the owner lives.
    TemporaryFile(std::filesystem::path path, char* buffer);
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    // Closes the file if still open and removes it unless committed.
    ~TemporaryFile();

    bool is_open() const { return descriptor_.valid(); }
    const std::filesystem::path& path() const { return path_; }

    // Appends `count` bytes; false when a write failed (or the file is not
    // open), after which the file is good only for removal.
    bool Write(const unsigned char* data, std::size_t count);

    // Writes what is gathered and closes the file; false when the last bytes
    // did not reach it (or it was never open).
    bool Close();

    // Renames the closed file onto `target`, replacing a file there; after
    // success the file is no longer this owner's. False when the rename fails.
    bool Commit(const std::filesystem::path& target);

private:
    bool Flush();

    std::filesystem::path path_;
    platform::Descriptor descriptor_;
    char* buffer_;
    std::size_t buffered_ = 0;
    bool owned_;  // created here and not yet committed
};

// Seconds to add to a system-clock time (seconds since 1970) to get the same
// instant on std::filesystem's file clock; measured once per process.
std::int64_t FileClockOffsetSeconds();

}  // namespace ArchiveMount

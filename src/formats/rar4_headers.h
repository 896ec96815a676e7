// The helper's own walk over RAR 4.x block headers: lists the file headers and
// checks that the blocks add up to the file, decoding nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace Rar4Headers {

struct FileHeader {
    std::uint32_t dos_time = 0;
    std::uint32_t crc32 = 0;
    bool directory = false;  // all of flags 0x00E0 set
    std::uint64_t packed_size = 0;
    std::uint64_t unpacked_size = 0;
};

enum class Status : std::uint32_t {
    Ok = 0,
    NotRar4 = 1,
    Truncated = 2,
    Malformed = 3,
    TooManyFiles = 4,
};

struct Result {
    std::vector<FileHeader> files;  // in archive order; meaningful only with Ok
    Status status = Status::Ok;
};

// True only if exactly `length` bytes from `offset` were placed in the buffer.
using ReadAt = std::function<bool(unsigned long long offset, unsigned char* buffer, unsigned long long length)>;

// Walks the file behind `descriptor` through a private duplicate. The shared
// file position is left where the last read ended.
Result Read(int descriptor, unsigned long long file_cap);

// Walks an archive image held in memory.
Result Parse(std::span<const unsigned char> image, unsigned long long file_cap);

// Follows the block chain from the marker to an end block or the end of the
// archive, listing file headers (service headers are skipped, not listed).
Result Walk(const ReadAt& read_at, unsigned long long archive_size, unsigned long long file_cap);

}  // namespace Rar4Headers

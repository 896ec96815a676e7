// Stored RAR 5 archives written byte by byte; nothing on this host writes RAR.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct Rar5Member {
    std::string name;
    std::string data;
    bool is_dir = false;
    std::uint32_t mtime = 1700000000;
    std::uint64_t mode = 0;     // Unix mode; 0 gives 0100644 for files, 040755 for directories
    bool size_unknown = false;  // the header says the unpacked size is not known
};

// Signature, a main archive header with `archive_flags`, one stored file
// header (with data CRC and time) per member, and the end of archive header;
// every header CRC is right.
std::string BuildRar5(const std::vector<Rar5Member>& members, std::uint64_t archive_flags = 0);

}  // namespace testsupport

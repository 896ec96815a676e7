// Stored RAR 5 archives written byte by byte (nothing on this host writes RAR),
// and what the file headers of a RAR 5 archive record.
#pragma once

#include <cstdint>
#include <map>
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

// What the file headers of an unencrypted RAR 5 archive record of each file:
// its unpacked size and data CRC-32 (0 when the header has none), by name.
// Stops at the first header it cannot follow.
struct Rar5RecordedFile {
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
};
std::map<std::string, Rar5RecordedFile> Rar5RecordedFiles(const std::string& archive);

}  // namespace testsupport

// The helper's own reader of the ZIP end record, central directory and local
// headers; it reads the file directly, never through the archive library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ZipCentralDirectory {

// One central directory entry.
struct Record {
    std::string name;  // the name bytes exactly as stored
    bool utf8 = false;
    bool encrypted = false;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint32_t crc32 = 0;
    std::uint32_t dos_time = 0;
    std::uint64_t compressed_size = 0;
    std::uint64_t uncompressed_size = 0;
    std::uint64_t local_header_offset = 0;
    std::uint32_t external_attributes = 0;
    std::uint64_t data_offset = 0;
};

enum class Status {
    Ok = 0,
    NoEndRecord = 1,
    Truncated = 2,
    Malformed = 3,
    Spanned = 4,
    TooManyEntries = 5,
    ReadFailed = 6,
    LocalHeaderMismatch = 7,
    DuplicateLocalHeader = 8,
};

struct Result {
    std::vector<Record> records;
    Status status = Status::Ok;
};

}  // namespace ZipCentralDirectory

// The helper's own reader of the ZIP end record, central directory and local
// headers; it reads the file directly, never through the archive library.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
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
    // Where the central header itself lies, and its whole length with name,
    // extra field and comment: from the archive's start after Read and
    // ReadWindow, from the image's start after Parse.
    std::uint64_t central_offset = 0;
    std::uint32_t central_size = 0;
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
    // Where the central directory starts, from the archive's start (Read and
    // ReadWindow only).
    std::uint64_t directory_offset = 0;
};

// The record layout, for code that reads or writes single records too.
inline constexpr std::uint32_t kEndRecordSignature = 0x06054b50;
inline constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
inline constexpr std::uint32_t kCentralHeaderSignature = 0x02014b50;
inline constexpr std::size_t kZip64LocatorBytes = 20;
inline constexpr std::size_t kCentralHeaderBytes = 46;
inline constexpr std::uint32_t k32BitMarker = 0xFFFFFFFF;
inline constexpr std::uint16_t kZip64ExtraId = 0x0001;

// How much of a window's tail is searched for the end record.
inline constexpr std::uint64_t kEndRecordSearchBytes = 0x4000;
// The largest central directory image read, and the largest ReadFileRange.
inline constexpr std::uint64_t kMaxRangeBytes = 0x4000000;

// Reads and checks the central directory of the whole file behind
// `descriptor`, entries capped at `entry_cap`. The descriptor's position is
// left where it was.
Result Read(int descriptor, std::uint64_t entry_cap);

// Like Read, for the window of `length` bytes at `start`; every offset in the
// result is relative to `start`. A window outside the file is ReadFailed.
Result ReadWindow(int descriptor, std::uint64_t start, std::uint64_t length, std::uint64_t entry_cap);

// The core of Read and ReadWindow on an open binary stream: finds the end
// record in the window's last 16 KiB, reads and parses the directory, rejects
// duplicate local header offsets and checks every local header.
Result ReadFromStream(std::FILE* stream, std::uint64_t start, std::uint64_t length, std::uint64_t entry_cap);

// Parses a central directory image holding exactly `record_count` records.
// Offsets are as stored, data offsets 0.
Result Parse(std::span<const unsigned char> image, std::uint64_t record_count, std::uint64_t entry_cap);

// Reads each record's 30-byte local header, checks it against the record and
// fills `data_offset`; the answer is the first failure in directory order.
Status CheckLocalHeaders(std::FILE* stream, std::vector<Record>& records, std::uint64_t window_length,
                         std::uint64_t window_start);

// The fixed text of a failure status; "" for Ok and unknown values.
const char* StatusText(Status status);

// Whether members of `method` can be decoded, given the library's decoder
// flags (0 bzip2, 1 xz/LZMA, 2 zstd; null means none of them).
bool MethodSupported(std::uint16_t method, const bool* flags);

// The record's name as UTF-8: as stored with the UTF-8 flag, otherwise read as
// code page 437 with control bytes shown as '?'.
std::string DisplayName(const Record& record);

}  // namespace ZipCentralDirectory

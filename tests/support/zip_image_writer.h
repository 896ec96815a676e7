// Builds ZIP archive images byte by byte, including the malformed ones real
// tools never write. Offsets stored in the archive count from the first byte
// after the prefix, as in an archive with bytes prepended after the fact.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/byte_image.h"

namespace testsupport {

struct ZipEntryFields {
    std::string name;
    Bytes data;  // written as is, whatever the method says
    std::uint16_t method = 0;
    std::uint16_t flags = 0;
    std::uint32_t dos_time = 0x5A216000;
    std::uint32_t external_attributes = 0;
    std::optional<std::uint32_t> crc32;  // default: CRC-32 of data
    // Central sizes and offset written as 0xFFFFFFFF with a ZIP64 block holding them.
    bool zip64 = false;
    std::optional<std::uint32_t> zip64_disk;  // appended to the ZIP64 block when set
    std::uint16_t disk_start = 0;
    Bytes central_extra;  // after the ZIP64 block, if any
    Bytes comment;
    std::optional<std::uint32_t> stored_offset;  // default: where the local header is
    // The local header copies the central fields unless these say otherwise.
    std::optional<std::uint16_t> local_method;
    std::optional<std::uint16_t> local_flags;
    std::optional<std::uint32_t> local_crc32;
    std::optional<std::uint32_t> local_compressed_size;
    std::optional<std::uint32_t> local_uncompressed_size;
    Bytes local_extra;
};

// End record fields; unset ones get the values that describe the archive.
struct ZipEndFields {
    std::uint16_t disk = 0;
    std::uint16_t directory_disk = 0;
    std::optional<std::uint16_t> entries_on_disk;
    std::optional<std::uint16_t> entries;
    std::optional<std::uint32_t> directory_size;
    std::optional<std::uint32_t> directory_offset;
    Bytes comment;
};

// ZIP64 end record and locator; the 32-bit end record then carries the markers
// 0xFFFF / 0xFFFFFFFF unless ZipEndFields says otherwise.
struct Zip64Fields {
    std::uint64_t remainder = 44;  // size of the remaining record; padded with zeros past 44
    std::uint32_t disk = 0;
    std::uint32_t directory_disk = 0;
    std::optional<std::uint64_t> entries_on_disk;
    std::optional<std::uint64_t> entries;
    std::optional<std::uint64_t> directory_size;
    std::optional<std::uint64_t> directory_offset;
    std::uint32_t locator_signature = 0x07064b50;
    std::uint32_t locator_disk = 0;
    std::uint32_t total_disks = 1;
    std::optional<std::uint64_t> record_offset;  // what the locator points at
};

// Where the pieces landed, as file offsets (prefix included).
struct ZipLayout {
    std::vector<std::uint64_t> local_headers;
    std::uint64_t directory = 0;
    std::uint64_t directory_size = 0;
    std::uint64_t zip64_end_record = 0;
    std::uint64_t end_record = 0;
};

class ZipImageWriter {
public:
    ZipImageWriter& Prefix(Bytes bytes);
    ZipImageWriter& Add(ZipEntryFields entry);
    // Stray bytes inside the directory image, after the last central header.
    ZipImageWriter& DirectoryTrailer(Bytes bytes);
    ZipImageWriter& Zip64(Zip64Fields fields = {});
    ZipEndFields& end() { return end_; }

    Bytes Build(ZipLayout* layout = nullptr) const;

private:
    Bytes prefix_;
    std::vector<ZipEntryFields> entries_;
    Bytes directory_trailer_;
    std::optional<Zip64Fields> zip64_;
    ZipEndFields end_;
};

// A plain stored entry.
ZipEntryFields StoredEntry(std::string name, Bytes data);

}  // namespace testsupport

// Builds RAR 4.x block chains: marker, main header, file and service headers,
// other blocks, an end block and stray bytes. Header CRCs are left 0.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "support/byte_image.h"

namespace testsupport {

struct Rar4FileFields {
    std::uint16_t flags = 0x8000;
    std::string name = "FILE.TXT";
    Bytes data;                               // the packed bytes that follow the header
    std::optional<std::uint64_t> packed_size;  // default: the data's size
    std::uint64_t unpacked_size = 0;
    std::uint32_t crc32 = 0;
    std::uint32_t dos_time = 0x5A216000;
    std::optional<std::uint16_t> header_size;  // default: the bytes written
};

class Rar4ImageWriter {
public:
    Rar4ImageWriter& Marker();
    Rar4ImageWriter& MainHeader(std::uint16_t flags = 0);
    Rar4ImageWriter& File(const Rar4FileFields& fields);
    Rar4ImageWriter& Service(const Rar4FileFields& fields);
    // A block of any type: the 7-byte base header, with flag 0x8000 the 32-bit
    // size of `data`, then `body`; `data` follows the header.
    Rar4ImageWriter& Block(std::uint8_t type, std::uint16_t flags, const Bytes& body, const Bytes& data = {},
                           std::optional<std::uint16_t> header_size = std::nullopt);
    Rar4ImageWriter& End();
    Rar4ImageWriter& Raw(const Bytes& bytes);

    const Bytes& bytes() const { return bytes_; }

private:
    Rar4ImageWriter& FileLike(std::uint8_t type, const Rar4FileFields& fields);
    Bytes bytes_;
};

}  // namespace testsupport

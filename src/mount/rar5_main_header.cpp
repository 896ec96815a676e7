#include "mount/rar5_main_header.h"

namespace ArchiveMount {

namespace {

constexpr std::size_t kHeaderStart = 12;  // signature (8) + header CRC (4)
constexpr std::size_t kMaxNumberBytes = 10;
constexpr std::uint64_t kMainArchiveHeader = 1;
constexpr std::uint64_t kHasExtraArea = 0x01;
constexpr std::uint64_t kHasDataArea = 0x02;

}  // namespace

std::optional<std::uint64_t> ReadRar5Number(const unsigned char* bytes, std::size_t length, std::size_t* position) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < kMaxNumberBytes; ++i) {
        if (*position >= length) return std::nullopt;
        const unsigned char byte = bytes[(*position)++];
        value |= static_cast<std::uint64_t>(byte & 0x7F) << (7 * i);
        if ((byte & 0x80) == 0) return value;
    }
    // The tenth byte carries bit 63 alone; a continuation bit there is bogus.
    return std::nullopt;
}

std::optional<std::uint64_t> ParseRar5MainHeader(const unsigned char* bytes, std::size_t length) {
    if (length < kHeaderStart) return std::nullopt;
    std::size_t position = kHeaderStart;
    if (!ReadRar5Number(bytes, length, &position)) return std::nullopt;  // header size
    const std::optional<std::uint64_t> type = ReadRar5Number(bytes, length, &position);
    if (!type || *type != kMainArchiveHeader) return std::nullopt;
    const std::optional<std::uint64_t> flags = ReadRar5Number(bytes, length, &position);
    if (!flags) return std::nullopt;
    if ((*flags & kHasExtraArea) && !ReadRar5Number(bytes, length, &position)) return std::nullopt;
    if ((*flags & kHasDataArea) && !ReadRar5Number(bytes, length, &position)) return std::nullopt;
    return ReadRar5Number(bytes, length, &position);
}

}  // namespace ArchiveMount

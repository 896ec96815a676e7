#include "mount/format_detection.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "formats/little_endian.h"
#include "mount/archive_sources.h"
#include "platform/platform.h"

namespace ArchiveMount {

namespace {

constexpr std::size_t kHeadSize = 512;
constexpr std::size_t kTarBlock = 512;
constexpr std::size_t kTarChecksumAt = 148;
constexpr std::size_t kTarChecksumSize = 8;
constexpr std::int64_t kIsoVolumeDescriptorAt = 32768;

// Reads up to `count` bytes at `offset` through a private duplicate; the count
// read, 0 when nothing could be read.
std::size_t ReadAt(int descriptor, std::int64_t offset, unsigned char* buffer, std::size_t count) {
    const platform::Descriptor duplicate = DuplicateArchiveDescriptor(descriptor);
    if (!duplicate.valid()) return 0;
    std::size_t total = 0;
    if (platform::Seek(duplicate.get(), offset, SEEK_SET) >= 0) {
        while (total < count) {
            const long long got = platform::ReadSome(duplicate.get(), buffer + total, count - total);
            if (got <= 0) break;
            total += static_cast<std::size_t>(got);
        }
    }
    return total;
}

bool StartsWith(const unsigned char* bytes, std::size_t length, std::initializer_list<unsigned char> signature) {
    return length >= signature.size() && std::equal(signature.begin(), signature.end(), bytes);
}

// An old-style or ustar header block: the octal checksum field equals the sum
// of the block's bytes with the field itself counted as spaces. No magic test.
bool LooksLikeTarHeader(const unsigned char* bytes, std::size_t length) {
    if (length < kTarBlock) return false;
    const unsigned char* field = bytes + kTarChecksumAt;
    std::size_t i = 0;
    while (i < kTarChecksumSize && (field[i] == 0 || field[i] == ' ')) ++i;
    if (i == kTarChecksumSize) return false;
    std::uint32_t stored = 0;
    for (; i < kTarChecksumSize && field[i] != 0 && field[i] != ' '; ++i) {
        if (field[i] < '0' || field[i] > '7') return false;
        stored = stored * 8 + (field[i] - '0');
    }
    std::uint32_t sum = 0;
    for (std::size_t k = 0; k < kTarBlock; ++k) {
        const bool in_field = k >= kTarChecksumAt && k < kTarChecksumAt + kTarChecksumSize;
        sum += in_field ? ' ' : bytes[k];
    }
    return stored == sum;
}

// The 13-byte header of the legacy lzma file format: properties byte,
// dictionary size, uncompressed size.
bool LooksLikeLzmaHeader(const unsigned char* bytes, std::size_t length) {
    if (length < 14) return false;
    const unsigned properties = bytes[0];
    if (properties > 224) return false;
    const std::uint32_t dictionary = LittleEndian::U32(bytes + 1);
    const bool power_of_two = dictionary != 0 && (dictionary & (dictionary - 1)) == 0;
    if (power_of_two && dictionary >= 4096 && dictionary <= 134217728) return true;
    const bool unknown_size = std::all_of(bytes + 5, bytes + 13, [](unsigned char b) { return b == 0xFF; });
    return (properties == 93 || properties == 94) && unknown_size && dictionary >= 3145728 &&
           dictionary <= 66060288 && (dictionary & 0xFFFFF) == 0;
}

}  // namespace

Head ReadHead(const ArchiveReader::Impl& reader) {
    Head head;
    std::int64_t offset = 0;
    std::size_t count = kHeadSize;
    if (reader.window.present) {
        // Bytes after the window belong to whatever contains the archive.
        offset = reader.window.offset;
        count = static_cast<std::size_t>(std::clamp<std::int64_t>(reader.window.length, 0, kHeadSize));
    }
    head.length = ReadAt(reader.descriptor.get(), offset, head.bytes.data(), count);
    return head;
}

DetectedFormat DetectFormat(const unsigned char* bytes, std::size_t length) {
    if (StartsWith(bytes, length, {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01, 0x00})) return DetectedFormat::Rar5;
    if (StartsWith(bytes, length, {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00})) return DetectedFormat::Rar;
    if (StartsWith(bytes, length, {0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C})) return DetectedFormat::SevenZip;
    if (StartsWith(bytes, length, {0x50, 0x4B, 0x03, 0x04})) return DetectedFormat::Zip;
    if (StartsWith(bytes, length, {0x1F, 0x8B})) return DetectedFormat::Gzip;
    if (StartsWith(bytes, length, {0x42, 0x5A, 0x68})) return DetectedFormat::Bzip2;
    if (StartsWith(bytes, length, {0xFD, 0x37, 0x7A, 0x58, 0x5A, 0x00})) return DetectedFormat::Xz;
    if (StartsWith(bytes, length, {0x28, 0xB5, 0x2F, 0xFD})) return DetectedFormat::Zstd;
    if (StartsWith(bytes, length, {0x49, 0x73, 0x5A, 0x21})) return DetectedFormat::Isz;
    if (LooksLikeTarHeader(bytes, length)) return DetectedFormat::Tar;
    if (LooksLikeLzmaHeader(bytes, length)) return DetectedFormat::Lzma;
    return DetectedFormat::Unknown;
}

bool LooksLikeIso9660(int descriptor) {
    static constexpr unsigned char kPrimaryVolume[7] = {0x01, 0x43, 0x44, 0x30, 0x30, 0x31, 0x01};
    unsigned char bytes[7];
    return ReadAt(descriptor, kIsoVolumeDescriptorAt, bytes, sizeof bytes) == sizeof bytes &&
           std::memcmp(bytes, kPrimaryVolume, sizeof bytes) == 0;
}

}  // namespace ArchiveMount

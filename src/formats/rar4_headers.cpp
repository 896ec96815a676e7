#include "formats/rar4_headers.h"

#include <array>
#include <cstring>

#include "formats/little_endian.h"
#include "platform/platform.h"

namespace Rar4Headers {

namespace {

using LittleEndian::U16;
using LittleEndian::U32;

constexpr std::array<unsigned char, 7> kMarker = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
constexpr unsigned char kFileBlock = 0x74;
constexpr unsigned char kServiceBlock = 0x7A;
constexpr unsigned char kEndBlock = 0x7B;
constexpr std::uint16_t kHasData = 0x8000;
constexpr std::uint16_t kHighSizes = 0x0100;
constexpr std::uint16_t kDirectory = 0x00E0;
constexpr unsigned kBaseHeaderBytes = 7;
constexpr unsigned kDataHeaderBytes = 11;
constexpr unsigned kFileHeaderBytes = 32;
constexpr unsigned kLargeFileHeaderBytes = 40;

Result Finish(Result& result, Status status) {
    result.status = status;
    return std::move(result);
}

}  // namespace

Result Walk(const ReadAt& read_at, unsigned long long archive_size, unsigned long long file_cap) {
    Result result;
    std::array<unsigned char, kLargeFileHeaderBytes> header;
    if (archive_size < kMarker.size() || !read_at(0, header.data(), kMarker.size()) ||
        std::memcmp(header.data(), kMarker.data(), kMarker.size()) != 0) {
        return Finish(result, Status::NotRar4);
    }

    unsigned long long position = kMarker.size();
    while (position < archive_size && archive_size - position >= kBaseHeaderBytes) {
        if (!read_at(position, header.data(), kBaseHeaderBytes)) return Finish(result, Status::Truncated);
        const unsigned char type = header[2];
        const std::uint16_t flags = U16(&header[3]);
        const std::uint16_t header_size = U16(&header[5]);
        if (header_size < kBaseHeaderBytes) return Finish(result, Status::Malformed);
        if (type == kEndBlock) break;

        unsigned long long data_size = 0;
        if (type == kFileBlock || type == kServiceBlock) {
            const bool high = (flags & kHighSizes) != 0;
            const unsigned fixed = high ? kLargeFileHeaderBytes : kFileHeaderBytes;
            if (header_size < fixed) return Finish(result, Status::Malformed);
            if (!read_at(position, header.data(), fixed)) return Finish(result, Status::Truncated);
            FileHeader file;
            file.packed_size = U32(&header[7]);
            file.unpacked_size = U32(&header[11]);
            file.crc32 = U32(&header[16]);
            file.dos_time = U32(&header[20]);
            file.directory = (flags & kDirectory) == kDirectory;
            if (high) {
                file.packed_size |= static_cast<std::uint64_t>(U32(&header[32])) << 32;
                file.unpacked_size |= static_cast<std::uint64_t>(U32(&header[36])) << 32;
            }
            data_size = file.packed_size;
            if (type == kFileBlock) {
                if (result.files.size() >= file_cap) return Finish(result, Status::TooManyFiles);
                result.files.push_back(file);
            }
        } else if ((flags & kHasData) != 0) {
            if (header_size < kDataHeaderBytes) return Finish(result, Status::Malformed);
            if (!read_at(position, header.data(), kDataHeaderBytes)) return Finish(result, Status::Truncated);
            data_size = U32(&header[7]);
        }
        if (data_size > archive_size) return Finish(result, Status::Malformed);
        // Neither term exceeds the archive size, so the sum cannot wrap.
        position += header_size + data_size;
        if (position > archive_size) return Finish(result, Status::Truncated);
    }
    return Finish(result, Status::Ok);
}

Result Parse(std::span<const unsigned char> image, unsigned long long file_cap) {
    const ReadAt read_at = [image](unsigned long long offset, unsigned char* buffer, unsigned long long length) {
        if (offset > image.size() || length > image.size() - offset) return false;
        std::memcpy(buffer, image.data() + offset, length);
        return true;
    };
    return Walk(read_at, image.size(), file_cap);
}

Result Read(int descriptor, unsigned long long file_cap) {
    Result result;
    if (descriptor < 0) return Finish(result, Status::Truncated);
    const platform::Descriptor owned = platform::DuplicateSharingPosition(descriptor);
    if (!owned.valid()) return Finish(result, Status::Truncated);
    const int duplicate = owned.get();
    platform::FileIdentity identity;
    if (!platform::ReadFileIdentity(duplicate, identity) || identity.size > static_cast<std::uint64_t>(INT64_MAX)) {
        return Finish(result, Status::Truncated);
    }
    const ReadAt read_at = [duplicate](unsigned long long offset, unsigned char* buffer, unsigned long long length) {
        if (offset > static_cast<unsigned long long>(INT64_MAX) ||
            platform::Seek(duplicate, static_cast<long long>(offset), SEEK_SET) < 0) {
            return false;
        }
        for (unsigned long long done = 0; done < length;) {
            const long long got = platform::ReadSome(duplicate, buffer + done, length - done);
            if (got <= 0) return false;
            done += static_cast<unsigned long long>(got);
        }
        return true;
    };
    return Walk(read_at, identity.size, file_cap);
}

}  // namespace Rar4Headers

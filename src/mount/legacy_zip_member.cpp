#include "mount/legacy_zip_member.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include <zlib.h>

#include "formats/explode.h"
#include "formats/file_range.h"
#include "formats/little_endian.h"
#include "formats/unshrink.h"
#include "mount/archive_reader_impl.h"

namespace ArchiveMount {

// zlib's table-driven CRC-32 works several bytes per step; a byte-at-a-time
// table loop cost as much as the explode itself on large members.
std::uint32_t Crc32Update(std::uint32_t crc, const unsigned char* bytes, std::size_t count) {
    while (count > 0) {
        const auto piece = static_cast<uInt>(std::min<std::size_t>(count, 1u << 30));
        crc = static_cast<std::uint32_t>(crc32(crc, bytes, piece));
        bytes += piece;
        count -= piece;
    }
    return crc;
}

namespace {

constexpr std::uint64_t kLocalHeaderBytes = 30;

Error Fail(Error code, std::string* message, const std::string& text) {
    if (message) *message = text;
    return code;
}

}  // namespace

Error ArchiveReader::Impl::read_legacy(const ZipCentralDirectory::Record& record, const Entry& entry,
                                       const MemberSink& sink, std::string* message) const {
    const std::uint64_t base = window.present ? static_cast<std::uint64_t>(window.offset) : 0;
    const std::uint64_t limit = archive_size;
    const std::uint64_t header_offset = record.local_header_offset;
    if (header_offset > limit || limit - header_offset < kLocalHeaderBytes) {
        return Fail(Error::Damaged, message, "local header past the end of the archive");
    }
    std::vector<unsigned char> bytes;
    if (ReadFileRange(descriptor.get(), base + header_offset, kLocalHeaderBytes, bytes) != ZipCentralDirectory::Status::Ok) {
        return Fail(Error::Damaged, message, "cannot read the local header");
    }
    // The local header's own name and extra lengths place the data; they may
    // differ from the central directory's.
    const std::uint64_t name_length = LittleEndian::U16(&bytes[26]);
    const std::uint64_t extra_length = LittleEndian::U16(&bytes[28]);
    const std::uint64_t data_offset = header_offset + kLocalHeaderBytes + name_length + extra_length;
    if (data_offset > limit || record.compressed_size > limit - data_offset) {
        return Fail(Error::Damaged, message, "member data runs past the end of the archive");
    }
    switch (ReadFileRange(descriptor.get(), base + data_offset, record.compressed_size, bytes)) {
        case ZipCentralDirectory::Status::Ok:
            break;
        case ZipCentralDirectory::Status::Truncated:
            return Fail(Error::Damaged, message, "member data runs past the end of the archive");
        default:
            return Fail(Error::Damaged, message,
                        "cannot read the member data (an I/O error, or over " +
                            std::to_string(ZipCentralDirectory::kMaxRangeBytes) + " bytes)");
    }

    std::size_t position = 0;
    const LegacyZip::ByteSource source = [&bytes, &position](unsigned char* buffer, unsigned long long capacity) {
        const std::size_t count =
            static_cast<std::size_t>(std::min<unsigned long long>(capacity, bytes.size() - position));
        if (count > 0) std::memcpy(buffer, bytes.data() + position, count);
        position += count;
        return static_cast<unsigned long long>(count);
    };
    std::uint32_t crc = 0;
    const LegacyZip::ByteSink output = [&crc, &sink](const unsigned char* data, unsigned long long count) {
        // The CRC covers exactly what was offered to the caller.
        crc = Crc32Update(crc, data, static_cast<std::size_t>(count));
        return sink(data, count);
    };
    const auto declared = static_cast<std::uint64_t>(entry.size);
    const LegacyZip::Status status =
        record.method == 1 ? LegacyZip::Unshrink(source, declared, output, message)
                           : LegacyZip::Explode(source, record.compressed_size, declared, (record.flags & 0x2) != 0,
                                                (record.flags & 0x4) != 0, output, message);
    switch (status) {
        case LegacyZip::Status::Ok:
            if (crc != record.crc32) return Fail(Error::Damaged, message, "CRC mismatch");
            return Error::Ok;
        case LegacyZip::Status::OutputRefused:
            return Fail(Error::OpenFailed, message, "cannot write the member");
        default:
            // The decoder has left its own message.
            return Error::Damaged;
    }
}

}  // namespace ArchiveMount

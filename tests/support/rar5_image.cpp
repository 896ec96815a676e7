#include "support/rar5_image.h"

#include <zlib.h>

namespace testsupport {

namespace {

void PutNumber(std::string& out, std::uint64_t value) {
    do {
        unsigned char byte = value & 0x7F;
        value >>= 7;
        if (value != 0) byte |= 0x80;
        out.push_back(static_cast<char>(byte));
    } while (value != 0);
}

void PutU32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::uint32_t Crc(const std::string& bytes) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

// CRC, header size, then the header from its type on.
void PutHeader(std::string& out, const std::string& fields) {
    std::string sized;
    PutNumber(sized, fields.size());
    sized += fields;
    PutU32(out, Crc(sized));
    out += sized;
}

}  // namespace

std::string BuildRar5(const std::vector<Rar5Member>& members, std::uint64_t archive_flags) {
    std::string out("Rar!\x1A\x07\x01\x00", 8);
    std::string main;
    PutNumber(main, 1);  // main archive header
    PutNumber(main, 0);
    PutNumber(main, archive_flags);
    PutHeader(out, main);

    for (const Rar5Member& member : members) {
        const bool has_data = !member.is_dir;
        std::string file;
        PutNumber(file, 2);                 // file header
        // The library wants a data area even when it is empty.
        PutNumber(file, 2);
        PutNumber(file, has_data ? member.data.size() : 0);
        PutNumber(file, (member.is_dir ? 0x01 : 0) | 0x02 | (has_data ? 0x04 : 0) | (member.size_unknown ? 0x08 : 0));
        PutNumber(file, member.is_dir ? 0 : member.data.size());
        PutNumber(file, member.mode != 0 ? member.mode : member.is_dir ? 040755 : 0100644);
        PutU32(file, member.mtime);
        if (has_data) PutU32(file, Crc(member.data));
        PutNumber(file, 0);  // version 0, stored
        PutNumber(file, 1);  // Unix
        PutNumber(file, member.name.size());
        file += member.name;
        PutHeader(out, file);
        if (has_data) out += member.data;
    }

    std::string end;
    PutNumber(end, 5);  // end of archive
    PutNumber(end, 0);
    PutNumber(end, 0);
    PutHeader(out, end);
    return out;
}

namespace {

// A RAR 5 variable-length number at `at`, which moves past it; false past the end.
bool GetNumber(const std::string& bytes, std::size_t& at, std::uint64_t& value) {
    value = 0;
    for (int shift = 0; at < bytes.size() && shift < 64; shift += 7) {
        const auto byte = static_cast<unsigned char>(bytes[at++]);
        value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) return true;
    }
    return false;
}

std::uint32_t GetU32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

}  // namespace

std::map<std::string, Rar5RecordedFile> Rar5RecordedFiles(const std::string& archive) {
    std::map<std::string, Rar5RecordedFile> files;
    std::size_t at = 8;
    while (at + 4 < archive.size()) {
        std::size_t field = at + 4;  // past the header CRC
        std::uint64_t header_size = 0, type = 0, flags = 0, extra = 0, data = 0;
        if (!GetNumber(archive, field, header_size)) break;
        const std::size_t next_header = field + header_size;
        if (!GetNumber(archive, field, type) || !GetNumber(archive, field, flags)) break;
        if ((flags & 0x01) && !GetNumber(archive, field, extra)) break;
        if ((flags & 0x02) && !GetNumber(archive, field, data)) break;
        if (type == 2) {
            std::uint64_t file_flags = 0, size = 0, attributes = 0, compression = 0, host = 0, name_length = 0;
            if (!GetNumber(archive, field, file_flags) || !GetNumber(archive, field, size) ||
                !GetNumber(archive, field, attributes)) {
                break;
            }
            if (file_flags & 0x02) field += 4;  // modification time
            Rar5RecordedFile file{size, 0};
            if (file_flags & 0x04) {
                if (field + 4 > archive.size()) break;
                file.crc = GetU32(archive, field);
                field += 4;
            }
            if (!GetNumber(archive, field, compression) || !GetNumber(archive, field, host) ||
                !GetNumber(archive, field, name_length) || field + name_length > archive.size()) {
                break;
            }
            if ((file_flags & 0x01) == 0) files[archive.substr(field, name_length)] = file;
        }
        if (type == 5) break;
        at = next_header + data;
    }
    return files;
}

}  // namespace testsupport

#include "support/rar4_image_writer.h"

namespace testsupport {

Rar4ImageWriter& Rar4ImageWriter::Marker() { return Raw({0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00}); }

Rar4ImageWriter& Rar4ImageWriter::MainHeader(std::uint16_t flags) {
    return Block(0x73, flags, Bytes(6, 0));  // reserved fields
}

Rar4ImageWriter& Rar4ImageWriter::File(const Rar4FileFields& fields) { return FileLike(0x74, fields); }

Rar4ImageWriter& Rar4ImageWriter::Service(const Rar4FileFields& fields) { return FileLike(0x7A, fields); }

Rar4ImageWriter& Rar4ImageWriter::FileLike(std::uint8_t type, const Rar4FileFields& fields) {
    const std::uint64_t packed = fields.packed_size.value_or(fields.data.size());
    Bytes header;
    PutU16(header, 0);
    PutU8(header, type);
    PutU16(header, fields.flags);
    PutU16(header, 0);  // header size, set below
    PutU32(header, static_cast<std::uint32_t>(packed));
    PutU32(header, static_cast<std::uint32_t>(fields.unpacked_size));
    PutU8(header, 2);  // host system
    PutU32(header, fields.crc32);
    PutU32(header, fields.dos_time);
    PutU8(header, 29);    // version
    PutU8(header, 0x30);  // method: store
    PutU16(header, static_cast<std::uint16_t>(fields.name.size()));
    PutU32(header, 0x20);  // attributes
    if ((fields.flags & 0x0100) != 0) {
        PutU32(header, static_cast<std::uint32_t>(packed >> 32));
        PutU32(header, static_cast<std::uint32_t>(fields.unpacked_size >> 32));
    }
    PutBytes(header, ToBytes(fields.name));
    SetU16(header, 5, fields.header_size.value_or(static_cast<std::uint16_t>(header.size())));
    PutBytes(bytes_, header);
    PutBytes(bytes_, fields.data);
    return *this;
}

Rar4ImageWriter& Rar4ImageWriter::Block(std::uint8_t type, std::uint16_t flags, const Bytes& body, const Bytes& data,
                                        std::optional<std::uint16_t> header_size) {
    Bytes header;
    PutU16(header, 0);
    PutU8(header, type);
    PutU16(header, flags);
    PutU16(header, 0);
    if ((flags & 0x8000) != 0) PutU32(header, static_cast<std::uint32_t>(data.size()));
    PutBytes(header, body);
    SetU16(header, 5, header_size.value_or(static_cast<std::uint16_t>(header.size())));
    PutBytes(bytes_, header);
    PutBytes(bytes_, data);
    return *this;
}

Rar4ImageWriter& Rar4ImageWriter::End() { return Block(0x7B, 0x4000, {}); }

Rar4ImageWriter& Rar4ImageWriter::Raw(const Bytes& bytes) {
    PutBytes(bytes_, bytes);
    return *this;
}

}  // namespace testsupport

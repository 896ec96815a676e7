#include "client/reply_decoding.h"

namespace HelperClient {

using ArchiveHelper::ByteReader;

bool DecodeHelloReply(ArchiveHelper::Bytes payload, ArchiveHelper::HelloReply& out) {
    ByteReader reader(payload);
    return reader.U16(out.protocol_version) && reader.U32(out.library_version) &&
           reader.String(out.library_details) && reader.AtEnd();
}

bool DecodeStatusReply(ArchiveHelper::Bytes payload, ArchiveHelper::StatusReply& out) {
    ByteReader reader(payload);
    std::uint8_t code = 0;
    if (!reader.U8(code) || code > static_cast<std::uint8_t>(ArchiveMount::Error::HelperTimeout)) return false;
    out.code = static_cast<ArchiveMount::Error>(code);
    return reader.String(out.message) && reader.AtEnd();
}

namespace {

bool ReadFlag(ByteReader& reader, bool& out) {
    std::uint8_t value = 0;
    if (!reader.U8(value) || value > 1) return false;
    out = value == 1;
    return true;
}

bool ReadSigned(ByteReader& reader, std::int64_t& out) {
    std::uint64_t value = 0;
    if (!reader.U64(value)) return false;
    out = static_cast<std::int64_t>(value);
    return true;
}

constexpr std::size_t kEntryFixedBytes = 42;

}  // namespace

bool DecodeIndexReply(ArchiveHelper::Bytes payload, ArchiveHelper::IndexSummary& out) {
    ByteReader reader(payload);
    std::uint8_t kind = 0, flag = 0;
    std::uint32_t count = 0;
    std::uint64_t identity_size = 0;
    if (!reader.U8(kind) || kind > 7 || !reader.U8(flag) || flag > 1) return false;
    out.kind = static_cast<ArchiveMount::ArchiveKind>(kind);
    out.kind_flag = flag;
    if (!ReadSigned(reader, out.declared_total) || !reader.U64(out.archive_size) ||
        !reader.String(out.fingerprint) || !reader.U64(identity_size) || !ReadSigned(reader, out.identity.mtime) ||
        !reader.U32(count)) {
        return false;
    }
    out.identity.size = identity_size;
    // A count the rest of the payload cannot hold is refused before reserving.
    if (count > reader.Remaining() / kEntryFixedBytes) return false;
    out.entries.clear();
    out.entries.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        ArchiveMount::Entry entry;
        std::uint32_t ordinal = 0;
        if (!reader.U32(ordinal) || !reader.String(entry.path) || !reader.String(entry.dos_path) ||
            !ReadFlag(reader, entry.is_dir) || !ReadSigned(reader, entry.size) || !ReadSigned(reader, entry.mtime) ||
            !ReadFlag(reader, entry.has_crc) || !reader.U32(entry.crc) ||
            !ReadSigned(reader, entry.nested_zip_offset)) {
            return false;
        }
        entry.ordinal = static_cast<std::int32_t>(ordinal);
        out.entries.push_back(std::move(entry));
    }
    return reader.AtEnd();
}

}  // namespace HelperClient

#include "helper/frame_codec.h"

#include <cstring>

namespace ArchiveHelper {

void ByteWriter::U8(std::uint8_t value) { bytes_.push_back(value); }

void ByteWriter::U16(std::uint16_t value) {
    for (int shift = 0; shift < 16; shift += 8) bytes_.push_back(static_cast<unsigned char>(value >> shift));
}

void ByteWriter::U32(std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) bytes_.push_back(static_cast<unsigned char>(value >> shift));
}

void ByteWriter::U64(std::uint64_t value) {
    for (int shift = 0; shift < 64; shift += 8) bytes_.push_back(static_cast<unsigned char>(value >> shift));
}

void ByteWriter::String(std::string_view text) {
    U32(static_cast<std::uint32_t>(text.size()));
    bytes_.insert(bytes_.end(), text.begin(), text.end());
}

void ByteWriter::Append(Bytes bytes) { bytes_.insert(bytes_.end(), bytes.begin(), bytes.end()); }

namespace {

template <typename T>
bool ReadLittleEndian(Bytes bytes, std::size_t& position, T& value) {
    if (bytes.size() - position < sizeof(T)) return false;
    T result = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) result |= static_cast<T>(static_cast<T>(bytes[position + i]) << (8 * i));
    value = result;
    position += sizeof(T);
    return true;
}

}  // namespace

bool ByteReader::U8(std::uint8_t& value) { return ReadLittleEndian(bytes_, position_, value); }
bool ByteReader::U16(std::uint16_t& value) { return ReadLittleEndian(bytes_, position_, value); }
bool ByteReader::U32(std::uint32_t& value) { return ReadLittleEndian(bytes_, position_, value); }
bool ByteReader::U64(std::uint64_t& value) { return ReadLittleEndian(bytes_, position_, value); }

bool ByteReader::Take(std::size_t count, std::string& out) {
    if (Remaining() < count) return false;
    out.assign(reinterpret_cast<const char*>(bytes_.data() + position_), count);
    position_ += count;
    return true;
}

bool ByteReader::String(std::string& out) {
    const std::size_t start = position_;
    std::uint32_t count = 0;
    if (!U32(count)) return false;
    if (!Take(count, out)) {
        position_ = start;
        return false;
    }
    return true;
}

std::vector<unsigned char> EncodeFrame(MessageType type, Bytes payload) {
    const auto header = EncodeFrameHeader(type, static_cast<std::uint32_t>(payload.size()));
    std::vector<unsigned char> frame(kFrameHeaderSize + payload.size());
    std::memcpy(frame.data(), header.data(), kFrameHeaderSize);
    if (!payload.empty()) std::memcpy(frame.data() + kFrameHeaderSize, payload.data(), payload.size());
    return frame;
}

namespace {

bool IsMessageType(std::uint8_t code) {
    switch (static_cast<MessageType>(code)) {
        case MessageType::HelloRequest:
        case MessageType::OpenRequest:
        case MessageType::MaterializeRequest:
        case MessageType::MaterializeAllRequest:
        case MessageType::CloseRequest:
        case MessageType::HelloReply:
        case MessageType::IndexReply:
        case MessageType::StatusReply:
        case MessageType::AbortHook:
        case MessageType::StallHook:
        case MessageType::AllocateHook:
            return true;
    }
    return false;
}

}  // namespace

bool ParseFrameHeader(Bytes header, std::uint32_t cap, FrameHeader& out) {
    if (header.size() < kFrameHeaderSize) return false;
    ByteReader reader(header);
    std::uint32_t magic = 0;
    std::uint16_t version = 0;
    std::uint8_t type = 0;
    std::uint8_t reserved = 0;
    std::uint32_t length = 0;
    reader.U32(magic);
    reader.U16(version);
    reader.U8(type);
    reader.U8(reserved);
    reader.U32(length);
    if (magic != kFrameMagic || version != kProtocolVersion || !IsMessageType(type) || length > cap) return false;
    out.type = static_cast<MessageType>(type);
    out.length = length;
    return true;
}

namespace {

// A u32 path length that must fit in the rest of the payload, then the path.
bool ReadPath(ByteReader& reader, std::string& path) {
    std::uint32_t length = 0;
    return reader.U32(length) && reader.Take(length, path);
}

}  // namespace

bool DecodeOpenRequest(Bytes payload, OpenRequest& out) {
    ByteReader reader(payload);
    if (!ReadPath(reader, out.path)) return false;
    std::uint64_t max_entries = 0, max_total = 0, max_member = 0;
    if (!reader.U64(max_entries)) return false;
    out.limits.max_entries = static_cast<std::int64_t>(max_entries);
    if (!reader.U64(max_total)) return false;
    out.limits.max_total_bytes = static_cast<std::int64_t>(max_total);
    if (!reader.U64(max_member)) return false;
    out.limits.max_member_bytes = static_cast<std::int64_t>(max_member);
    std::uint8_t passing = 0;
    if (reader.Remaining() < 9) return false;
    reader.U8(passing);
    reader.U64(out.os_handle);
    std::uint64_t offset = 0, length = 0;
    if (!reader.U64(offset) || !reader.U64(length)) return false;
    if (!reader.AtEnd()) return false;
    out.window_offset = static_cast<std::int64_t>(offset);
    out.window_length = static_cast<std::int64_t>(length);
    if (passing > 1 || out.window_offset < 0 || out.window_length < 0) return false;
    out.descriptor_passing = passing == 1;
    return true;
}

bool DecodeMaterializeRequest(Bytes payload, MaterializeRequest& out) {
    ByteReader reader(payload);
    std::uint32_t ordinal = 0;
    if (!reader.U32(ordinal) || ordinal > 0x7FFFFFFFu) return false;
    out.ordinal = static_cast<int>(ordinal);
    return ReadPath(reader, out.path) && reader.AtEnd();
}

bool DecodeMaterializeAllRequest(Bytes payload, MaterializeAllRequest& out) {
    ByteReader reader(payload);
    return ReadPath(reader, out.path) && reader.AtEnd();
}

bool DecodeHookRequest(Bytes payload, std::uint32_t& out) {
    ByteReader reader(payload);
    return reader.U32(out) && reader.AtEnd();
}

IndexSummary SummarizeIndex(const ArchiveMount::ArchiveSource& source) {
    IndexSummary index;
    index.kind = source.Kind();
    index.kind_flag = source.KindFlag();
    index.declared_total = source.DeclaredTotal();
    index.archive_size = source.ArchiveSize();
    index.fingerprint = source.Fingerprint();
    index.identity = source.Identity();
    return index;
}

std::vector<unsigned char> EncodeHelloReply(std::uint16_t protocol_version, std::uint32_t library_version,
                                            std::string_view library_details) {
    ByteWriter writer;
    writer.U16(protocol_version);
    writer.U32(library_version);
    writer.String(library_details);
    return writer.Take();
}

std::vector<unsigned char> EncodeStatusReply(ArchiveMount::Error code, std::string_view message) {
    ByteWriter writer;
    writer.U8(static_cast<std::uint8_t>(code));
    writer.String(message);
    return writer.Take();
}

std::vector<unsigned char> EncodeIndexReply(const IndexSummary& index) {
    return EncodeIndexReply(index, index.entries);
}

std::vector<unsigned char> EncodeIndexReply(const IndexSummary& index, std::span<const ArchiveMount::Entry> entries) {
    std::size_t size = 42 + index.fingerprint.size();
    for (const auto& entry : entries) size += 42 + entry.path.size() + entry.dos_path.size();
    ByteWriter writer;
    writer.bytes().reserve(size);
    writer.U8(static_cast<std::uint8_t>(static_cast<int>(index.kind)));
    writer.U8(static_cast<std::uint8_t>(index.kind_flag));
    writer.U64(static_cast<std::uint64_t>(index.declared_total));
    writer.U64(index.archive_size);
    writer.String(index.fingerprint);
    writer.U64(index.identity.size);
    writer.U64(static_cast<std::uint64_t>(index.identity.mtime));
    writer.U32(static_cast<std::uint32_t>(entries.size()));
    for (const auto& entry : entries) {
        writer.U32(static_cast<std::uint32_t>(entry.ordinal));
        writer.String(entry.path);
        writer.String(entry.dos_path);
        writer.U8(entry.is_dir ? 1 : 0);
        writer.U64(static_cast<std::uint64_t>(entry.size));
        writer.U64(static_cast<std::uint64_t>(entry.mtime));
        writer.U8(entry.has_crc ? 1 : 0);
        writer.U32(entry.crc);
        writer.U64(static_cast<std::uint64_t>(entry.nested_zip_offset));
    }
    return writer.Take();
}

}  // namespace ArchiveHelper

// Frame layout, message types and the payload codecs of the helper protocol.
// Decoders are strict: exact lengths, bounds tested before every read, and a
// plain false for anything malformed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mount/archive_error.h"
#include "mount/archive_index.h"

namespace ArchiveHelper {

constexpr std::uint32_t kFrameMagic = 0x48414D4F;  // "OMAH" read little-endian
constexpr std::uint16_t kProtocolVersion = 3;
constexpr std::size_t kFrameHeaderSize = 12;
constexpr std::uint32_t kMaxRequestPayload = 0x10000;
constexpr std::uint32_t kMaxIndexReplyPayload = 0x4000000;

enum class MessageType : std::uint8_t {
    HelloRequest = 1,
    OpenRequest = 2,
    MaterializeRequest = 3,
    MaterializeAllRequest = 4,
    CloseRequest = 5,
    HelloReply = 65,
    IndexReply = 66,
    StatusReply = 67,
    AbortHook = 128,
    StallHook = 129,
    AllocateHook = 130,
};

using Bytes = std::span<const unsigned char>;

// Appends little-endian integers and u32-counted strings; no padding.
class ByteWriter {
public:
    void U8(std::uint8_t value);
    void U16(std::uint16_t value);
    void U32(std::uint32_t value);
    void U64(std::uint64_t value);
    // The count is the low 32 bits of the length.
    void String(std::string_view text);
    void Append(Bytes bytes);

    std::vector<unsigned char>& bytes() { return bytes_; }
    std::vector<unsigned char> Take() { return std::move(bytes_); }

private:
    std::vector<unsigned char> bytes_;
};

// A cursor over a payload. Every read fails without moving when too few
// bytes remain.
class ByteReader {
public:
    explicit ByteReader(Bytes bytes) : bytes_(bytes) {}

    bool U8(std::uint8_t& value);
    bool U16(std::uint16_t& value);
    bool U32(std::uint32_t& value);
    bool U64(std::uint64_t& value);
    // Copies `count` bytes.
    bool Take(std::size_t count, std::string& out);
    // A u32 count and that many bytes.
    bool String(std::string& out);

    std::size_t Remaining() const { return bytes_.size() - position_; }
    bool AtEnd() const { return position_ == bytes_.size(); }

private:
    Bytes bytes_;
    std::size_t position_ = 0;
};

struct FrameHeader {
    MessageType type = MessageType::HelloRequest;
    std::uint32_t length = 0;
};

// The 12-byte header (magic, version 3, type, 0, payload length); no heap.
constexpr std::array<unsigned char, kFrameHeaderSize> EncodeFrameHeader(MessageType type, std::uint32_t length) {
    std::array<unsigned char, kFrameHeaderSize> header{};
    for (int i = 0; i < 4; ++i) header[i] = static_cast<unsigned char>(kFrameMagic >> (8 * i));
    header[4] = static_cast<unsigned char>(kProtocolVersion & 0xFF);
    header[5] = static_cast<unsigned char>(kProtocolVersion >> 8);
    header[6] = static_cast<unsigned char>(type);
    for (int i = 0; i < 4; ++i) header[8 + i] = static_cast<unsigned char>(length >> (8 * i));
    return header;
}

// The header followed by the payload.
std::vector<unsigned char> EncodeFrame(MessageType type, Bytes payload);

// Checks, in order, size >= 12, magic, version, a known type code and
// length <= cap; byte 7 is never looked at. False when malformed.
bool ParseFrameHeader(Bytes header, std::uint32_t cap, FrameHeader& out);

struct OpenRequest {
    std::string path;
    ArchiveMount::OpenLimits limits;
    bool descriptor_passing = false;
    std::uint64_t os_handle = 0;
    std::int64_t window_offset = 0;
    std::int64_t window_length = 0;
};

struct MaterializeRequest {
    int ordinal = 0;
    std::string path;
};

struct MaterializeAllRequest {
    std::string path;
};

// Exactly 53 + L bytes; descriptor_passing 0 or 1; window fields non-negative.
// Fields may be filled before a later check fails.
bool DecodeOpenRequest(Bytes payload, OpenRequest& out);
// Exactly 8 + L bytes; the ordinal's top bit clear.
bool DecodeMaterializeRequest(Bytes payload, MaterializeRequest& out);
// Exactly 4 + L bytes.
bool DecodeMaterializeAllRequest(Bytes payload, MaterializeAllRequest& out);
// Exactly one u32.
bool DecodeHookRequest(Bytes payload, std::uint32_t& out);

struct HelloReply {
    std::uint16_t protocol_version = 0;
    std::uint32_t library_version = 0;
    std::string library_details;
};

struct StatusReply {
    ArchiveMount::Error code = ArchiveMount::Error::Ok;
    std::string message;
};

// What an index reply carries, read once from a freshly opened reader.
struct IndexSummary {
    ArchiveMount::ArchiveKind kind = ArchiveMount::ArchiveKind::Zip;
    int kind_flag = 0;
    std::int64_t declared_total = 0;
    std::uint64_t archive_size = 0;
    std::string fingerprint;
    ArchiveMount::ArchiveIdentity identity;
    std::vector<ArchiveMount::Entry> entries;
};

// Reads the getters in the order Kind, KindFlag, DeclaredTotal, ArchiveSize,
// Fingerprint, Identity, copying the values. The entries stay empty: a reply
// encodes them straight from the source's own.
IndexSummary SummarizeIndex(const ArchiveMount::ArchiveSource& source);

std::vector<unsigned char> EncodeHelloReply(std::uint16_t protocol_version, std::uint32_t library_version,
                                            std::string_view library_details);
std::vector<unsigned char> EncodeStatusReply(ArchiveMount::Error code, std::string_view message);
// The payload only; entries in the order given, nothing sorted or filtered.
std::vector<unsigned char> EncodeIndexReply(const IndexSummary& index);
// The same with `entries` in place of index.entries.
std::vector<unsigned char> EncodeIndexReply(const IndexSummary& index, std::span<const ArchiveMount::Entry> entries);

}  // namespace ArchiveHelper

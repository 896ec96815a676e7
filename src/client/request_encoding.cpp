#include "client/request_encoding.h"

namespace HelperClient {

using ArchiveHelper::ByteWriter;

std::vector<unsigned char> EncodeOpenRequest(const ArchiveHelper::OpenRequest& request) {
    ByteWriter writer;
    writer.String(request.path);
    writer.U64(static_cast<std::uint64_t>(request.limits.max_entries));
    writer.U64(static_cast<std::uint64_t>(request.limits.max_total_bytes));
    writer.U64(static_cast<std::uint64_t>(request.limits.max_member_bytes));
    writer.U8(request.descriptor_passing ? 1 : 0);
    writer.U64(request.os_handle);
    writer.U64(static_cast<std::uint64_t>(request.window_offset));
    writer.U64(static_cast<std::uint64_t>(request.window_length));
    return writer.Take();
}

std::vector<unsigned char> EncodeMaterializeRequest(std::uint32_t ordinal, std::string_view path) {
    ByteWriter writer;
    writer.U32(ordinal);
    writer.String(path);
    return writer.Take();
}

std::vector<unsigned char> EncodeMaterializeAllRequest(std::string_view path) {
    ByteWriter writer;
    writer.String(path);
    return writer.Take();
}

std::vector<unsigned char> EncodeHookRequest(std::uint32_t value) {
    ByteWriter writer;
    writer.U32(value);
    return writer.Take();
}

}  // namespace HelperClient

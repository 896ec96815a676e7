#include "formats/private_stream.h"

#include <cstdint>
#include <limits>

#include "platform/platform.h"

namespace ZipCentralDirectory {

PrivateStream::PrivateStream(int descriptor)
    : descriptor_(descriptor), position_(platform::Seek(descriptor, 0, SEEK_CUR)) {
    const int duplicate = platform::DuplicateSharingPosition(descriptor);
    if (duplicate < 0) return;
    std::FILE* stream = platform::StreamFromDescriptor(duplicate, "rb");
    if (stream == nullptr) {
        platform::CloseDescriptor(duplicate);
        return;
    }
    if (!platform::SeekStream(stream, 0, SEEK_END)) {
        std::fclose(stream);
        return;
    }
    const std::int64_t size = platform::TellStream(stream);
    if (size < 0) {
        std::fclose(stream);
        return;
    }
    stream_ = stream;
    size_ = static_cast<std::uint64_t>(size);
}

PrivateStream::~PrivateStream() {
    if (stream_ != nullptr) std::fclose(stream_);
    if (position_ >= 0) platform::Seek(descriptor_, position_, SEEK_SET);
}

bool ReadExactly(std::FILE* stream, std::uint64_t offset, unsigned char* buffer, std::size_t length) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
    if (!platform::SeekStream(stream, static_cast<std::int64_t>(offset), SEEK_SET)) return false;
    return std::fread(buffer, 1, length, stream) == length;
}

}  // namespace ZipCentralDirectory

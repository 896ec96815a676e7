#include "formats/private_stream.h"

#include <cstdint>
#include <limits>

#include "platform/platform.h"

namespace ZipCentralDirectory {

namespace {

constexpr std::size_t kReadThroughBytes = 4096;

}  // namespace

PrivateStream::PrivateStream(int descriptor)
    : descriptor_(descriptor), position_(platform::Seek(descriptor, 0, SEEK_CUR)) {
    platform::Descriptor duplicate = platform::DuplicateSharingPosition(descriptor);
    if (!duplicate.valid()) return;
    platform::Stream stream = platform::StreamFromDescriptor(duplicate, "rb");
    if (!stream || !platform::SeekStream(stream.get(), 0, SEEK_END)) return;
    const std::int64_t size = platform::TellStream(stream.get());
    if (size < 0) return;
    stream_ = std::move(stream);
    size_ = static_cast<std::uint64_t>(size);
}

PrivateStream::~PrivateStream() {
    stream_.reset();
    if (position_ >= 0) platform::Seek(descriptor_, position_, SEEK_SET);
}

bool ReadExactly(std::FILE* stream, std::uint64_t offset, unsigned char* buffer, std::size_t length) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
    // A short step forward is read through rather than sought: a seek costs a
    // system call even within the stream's buffer, and the local headers of
    // small members lie a few dozen bytes apart.
    const std::int64_t at = platform::TellStream(stream);
    const auto target = static_cast<std::int64_t>(offset);
    if (at >= 0 && target >= at && target - at <= static_cast<std::int64_t>(kReadThroughBytes)) {
        unsigned char skipped[kReadThroughBytes];
        const auto gap = static_cast<std::size_t>(target - at);
        if (std::fread(skipped, 1, gap, stream) != gap) return false;
    } else if (!platform::SeekStream(stream, target, SEEK_SET)) {
        return false;
    }
    return std::fread(buffer, 1, length, stream) == length;
}

}  // namespace ZipCentralDirectory

#include "helper/protocol_channel.h"

#include "platform/platform.h"

namespace ArchiveHelper {

namespace {
int protocol_fd = -1;
}

bool OpenProtocolChannel() {
    const int duplicate = platform::DuplicateDescriptor(1);
    if (duplicate < 0) return false;
    if (platform::RedirectDescriptor(2, 1) != 0) {
        platform::CloseDescriptor(duplicate);
        return false;
    }
    protocol_fd = duplicate;
    return true;
}

int ProtocolDescriptor() { return protocol_fd; }

void UseProtocolDescriptor(int descriptor) { protocol_fd = descriptor; }

bool WriteToChannel(Bytes bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const long long count = platform::WriteSome(protocol_fd, bytes.data() + written, bytes.size() - written);
        if (count <= 0) return false;
        written += static_cast<std::size_t>(count);
    }
    return true;
}

bool SendFrame(MessageType type, Bytes payload) { return WriteToChannel(EncodeFrame(type, payload)); }

bool SendStatus(ArchiveMount::Error code, std::string_view message) {
    return SendFrame(MessageType::StatusReply, EncodeStatusReply(code, message));
}

}  // namespace ArchiveHelper

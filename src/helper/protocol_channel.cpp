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

bool WriteToChannel(Bytes bytes) { return platform::WriteAll(protocol_fd, bytes.data(), bytes.size()); }

bool SendFrame(MessageType type, Bytes payload) { return WriteToChannel(EncodeFrame(type, payload)); }

bool SendStatus(ArchiveMount::Error code, std::string_view message) {
    return SendFrame(MessageType::StatusReply, EncodeStatusReply(code, message));
}

}  // namespace ArchiveHelper

// The reply channel: a private duplicate of the standard output the helper
// was started with. Replies go there and nowhere else.
#pragma once

#include <string_view>

#include "helper/frame_codec.h"

namespace ArchiveHelper {

// Duplicates descriptor 1 as the reply channel, then points descriptor 1 at
// descriptor 2 so later output to standard output cannot reach the parent.
// False when either step fails.
bool OpenProtocolChannel();

// The reply channel's descriptor; -1 before it is set up.
int ProtocolDescriptor();

// Makes `descriptor` the reply channel (the loop's tests use a file).
void UseProtocolDescriptor(int descriptor);

// Writes every byte to the reply channel; a write that moves nothing or fails
// ends the attempt. True only when all bytes went out.
bool WriteToChannel(Bytes bytes);

// Encodes one frame and writes it whole; true only when it all went out.
bool SendFrame(MessageType type, Bytes payload);

// A StatusReply frame with the code and message.
bool SendStatus(ArchiveMount::Error code, std::string_view message);

}  // namespace ArchiveHelper

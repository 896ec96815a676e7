// Parent-side decoders of the helper's replies. Strict like the helper's own
// decoders: exact lengths, a plain false for anything malformed.
#pragma once

#include "helper/frame_codec.h"

namespace HelperClient {

bool DecodeHelloReply(ArchiveHelper::Bytes payload, ArchiveHelper::HelloReply& out);
bool DecodeStatusReply(ArchiveHelper::Bytes payload, ArchiveHelper::StatusReply& out);
// Kind above 7, a flag byte above 1, or an entry count the payload cannot
// hold make the reply malformed.
bool DecodeIndexReply(ArchiveHelper::Bytes payload, ArchiveHelper::IndexSummary& out);

}  // namespace HelperClient

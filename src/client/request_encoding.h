// Parent-side encoders of the request payloads the helper decodes.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "helper/frame_codec.h"

namespace HelperClient {

// The 53 + L byte payload of an OpenRequest.
std::vector<unsigned char> EncodeOpenRequest(const ArchiveHelper::OpenRequest& request);

// Ordinal (u32), path length and path.
std::vector<unsigned char> EncodeMaterializeRequest(std::uint32_t ordinal, std::string_view path);

// Path length and path.
std::vector<unsigned char> EncodeMaterializeAllRequest(std::string_view path);

// The one u32 of AbortHook, StallHook and AllocateHook.
std::vector<unsigned char> EncodeHookRequest(std::uint32_t value);

}  // namespace HelperClient

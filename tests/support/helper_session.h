// Starting the real helper binary through the client, for end-to-end tests.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "client/helper_process.h"
#include "client/request_encoding.h"

namespace TestSupport {

constexpr std::chrono::milliseconds kReplyTimeout{20000};

// Starts build/ombrex-archive-helper with `arguments`; fails the test when
// it cannot be started.
std::unique_ptr<HelperClient::HelperProcess> StartHelper(const std::vector<std::string>& arguments = {},
                                                         int inherited_descriptor = -1,
                                                         bool close_standard_error = false);

// A well-formed OpenRequest by path with generous limits.
ArchiveHelper::OpenRequest OpenByPath(const std::string& path);

// True when the helper was built with AddressSanitizer, whose own mappings a
// data-size cap also limits.
constexpr bool kSanitizerBuild =
#if defined(__SANITIZE_ADDRESS__)
    true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    true;
#else
    false;
#endif
#else
    false;
#endif

}  // namespace TestSupport

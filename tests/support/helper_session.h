// Starting the real helper binary through the client, for end-to-end tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/helper_process.h"
#include "client/request_encoding.h"
#include "support/host.h"

namespace testsupport {

constexpr std::chrono::milliseconds kReplyTimeout{20000};

// `text` as the helper's text-mode streams carry it: standard error, and
// standard output before the switch to binary, end lines with CR LF on Windows.
std::string HostText(const std::string& text);

// What the helper writes to standard error at every start before anything
// else: the Windows build's C runtime (msvcrt) has no UTF-8 locale, so it
// always says so.
std::string StartUpNotice();

// How the client describes a helper it killed: "signal 9" (POSIX), "killed"
// (Windows).
std::string KilledByParent();

// Starts the helper with `arguments`, and `inherited_handle` passed on (a
// host handle value); fails the test when it cannot be started.
std::unique_ptr<HelperClient::HelperProcess> StartHelper(const std::vector<std::string>& arguments = {},
                                                         std::optional<std::uint64_t> inherited_handle = {},
                                                         bool close_standard_error = false);

// A helper that inherited an open read handle on an archive, and the value
// an OpenRequest names that handle by; the test holds no copy of it.
struct HelperWithHandle {
    std::unique_ptr<HelperClient::HelperProcess> helper;
    std::uint64_t handle = 0;
};
HelperWithHandle StartHelperWithArchiveHandle(const std::filesystem::path& archive,
                                              const std::vector<std::string>& arguments = {});

// A copy of the fake helper (tests/fake_helper.cpp) in `directory`, named
// after the `behaviour` it is to show.
std::filesystem::path FakeHelper(const std::filesystem::path& directory, const std::string& behaviour);

// Waits for the helper to end and expects it to exit with `code`; a failure
// shows what the helper (or Wine, starting it) wrote to standard error.
void ExpectExit(HelperClient::HelperProcess& helper, int code);

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

}  // namespace testsupport

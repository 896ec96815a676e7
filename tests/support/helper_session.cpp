#include "support/helper_session.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "platform/platform.h"

namespace testsupport {

namespace {

std::string Environment(const char* name, const char* fallback = "") {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

std::string WindowsHelper() { return Environment("OMBREX_TEST_WINDOWS_HELPER"); }

std::unique_ptr<HelperClient::HelperProcess> Start(const HelperClient::StartOptions& options) {
    std::string message;
    auto process = HelperClient::HelperProcess::Start(options, &message);
    EXPECT_NE(process, nullptr) << message;
    return process;
}

// The parent writes the value before it starts the helper, so it is there
// by the time the helper answers anything; waiting covers a slow start.
std::uint64_t ReadHandleValue(const std::filesystem::path& file, HelperClient::HelperProcess& helper) {
    const auto deadline = std::chrono::steady_clock::now() + kReplyTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(file);
        std::string line;
        if (std::getline(in, line) && !in.eof()) return std::stoull(line);
        if (helper.Wait(std::chrono::milliseconds(50))) break;
    }
    ADD_FAILURE() << "the test parent wrote no handle value; its error output: " << helper.StandardError();
    return 0;
}

}  // namespace

bool HelperIsWindowsProgram() { return !WindowsHelper().empty(); }

std::string HostText(const std::string& text) {
    if (!HelperIsWindowsProgram()) return text;
    std::string out;
    for (const char c : text) {
        if (c == '\n') out.push_back('\r');
        out.push_back(c);
    }
    return out;
}

std::string StartUpNotice() {
    return HelperIsWindowsProgram() ? HostText("archive helper: no UTF-8 locale, names outside ASCII are refused\n")
                                    : "";
}

std::unique_ptr<HelperClient::HelperProcess> StartHelper(const std::vector<std::string>& arguments,
                                                         std::optional<std::uint64_t> inherited_handle,
                                                         bool close_standard_error) {
    if (!HelperIsWindowsProgram()) {
        return Start({OMBREX_HELPER_BINARY, arguments, inherited_handle, close_standard_error});
    }
    std::vector<std::string> command{WindowsHelper()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return Start({Environment("OMBREX_TEST_WINE", "/usr/bin/wine"), command, inherited_handle,
                  close_standard_error});
}

HelperWithHandle StartHelperWithArchiveHandle(const std::filesystem::path& archive,
                                              const std::vector<std::string>& arguments) {
    HelperWithHandle started;
    if (!HelperIsWindowsProgram()) {
        platform::Descriptor passed = platform::OpenFileSharedForReading(archive);
        EXPECT_GE(passed.get(), 3);
        started.helper = StartHelper(arguments, static_cast<std::uint64_t>(passed.get()));
        started.handle = static_cast<std::uint64_t>(passed.get());
        passed.reset();  // the child keeps its own copy
        return started;
    }
    const std::filesystem::path helper = WindowsHelper();
    const auto value_file = archive.string() + ".handle";
    std::vector<std::string> command{(helper.parent_path() / "ombrex-spawn-with-handle.exe").string(),
                                     archive.string(), value_file, helper.string()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    started.helper = Start({Environment("OMBREX_TEST_WINE", "/usr/bin/wine"), command, {}, false});
    if (started.helper) started.handle = ReadHandleValue(value_file, *started.helper);
    return started;
}

void ExpectExit(HelperClient::HelperProcess& helper, int code) {
    const auto status = helper.Wait(kReplyTimeout);
    ASSERT_TRUE(status) << "the helper did not end";
    EXPECT_TRUE(status->exited && status->code == code)
        << HelperClient::DescribeExit(*status) << "; its error output: " << helper.StandardError();
}

ArchiveHelper::OpenRequest OpenByPath(const std::string& path) {
    ArchiveHelper::OpenRequest request;
    request.path = path;
    request.limits = {1000, 1LL << 40, 1LL << 40};
    return request;
}

}  // namespace testsupport

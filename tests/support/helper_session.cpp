#include "support/helper_session.h"

#include <gtest/gtest.h>


#include "platform/platform.h"

namespace testsupport {

namespace {

std::unique_ptr<HelperClient::HelperProcess> Start(const HelperClient::StartOptions& options) {
    std::string message;
    auto process = HelperClient::HelperProcess::Start(options, &message);
    EXPECT_NE(process, nullptr) << message;
    return process;
}

}  // namespace

std::string HostText(const std::string& text) {
    if (!kWindowsHost) return text;
    std::string out;
    for (const char c : text) {
        if (c == '\n') out.push_back('\r');
        out.push_back(c);
    }
    return out;
}

std::string StartUpNotice() {
    return kWindowsHost ? HostText("archive helper: no UTF-8 locale, names outside ASCII are refused\n") : "";
}

std::string KilledByParent() { return kWindowsHost ? "killed" : "signal 9"; }

std::unique_ptr<HelperClient::HelperProcess> StartHelper(const std::vector<std::string>& arguments,
                                                         std::optional<std::uint64_t> inherited_handle,
                                                         bool close_standard_error) {
    return Start({OMBREX_HELPER_BINARY, arguments, inherited_handle, close_standard_error});
}

HelperWithHandle StartHelperWithArchiveHandle(const std::filesystem::path& archive,
                                              const std::vector<std::string>& arguments) {
    std::string reason;
    const platform::Descriptor passed = platform::OpenFileForChild(archive, &reason);
    EXPECT_TRUE(passed.valid()) << archive << ": " << reason;
    HelperWithHandle started;
    started.handle = platform::HandleValue(passed.get());
    started.helper = StartHelper(arguments, started.handle);
    return started;  // the child keeps its own copy
}

std::filesystem::path FakeHelper(const std::filesystem::path& directory, const std::string& behaviour) {
    const std::filesystem::path fake = OMBREX_FAKE_HELPER_BINARY;
    const auto copy = directory / (behaviour + fake.extension().string());
    std::error_code error;
    std::filesystem::copy_file(fake, copy, std::filesystem::copy_options::overwrite_existing, error);
    EXPECT_FALSE(error) << copy << ": " << error.message();
    return copy;
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

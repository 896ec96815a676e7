#include "client/helper_process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/child_process.h"
#include "platform/platform.h"
#include "support/helper_session.h"
#include "support/host.h"
#include "support/open_descriptors.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using ArchiveHelper::MessageType;

TEST(HelperProcess, AMissingBinaryIsReportedAndLeavesNothingBehind) {
    const auto before = testsupport::OpenDescriptorCount();
    std::string message;
    auto process = HelperClient::HelperProcess::Start({"/nonexistent/helper", {}, {}, false}, &message);
    EXPECT_EQ(process, nullptr);
    EXPECT_EQ(message, "cannot run the helper: " + testsupport::NoSuchFileText());
    EXPECT_EQ(testsupport::OpenDescriptorCount(), before);
}

TEST(HelperProcess, DestroyingARunningHelperReapsItAndClosesEveryPipe) {
    const auto before = testsupport::OpenDescriptorCount();
    int pid = 0;
    {
        auto helper = testsupport::StartHelper();
        ASSERT_TRUE(helper);
        pid = helper->pid();
        HelperClient::Frame frame;
        // Nothing was asked, so nothing comes.
        EXPECT_EQ(helper->ReadFrame(frame, 50ms), HelperClient::ReadResult::Timeout);
        EXPECT_EQ(helper->Wait(10ms), std::nullopt);
    }
    EXPECT_FALSE(testsupport::ProcessRunning(pid)) << "left running or unreaped";
    EXPECT_EQ(testsupport::OpenDescriptorCount(), before);
}

TEST(HelperProcess, WritingToAHelperThatEndedFailsWithoutASignal) {
    auto helper = testsupport::StartHelper({"--bogus"});
    ASSERT_TRUE(helper);
    const auto status = helper->Wait(testsupport::kReplyTimeout);
    ASSERT_TRUE(status);
    EXPECT_EQ(HelperClient::DescribeExit(*status), "exit 2");
    // Reaching the next line at all shows SIGPIPE did not end this process.
    EXPECT_FALSE(helper->SendRequest(MessageType::HelloRequest, {}));
    HelperClient::Frame frame;
    EXPECT_EQ(helper->ReadFrame(frame, 1000ms), HelperClient::ReadResult::EndOfStream);
}

// A child's environment is the parent's with the settings put over it.
TEST(HelperProcess, AChildGetsTheParentsEnvironmentWithTheSettingsOverIt) {
    const testsupport::ScopedVariable replaced("OMBREX_TEST_REPLACED", "old");
    const testsupport::ScopedVariable kept("OMBREX_TEST_KEPT", "kept");
    const testsupport::ScopedVariable added("OMBREX_TEST_ADDED", std::nullopt);
    testsupport::TempDir temp;
    platform::ChildOptions options;
    options.program = platform::PathToUtf8(testsupport::FakeHelper(temp.path(), "shows-environment"));
    options.arguments = {"OMBREX_TEST_REPLACED", "OMBREX_TEST_KEPT", "OMBREX_TEST_ADDED"};
    options.environment = {"OMBREX_TEST_REPLACED=new", "OMBREX_TEST_ADDED=added"};
    platform::StartFailure failure;
    auto child = platform::ChildProcess::Start(options, &failure);
    ASSERT_TRUE(child) << failure.reason;
    const auto deadline = platform::ChildProcess::Clock::now() + testsupport::kReplyTimeout;
    std::string shown;
    unsigned char buffer[256];
    std::size_t got = 0;
    while (child->ReadOutput(buffer, sizeof buffer, deadline, got) == platform::ChildProcess::Read::Data) {
        shown.append(reinterpret_cast<const char*>(buffer), got);
    }
    EXPECT_EQ(shown, "new\nkept\nadded\n");
}

// The helper gets glibc's allocator switch from the start, so that it need
// not restart itself, and keeps whatever else the parent's variable says.
// The Windows heap needs no switch: there the variable passes unchanged.
TEST(HelperProcess, TheHelperStartsWithItsAllocatorSwitch) {
    const std::string kSwitch = "glibc.malloc.tcache_count=0";
    struct Case {
        std::optional<std::string> parent;
        std::string linux_child;
    };
    const Case cases[] = {
        {std::nullopt, kSwitch},
        {"glibc.malloc.arena_max=2", "glibc.malloc.arena_max=2:" + kSwitch},
        {kSwitch + ":glibc.malloc.arena_max=2", kSwitch + ":glibc.malloc.arena_max=2"},
    };
    testsupport::TempDir temp;
    const std::string shows = platform::PathToUtf8(testsupport::FakeHelper(temp.path(), "shows-environment"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.parent.value_or("unset"));
        const testsupport::ScopedVariable tunables("GLIBC_TUNABLES", c.parent);
        std::string message;
        auto shell = HelperClient::HelperProcess::Start({shows, {"GLIBC_TUNABLES"}, std::nullopt, false}, &message);
        ASSERT_TRUE(shell) << message;
        const auto seen = shell->ReadToEnd(testsupport::kReplyTimeout);
        ASSERT_TRUE(seen);
        const std::string expected = testsupport::kWindowsHost ? c.parent.value_or("(unset)") : c.linux_child;
        EXPECT_EQ(std::string(seen->begin(), seen->end()), expected + "\n");
    }
}

TEST(HelperProcess, NoDescriptorOfTheParentLeaksIntoTheChild) {
    if (testsupport::kWindowsHost) GTEST_SKIP() << "counts the helper's descriptors in /proc";
    auto helper = testsupport::StartHelper();
    ASSERT_TRUE(helper);
    ASSERT_TRUE(helper->SendRequest(MessageType::HelloRequest, {}));
    ASSERT_TRUE(helper->ReadHello(testsupport::kReplyTimeout));
    int count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(helper->pid()) + "/fd")) {
        ++count;
    }
    EXPECT_EQ(count, 4);  // 0, 1 (now standard error), 2 and the reply channel
}

TEST(HelperProcess, OfTheParentsInheritableHandlesOnlyThePassedOneReachesTheChild) {
    testsupport::TempDir temp;
    const auto file = temp.WriteFile("data.bin", "data");
    // What a careless start would hand down: no close-on-exec, or inheritable.
    const platform::Descriptor leaky = testsupport::OpenLeakyDescriptor(file);
    ASSERT_TRUE(leaky.valid());
    std::string reason;
    const platform::Descriptor passed = platform::OpenFileForChild(file, &reason);
    ASSERT_TRUE(passed.valid()) << reason;
    const std::uint64_t leaky_value = platform::HandleValue(leaky.get());
    const std::uint64_t passed_value = platform::HandleValue(passed.get());
    std::string message;
    auto probe = HelperClient::HelperProcess::Start(
        {platform::PathToUtf8(testsupport::FakeHelper(temp.path(), "probe-handles")),
         {std::to_string(leaky_value), std::to_string(passed_value)}, passed_value, false},
        &message);
    ASSERT_TRUE(probe) << message;
    const auto seen = probe->ReadToEnd(testsupport::kReplyTimeout);
    ASSERT_TRUE(seen);
    EXPECT_EQ(std::string(seen->begin(), seen->end()), "01") << "1: open in the child, leaky handle first";
    testsupport::ExpectExit(*probe, 0);
}

}  // namespace

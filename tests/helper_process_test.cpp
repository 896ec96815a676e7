#include "client/helper_process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/helper_session.h"
#include "support/output_checks.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using ArchiveHelper::MessageType;

int OpenDescriptorCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

TEST(HelperProcess, AMissingBinaryIsReportedAndLeavesNothingBehind) {
    const int before = OpenDescriptorCount();
    std::string message;
    auto process = HelperClient::HelperProcess::Start({"/nonexistent/helper", {}, -1, false}, &message);
    EXPECT_EQ(process, nullptr);
    EXPECT_EQ(message, "cannot run the helper: No such file or directory");
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(HelperProcess, DestroyingARunningHelperReapsItAndClosesEveryPipe) {
    const int before = OpenDescriptorCount();
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
    EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(pid))) << "left a zombie";
    EXPECT_EQ(OpenDescriptorCount(), before);
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

// The helper gets its allocator switch from the start, so that it need not
// restart itself, and keeps whatever else the parent's variable says. A
// shell in the helper's place shows what it was given (the C library may
// rewrite the variable's original bytes, which /proc would show instead).
TEST(HelperProcess, TheHelperStartsWithItsAllocatorSwitch) {
    const char* name = "GLIBC_TUNABLES";
    const char* saved = std::getenv(name);
    const std::string kept = saved != nullptr ? saved : "";
    const std::pair<const char*, std::string> cases[] = {
        {nullptr, "glibc.malloc.tcache_count=0"},
        {"glibc.malloc.arena_max=2", "glibc.malloc.arena_max=2:glibc.malloc.tcache_count=0"},
        {"glibc.malloc.tcache_count=0:glibc.malloc.arena_max=2", "glibc.malloc.tcache_count=0:glibc.malloc.arena_max=2"},
    };
    testsupport::TempDir dir;
    const std::string shown = (dir.path() / "shown").string();
    for (const auto& [parent, child] : cases) {
        SCOPED_TRACE(parent != nullptr ? parent : "unset");
        if (parent != nullptr) {
            setenv(name, parent, 1);
        } else {
            unsetenv(name);
        }
        auto shell = HelperClient::HelperProcess::Start(
            {"/bin/sh", {"-c", "env | grep '^GLIBC_TUNABLES=' > '" + shown + "'"}, -1, false}, nullptr);
        ASSERT_TRUE(shell);
        ASSERT_TRUE(shell->Wait(testsupport::kReplyTimeout));
        EXPECT_EQ(testsupport::ReadWholeFile(shown), std::string(name) + "=" + child + "\n");
    }
    if (saved != nullptr) {
        setenv(name, kept.c_str(), 1);
    } else {
        unsetenv(name);
    }
}

TEST(HelperProcess, NoDescriptorOfTheParentLeaksIntoTheChild) {
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

}  // namespace

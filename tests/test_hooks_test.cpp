#include "helper/test_hooks.h"

#include <gtest/gtest.h>

#include <csignal>

#include "client/request_encoding.h"
#include "support/helper_session.h"
#include "support/loop_harness.h"

namespace {

using namespace ArchiveHelper;
using ArchiveMount::Error;
using HelperClient::EncodeHookRequest;
using HelperClient::EncodeMaterializeAllRequest;
using HelperClient::EncodeMaterializeRequest;
using testsupport::Concat;
using testsupport::kReplyTimeout;
using testsupport::Request;
using Buffer = std::vector<unsigned char>;


// How abort() ends a process: SIGABRT, or exit code 3 from the Windows C runtime.
bool AbortedExit(int status) {
#if defined(_WIN32)
    return testing::ExitedWithCode(3)(status);
#else
    return testing::KilledBySignal(SIGABRT)(status);
#endif
}

// Opens always succeed with a small fake index.
ArchiveOpeners FakeOpeners() {
    ArchiveOpeners openers;
    openers.open_path = [](ArchiveMount::OpenResult& out, const std::filesystem::path&,
                           const ArchiveMount::OpenLimits&) {
        out.reader = std::make_unique<testsupport::FakeSource>(
            testsupport::SmallIndex(), std::make_shared<testsupport::FakeSource::Record>());
    };
    return openers;
}

Buffer OpenFrame() {
    return Request(MessageType::OpenRequest, HelperClient::EncodeOpenRequest(testsupport::OpenByPath("a")));
}

TEST(TestHooks, AnArmedAbortEndsTheProcessWithoutAReply) {
    struct Case {
        const char* name;
        Buffer frames;
    };
    const Case cases[] = {
        {"ordinal 7", Concat({Request(MessageType::AbortHook, EncodeHookRequest(7)), OpenFrame(),
                              Request(MessageType::MaterializeRequest, EncodeMaterializeRequest(7, "o"))})},
        {"abort wins over a stall on the same ordinal",
         Concat({Request(MessageType::StallHook, EncodeHookRequest(7)),
                 Request(MessageType::AbortHook, EncodeHookRequest(7)), OpenFrame(),
                 Request(MessageType::MaterializeRequest, EncodeMaterializeRequest(7, "o"))})},
        {"0xFFFFFFFF fires on materialize-all",
         Concat({Request(MessageType::AbortHook, EncodeHookRequest(0xFFFFFFFF)), OpenFrame(),
                 Request(MessageType::MaterializeAllRequest, EncodeMaterializeAllRequest("d"))})},
    };
    for (const auto& c : cases) {
        EXPECT_EXIT(testsupport::RunLoop(c.frames, true, FakeOpeners()), AbortedExit, "") << c.name;
    }
}

TEST(TestHooks, HooksForOtherOrdinalsDelayNothing) {
    const auto started = std::chrono::steady_clock::now();
    const auto run = testsupport::RunLoop(
        Concat({Request(MessageType::StallHook, EncodeHookRequest(8)),
                Request(MessageType::AbortHook, EncodeHookRequest(0xFFFFFFFF)), OpenFrame(),
                Request(MessageType::MaterializeRequest, EncodeMaterializeRequest(7, "o"))}),
        true, FakeOpeners());
    // Far below the 600 s a stall would take; not a speed target.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
    EXPECT_EQ(run.exit_code, 0);
    const auto frames = testsupport::SplitReplies(run.replies);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(testsupport::StatusOf(frames[0]).code, Error::Ok);
    EXPECT_EQ(testsupport::StatusOf(frames[0]).message, "");
    EXPECT_EQ(testsupport::StatusOf(frames[3]).message, "written");
}

TEST(TestHooks, HooksAreCheckedOnlyWithAnArchiveOpen) {
    auto helper = testsupport::StartHelper({"--test-hooks"});
    ASSERT_TRUE(helper->SendRequest(MessageType::AbortHook, EncodeHookRequest(3)));
    ASSERT_TRUE(helper->SendRequest(MessageType::StallHook, EncodeHookRequest(7)));
    ASSERT_TRUE(helper->SendRequest(MessageType::MaterializeRequest, EncodeMaterializeRequest(7, "o")));
    ASSERT_TRUE(helper->SendRequest(MessageType::MaterializeRequest, EncodeMaterializeRequest(3, "o")));
    for (int i = 0; i < 2; ++i) {
        const auto armed = helper->ReadStatus(kReplyTimeout);
        ASSERT_TRUE(armed);
        EXPECT_EQ(armed->code, Error::Ok);
    }
    for (int i = 0; i < 2; ++i) {
        const auto reply = helper->ReadStatus(std::chrono::milliseconds(10000));
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->message, "no archive is open");
    }
    helper->CloseInput();
    testsupport::ExpectExit(*helper, 0);
}

TEST(TestHooks, AllocationPastTheCapIsRefusedAndServingGoesOn) {
    if (testsupport::kSanitizerBuild) GTEST_SKIP() << "a data-size cap also limits the sanitizer's own mappings";
    // Wine accepts the job object's memory limit but does not enforce it, so
    // under Wine only the allocations within the cap are checked.
    const bool cap_enforced = !testsupport::RunningUnderWine();
    auto helper = testsupport::StartHelper({"--test-hooks", "--memory-limit-mb", "32"});
    const std::pair<std::uint32_t, Error> cases[] = {
        {64, Error::SizeOverLimit}, {8, Error::Ok}, {0, Error::Ok}, {0xFFFFFFFF, Error::SizeOverLimit}};
    for (const auto& [mebibytes, code] : cases) {
        if (code == Error::SizeOverLimit && !cap_enforced) continue;
        ASSERT_TRUE(helper->SendRequest(MessageType::AllocateHook, EncodeHookRequest(mebibytes)));
        const auto reply = helper->ReadStatus(kReplyTimeout);
        ASSERT_TRUE(reply) << mebibytes;
        EXPECT_EQ(reply->code, code) << mebibytes;
        EXPECT_EQ(reply->message, "");
    }
    ASSERT_TRUE(helper->SendRequest(MessageType::HelloRequest, {}));
    EXPECT_TRUE(helper->ReadHello(kReplyTimeout));
    helper->CloseInput();
    testsupport::ExpectExit(*helper, 0);
    EXPECT_EQ(helper->StandardError(), testsupport::StartUpNotice());
    if (!cap_enforced) GTEST_SKIP() << "allocations past the cap: Wine does not enforce the job's memory limit";
}

}  // namespace

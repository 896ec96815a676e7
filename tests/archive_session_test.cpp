#include "client/archive_session.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/platform.h"
#include "support/archive_builder.h"
#include "support/helper_session.h"
#include "support/host.h"
#include "support/open_descriptors.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using ArchiveHelper::MessageType;
using ArchiveMount::Error;
using HelperClient::ArchiveSession;
using HelperClient::Outcome;
using HelperClient::SessionOptions;

SessionOptions RealHelper(std::chrono::milliseconds timeout = testsupport::kReplyTimeout) {
    SessionOptions options;
    options.helper_binary = OMBREX_HELPER_BINARY;
    options.reply_timeout = timeout;
    return options;
}

std::unique_ptr<ArchiveSession> Start(const SessionOptions& options) {
    Outcome failure;
    auto session = ArchiveSession::Start(options, &failure);
    EXPECT_NE(session, nullptr) << failure.message;
    return session;
}

TEST(ArchiveSession, AMissingHelperCannotStart) {
    SessionOptions options;
    options.helper_binary = "/nonexistent/helper";
    Outcome failure;
    EXPECT_EQ(ArchiveSession::Start(options, &failure), nullptr);
    EXPECT_EQ(failure.code, Error::HelperFailed);
    EXPECT_EQ(failure.message, "cannot run the helper: " + testsupport::NoSuchFileText());
}

TEST(ArchiveSession, HelloThenACleanEndWithThePeakMemoryAndNothingLeft) {
    const auto before = testsupport::OpenDescriptorCount();
    {
        auto session = Start(RealHelper());
        ArchiveHelper::HelloReply hello;
        const Outcome outcome = session->Hello(hello);
        ASSERT_TRUE(outcome.ok()) << outcome.message;
        EXPECT_EQ(hello.protocol_version, 3);
        const auto status = session->Finish();
        ASSERT_TRUE(status);
        EXPECT_EQ(HelperClient::DescribeExit(*status), "exit 0");
        EXPECT_GT(status->peak_rss_kib, 0);
        EXPECT_FALSE(session->running());
        EXPECT_EQ(session->Hello(hello).message, "the helper is not running");
    }
    EXPECT_EQ(testsupport::OpenDescriptorCount(), before);
}

// Stand-ins for a helper gone wrong: copies of the fake helper, each named
// after what it does (tests/fake_helper.cpp).
struct Misbehaviour {
    const char* behaviour;
    Error code;
    std::string message;
};

TEST(ArchiveSession, AHelperThatDiesStallsOrSpeaksOutOfProtocolIsReapedAndSpent) {
    const std::string killed = " (" + testsupport::KilledByParent() + ")";
    const Misbehaviour cases[] = {
        {"exits-at-once", Error::HelperFailed, "the helper ended without a reply (exit 3)"},
        {"echoes", Error::HelperFailed, "a reply of type 1 out of protocol" + killed},
        {"wrong-type", Error::HelperFailed, "a reply of type 66 out of protocol" + killed},
        {"writes-garbage", Error::HelperFailed, "a malformed reply frame" + killed},
        {"lies-about-length", Error::HelperFailed, "a malformed hello reply" + killed},
        {"huge-length", Error::HelperFailed, "a malformed reply frame" + killed},
        {"stops-mid-frame", Error::HelperFailed, "the helper ended without a reply (exit 0)"},
        {"never-answers", Error::HelperTimeout, "no reply within 1 s" + killed},
    };
    testsupport::TempDir temp;
    const auto before = testsupport::OpenDescriptorCount();
    for (const Misbehaviour& fake : cases) {
        SCOPED_TRACE(fake.behaviour);
        SessionOptions options;
        options.helper_binary = platform::PathToUtf8(testsupport::FakeHelper(temp.path(), fake.behaviour));
        options.reply_timeout = 1s;
        auto session = Start(options);
        ASSERT_TRUE(session);
        ArchiveHelper::HelloReply hello;
        const Outcome outcome = session->Hello(hello);
        EXPECT_EQ(outcome.code, fake.code);
        EXPECT_EQ(outcome.message, fake.message) << session->helper_log();
        EXPECT_FALSE(session->running());
        ASSERT_TRUE(session->exit_status());
        EXPECT_TRUE(testsupport::ChildProcessIds().empty()) << "the helper was left running or unreaped";
        EXPECT_EQ(session->Materialize(0, "x").message, "the helper is not running");
        session.reset();
        EXPECT_EQ(testsupport::OpenDescriptorCount(), before);
    }
}

TEST(ArchiveSession, AHelperThatOutlivesItsCloseRequestIsKilledAndReaped) {
    testsupport::TempDir temp;
    const auto before = testsupport::OpenDescriptorCount();
    SessionOptions options;
    options.helper_binary = platform::PathToUtf8(testsupport::FakeHelper(temp.path(), "ignores-close"));
    options.reply_timeout = 1s;
    auto session = Start(options);
    ASSERT_TRUE(session);
    ArchiveHelper::HelloReply hello;
    ASSERT_TRUE(session->Hello(hello).ok());
    const auto status = session->Finish();
    ASSERT_TRUE(status);
    EXPECT_EQ(HelperClient::DescribeExit(*status), testsupport::KilledByParent());
    EXPECT_TRUE(testsupport::ChildProcessIds().empty()) << "the helper was left running or unreaped";
    const Outcome after = session->Hello(hello);
    EXPECT_EQ(after.code, Error::HelperFailed);
    EXPECT_EQ(after.message, "the helper is not running");
    session.reset();
    EXPECT_EQ(testsupport::OpenDescriptorCount(), before);
}

// A session with a small ZIP open, the helper started with --test-hooks.
class OpenArchive : public ::testing::Test {
protected:
    void SetUp() override {
        archive = temp.WriteFile("a.zip", testsupport::BuildArchive(testsupport::Container::ZipDeflate,
                                                                    {{"one.txt", "first"}, {"two.txt", "second"}}));
        SessionOptions options = RealHelper(2s);
        options.test_hooks = true;
        session = Start(options);
        const Outcome outcome = session->Open(testsupport::OpenByPath(archive.string()), index);
        ASSERT_TRUE(outcome.ok()) << outcome.message;
        // The helper is the one child this test process has.
        const auto children = testsupport::ChildProcessIds();
        pid = session->running() && children.size() == 1 ? children[0] : -1;
    }

    testsupport::TempDir temp;
    std::filesystem::path archive;
    std::unique_ptr<ArchiveSession> session;
    ArchiveHelper::IndexSummary index;
    int pid = -1;
};

TEST_F(OpenArchive, MembersAreWrittenAndRefusalsPassThroughWithoutEndingTheSession) {
    ASSERT_EQ(index.entries.size(), 2u);
    EXPECT_EQ(index.entries[1].path, "two.txt");
    EXPECT_EQ(index.entries[1].dos_path, "TWO.TXT");
    const auto out = temp.path() / "out.txt";
    const Outcome written = session->Materialize(static_cast<std::uint32_t>(index.entries[1].ordinal), out.string());
    ASSERT_TRUE(written.ok()) << written.message;
    std::ifstream stream(out);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(stream), {}), "second");
    EXPECT_EQ(session->Materialize(99, out.string()).code, Error::NoSuchEntry);
    const auto text = temp.WriteFile("plain.txt", "no archive here");
    ArchiveHelper::IndexSummary other;
    EXPECT_EQ(session->Open(testsupport::OpenByPath(text.string()), other).code, Error::NotRecognized);
    EXPECT_TRUE(session->running());
    ArchiveHelper::HelloReply hello;
    EXPECT_TRUE(session->Hello(hello).ok());
}

TEST_F(OpenArchive, AStallPastTheDeadlineIsATimeoutAndTheHelperIsKilledAndReaped) {
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(session->SendHook(MessageType::StallHook, 0).ok());
    const Outcome outcome = session->Materialize(0, (temp.path() / "never").string());
    EXPECT_EQ(outcome.code, Error::HelperTimeout);
    EXPECT_EQ(outcome.message, "no reply within 2 s (" + testsupport::KilledByParent() + ")");
    EXPECT_FALSE(testsupport::ProcessRunning(pid)) << "the helper was left running or unreaped";
    EXPECT_FALSE(std::filesystem::exists(temp.path() / "never"));
}

TEST_F(OpenArchive, AnAbortIsAFailureWithItsSignal) {
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(session->SendHook(MessageType::AbortHook, 0xFFFFFFFF).ok());
    const Outcome outcome = session->MaterializeAll((temp.path() / "all").string());
    EXPECT_EQ(outcome.code, Error::HelperFailed);
    EXPECT_EQ(outcome.message, "the helper ended without a reply (" + std::string(testsupport::kAbortedExit) + ")");
    EXPECT_FALSE(testsupport::ProcessRunning(pid));
}

TEST(ArchiveSession, AnArchiveWindowArrivesAsAnInheritedHandle) {
    testsupport::TempDir temp;
    const std::string zip = testsupport::BuildArchive(testsupport::Container::ZipStored, {{"inner.txt", "inside"}});
    const std::string junk(1000, 'j');
    const auto file = temp.WriteFile("disk.img", junk + zip + junk);
    std::string reason;
    const platform::Descriptor passed = platform::OpenFileForChild(file, &reason);
    ASSERT_TRUE(passed.valid()) << reason;
    auto request = testsupport::OpenByPath(file.string());
    request.os_handle = platform::HandleValue(passed.get());
    request.window_offset = static_cast<std::int64_t>(junk.size());
    request.window_length = static_cast<std::int64_t>(zip.size());

    ArchiveHelper::IndexSummary index;
    {
        // Without the descriptor handed down, the helper says so and goes on.
        auto session = Start(RealHelper());
        const Outcome outcome = session->Open(request, index);
        EXPECT_EQ(outcome.code, Error::HelperFailed);
        EXPECT_EQ(outcome.message, "the archive handle did not arrive");
        EXPECT_TRUE(session->running());
    }
    SessionOptions options = RealHelper();
    options.archive_handle = request.os_handle;
    auto session = Start(options);
    const Outcome outcome = session->Open(request, index);
    ASSERT_TRUE(outcome.ok()) << outcome.message;
    EXPECT_EQ(index.archive_size, zip.size());
    ASSERT_EQ(index.entries.size(), 1u);
    EXPECT_EQ(index.entries[0].path, "inner.txt");
}

TEST(ArchiveSession, TheMemoryCapReachesTheHelper) {
    if (testsupport::kSanitizerBuild) GTEST_SKIP() << "a data-size cap also limits the sanitizer's own mappings";
    if (testsupport::RunningUnderWine()) GTEST_SKIP() << "Wine does not enforce the job's memory limit";
    SessionOptions options = RealHelper();
    options.test_hooks = true;
    options.memory_limit_mb = 32;
    auto capped = Start(options);
    EXPECT_EQ(capped->SendHook(MessageType::AllocateHook, 64).code, Error::SizeOverLimit);
    options.memory_limit_mb = 0;
    auto free = Start(options);
    EXPECT_TRUE(free->SendHook(MessageType::AllocateHook, 64).ok());
}

}  // namespace

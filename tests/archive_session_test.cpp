#include "client/archive_session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/archive_builder.h"
#include "support/helper_session.h"
#include "support/open_descriptors.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using ArchiveHelper::MessageType;
using ArchiveMount::Error;
using HelperClient::ArchiveSession;
using HelperClient::Outcome;
using HelperClient::SessionOptions;

bool ProcessGone(int pid) { return !std::filesystem::exists("/proc/" + std::to_string(pid)); }

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
    EXPECT_EQ(failure.message, "cannot run the helper: No such file or directory");
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

// Stand-ins for a helper gone wrong, as shell scripts.
struct Misbehaviour {
    const char* name;
    const char* script;
    Error code;
    const char* message;
};

TEST(ArchiveSession, AHelperThatDiesStallsOrSpeaksOutOfProtocolIsReapedAndSpent) {
    const Misbehaviour cases[] = {
        {"exits at once", "exit 3", Error::HelperFailed, "the helper ended without a reply (exit 3)"},
        {"echoes the request", "exec cat", Error::HelperFailed, "a reply of type 1 out of protocol (signal 9)"},
        {"writes garbage", "printf 'not a frame at all'; exec sleep 30", Error::HelperFailed,
         "a malformed reply frame (signal 9)"},
        {"never answers", "exec sleep 30", Error::HelperTimeout, "no reply within 1 s (signal 9)"},
    };
    testsupport::TempDir temp;
    const auto before = testsupport::OpenDescriptorCount();
    for (const Misbehaviour& fake : cases) {
        const auto script = temp.WriteFile("helper", std::string("#!/bin/sh\n") + fake.script + "\n");
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
        SessionOptions options;
        options.helper_binary = script.string();
        options.reply_timeout = 1s;
        auto session = Start(options);
        ArchiveHelper::HelloReply hello;
        const Outcome outcome = session->Hello(hello);
        EXPECT_EQ(outcome.code, fake.code) << fake.name;
        EXPECT_EQ(outcome.message, fake.message) << fake.name;
        EXPECT_FALSE(session->running()) << fake.name;
        ASSERT_TRUE(session->exit_status()) << fake.name;
        EXPECT_EQ(session->Materialize(0, "x").message, "the helper is not running") << fake.name;
        session.reset();
        EXPECT_EQ(testsupport::OpenDescriptorCount(), before) << fake.name;
    }
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
        pid = session->running() ? HelperPid() : -1;
    }

    // The helper's pid, read from the one child this test process has.
    int HelperPid() {
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            const std::string name = entry.path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos) continue;
            std::ifstream stat(entry.path() / "stat");
            std::string line;
            std::getline(stat, line);
            const auto close = line.rfind(')');
            if (close == std::string::npos) continue;
            int parent = 0;
            char state = 0;
            std::istringstream rest(line.substr(close + 1));
            rest >> state >> parent;
            if (parent == getpid()) return std::stoi(name);
        }
        return -1;
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
    EXPECT_EQ(outcome.message, "no reply within 2 s (signal 9)");
    EXPECT_TRUE(ProcessGone(pid)) << "the helper was left running or as a zombie";
    EXPECT_FALSE(std::filesystem::exists(temp.path() / "never"));
}

TEST_F(OpenArchive, AnAbortIsAFailureWithItsSignal) {
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(session->SendHook(MessageType::AbortHook, 0xFFFFFFFF).ok());
    const Outcome outcome = session->MaterializeAll((temp.path() / "all").string());
    EXPECT_EQ(outcome.code, Error::HelperFailed);
    EXPECT_EQ(outcome.message, "the helper ended without a reply (signal 6)");
    EXPECT_TRUE(ProcessGone(pid));
}

TEST(ArchiveSession, AnArchiveWindowArrivesAsAnInheritedDescriptor) {
    testsupport::TempDir temp;
    const std::string zip = testsupport::BuildArchive(testsupport::Container::ZipStored, {{"inner.txt", "inside"}});
    const std::string junk(1000, 'j');
    const auto file = temp.WriteFile("disk.img", junk + zip + junk);
    const int descriptor = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(descriptor, 3);
    auto request = testsupport::OpenByPath(file.string());
    request.os_handle = static_cast<std::uint64_t>(descriptor);
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
    options.archive_handle = static_cast<std::uint64_t>(descriptor);
    auto session = Start(options);
    const Outcome outcome = session->Open(request, index);
    ASSERT_TRUE(outcome.ok()) << outcome.message;
    EXPECT_EQ(index.archive_size, zip.size());
    ASSERT_EQ(index.entries.size(), 1u);
    EXPECT_EQ(index.entries[0].path, "inner.txt");
    close(descriptor);
}

TEST(ArchiveSession, TheMemoryCapReachesTheHelper) {
    if (testsupport::kSanitizerBuild) GTEST_SKIP() << "a data-size cap also limits the sanitizer's own mappings";
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

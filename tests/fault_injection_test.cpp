// Faults from outside while the real helper works: the archive changing under
// an open reader, a parent that stops listening in the middle of an index
// reply, input that ends inside a frame with an archive open, and a memory
// cap too small for the index. The helper must answer or end as the protocol
// says, never crash, and keep serving where it can.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "client/reply_decoding.h"
#include "support/archive_builder.h"
#include "support/helper_session.h"
#include "support/open_descriptors.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using ArchiveHelper::MessageType;
using ArchiveMount::Error;
using HelperClient::HelperProcess;
using testsupport::kReplyTimeout;
namespace fs = std::filesystem;

void ExpectCleanExit(HelperProcess& helper, int code) {
    testsupport::ExpectExit(helper, code);
    EXPECT_EQ(helper.StandardError().find("Sanitizer"), std::string::npos) << helper.StandardError();
}

ArchiveHelper::IndexSummary Open(HelperProcess& helper, const fs::path& archive, std::int64_t max_entries = 1000) {
    ArchiveHelper::OpenRequest request = testsupport::OpenByPath(archive.string());
    request.limits.max_entries = max_entries;
    EXPECT_TRUE(helper.SendRequest(MessageType::OpenRequest, HelperClient::EncodeOpenRequest(request)));
    const auto index = helper.ReadIndex(kReplyTimeout);
    EXPECT_TRUE(index) << helper.StandardError();
    return index.value_or(ArchiveHelper::IndexSummary{});
}

std::vector<fs::path> FilesIn(const fs::path& directory) {
    std::vector<fs::path> files;
    std::error_code error;
    for (const auto& item : fs::recursive_directory_iterator(directory, error)) files.push_back(item.path());
    return files;
}

// A ZIP whose second member's bytes sit unchanged in the file.
std::string SmallZip() {
    return testsupport::BuildArchive(testsupport::Container::ZipStored,
                                     {{"README.TXT", "read me first\n"}, {"DATA.BIN", std::string(4000, 'd')}});
}

void OverwriteAt(const fs::path& file, std::uint64_t at, std::size_t count) {
    std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
    stream.seekp(static_cast<std::streamoff>(at));
    stream.write(std::string(count, 'X').data(), static_cast<std::streamsize>(count));
}

TEST(FaultInjection, AnArchiveChangedAfterTheOpenIsNeverReadAsIfItWereTheSame) {
    struct Case {
        const char* name;
        void (*change)(const fs::path&);
        bool identity_changes;
    };
    const Case cases[] = {
        {"truncated", [](const fs::path& f) { fs::resize_file(f, fs::file_size(f) - 10); }, true},
        {"extended", [](const fs::path& f) { std::ofstream(f, std::ios::app | std::ios::binary) << "tail"; }, true},
        {"rewritten in place, newer time",
         [](const fs::path& f) {
             OverwriteAt(f, 0, 64);
             fs::last_write_time(f, fs::last_write_time(f) + 60s);
         },
         true},
        // Same size and time: nothing tells the reader, so it may only fail
        // cleanly or read what is there now.
        {"rewritten in place, time put back",
         [](const fs::path& f) {
             const auto before = fs::last_write_time(f);
             OverwriteAt(f, fs::file_size(f) / 2, 32);
             fs::last_write_time(f, before);
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir;
        const fs::path archive = dir.WriteFile("a.zip", SmallZip());
        auto helper = testsupport::StartHelper();
        const auto index = Open(*helper, archive);
        ASSERT_EQ(index.entries.size(), 2u);
        c.change(archive);

        const fs::path one = dir.path() / "one" / "member";
        fs::create_directories(one.parent_path());
        helper->SendRequest(MessageType::MaterializeRequest, HelperClient::EncodeMaterializeRequest(1, one.string()));
        const auto single = helper->ReadStatus(kReplyTimeout);
        ASSERT_TRUE(single);
        const fs::path all = dir.path() / "all";
        helper->SendRequest(MessageType::MaterializeAllRequest, HelperClient::EncodeMaterializeAllRequest(all.string()));
        const auto whole = helper->ReadStatus(kReplyTimeout);
        ASSERT_TRUE(whole);

        if (c.identity_changes) {
            for (const auto& status : {*single, *whole}) {
                EXPECT_EQ(status.code, Error::ChangedSinceIndexed) << status.message;
                EXPECT_EQ(status.message, "archive size or mtime changed since it was indexed");
            }
            EXPECT_TRUE(FilesIn(one.parent_path()).empty());
            EXPECT_TRUE(FilesIn(all).empty());
        } else {
            for (const auto& status : {*single, *whole})
                EXPECT_TRUE(status.code == Error::Ok || status.code == Error::Damaged) << status.message;
            for (const fs::path& file : FilesIn(dir.path()))
                EXPECT_NE(file.extension(), ".part") << file;
        }
        // The helper is still serving.
        ASSERT_TRUE(helper->SendRequest(MessageType::HelloRequest, {}));
        EXPECT_TRUE(helper->ReadHello(kReplyTimeout));
        helper->CloseInput();
        ExpectCleanExit(*helper, 0);
    }
}

TEST(FaultInjection, AParentThatStopsReadingInTheMiddleOfAnIndexReplyEndsTheHelperWithZero) {
    testsupport::TempDir dir;
    std::vector<testsupport::Member> members;
    for (int i = 0; i < 3000; ++i) members.push_back({"directory" + std::to_string(i % 30) + "/a rather long member name " + std::to_string(i) + ".txt", ""});
    const fs::path archive = dir.WriteFile("many.zip", testsupport::BuildArchive(testsupport::Container::ZipStored, members));
    auto helper = testsupport::StartHelper();
    ArchiveHelper::OpenRequest request = testsupport::OpenByPath(archive.string());
    request.limits.max_entries = 10000;
    ASSERT_TRUE(helper->SendRequest(MessageType::OpenRequest, HelperClient::EncodeOpenRequest(request)));
    // The reply is several times a pipe's capacity: once its first byte has
    // arrived and nobody reads, the helper is stuck inside the reply.
    ASSERT_TRUE(helper->ReplyReady(kReplyTimeout)) << "the helper never began its reply";
    helper->CloseReplies();
    ExpectCleanExit(*helper, 0);
}

TEST(FaultInjection, InputEndingInsideAFrameWithAnArchiveOpenEndsWithZeroAndWritesNothing) {
    testsupport::TempDir dir;
    const fs::path archive = dir.WriteFile("a.zip", SmallZip());
    auto helper = testsupport::StartHelper();
    Open(*helper, archive);
    const fs::path all = dir.path() / "all";
    const std::vector<unsigned char> frame = ArchiveHelper::EncodeFrame(
        MessageType::MaterializeAllRequest, HelperClient::EncodeMaterializeAllRequest(all.string()));
    ASSERT_TRUE(helper->WriteBytes(ArchiveHelper::Bytes(frame).first(frame.size() - 3)));
    helper->CloseInput();
    const auto rest = helper->ReadToEnd(kReplyTimeout);
    ASSERT_TRUE(rest);
    EXPECT_TRUE(rest->empty());
    ExpectCleanExit(*helper, 0);
    EXPECT_FALSE(fs::exists(all));
}

TEST(FaultInjection, RunningOutOfMemoryWhileIndexingIsAnsweredAndTheNextRequestServed) {
    if (testsupport::kSanitizerBuild) GTEST_SKIP() << "the sanitizer's own mappings count against the cap";
    if (testsupport::RunningUnderWine()) GTEST_SKIP() << "Wine does not enforce the job's memory limit";
    testsupport::TempDir dir;
    std::vector<testsupport::Member> members;
    // Names near the 255-byte component limit: an index of 80,000 of them
    // needs well over the cap.
    const std::string long_name(250, 'n');
    for (int i = 0; i < 80000; ++i)
        members.push_back({"d" + std::to_string(i % 100) + "/" + long_name + std::to_string(i), ""});
    const fs::path large = dir.WriteFile("large.zip", testsupport::BuildArchive(testsupport::Container::ZipStored, members));
    const fs::path small = dir.WriteFile("small.zip", SmallZip());

    auto helper = testsupport::StartHelper({"--memory-limit-mb", "48"});
    // Small enough, and the first reply served, that the open alone can differ.
    Open(*helper, small);
    const auto descriptors_before = testsupport::OpenDescriptorsOf(helper->pid());
    ArchiveHelper::OpenRequest request = testsupport::OpenByPath(large.string());
    request.limits.max_entries = 100000;
    ASSERT_TRUE(helper->SendRequest(MessageType::OpenRequest, HelperClient::EncodeOpenRequest(request)));
    HelperClient::Frame frame;
    ASSERT_EQ(helper->ReadFrame(frame, kReplyTimeout), HelperClient::ReadResult::Frame) << helper->StandardError();
    ArchiveHelper::StatusReply status;
    ASSERT_EQ(frame.type, MessageType::StatusReply) << "the index fitted under the cap; make the archive larger";
    ASSERT_TRUE(HelperClient::DecodeStatusReply(frame.payload, status));
    EXPECT_EQ(status.code, Error::HelperFailed);
    EXPECT_EQ(status.message, "out of memory");
    // Nothing of the failed open remains: the small archive's descriptor went
    // with it, and no archive is open.
    EXPECT_EQ(testsupport::OpenDescriptorsOf(helper->pid()).size(), descriptors_before.size() - 1);
    ASSERT_TRUE(helper->SendRequest(MessageType::MaterializeRequest,
                                    HelperClient::EncodeMaterializeRequest(0, (dir.path() / "out").string())));
    const auto none = helper->ReadStatus(kReplyTimeout);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->code, Error::OpenFailed);
    EXPECT_EQ(none->message, "no archive is open");

    const auto index = Open(*helper, small);
    EXPECT_EQ(index.entries.size(), 2u);
    helper->CloseInput();
    ExpectCleanExit(*helper, 0);
}

}  // namespace

// The real helper under memory caps near what an open or a materialization
// costs: whatever a request answers, nothing of it may remain afterwards (no
// descriptor, no temporary file, no half-made archive), and the same request
// under the same cap must answer the same way every time.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "client/reply_decoding.h"
#include "support/archive_builder.h"
#include "support/helper_session.h"
#include "support/open_descriptors.h"
#include "support/output_checks.h"
#include "support/rar4_image_writer.h"
#include "support/shrink_encoder.h"
#include "support/temp_dir.h"
#include "support/zip_member_streams.h"

namespace {

using ArchiveHelper::MessageType;
using ArchiveMount::Error;
using HelperClient::HelperProcess;
using testsupport::kReplyTimeout;
namespace fs = std::filesystem;

constexpr int kCapsMb[] = {16, 24, 32, 48, 64, 80, 96, 128};

// One answer, whichever kind it is: "index" or the status code and message.
std::string Answer(HelperProcess& helper) {
    HelperClient::Frame frame;
    if (helper.ReadFrame(frame, kReplyTimeout) != HelperClient::ReadResult::Frame)
        return "no answer: " + helper.StandardError();
    if (frame.type == MessageType::IndexReply) return "index";
    ArchiveHelper::StatusReply status;
    if (frame.type != MessageType::StatusReply || !HelperClient::DecodeStatusReply(frame.payload, status))
        return "unexpected frame";
    return std::to_string(static_cast<int>(status.code)) + " " + status.message;
}

std::string OpenAnswer(HelperProcess& helper, ArchiveHelper::OpenRequest request) {
    request.limits.max_entries = 3000000;
    if (!helper.SendRequest(MessageType::OpenRequest, HelperClient::EncodeOpenRequest(request))) return "not sent";
    return Answer(helper);
}

std::string MaterializeAnswer(HelperProcess& helper, int ordinal, const fs::path& target) {
    if (!helper.SendRequest(MessageType::MaterializeRequest,
                            HelperClient::EncodeMaterializeRequest(ordinal, target.string())))
        return "not sent";
    return Answer(helper);
}

// With no archive open the helper says so; with one open it goes on to the
// member (which ordinal 999999999 is not).
bool ArchiveIsOpen(HelperProcess& helper, const fs::path& scratch) {
    return MaterializeAnswer(helper, 999999999, scratch / "probe") != "1 no archive is open";
}

std::string AsText(const testsupport::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::unique_ptr<HelperProcess> StartCapped(int cap_mb) {
    auto helper = testsupport::StartHelper({"--memory-limit-mb", std::to_string(cap_mb)});
    // Settled: the first reply has been served, so later differences are the requests'.
    EXPECT_TRUE(helper->SendRequest(MessageType::HelloRequest, {}));
    EXPECT_TRUE(helper->ReadHello(kReplyTimeout));
    return helper;
}

class MemoryPressure : public testing::Test {
protected:
    void SetUp() override {
        if (testsupport::kSanitizerBuild) GTEST_SKIP() << "the sanitizer's own mappings count against the cap";
        if (testsupport::RunningUnderWine()) GTEST_SKIP() << "Wine does not enforce the job's memory limit";
    }

    testsupport::TempDir dir;
};

// Row by row: a 60,000-entry ZIP opened three times under each cap.
TEST_F(MemoryPressure, AnOpenThatRunsOutOfMemoryLeavesNothingAndRepeatsAlike) {
    std::vector<testsupport::Member> members;
    const std::string long_name(200, 'n');
    for (int i = 0; i < 60000; ++i)
        members.push_back({"d" + std::to_string(i % 100) + "/" + long_name + std::to_string(i), ""});
    const fs::path zip = dir.WriteFile("large.zip", testsupport::BuildArchive(testsupport::Container::ZipStored, members));

    std::set<std::string> answers_seen;
    for (const int cap : kCapsMb) {
        SCOPED_TRACE("cap " + std::to_string(cap) + " MiB");
        auto helper = StartCapped(cap);
        const auto before = testsupport::OpenDescriptorsOf(helper->pid());
        std::vector<std::string> answers;
        for (int round = 0; round < 3; ++round) {
            answers.push_back(OpenAnswer(*helper, testsupport::OpenByPath(zip.string())));
            const auto after = testsupport::OpenDescriptorsOf(helper->pid());
            if (answers.back() == "index") {
                // The open archive's own descriptor, and nothing else.
                EXPECT_EQ(after.size(), before.size() + 1) << answers.back();
            } else {
                EXPECT_EQ(after, before) << answers.back();
                EXPECT_FALSE(ArchiveIsOpen(*helper, dir.path())) << answers.back();
            }
        }
        EXPECT_EQ(answers[1], answers[0]);
        EXPECT_EQ(answers[2], answers[0]);
        answers_seen.insert(answers[0]);
        helper->CloseInput();
        testsupport::ExpectExit(*helper, 0);
    }
    // The sweep must reach both sides of the edge, or it shows nothing.
    EXPECT_TRUE(answers_seen.count("index"));
    EXPECT_TRUE(answers_seen.count("13 out of memory"));
}

// As many entries as the default entry cap allows, with names of the common
// kind, fit a helper capped at 48 MiB, the index reply included.
TEST_F(MemoryPressure, TheMostEntriesTheDefaultCapAllowsOpenUnder48MiB) {
    constexpr int kDefaultEntryCap = 65536;
    std::vector<testsupport::Member> members;
    for (int i = 0; i < kDefaultEntryCap; ++i)
        members.push_back({"dir" + std::to_string(i % 256) + "/file" + std::to_string(i) + ".dat", "x"});
    const fs::path zip = dir.WriteFile("most.zip", testsupport::BuildArchive(testsupport::Container::ZipStored, members));
    auto helper = StartCapped(48);
    auto request = testsupport::OpenByPath(zip.string());
    request.limits.max_entries = kDefaultEntryCap;
    ASSERT_TRUE(helper->SendRequest(MessageType::OpenRequest, HelperClient::EncodeOpenRequest(request)));
    EXPECT_EQ(Answer(*helper), "index");
    helper->CloseInput();
    testsupport::ExpectExit(*helper, 0);
}

// A shrunk member whose compressed data alone is larger than the smaller caps.
TEST_F(MemoryPressure, AMaterializationThatRunsOutOfMemoryLeavesNoTemporaryFile) {
    std::vector<unsigned char> content(39u << 20);
    std::mt19937 random(7);
    for (auto& byte : content) byte = static_cast<unsigned char>(random());
    testsupport::MemberStream member;
    member.name = "BIG.DAT";
    member.method = 1;
    member.size = content.size();
    member.crc32 = static_cast<std::uint32_t>(crc32(0, content.data(), static_cast<uInt>(content.size())));
    member.data = testsupport::ShrinkEncode(content);
    ASSERT_GT(member.data.size(), 55u << 20);
    ASSERT_LT(member.data.size(), 64u << 20);
    const fs::path zip = dir.WriteFile("shrunk.zip", AsText(testsupport::OneMemberZip(member)));
    content.clear();

    const fs::path out = dir.path() / "out";
    std::set<std::string> answers_seen;
    for (const int cap : kCapsMb) {
        SCOPED_TRACE("cap " + std::to_string(cap) + " MiB");
        auto helper = StartCapped(cap);
        const std::string opened = OpenAnswer(*helper, testsupport::OpenByPath(zip.string()));
        ASSERT_EQ(opened, "index");
        const auto before = testsupport::OpenDescriptorsOf(helper->pid());
        std::vector<std::string> answers;
        for (int round = 0; round < 3; ++round) {
            answers.push_back(MaterializeAnswer(*helper, 0, out / "BIG.DAT"));
            EXPECT_EQ(testsupport::OpenDescriptorsOf(helper->pid()), before) << answers.back();
            testsupport::ExpectNoPartFiles(out);
            if (answers.back() != "0 ") {
                EXPECT_FALSE(fs::exists(out / "BIG.DAT")) << answers.back();
            }
            fs::remove(out / "BIG.DAT");
        }
        EXPECT_EQ(answers[1], answers[0]);
        EXPECT_EQ(answers[2], answers[0]);
        answers_seen.insert(answers[0]);
        helper->CloseInput();
        testsupport::ExpectExit(*helper, 0);
    }
    EXPECT_TRUE(answers_seen.count("0 "));
    EXPECT_TRUE(answers_seen.count("13 out of memory"));
}

// A RAR 4 file of millions of tiny headers, passed by handle: the header list
// outgrows the smaller caps while the helper holds a duplicate of its own.
TEST_F(MemoryPressure, ARar4HeaderWalkThatRunsOutOfMemoryClosesItsDuplicate) {
    testsupport::Rar4ImageWriter writer;
    writer.Marker().MainHeader();
    testsupport::Rar4FileFields file;
    file.name = "F";
    for (int i = 0; i < 2200000; ++i) writer.File(file);
    writer.End();
    const fs::path rar = dir.WriteFile("many.rar", AsText(writer.bytes()));

    std::set<std::string> answers_seen;
    for (const int cap : kCapsMb) {
        SCOPED_TRACE("cap " + std::to_string(cap) + " MiB");
        auto started = testsupport::StartHelperWithArchiveHandle(rar, {"--memory-limit-mb", std::to_string(cap)});
        HelperProcess& helper = *started.helper;
        ASSERT_TRUE(helper.SendRequest(MessageType::HelloRequest, {}));
        ASSERT_TRUE(helper.ReadHello(kReplyTimeout));
        auto before = testsupport::OpenDescriptorsOf(helper.pid());
        ArchiveHelper::OpenRequest request = testsupport::OpenByPath(rar.string());
        request.os_handle = started.handle;
        const std::string answer = OpenAnswer(helper, request);
        // The passed handle is the helper's to close, whatever the answer.
        std::erase_if(before, [&](const std::string& item) {
            return item.rfind(std::to_string(started.handle) + " ", 0) == 0;
        });
        const auto after = testsupport::OpenDescriptorsOf(helper.pid());
        if (answer == "index") {
            EXPECT_EQ(after.size(), before.size() + 1);
        } else {
            EXPECT_EQ(after, before) << answer;
            EXPECT_FALSE(ArchiveIsOpen(helper, dir.path())) << answer;
        }
        answers_seen.insert(answer);
        helper.CloseInput();
        testsupport::ExpectExit(helper, 0);
    }
    EXPECT_TRUE(answers_seen.count("13 out of memory"));
}

}  // namespace

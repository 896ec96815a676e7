#include "helper/request_loop.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "client/reply_decoding.h"
#include "platform/platform.h"
#include "support/helper_session.h"
#include "support/loop_harness.h"
#include "support/temp_dir.h"

namespace {

using namespace ArchiveHelper;
using ArchiveMount::Error;
using HelperClient::EncodeHookRequest;
using HelperClient::EncodeMaterializeAllRequest;
using HelperClient::EncodeMaterializeRequest;
using HelperClient::EncodeOpenRequest;
using testsupport::Concat;
using testsupport::ExpectExit;
using testsupport::kReplyTimeout;
using testsupport::Request;
using Buffer = std::vector<unsigned char>;


// ---- End to end, through the real binary ----

TEST(RequestLoopProcess, InputEndingAnywhereEndsWithZeroAndNoReply) {
    const Buffer hello = Request(MessageType::HelloRequest, {1, 2, 3});
    const std::vector<std::pair<const char*, Buffer>> cases = {
        {"at once", {}},
        {"inside a header", Buffer(hello.begin(), hello.begin() + 5)},
        {"inside a payload", Buffer(hello.begin(), hello.end() - 1)},
    };
    for (const auto& [name, bytes] : cases) {
        auto helper = testsupport::StartHelper();
        ASSERT_TRUE(helper->WriteBytes(bytes));
        helper->CloseInput();
        const auto output = helper->ReadToEnd(kReplyTimeout);
        ASSERT_TRUE(output) << name;
        EXPECT_TRUE(output->empty()) << name;
        ExpectExit(*helper, 0);
    }
}

TEST(RequestLoopProcess, HelloIsAnsweredAndCloseEndsWithoutAReply) {
    auto helper = testsupport::StartHelper();
    ASSERT_TRUE(helper->SendRequest(MessageType::HelloRequest, Buffer(kMaxRequestPayload, 0xAB)));
    const auto hello = helper->ReadHello(kReplyTimeout);
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->protocol_version, 3);
    ASSERT_TRUE(helper->SendRequest(MessageType::CloseRequest, Buffer{7}));
    // Bytes after the close are never read.
    helper->WriteBytes(Request(MessageType::HelloRequest));
    const auto output = helper->ReadToEnd(kReplyTimeout);
    ASSERT_TRUE(output);
    EXPECT_TRUE(output->empty());
    ExpectExit(*helper, 0);
}

TEST(RequestLoopProcess, ProtocolViolationsAreAnsweredThenEndWith2) {
    Buffer bad_magic = Request(MessageType::HelloRequest);
    bad_magic[0] = 'X';
    Buffer bad_type = Request(MessageType::HelloRequest);
    bad_type[6] = 6;
    Buffer too_long = Request(MessageType::HelloRequest);
    too_long[8] = 0x01, too_long[9] = 0x00, too_long[10] = 0x01;  // 65,537
    Buffer open_short = EncodeOpenRequest(testsupport::OpenByPath("a"));
    open_short.pop_back();
    Buffer open_passing = EncodeOpenRequest(testsupport::OpenByPath("a"));
    open_passing[4 + 1 + 24] = 2;
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        Buffer frame;
        const char* message;
    };
    const Case cases[] = {
        {"bad magic", {}, bad_magic, "malformed request frame"},
        {"unknown type", {}, bad_type, "malformed request frame"},
        {"payload past the cap", {}, too_long, "malformed request frame"},
        {"open one byte short", {}, Request(MessageType::OpenRequest, open_short), "malformed open request"},
        {"open passing flag 2", {}, Request(MessageType::OpenRequest, open_passing), "malformed open request"},
        {"materialize ordinal top bit", {},
         Request(MessageType::MaterializeRequest, EncodeMaterializeRequest(0x80000000u, "p")),
         "malformed materialize request"},
        {"materialize 5 bytes", {}, Request(MessageType::MaterializeRequest, {0, 0, 0, 0, 0}),
         "malformed materialize request"},
        {"materialize-all padded", {}, Request(MessageType::MaterializeAllRequest, {0, 0, 0, 0, 0}),
         "malformed materialize-all request"},
        {"hello reply as request", {}, Request(MessageType::HelloReply), "a reply type sent as a request"},
        {"index reply as request", {}, Request(MessageType::IndexReply), "a reply type sent as a request"},
        {"status reply as request", {}, Request(MessageType::StatusReply, {0, 0, 0, 0, 0}),
         "a reply type sent as a request"},
        {"hook without --test-hooks", {}, Request(MessageType::AbortHook, EncodeHookRequest(1)),
         "test hook without --test-hooks"},
        {"hook 5 bytes", {"--test-hooks"}, Request(MessageType::StallHook, {1, 0, 0, 0, 0}), "malformed test hook"},
    };
    for (const auto& c : cases) {
        auto helper = testsupport::StartHelper(c.arguments);
        ASSERT_TRUE(helper->WriteBytes(c.frame)) << c.name;
        // A well-formed request after the violation must not be served.
        helper->WriteBytes(Request(MessageType::HelloRequest));
        const auto output = helper->ReadToEnd(kReplyTimeout);
        ASSERT_TRUE(output) << c.name;
        const Buffer expected =
            EncodeFrame(MessageType::StatusReply, EncodeStatusReply(Error::HelperFailed, c.message));
        EXPECT_EQ(*output, expected) << c.name;
        ExpectExit(*helper, 2);
    }
}

TEST(RequestLoopProcess, The257thFrameIsNeverRead) {
    auto helper = testsupport::StartHelper();
    Buffer input;
    for (int i = 0; i < kMaxFrames; ++i) {
        const Buffer frame = Request(MessageType::HelloRequest);
        input.insert(input.end(), frame.begin(), frame.end());
    }
    Buffer malformed = Request(MessageType::HelloRequest);
    malformed[0] = 0;  // would be answered and end with 2 if it were read
    input.insert(input.end(), malformed.begin(), malformed.end());
    ASSERT_TRUE(helper->WriteBytes(input));
    int hellos = 0;
    while (helper->ReadHello(kReplyTimeout)) ++hellos;
    EXPECT_EQ(hellos, kMaxFrames);
    ExpectExit(*helper, 0);
}

TEST(RequestLoopProcess, OpenRequestsFollowTheHandleAndWindowRules) {
    testsupport::TempDir dir;
    const auto archive = dir.WriteFile("a.zip", std::string(100, '\0'));
    const auto euro = dir.WriteFile("\xE2\x82\xAC.zip", std::string(100, '\0'));
    auto [helper, passed] = testsupport::StartHelperWithArchiveHandle(archive);
    ASSERT_TRUE(helper);

    auto open = [&](auto&& adjust) {
        OpenRequest request = testsupport::OpenByPath(archive.string());
        adjust(request);
        EXPECT_TRUE(helper->SendRequest(MessageType::OpenRequest, EncodeOpenRequest(request)));
        auto status = helper->ReadStatus(kReplyTimeout);
        EXPECT_TRUE(status);
        return status.value_or(StatusReply{Error::Ok, "no reply"});
    };
    struct Case {
        const char* name;
        std::function<void(OpenRequest&)> adjust;
        Error code;
        const char* message;
    };
    const Case cases[] = {
        {"descriptor passing", [](OpenRequest& r) { r.descriptor_passing = true; }, Error::HelperFailed,
         "descriptor passing is not available on this host"},
        {"handle not open", [](OpenRequest& r) { r.os_handle = 999; }, Error::HelperFailed,
         "the archive handle did not arrive"},
        {"handle above INT_MAX", [](OpenRequest& r) { r.os_handle = 0x100000003ULL; }, Error::HelperFailed,
         "the archive handle did not arrive"},
        {"handle names the reply stream", [](OpenRequest& r) { r.os_handle = 1; }, Error::HelperFailed,
         "the archive handle did not arrive"},
        {"window without a handle", [](OpenRequest& r) { r.window_length = 10; }, Error::OpenFailed,
         "an archive window needs a descriptor"},
        {"path not UTF-8", [](OpenRequest& r) { r.path = "a\xC0\xAF.zip"; }, Error::HelperFailed,
         "the path is not valid UTF-8"},
        {"path with a surrogate", [](OpenRequest& r) { r.path = "a\xED\xA0\x80.zip"; }, Error::HelperFailed,
         "the path is not valid UTF-8"},
        {"path above U+10FFFF", [](OpenRequest& r) { r.path = "a\xF4\x90\x80\x80.zip"; }, Error::HelperFailed,
         "the path is not valid UTF-8"},
        {"path cut inside a sequence", [](OpenRequest& r) { r.path = "a.zip\xE2\x82"; }, Error::HelperFailed,
         "the path is not valid UTF-8"},
        {"path with a NUL", [](OpenRequest& r) { r.path = std::string("a.zip\0b", 7); }, Error::HelperFailed,
         "the path is not valid UTF-8"},
        {"path outside ASCII", [&](OpenRequest& r) { r.path = euro.string(); }, Error::NotRecognized,
         "Unrecognized archive format"},
        {"missing file", [&](OpenRequest& r) { r.path = (dir.path() / "missing.zip").string(); }, Error::OpenFailed,
         "open failed"},
        {"directory", [&](OpenRequest& r) { r.path = dir.path().string(); }, Error::OpenFailed, "open failed"},
        {"by path", [](OpenRequest&) {}, Error::NotRecognized, "Unrecognized archive format"},
    };
    for (const auto& c : cases) {
        const auto status = open(c.adjust);
        EXPECT_EQ(status.code, c.code) << c.name;
        EXPECT_EQ(status.message, c.message) << c.name;
    }

    // The refused requests left the passed handle alone: it still reaches the
    // descriptor open, which reads the file's size through it.
    auto status = open([&](OpenRequest& r) {
        r.os_handle = passed;
        r.window_length = 21;
    });
    EXPECT_EQ(status.code, Error::OpenFailed);
    EXPECT_EQ(status.message, "archive window outside the file: offset 0, length 21, file 100");
    // The helper closed it after that open.
    status = open([&](OpenRequest& r) { r.os_handle = passed; });
    EXPECT_EQ(status.code, Error::HelperFailed);
    EXPECT_EQ(status.message, "the archive handle did not arrive");

    ASSERT_TRUE(helper->SendRequest(MessageType::MaterializeRequest, EncodeMaterializeRequest(0, "out")));
    const auto materialize = helper->ReadStatus(kReplyTimeout);
    ASSERT_TRUE(materialize);
    EXPECT_EQ(materialize->code, Error::OpenFailed);
    EXPECT_EQ(materialize->message, "no archive is open");
    helper->CloseInput();
    ExpectExit(*helper, 0);
}

TEST(RequestLoopProcess, StandardOutputAfterStartUpIsStandardError) {
    if (testsupport::kWindowsHost) GTEST_SKIP() << "reads where the helper's descriptors lead in /proc";
    auto helper = testsupport::StartHelper();
    ASSERT_TRUE(helper->SendRequest(MessageType::HelloRequest, {}));
    ASSERT_TRUE(helper->ReadHello(kReplyTimeout));  // start-up is over
    const std::string fds = "/proc/" + std::to_string(helper->pid()) + "/fd/";
    // Descriptor 1 now names the standard error pipe; the replies travel on a
    // duplicate that nothing else writes to.
    const auto standard_output = std::filesystem::read_symlink(fds + "1");
    EXPECT_EQ(standard_output, std::filesystem::read_symlink(fds + "2"));
    int others = 0;
    for (const auto& entry : std::filesystem::directory_iterator(fds)) {
        if (entry.path().filename() != "1" && entry.path().filename() != "2" &&
            std::filesystem::read_symlink(entry.path()) != standard_output) {
            ++others;
        }
    }
    EXPECT_EQ(others, 2);  // standard input and the reply channel
    ASSERT_TRUE(helper->SendRequest(MessageType::HelloRequest, {}));
    EXPECT_TRUE(helper->ReadHello(kReplyTimeout));
    helper->CloseInput();
    ExpectExit(*helper, 0);
}

TEST(RequestLoopProcess, ClosedStandardErrorCannotCarryTheRedirectedOutput) {
    auto helper = testsupport::StartHelper({}, std::nullopt, true);
    if (testsupport::kWindowsHost) {
        // The C runtime gives a program descriptors 0 to 2 whether or not it
        // was given handles for them, so the duplicate never lands on 2: the
        // helper serves, its log going nowhere.
        ASSERT_TRUE(helper->SendRequest(MessageType::HelloRequest, {}));
        EXPECT_TRUE(helper->ReadHello(kReplyTimeout));
        helper->CloseInput();
        ExpectExit(*helper, 0);
        return;
    }
    // With descriptor 2 closed the reply channel's duplicate must not land on
    // 2 and so become what standard output is redirected to.
    helper->CloseInput();
    const auto output = helper->ReadToEnd(kReplyTimeout);
    ASSERT_TRUE(output);
    EXPECT_TRUE(output->empty());
    ExpectExit(*helper, 2);
}

TEST(RequestLoopProcess, AParentThatStopsListeningEndsTheHelperWithZero) {
    auto helper = testsupport::StartHelper();
    helper->CloseReplies();
    ASSERT_TRUE(helper->SendRequest(MessageType::HelloRequest, {}));
    ExpectExit(*helper, 0);
}

// ---- In process, with fake open operations ----

struct FakeOpens {
    std::shared_ptr<testsupport::FakeSource::Record> record = std::make_shared<testsupport::FakeSource::Record>();
    IndexSummary index = testsupport::SmallIndex();
    std::vector<std::string> calls;
    ArchiveMount::ArchiveWindow last_window;
    bool throw_bad_alloc = false;

    ArchiveOpeners Openers() {
        ArchiveOpeners openers;
        openers.open_path = [this](ArchiveMount::OpenResult& out, const std::filesystem::path& path,
                                   const ArchiveMount::OpenLimits&) {
            calls.push_back("path " + path.string());
            Succeed(out);
        };
        openers.open_descriptor = [this](ArchiveMount::OpenResult& out, int, const std::filesystem::path& path,
                                         const ArchiveMount::OpenLimits&, const ArchiveMount::ArchiveWindow& window) {
            calls.push_back("descriptor " + path.string());
            last_window = window;
            Succeed(out);
        };
        return openers;
    }

    void Succeed(ArchiveMount::OpenResult& out) {
        if (throw_bad_alloc) throw std::bad_alloc();
        record = std::make_shared<testsupport::FakeSource::Record>();
        out.reader = std::make_unique<testsupport::FakeSource>(index, record);
        out.error = Error::Ok;
    }
};

Buffer OpenFrame(const std::string& path, std::function<void(OpenRequest&)> adjust = {}) {
    OpenRequest request = testsupport::OpenByPath(path);
    if (adjust) adjust(request);
    return Request(MessageType::OpenRequest, EncodeOpenRequest(request));
}

TEST(RequestLoop, ASuccessfulOpenAnswersTheIndexAndServesMaterializeRequests) {
    FakeOpens fakes;
    const auto run = testsupport::RunLoop(
        Concat({OpenFrame("a.tar"), Request(MessageType::MaterializeRequest, EncodeMaterializeRequest(0, "o")),
                Request(MessageType::MaterializeAllRequest, EncodeMaterializeAllRequest("d")),
                Request(MessageType::MaterializeRequest, EncodeMaterializeRequest(0, "\xFF"))}),
        false, fakes.Openers());
    EXPECT_EQ(run.exit_code, 0);
    const auto frames = testsupport::SplitReplies(run.replies);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0].type, MessageType::IndexReply);
    EXPECT_EQ(frames[0].payload, EncodeIndexReply(testsupport::SmallIndex()));
    EXPECT_EQ(testsupport::StatusOf(frames[1]).message, "written");
    EXPECT_EQ(testsupport::StatusOf(frames[2]).message, "all written");
    const auto not_utf8 = testsupport::StatusOf(frames[3]);
    EXPECT_EQ(not_utf8.code, Error::HelperFailed);
    EXPECT_EQ(not_utf8.message, "the path is not valid UTF-8");
    EXPECT_EQ(fakes.record->materialized, std::vector<int>{0});
    EXPECT_EQ(fakes.record->materialized_all, 1);
    EXPECT_EQ(fakes.calls, std::vector<std::string>{"path a.tar"});
}

TEST(RequestLoop, EveryWellFormedOpenClosesTheOpenArchiveFirst) {
    const std::vector<std::pair<const char*, Buffer>> second_opens = {
        {"window without a handle", OpenFrame("b", [](OpenRequest& r) { r.window_length = 1; })},
        {"descriptor passing", OpenFrame("b", [](OpenRequest& r) { r.descriptor_passing = true; })},
        {"path not UTF-8", OpenFrame("\xED\xA0\x80")},
    };
    for (const auto& [name, second] : second_opens) {
        FakeOpens fakes;
        const auto run = testsupport::RunLoop(
            Concat({OpenFrame("a"), second, Request(MessageType::MaterializeRequest, EncodeMaterializeRequest(0, "o"))}),
            false, fakes.Openers());
        const auto frames = testsupport::SplitReplies(run.replies);
        ASSERT_EQ(frames.size(), 3u) << name;
        EXPECT_NE(testsupport::StatusOf(frames[1]).code, Error::Ok) << name;
        EXPECT_EQ(testsupport::StatusOf(frames[2]).message, "no archive is open") << name;
        EXPECT_TRUE(fakes.record->destroyed) << name;
        EXPECT_EQ(fakes.calls.size(), 1u) << name;
    }

    // A malformed open leaves the open archive alone.
    FakeOpens fakes;
    Buffer malformed = OpenFrame("b");
    malformed.push_back(0);
    malformed[8] += 1;
    const auto run = testsupport::RunLoop(Concat({OpenFrame("a"), malformed}), false, fakes.Openers());
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(testsupport::StatusOf(testsupport::SplitReplies(run.replies).back()).message, "malformed open request");
}

TEST(RequestLoop, APassedHandleGoesToTheDescriptorOpenWithItsWindow) {
    testsupport::TempDir dir;
    const auto archive = dir.WriteFile("outer.bin", std::string(64, '\x01'));
    for (const std::int64_t length : {0, 16}) {
        // The loop takes the passed handle over and closes it.
        const std::uint64_t handle = testsupport::OpenUnownedHandle(archive);
        ASSERT_TRUE(testsupport::HandleIsOpen(handle));
        FakeOpens fakes;
        const auto run = testsupport::RunLoop(OpenFrame("outer.bin", [&](OpenRequest& r) {
                                                  r.os_handle = handle;
                                                  r.window_offset = 8;
                                                  r.window_length = length;
                                              }),
                                              false, fakes.Openers());
        EXPECT_EQ(fakes.calls, std::vector<std::string>{"descriptor outer.bin"});
        EXPECT_EQ(fakes.last_window.present, length > 0);
        if (length > 0) {
            EXPECT_EQ(fakes.last_window.offset, 8);
            EXPECT_EQ(fakes.last_window.length, 16);
        }
        // The loop owned the wrapped handle and closed it.
        EXPECT_FALSE(testsupport::HandleIsOpen(handle));
    }
}

TEST(RequestLoop, TheReplyCapIsInclusive) {
    for (const std::size_t size : {std::size_t{kMaxIndexReplyPayload}, std::size_t{kMaxIndexReplyPayload} + 1}) {
        FakeOpens fakes;
        fakes.index.entries.resize(1);
        fakes.index.entries[0].dos_path = "X";
        fakes.index.entries[0].path.assign(size - 106 - 42 - 1, 'p');
        const auto run = testsupport::RunLoop(
            Concat({OpenFrame("a"), Request(MessageType::MaterializeRequest, EncodeMaterializeRequest(0, "o"))}),
            false, fakes.Openers());
        const auto frames = testsupport::SplitReplies(run.replies);
        ASSERT_EQ(frames.size(), 2u);
        if (size == kMaxIndexReplyPayload) {
            EXPECT_EQ(frames[0].type, MessageType::IndexReply);
            EXPECT_EQ(frames[0].payload.size(), size);
            EXPECT_EQ(testsupport::StatusOf(frames[1]).message, "written");
        } else {
            const auto status = testsupport::StatusOf(frames[0]);
            EXPECT_EQ(status.code, Error::TooManyEntries);
            EXPECT_EQ(status.message, "the index exceeds the helper's reply cap");
            EXPECT_EQ(testsupport::StatusOf(frames[1]).message, "no archive is open");
            EXPECT_TRUE(fakes.record->destroyed);
        }
    }
}

TEST(RequestLoop, OutOfMemoryIsAnsweredAndServingGoesOn) {
    FakeOpens fakes;
    fakes.throw_bad_alloc = true;
    const auto run = testsupport::RunLoop(Concat({OpenFrame("a"), Request(MessageType::HelloRequest)}), false,
                                          fakes.Openers());
    EXPECT_EQ(run.exit_code, 0);
    const auto frames = testsupport::SplitReplies(run.replies);
    ASSERT_EQ(frames.size(), 2u);
    const auto status = testsupport::StatusOf(frames[0]);
    EXPECT_EQ(status.code, Error::HelperFailed);
    EXPECT_EQ(status.message, "out of memory");
    EXPECT_EQ(frames[1].type, MessageType::HelloReply);
}

}  // namespace

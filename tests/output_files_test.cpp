#include "mount/output_files.h"

#include <gtest/gtest.h>


#include "mount/archive_reader_impl.h"
#include "support/host.h"
#include "support/file_size_limit.h"
#include "support/log_recorder.h"
#include "support/open_descriptors.h"
#include "support/output_checks.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using ArchiveMount::Entry;
using ArchiveMount::Error;
using testsupport::ExpectNoPartFiles;
using testsupport::ReadWholeFile;

// A producer that hands out `pieces` in order and then answers `result`.
MemberProducer Producing(std::vector<std::string> pieces, Error result = Error::Ok, std::string* message = nullptr,
                         std::string failure = {}) {
    return [=](const MemberSink& sink) {
        for (const auto& piece : pieces) {
            if (!sink(reinterpret_cast<const unsigned char*>(piece.data()), piece.size())) {
                if (message) *message = "cannot write the member";
                return Error::OpenFailed;
            }
        }
        if (result != Error::Ok && message) *message = failure;
        return result;
    };
}

// `count` lowercase hexadecimal digits and nothing else.
bool LowerHex(const std::string& text, std::size_t count) {
    return text.size() == count && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

Entry EntryAt(std::int64_t mtime) {
    Entry entry;
    entry.mtime = mtime;
    return entry;
}

class OutputFiles : public ::testing::Test {
protected:
    OutputFiles() { impl.archive_path = "/archives/game.zip"; }
    void TearDown() override { ExpectNoPartFiles(scratch.path()); }

    testsupport::TempDir scratch;
    ArchiveMount::ArchiveReader::Impl impl;
};

TEST(RandomHex, EightLowercaseDigitsPerDrawAndNeverRepeats) {
    const std::string first = ArchiveMount::RandomHex(4);
    EXPECT_TRUE(LowerHex(first, 32)) << first;
    EXPECT_NE(first, ArchiveMount::RandomHex(4));
    EXPECT_EQ(ArchiveMount::RandomHex(1).size(), 8u);
    EXPECT_EQ(ArchiveMount::RandomHex(0), "");
}

TEST_F(OutputFiles, WritesPiecesInOrderIntoNewDirectoriesAndStampsTheTime) {
    const fs::path target = scratch.path() / "a" / "b" / "c" / "out.bin";
    // Small pieces that fill the buffer more than once, around large pieces
    // that go to the file on their own.
    std::vector<std::string> pieces = {"abc", "", std::string(70000, 'x'), "z"};
    for (int i = 0; i < 150; ++i) pieces.push_back(std::string(1000, static_cast<char>('a' + i % 26)));
    pieces.push_back(std::string(ArchiveMount::kDirectWriteBytes, 'd'));
    pieces.push_back("end");
    std::string expected;
    for (const auto& piece : pieces) expected += piece;
    std::string message = "untouched";
    ASSERT_EQ(impl.write_member(Producing(pieces), EntryAt(1000000000), target, &message), Error::Ok);
    EXPECT_EQ(message, "untouched");
    EXPECT_EQ(ReadWholeFile(target), expected);
    EXPECT_EQ(testsupport::FileTimeSeconds(target), 1000000000);
    EXPECT_EQ(testsupport::FileNamesIn(target.parent_path()), std::vector<std::string>{"out.bin"});
}

TEST_F(OutputFiles, EmptyMemberGivesEmptyFileWithItsTime) {
    const fs::path target = scratch.path() / "empty";
    ASSERT_EQ(impl.write_member(Producing({}), EntryAt(86400), target, nullptr), Error::Ok);
    EXPECT_TRUE(fs::is_regular_file(target));
    EXPECT_EQ(fs::file_size(target), 0u);
    EXPECT_EQ(testsupport::FileTimeSeconds(target), 86400);
}

TEST_F(OutputFiles, ReplacesAnExistingFileOnSuccess) {
    const fs::path target = scratch.WriteFile("out", "old content that is longer");
    ASSERT_EQ(impl.write_member(Producing({"new"}), EntryAt(5), target, nullptr), Error::Ok);
    EXPECT_EQ(ReadWholeFile(target), "new");
    EXPECT_EQ(testsupport::FileTimeSeconds(target), 5);
}

TEST_F(OutputFiles, TimesOutsideTheFileClockAreClampedWithOneWarning) {
    struct Case {
        std::int64_t mtime;
        std::int64_t stamped;
        bool warned;
    };
    const Case cases[] = {
        {-1, 0, true},
        {0, 0, false},
        {4102444800LL, 4102444800LL, false},
        {4102444801LL, 4102444800LL, true},
        {INT64_MIN, 0, true},
    };
    for (const auto& c : cases) {
        const fs::path target = scratch.path() / ("t" + std::to_string(c.mtime));
        auto& log = testsupport::LogRecorder::Instance();
        const std::size_t mark = log.Mark();
        // The message pointer does not decide whether the line is logged.
        ASSERT_EQ(impl.write_member(Producing({"x"}), EntryAt(c.mtime), target, nullptr), Error::Ok);
        EXPECT_EQ(testsupport::FileTimeSeconds(target), c.stamped) << c.mtime;
        std::vector<std::string> expected;
        if (c.warned) {
            expected.push_back("/archives/game.zip: mtime " + std::to_string(c.mtime) + " of '" + target.string() +
                               "' is outside the file clock, clamped");
        }
        std::vector<std::string> logged;
        for (const auto& record : log.Since(mark)) {
            if (record.level == 3 && record.component == "archive") logged.push_back(record.message);
        }
        EXPECT_EQ(logged, expected);
    }
}

TEST_F(OutputFiles, FailuresKeepTheExistingFileAndLeaveNoTemporary) {
    const fs::path blocker = scratch.WriteFile("plain-file", "i am a file");
    const fs::path directory_target = scratch.path() / "a-directory";
    fs::create_directory(directory_target);

    struct Case {
        const char* name;
        fs::path target;
        bool keep_existing;  // put an old file at the target first
        Error produced;
        std::string produced_message;
        Error code;
        std::string message_prefix;  // the temporary path follows "cannot create "
    };
    const Case cases[] = {
        {"damaged after some bytes", scratch.path() / "damaged", true, Error::Damaged, "read failed", Error::Damaged,
         "read failed"},
        {"damaged, no old file", scratch.path() / "fresh", false, Error::Damaged, "CRC mismatch", Error::Damaged,
         "CRC mismatch"},
        {"producer open failure", scratch.path() / "refused", true, Error::OpenFailed, "cannot write the member",
         Error::OpenFailed, "cannot write the member"},
        {"codes above OpenFailed pass through", scratch.path() / "nosuch", true, Error::NoSuchEntry,
         "ordinal past the end", Error::NoSuchEntry, "ordinal past the end"},
        {"target is a directory", directory_target, false, Error::Ok, "", Error::OpenFailed,
         "cannot rename into " + directory_target.string()},
        {"parent is a regular file", blocker / "sub" / "out", false, Error::Ok, "", Error::OpenFailed,
         "cannot create " + (blocker / "sub" / "out").string() + "."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.keep_existing) scratch.WriteFile(c.target.filename().string(), "precious");
        std::string message;
        const Error code = impl.write_member(Producing({"partial", "bytes"}, c.produced, &message, c.produced_message),
                                             EntryAt(0), c.target, &message);
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(message.substr(0, c.message_prefix.size()), c.message_prefix);
        if (c.keep_existing) {
            EXPECT_EQ(ReadWholeFile(c.target), "precious");
        } else if (c.target != directory_target) {
            EXPECT_FALSE(fs::exists(c.target));
        }
        // Same code without a message string.
        EXPECT_EQ(impl.write_member(Producing({"partial"}, c.produced), EntryAt(0), c.target, nullptr), c.code);
    }
    EXPECT_TRUE(fs::is_directory(directory_target));
    EXPECT_TRUE(fs::is_empty(directory_target));
    EXPECT_EQ(ReadWholeFile(blocker), "i am a file");
}

// Memory running out inside the producer unwinds through write_member: the
// temporary file and its descriptor go, and the old file stays as it was.
TEST_F(OutputFiles, AProducerThatThrowsLeavesNothingBehind) {
    const fs::path target = scratch.WriteFile("kept", "precious");
    const std::size_t open_before = testsupport::OpenDescriptorCount();
    const MemberProducer throwing = [](const MemberSink& sink) -> Error {
        sink(reinterpret_cast<const unsigned char*>("partial"), 7);
        throw std::bad_alloc();
    };
    EXPECT_THROW(impl.write_member(throwing, EntryAt(0), target, nullptr), std::bad_alloc);
    EXPECT_EQ(testsupport::OpenDescriptorCount(), open_before);
    EXPECT_EQ(testsupport::FileNamesIn(scratch.path()), std::vector<std::string>{"kept"});
    EXPECT_EQ(ReadWholeFile(target), "precious");
}

TEST_F(OutputFiles, CreationFailureNamesTheTemporaryPath) {
    const fs::path blocker = scratch.WriteFile("file", "");
    const fs::path target = blocker / "out";
    std::string message;
    ASSERT_EQ(impl.write_member(Producing({"x"}), EntryAt(0), target, &message), Error::OpenFailed);
    const std::string prefix = "cannot create " + target.string() + ".";
    ASSERT_EQ(message.size(), prefix.size() + 32 + 5) << message;
    EXPECT_EQ(message.substr(0, prefix.size()), prefix);
    EXPECT_TRUE(LowerHex(message.substr(prefix.size(), 32), 32)) << message;
    EXPECT_EQ(message.substr(prefix.size() + 32), ".part");
}

TEST_F(OutputFiles, FullDiskFailsTheMemberAndLeavesNothing) {
    if (testsupport::kWindowsHost) GTEST_SKIP() << "stands a file size limit in for a full disk; Windows has none";
    constexpr unsigned long long kLimit = 65536;
    struct Case {
        const char* name;
        unsigned long long limit;
        std::vector<std::string> pieces;
        std::string message_prefix;
    };
    const Case cases[] = {
        // A large member meets the full disk in a write the sink refuses; a
        // small one sits in the stream buffer until the close fails to flush it.
        {"large member", kLimit, std::vector<std::string>(8, std::string(kLimit, 'a')), "cannot write the member"},
        {"small member over the edge", kLimit, {std::string(kLimit - 2, 'a'), "tail"}, "cannot finish writing "},
        {"small member on a full disk", 2, {"tail"}, "cannot finish writing "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path target = scratch.WriteFile("full", "before");
        std::string message;
        Error code;
        {
            testsupport::ScopedFileSizeLimit limit(c.limit);
            code = impl.write_member(Producing(c.pieces, Error::Ok, &message), EntryAt(0), target, &message);
        }
        EXPECT_EQ(code, Error::OpenFailed);
        EXPECT_EQ(message.substr(0, c.message_prefix.size()), c.message_prefix) << message;
        EXPECT_EQ(ReadWholeFile(target), "before");
        EXPECT_EQ(testsupport::FileNamesIn(scratch.path()), std::vector<std::string>{"full"});
    }
}

}  // namespace

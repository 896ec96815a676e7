// The command line, against the real helper binary.
#include "helper/command_line.h"

#include <archive.h>
#include <gtest/gtest.h>

#include "support/helper_session.h"

namespace {

using namespace std::chrono_literals;
using testsupport::kReplyTimeout;

constexpr const char* kUsage = "usage: ombrex-archive-helper [--memory-limit-mb N] [--test-hooks] [--version]\n";

TEST(CommandLine, RefusedArgumentsPrintTheUsageLineAndExitWith2) {
    const std::vector<std::vector<std::string>> cases = {
        {"--memory-limit-mb", "0"},
        {"--memory-limit-mb", "-5"},
        {"--memory-limit-mb", "+5"},
        {"--memory-limit-mb", "5x"},
        {"--memory-limit-mb", " 5"},
        {"--memory-limit-mb", "0x10"},
        {"--memory-limit-mb", ""},
        {"--memory-limit-mb", "-"},
        {"--memory-limit-mb", "1048577"},
        {"--memory-limit-mb", "1234567890123456789012345"},
        {"--memory-limit-mb"},
        {"--memory-limit-mb", "--version"},
        {"--memory-limit-mb=5"},
        {"--version", "--bogus"},
        {"--test-hooks", "--Version"},
        {""},
        // A valid limit later does not undo an invalid one before it.
        {"--memory-limit-mb", "x", "--memory-limit-mb", "5"},
    };
    for (const auto& arguments : cases) {
        std::string shown;
        for (const auto& a : arguments) shown += "[" + a + "]";
        SCOPED_TRACE(shown);
        auto helper = testsupport::StartHelper(arguments);
        ASSERT_TRUE(helper);
        testsupport::ExpectExit(*helper, 2);
        EXPECT_EQ(helper->StandardError(), testsupport::StartUpNotice() + testsupport::HostText(kUsage)) << shown;
        const auto output = helper->ReadToEnd(kReplyTimeout);
        ASSERT_TRUE(output);
        EXPECT_TRUE(output->empty()) << shown;
    }
}

TEST(CommandLine, AcceptedMemoryLimitsLetTheHelperServe) {
    if (testsupport::kSanitizerBuild) GTEST_SKIP() << "a data-size cap also limits the sanitizer's own mappings";
    for (const char* limit : {"1048576", "007"}) {
        SCOPED_TRACE(limit);
        auto helper = testsupport::StartHelper({"--test-hooks", "--memory-limit-mb", limit});
        ASSERT_TRUE(helper);
        ASSERT_TRUE(helper->SendRequest(ArchiveHelper::MessageType::HelloRequest, {}));
        EXPECT_TRUE(helper->ReadHello(kReplyTimeout)) << limit;
        helper->CloseInput();
        testsupport::ExpectExit(*helper, 0);
        EXPECT_EQ(helper->StandardError(), testsupport::StartUpNotice()) << limit;
    }
}

TEST(CommandLine, VersionPrintsOneLineWithTheLibraryDetailsAndSpeaksNoProtocol) {
    auto helper = testsupport::StartHelper({"--version"});
    ASSERT_TRUE(helper);
    const auto output = helper->ReadToEnd(kReplyTimeout);
    ASSERT_TRUE(output);
    const std::string line(output->begin(), output->end());
    if (testsupport::kWindowsHost) {
        // Its own static library, with every decompressor the filters need built in.
        EXPECT_EQ(line.rfind("ombrex-archive-helper 1 (libarchive 3.", 0), 0u) << line;
        for (const char* library : {" zlib/", " liblzma/", " bz2lib/", " libzstd/"}) {
            EXPECT_NE(line.find(library), std::string::npos) << library << " in " << line;
        }
        EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
        EXPECT_TRUE(line.ends_with(testsupport::HostText(")\n"))) << line;
    } else {
        EXPECT_EQ(line, std::string("ombrex-archive-helper 1 (") + archive_version_details() + ")\n");
    }
    testsupport::ExpectExit(*helper, 0);
}

TEST(CommandLine, SignedDecimalParsingCoversTheInt64Range) {
    using ArchiveHelper::ParseSignedDecimal;
    EXPECT_EQ(ParseSignedDecimal("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(ParseSignedDecimal("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(ParseSignedDecimal("9223372036854775808"), std::nullopt);
    EXPECT_EQ(ParseSignedDecimal("-9223372036854775809"), std::nullopt);
    EXPECT_EQ(ParseSignedDecimal("-0"), 0);
    EXPECT_EQ(ParseSignedDecimal("--1"), std::nullopt);
    EXPECT_EQ(ParseSignedDecimal("1-"), std::nullopt);
}

TEST(CommandLine, TheLastValidLimitWins) {
    const char* argv[] = {"helper", "--memory-limit-mb", "5", "--memory-limit-mb", "9", "--test-hooks"};
    const auto line = ArchiveHelper::ParseCommandLine(6, argv);
    EXPECT_EQ(line.memory_limit_mb, 9);
    EXPECT_TRUE(line.test_hooks);
    EXPECT_FALSE(line.usage_error);
}

}  // namespace

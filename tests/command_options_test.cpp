#include "client/command_options.h"

#include <gtest/gtest.h>

namespace {

using HelperClient::Command;
using HelperClient::CommandOptions;
using HelperClient::ParseCommandOptions;

CommandOptions Parse(const std::vector<std::string>& arguments) {
    CommandOptions options;
    std::string message;
    EXPECT_TRUE(ParseCommandOptions(arguments, options, &message)) << message;
    return options;
}

TEST(CommandOptions, OptionsMayStandAnywhereAndCarryTheirValues) {
    const auto options = Parse({"--max-entries", "10", "extract", "a.zip", "--window", "1K:2M", "GAME\\X.EXE",
                                "--max-total-bytes", "3G", "out", "--max-member-bytes", "12345", "--memory-limit-mb",
                                "48", "--timeout", "0.25", "--stats", "--helper", "/opt/h"});
    EXPECT_EQ(options.command, Command::Extract);
    EXPECT_EQ(options.operands, (std::vector<std::string>{"a.zip", "GAME\\X.EXE", "out"}));
    EXPECT_EQ(options.limits.max_entries, 10);
    EXPECT_EQ(options.limits.max_total_bytes, 3LL << 30);
    EXPECT_EQ(options.limits.max_member_bytes, 12345);
    EXPECT_EQ(options.memory_limit_mb, 48);
    EXPECT_TRUE(options.window.present);
    EXPECT_EQ(options.window.offset, 1024);
    EXPECT_EQ(options.window.length, 2LL << 20);
    EXPECT_EQ(options.timeout, std::chrono::milliseconds(250));
    EXPECT_TRUE(options.stats);
    EXPECT_EQ(options.helper, "/opt/h");
}

TEST(CommandOptions, DefaultsAreTheHelpersOpenLimits) {
    const auto options = Parse({"list", "a.zip"});
    const ArchiveMount::OpenLimits defaults;
    EXPECT_EQ(options.limits.max_entries, defaults.max_entries);
    EXPECT_EQ(options.limits.max_total_bytes, defaults.max_total_bytes);
    EXPECT_EQ(options.limits.max_member_bytes, defaults.max_member_bytes);
    EXPECT_FALSE(options.window.present);
    EXPECT_EQ(options.memory_limit_mb, 0);
}

TEST(CommandOptions, DoubleDashEndsOptionsAndHelpWinsAtOnce) {
    EXPECT_EQ(Parse({"list", "--", "--json"}).operands, std::vector<std::string>{"--json"});
    EXPECT_TRUE(Parse({"--help", "nonsense", "--bogus"}).help);
    EXPECT_TRUE(Parse({"list", "a.zip", "--json"}).json);
}

TEST(CommandOptions, UsageErrorsSayWhatIsWrong) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "no command given"},
        {{"unpack", "a.zip"}, "unknown command 'unpack'"},
        {{"list"}, "usage: ombrex-archive list ARCHIVE"},
        {{"extract", "a.zip", "X"}, "usage: ombrex-archive extract ARCHIVE MEMBER OUT"},
        {{"extract-all", "a.zip", "d", "e"}, "usage: ombrex-archive extract-all ARCHIVE DIR"},
        {{"info", "a.zip", "--json"}, "--json goes with list only"},
        {{"list", "a.zip", "--frobnicate"}, "unknown option --frobnicate"},
        {{"list", "a.zip", "--max-entries"}, "--max-entries needs a value"},
        {{"list", "a.zip", "--max-entries", "-1"}, "bad value for --max-entries: '-1'"},
        {{"list", "a.zip", "--max-entries", "12x"}, "bad value for --max-entries: '12x'"},
        {{"list", "a.zip", "--max-total-bytes", "9999999999T"}, "bad value for --max-total-bytes: '9999999999T'"},
        {{"list", "a.zip", "--max-member-bytes", "M"}, "bad value for --max-member-bytes: 'M'"},
        {{"list", "a.zip", "--memory-limit-mb", "0"}, "bad value for --memory-limit-mb: '0'"},
        {{"list", "a.zip", "--memory-limit-mb", "1048577"}, "bad value for --memory-limit-mb: '1048577'"},
        {{"list", "a.zip", "--window", "100"}, "bad value for --window: '100'"},
        {{"list", "a.zip", "--window", "100:0"}, "bad value for --window: '100:0'"},
        {{"list", "a.zip", "--window", "-1:5"}, "bad value for --window: '-1:5'"},
        {{"list", "a.zip", "--timeout", "0"}, "bad value for --timeout: '0'"},
        {{"list", "a.zip", "--timeout", "soon"}, "bad value for --timeout: 'soon'"},
        {{"list", "a.zip", "--helper", ""}, "bad value for --helper: ''"},
    };
    for (const auto& [arguments, expected] : cases) {
        CommandOptions options;
        std::string message;
        EXPECT_FALSE(ParseCommandOptions(arguments, options, &message)) << expected;
        EXPECT_EQ(message, expected);
    }
}

}  // namespace

#include "log/logger.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

struct FormatCase {
    std::string pattern;
    int level;
    std::string expected;
};

TEST(StderrHandlerFormat, ExpandsKnownPlaceholdersAndKeepsTheRest) {
    const FormatCase cases[] = {
        {"[{level}] {component}: {message}", 3, "[WARN] archive: hello"},
        {"{level}", 7, "?"},
        {"{level}", -1, "?"},
        {"{level}", 0, "TRACE"},
        {"{level}", 4, "ERROR"},
        {"a {nope} b", 3, "a {nope} b"},
        {"x {message} {", 3, "x hello {"},
        {"x {message} {level", 3, "x hello {level"},
        {"{}", 3, "{}"},
        {"plain", 3, "plain"},
    };
    tessra::StderrHandler handler;
    for (const auto& c : cases) {
        handler.pattern = c.pattern;
        EXPECT_EQ(handler.Format(c.level, "archive", "hello"), c.expected) << c.pattern;
    }
}

TEST(StderrHandlerFormat, TimestampHasMillisecondLayout) {
    tessra::StderrHandler handler;
    const std::string line = handler.Format(3, "archive", "m");
    EXPECT_TRUE(std::regex_match(line, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[WARN\] archive: m)")))
        << line;
}

TEST(Logger, FiltersBelowDefaultLevelAndFallsBackToFormatWhenEmpty) {
    std::vector<std::pair<int, std::string>> seen;
    auto& logger = tessra::Logger::Instance();
    logger.AddListener([&](int level, const char*, const std::string& message) { seen.emplace_back(level, message); });
    EXPECT_EQ(logger.LevelFor("archive"), 2);
    EXPECT_EQ(logger.LevelFor(nullptr), 2);
    testing::internal::CaptureStderr();
    logger.Log(0, "archive", "%s", "trace");
    logger.Log(1, "archive", "%s", "debug");
    logger.Log(3, "archive", "%s: %d", "count", 7);
    logger.Log(3, "archive", "%s", "");
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_pair(3, std::string("count: 7")));
    EXPECT_EQ(seen[1], std::make_pair(3, std::string("%s")));
    EXPECT_NE(err.find("[WARN] archive: count: 7\n"), std::string::npos);
    EXPECT_EQ(err.find("trace"), std::string::npos);
}

TEST(Logger, MessageIsPrintedUpToAnEmbeddedNul) {
    testing::internal::CaptureStderr();
    tessra::Logger::Instance().Write(3, "archive", std::string("abc\0def", 7));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("archive: abc\n"), std::string::npos);
    EXPECT_EQ(err.find("def"), std::string::npos);
}

}  // namespace

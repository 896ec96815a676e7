#include "log/logger.h"

#include <gtest/gtest.h>

#include <cctype>
#include <memory>

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
    // "YYYY-MM-DD hh:mm:ss.mmm" then the rest of the pattern.
    const std::string layout = "dddd-dd-dd dd:dd:dd.ddd";
    ASSERT_GT(line.size(), layout.size()) << line;
    for (std::size_t i = 0; i < layout.size(); ++i) {
        if (layout[i] == 'd') {
            EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(line[i]))) << line;
        } else {
            EXPECT_EQ(line[i], layout[i]) << line;
        }
    }
    EXPECT_EQ(line.substr(layout.size()), " [WARN] archive: m");
}

TEST(Logger, FiltersBelowDefaultLevelAndFallsBackToFormatWhenEmpty) {
    // Listeners live as long as the logger, so this one owns what it collects.
    auto seen = std::make_shared<std::vector<std::pair<int, std::string>>>();
    auto& logger = tessra::Logger::Instance();
    logger.AddListener([seen](int level, const char*, const std::string& message) { seen->emplace_back(level, message); });
    EXPECT_EQ(logger.LevelFor("archive"), 2);
    EXPECT_EQ(logger.LevelFor(nullptr), 2);
    testing::internal::CaptureStderr();
    logger.Log(0, "archive", "%s", "trace");
    logger.Log(1, "archive", "%s", "debug");
    logger.Log(3, "archive", "%s: %d", "count", 7);
    logger.Log(3, "archive", "%s", "");
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(seen->size(), 2u);
    EXPECT_EQ((*seen)[0], std::make_pair(3, std::string("count: 7")));
    EXPECT_EQ((*seen)[1], std::make_pair(3, std::string("%s")));
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

#include "mount/window_cursor.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "mount/archive_sources.h"
#include "platform/platform.h"
#include "support/temp_dir.h"

namespace {

using ArchiveMount::WindowCursor;

// A cursor on a window of `file`, with a scratch library handle for errors.
class WindowCallbacks : public testing::Test {
protected:
    void Open(const std::string& bytes, std::int64_t offset, std::int64_t length) {
        file = ArchiveMount::OpenArchiveFile(dir.WriteFile("outer.bin", bytes));
        cursor.descriptor = file.get();
        ASSERT_GE(cursor.descriptor, 0);
        cursor.offset = offset;
        cursor.length = length;
    }
    ~WindowCallbacks() override { archive_read_free(archive); }
    std::string Error() const { return archive_error_string(archive) ? archive_error_string(archive) : ""; }
    std::string ReadAll() {
        std::string out;
        const void* block = nullptr;
        for (la_ssize_t n; (n = WindowRead(archive, &cursor, &block)) > 0;)
            out.append(static_cast<const char*>(block), static_cast<std::size_t>(n));
        return out;
    }

    testsupport::TempDir dir;
    struct archive* archive = archive_read_new();
    platform::Descriptor file;
    WindowCursor cursor;
};

TEST_F(WindowCallbacks, ReadSeesExactlyTheWindowInBlocks) {
    std::string inner(150000, '\0');
    for (std::size_t i = 0; i < inner.size(); ++i) inner[i] = static_cast<char>('a' + i % 26);
    Open(std::string(777, 'P') + inner + std::string(999, 'Q'), 777, static_cast<std::int64_t>(inner.size()));
    const void* block = nullptr;
    EXPECT_EQ(WindowRead(archive, &cursor, &block), 65536);
    EXPECT_EQ(cursor.position, 65536);
    // Someone else moving the shared file position changes nothing.
    ASSERT_EQ(platform::Seek(cursor.descriptor, 0, SEEK_SET), 0);
    std::string seen(static_cast<const char*>(block), 65536);
    seen += ReadAll();
    EXPECT_TRUE(seen == inner) << "the window's bytes differ";
    EXPECT_EQ(cursor.position, cursor.length);
    EXPECT_EQ(WindowRead(archive, &cursor, &block), 0);
}

// The library seeks back to the start of a small archive more than once: a
// read inside the block read last is served from it, and one outside it
// goes to the file.
TEST_F(WindowCallbacks, ReadBackInsideTheLastBlockNeedsNoFile) {
    std::string inner(100000, '\0');
    for (std::size_t i = 0; i < inner.size(); ++i) inner[i] = static_cast<char>(i * 7919 % 251);
    Open(std::string(10, 'P') + inner, 10, static_cast<std::int64_t>(inner.size()));
    const void* block = nullptr;
    ASSERT_EQ(WindowRead(archive, &cursor, &block), 65536);
    const int descriptor = cursor.descriptor;
    cursor.descriptor = -1;  // any read of the file now fails
    ASSERT_EQ(WindowSeek(archive, &cursor, 1000, SEEK_SET), 1000);
    ASSERT_EQ(WindowRead(archive, &cursor, &block), 65536 - 1000);
    EXPECT_TRUE(std::string(static_cast<const char*>(block), 65536 - 1000) == inner.substr(1000, 65536 - 1000));
    EXPECT_EQ(WindowRead(archive, &cursor, &block), ARCHIVE_FATAL);
    cursor.descriptor = descriptor;
    ASSERT_EQ(WindowSeek(archive, &cursor, 65535, SEEK_SET), 65535);
    EXPECT_EQ(ReadAll(), inner.substr(65535));
}

TEST_F(WindowCallbacks, SeekStaysInsideTheWindow) {
    Open(std::string(300, 'x'), 100, 50);
    struct Case {
        la_int64_t request;
        int whence;
        la_int64_t expected;  // ARCHIVE_FATAL when refused
    };
    const Case cases[] = {
        {50, SEEK_SET, 50},           {51, SEEK_SET, ARCHIVE_FATAL}, {0, SEEK_END, 50},
        {1, SEEK_END, ARCHIVE_FATAL}, {-50, SEEK_END, 0},            {-51, SEEK_END, ARCHIVE_FATAL},
        {-1, SEEK_SET, ARCHIVE_FATAL}, {INT64_MAX, SEEK_END, ARCHIVE_FATAL}, {10, 99, ARCHIVE_FATAL},
    };
    for (const auto& c : cases) {
        cursor.position = 20;
        archive_clear_error(archive);
        EXPECT_EQ(WindowSeek(archive, &cursor, c.request, c.whence), c.expected) << c.request << "/" << c.whence;
        if (c.expected == ARCHIVE_FATAL) {
            EXPECT_EQ(cursor.position, 20);
            EXPECT_EQ(Error(), "seek outside the archive window");
            EXPECT_EQ(archive_errno(archive), EINVAL);
        } else {
            EXPECT_EQ(cursor.position, c.expected);
        }
    }
    cursor.position = 20;
    EXPECT_EQ(WindowSeek(archive, &cursor, 30, SEEK_CUR), 50);
    EXPECT_EQ(WindowSeek(archive, &cursor, 1, SEEK_CUR), ARCHIVE_FATAL);
    EXPECT_EQ(WindowSeek(archive, &cursor, -50, SEEK_CUR), 0);
}

TEST_F(WindowCallbacks, SkipStopsAtTheWindowEnd) {
    Open(std::string(300, 'x'), 100, 50);
    EXPECT_EQ(WindowSkip(archive, &cursor, 0), 0);
    EXPECT_EQ(WindowSkip(archive, &cursor, -5), 0);
    EXPECT_EQ(WindowSkip(archive, &cursor, 30), 30);
    EXPECT_EQ(WindowSkip(archive, &cursor, 30), 20);
    EXPECT_EQ(cursor.position, 50);
    EXPECT_EQ(WindowSkip(archive, &cursor, 1), 0);
}

TEST_F(WindowCallbacks, FileThatEndsInsideTheWindowIsAnError) {
    Open(std::string(100, 'x'), 60, 80);  // as if the file shrank after the open
    EXPECT_EQ(ReadAll(), std::string(40, 'x'));
    const void* block = nullptr;
    EXPECT_EQ(WindowRead(archive, &cursor, &block), ARCHIVE_FATAL);
    EXPECT_EQ(Error(), "the file ends inside the archive window");
    EXPECT_EQ(archive_errno(archive), EIO);
}

}  // namespace

#include "mount/archive_sources.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "mount/archive_reader_impl.h"
#include "platform/platform.h"
#include "support/archive_builder.h"
#include "support/host.h"
#include "support/log_recorder.h"
#include "support/open_descriptors.h"
#include "support/temp_dir.h"

namespace {

using ArchiveMount::ArchiveWindow;
using ArchiveMount::Error;
using ArchiveMount::OpenResult;

class ArchiveSources : public testing::Test {
protected:
    testsupport::TempDir dir;
    testsupport::LogRecorder& log = testsupport::LogRecorder::Instance();
};

TEST_F(ArchiveSources, PathsThatAreNotRegularFilesFailAtOnceWithOneLogLine) {
    const testsupport::UnwrittenPipe pipe(dir.path(), "pipe");  // a blocking open would hang on it
    const std::filesystem::path paths[] = {
        dir.path(),
        pipe.path(),
        testsupport::NullDevice(),
        dir.path() / "missing.zip",
    };
    for (const auto& path : paths) {
        const std::size_t mark = log.Mark();
        auto opened = std::async(std::launch::async, [&] {
            OpenResult result;
            result.message = "stale";
            ArchiveMount::OpenArchivePath(result, path, {});
            return result;
        });
        ASSERT_EQ(opened.wait_for(std::chrono::seconds(20)), std::future_status::ready) << path << " hangs";
        const OpenResult result = opened.get();
        EXPECT_EQ(result.reader, nullptr) << path;
        EXPECT_EQ(result.error, Error::OpenFailed) << path;
        EXPECT_EQ(result.message, "open failed") << path;
        const auto records = log.Since(mark);
        ASSERT_EQ(records.size(), 1u) << path;
        EXPECT_EQ(records[0].level, 3);
        EXPECT_EQ(records[0].component, "archive");
        EXPECT_EQ(records[0].message, path.string() + ": cannot open the archive (open failed)");
    }
}

TEST_F(ArchiveSources, OpenedFileIsReadOnlyAndDoesNotLockOthersOut) {
    const auto file = dir.WriteFile("a.bin", "0123456789");
    const platform::Descriptor owned = ArchiveMount::OpenArchiveFile(file);
    const int descriptor = owned.get();
    ASSERT_GE(descriptor, 0);
    EXPECT_LT(platform::WriteSome(descriptor, "x", 1), 0);
    // Others may still write, rename and delete the file while it is open.
    dir.WriteFile("a.bin", "abcdefghij");
    std::filesystem::rename(file, dir.path() / "b.bin");
    std::filesystem::remove(dir.path() / "b.bin");
    char bytes[10];
    EXPECT_EQ(platform::Seek(descriptor, 0, SEEK_SET), 0);
    EXPECT_EQ(platform::ReadSome(descriptor, bytes, sizeof bytes), 10);
    EXPECT_EQ(std::string(bytes, 10), "abcdefghij");
}

TEST_F(ArchiveSources, ReaderKeepsItsOwnDescriptorAndTheFileIdentity) {
    const auto file = dir.WriteFile("a.zip", std::string(5000, 'z'));
    const auto stamp = std::chrono::file_clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(1600000000)));
    std::filesystem::last_write_time(file, stamp);
    platform::Descriptor caller = ArchiveMount::OpenArchiveFile(file);
    ASSERT_TRUE(caller.valid());

    OpenResult result;
    auto reader = ArchiveMount::AcquireArchive(result, caller.get(), file, {10, 20, 30}, ArchiveWindow{});
    caller.reset();
    ASSERT_NE(reader, nullptr);
    const auto& impl = reader->impl();
    EXPECT_EQ(impl.archive_path, file);
    EXPECT_EQ(impl.limits.max_entries, 10);
    EXPECT_EQ(impl.limits.max_member_bytes, 30);
    EXPECT_EQ(impl.identity.size, 5000u);
    EXPECT_EQ(impl.identity.mtime, 1600000000);
    EXPECT_EQ(impl.archive_size, 5000u);
    // The caller's descriptor is gone; the reader's duplicate still reads.
    char byte = 0;
    ASSERT_EQ(platform::Seek(impl.descriptor.get(), 4999, SEEK_SET), 4999);
    EXPECT_EQ(platform::ReadSome(impl.descriptor.get(), &byte, 1), 1);
    EXPECT_EQ(byte, 'z');

    ArchiveMount::ArchiveIdentity identity{7, 7};
    EXPECT_FALSE(ArchiveMount::ReadArchiveIdentity(-1, identity));
    EXPECT_EQ(identity.size, 7u);
    EXPECT_EQ(identity.mtime, 7);
}

TEST_F(ArchiveSources, WindowRulesAndTheirMessage) {
    const auto file = dir.WriteFile("outer.bin", std::string(100, 'w'));
    const platform::Descriptor caller = ArchiveMount::OpenArchiveFile(file);
    ASSERT_TRUE(caller.valid());
    const std::size_t open_before = testsupport::OpenDescriptorCount();
    struct Case {
        std::int64_t offset, length;
        bool accepted;
    };
    const Case cases[] = {
        {0, 22, true},    {0, 21, false},  {78, 22, true},  {79, 22, false}, {0, 100, true},
        {0, 101, false},  {-1, 22, false}, {100, 0, false}, {101, 22, false}, {10, -5, false},
        {INT64_MAX, 22, false}, {50, INT64_MAX, false}, {INT64_MIN, 22, false},
    };
    for (const auto& c : cases) {
        const std::size_t mark = log.Mark();
        OpenResult result;
        auto reader = ArchiveMount::AcquireArchive(result, caller.get(), file, {}, ArchiveWindow{c.offset, c.length, true});
        const std::string where = std::to_string(c.offset) + "+" + std::to_string(c.length);
        if (c.accepted) {
            ASSERT_NE(reader, nullptr) << where;
            EXPECT_EQ(reader->impl().archive_size, static_cast<std::uint64_t>(c.length));
            EXPECT_EQ(reader->impl().identity.size, 100u);
            EXPECT_TRUE(reader->impl().window.present);
            EXPECT_TRUE(log.Since(mark).empty());
            continue;
        }
        EXPECT_EQ(reader, nullptr) << where;
        EXPECT_EQ(result.error, Error::OpenFailed) << where;
        const std::string message = "archive window outside the file: offset " + std::to_string(c.offset) +
                                    ", length " + std::to_string(c.length) + ", file 100";
        EXPECT_EQ(result.message, message);
        EXPECT_EQ(log.CountSince(mark, file.string() + ": cannot open the archive (" + message + ")"), 1u) << where;
        EXPECT_EQ(log.Since(mark).size(), 1u) << where;
    }
    EXPECT_EQ(testsupport::OpenDescriptorCount(), open_before);  // readers closed their duplicates
}

TEST_F(ArchiveSources, NegativeDescriptorAndRefusedWindowThroughTheOpen) {
    const auto file = dir.WriteFile("a.zip", testsupport::BuildArchive(testsupport::Container::ZipStored, {{"a", "b"}}));
    const std::size_t open_before = testsupport::OpenDescriptorCount();
    std::size_t mark = log.Mark();
    OpenResult result;
    ArchiveMount::OpenArchiveDescriptor(result, -1, file, {}, {});
    EXPECT_EQ(result.error, Error::OpenFailed);
    EXPECT_EQ(result.message, "cannot duplicate the archive descriptor");
    EXPECT_EQ(log.Since(mark).size(), 1u);
    EXPECT_EQ(log.CountSince(mark, file.string() + ": cannot open the archive (cannot duplicate the archive descriptor)"),
              1u);

    platform::Descriptor caller = ArchiveMount::OpenArchiveFile(file);
    ASSERT_TRUE(caller.valid());
    mark = log.Mark();
    ArchiveMount::OpenArchiveDescriptor(result, caller.get(), file, {}, {-4, 30, true});
    caller.reset();
    EXPECT_EQ(result.reader, nullptr);
    EXPECT_EQ(result.error, Error::OpenFailed);
    EXPECT_EQ(result.message.rfind("archive window outside the file: offset -4, length 30, file ", 0), 0u)
        << result.message;
    EXPECT_EQ(log.Since(mark).size(), 1u);

    // By path, the open closes its own descriptor; the reader keeps only its duplicate.
    ArchiveMount::OpenArchivePath(result, file, {});
    EXPECT_EQ(result.error, Error::Ok) << result.message;
    EXPECT_EQ(testsupport::OpenDescriptorCount(), open_before + 1);
    result.reader.reset();
    EXPECT_EQ(testsupport::OpenDescriptorCount(), open_before);
}

}  // namespace

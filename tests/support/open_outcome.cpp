#include "support/open_outcome.h"

#include <gtest/gtest.h>

#include "support/open_descriptors.h"

namespace testsupport {

OpenOutcome OpenPath(const std::filesystem::path& path, const ArchiveMount::OpenLimits& limits) {
    OpenOutcome outcome;
    outcome.path = path;
    const std::size_t mark = LogRecorder::Instance().Mark();
    outcome.descriptors_before = OpenDescriptorCount();
    ArchiveMount::OpenArchivePath(outcome.result, path, limits);
    outcome.descriptors_after = OpenDescriptorCount();
    outcome.logs = LogRecorder::Instance().Since(mark);
    return outcome;
}

OpenOutcome OpenBytes(const TempDir& dir, const std::string& name, const std::string& bytes,
                      const ArchiveMount::OpenLimits& limits) {
    return OpenPath(dir.WriteFile(name, bytes), limits);
}

void ExpectRefused(const OpenOutcome& outcome, ArchiveMount::Error error, const std::string& message) {
    const std::string where = outcome.path.filename().string() + ": ";
    EXPECT_EQ(outcome.result.error, error) << where << outcome.result.message;
    EXPECT_EQ(outcome.result.message, message) << where;
    EXPECT_EQ(outcome.result.reader, nullptr) << where;
    const std::string line = outcome.path.string() + ": " + ArchiveMount::ErrorText(error) + " (" + message + ")";
    ASSERT_EQ(outcome.logs.size(), 1u) << where << (outcome.logs.empty() ? "" : outcome.logs.back().message);
    EXPECT_EQ(outcome.logs[0].message, line);
    EXPECT_EQ(outcome.logs[0].level, 3);
    EXPECT_EQ(outcome.logs[0].component, "archive");
    EXPECT_EQ(outcome.descriptors_after, outcome.descriptors_before) << where << "a failed open keeps no descriptor";
}

void ExpectIndexed(const OpenOutcome& outcome) {
    ASSERT_EQ(outcome.result.error, ArchiveMount::Error::Ok)
        << outcome.path.filename() << ": " << outcome.result.message;
    ASSERT_NE(outcome.result.reader, nullptr);
    EXPECT_TRUE(outcome.result.message.empty());
    // The reader keeps exactly its own descriptor.
    EXPECT_EQ(outcome.descriptors_after, outcome.descriptors_before + 1) << outcome.path.filename();
}

std::vector<std::string> PathsOf(const std::vector<ArchiveMount::Entry>& entries) {
    std::vector<std::string> paths;
    for (const ArchiveMount::Entry& entry : entries) paths.push_back(entry.path + (entry.is_dir ? "/" : ""));
    return paths;
}

}  // namespace testsupport

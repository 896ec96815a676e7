// Opening test archives through the real open, with what the open logged.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "mount/archive_index.h"
#include "support/log_recorder.h"
#include "support/temp_dir.h"

namespace testsupport {

struct OpenOutcome {
    std::filesystem::path path;
    ArchiveMount::OpenResult result;
    std::vector<LogRecord> logs;            // everything logged during the open
    std::size_t descriptors_before = 0;     // open descriptors before the call
    std::size_t descriptors_after = 0;      // and after it returned

    const ArchiveMount::ArchiveSource& reader() const { return *result.reader; }
    const std::vector<ArchiveMount::Entry>& entries() const { return result.reader->Entries(); }
};

// Opens `path` with OpenArchivePath.
OpenOutcome OpenPath(const std::filesystem::path& path, const ArchiveMount::OpenLimits& limits = {});

// Writes `bytes` as `name` in `dir` and opens it by path.
OpenOutcome OpenBytes(const TempDir& dir, const std::string& name, const std::string& bytes,
                      const ArchiveMount::OpenLimits& limits = {});

// The open failed with exactly this code and message, logged its one WARN line
// "<path>: <code text> (<message>)" and nothing else, and kept no descriptor.
void ExpectRefused(const OpenOutcome& outcome, ArchiveMount::Error error, const std::string& message);

// The open succeeded; fails the test with the refusal otherwise.
void ExpectIndexed(const OpenOutcome& outcome);

// Entry paths in index order, directories with a trailing "/".
std::vector<std::string> PathsOf(const std::vector<ArchiveMount::Entry>& entries);

}  // namespace testsupport

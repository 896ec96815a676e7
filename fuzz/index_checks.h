// What a finished index and a materialized directory must look like, for
// the whole-path fuzz target and the corpus sweep alike. Each check returns
// the first violation found, or "" when everything holds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "mount/archive_index.h"

namespace ombrexfuzz {

// An upper-case 8.3 name: 1-8 characters, optionally "." and 1-3 more, none
// of them a space, control byte or character DOS forbids.
bool ValidShortName(std::string_view name);

// Paths and DOS paths unique, DOS paths valid 8.3 names of at most 78
// characters, every parent directory an entry of its own, ordinals unique,
// sizes within the limits and adding up to the declared total.
std::string IndexViolation(const std::vector<ArchiveMount::Entry>& entries, const ArchiveMount::OpenLimits& limits,
                           std::int64_t declared_total);

// The directory after MaterializeAll: no temporary files, only files named
// by the ordinal of a file entry, each of its entry's size and stamped with
// its time; with `complete`, every file entry present.
std::string OutputViolation(const std::filesystem::path& directory, const std::vector<ArchiveMount::Entry>& entries,
                            bool complete);

}  // namespace ombrexfuzz

// Turning the flat output of a MaterializeAllRequest (one file per member,
// named by ordinal) into the DOS tree of the index.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "helper/frame_codec.h"

namespace HelperClient {

// The relative path that a DOS path names. The index comes from another
// process, so nothing is taken on trust: nullopt for an empty path, an empty,
// "." or ".." component, a leading "\", a "/" or a NUL byte.
std::optional<std::filesystem::path> DosRelativePath(std::string_view dos_path);

// Called after each entry is in place with the counts done so far.
using LayoutProgress = std::function<void(std::size_t entries_done, std::uint64_t bytes_done)>;

// Creates every directory of the index below `target` and moves each file
// member from `scratch`/<ordinal> to `target`/<its DOS path>, replacing what
// is there; then stamps the directories with their times. Checks every DOS
// path before touching anything. False with a message at the first failure.
bool LayOutTree(const ArchiveHelper::IndexSummary& index, const std::filesystem::path& scratch,
                const std::filesystem::path& target, const LayoutProgress& progress, std::string* message);

}  // namespace HelperClient

// An archive's DOS tree served as a read-only file system through FUSE 3:
// directories and sizes from the index, member bytes fetched into the cache
// when a file is first opened.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "dostree/dos_tree.h"
#include "dostree/member_cache.h"

namespace DosTree {

struct ServeOptions {
    std::filesystem::path mount_point;
    std::filesystem::path cache_parent;  // where the private cache directory goes
    std::uint64_t cache_bytes = 0;
    // One line about a member that could not be served (its reader got EIO).
    std::function<void(const std::string&)> report;
    // Called once the file system is mounted and serving.
    std::function<void()> mounted;
    // When set, and the whole tree fits the cache, the cache is filled ahead
    // of the readers: called once, on a thread of its own, with a directory
    // for complete member files named by ordinal, and a function to call
    // from time to time that takes in the ones there so far. Readers never
    // wait for it; the mount's end waits for it to return.
    std::function<void(const std::filesystem::path& directory, const std::function<void()>& arrived)> fill_ahead;
};

// Why a mount could not be made, in one line a person understands: no FUSE
// device or no permission for it, a mount point that is not an empty
// directory. Empty when nothing stands in the way.
std::string MountObstacle(const std::filesystem::path& mount_point);

// Mounts `tree` read-only at options.mount_point and serves it in the
// foreground until it is unmounted (fusermount3 -u, SIGINT, SIGTERM or
// SIGHUP); members come through `fetch` into a cache of options.cache_bytes
// that is removed when the mount ends. True after a clean unmount; false with
// a message when the mount could not be made.
bool ServeTree(const Tree& tree, const ServeOptions& options, Fetch fetch, std::string* message);

}  // namespace DosTree

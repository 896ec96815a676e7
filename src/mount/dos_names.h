// Unique 8.3 names per DOS directory, and the DOS paths built from them.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace ArchiveMount {

// The short names given out during one open, per DOS directory ("" for the
// root, else the directory's DOS path such as GAMES\DOOM). Files and
// directories share one set; nothing is ever taken back.
struct DosNameAllocator {
    struct Directory {
        std::unordered_set<std::string> names;
        // Per basis ("NAME/EXT") whose first candidate was found taken:
        // every tail from 2 up to, not including, this number is known to be
        // in `names`, so the next search for that basis starts here.
        std::unordered_map<std::string, int> tail_floor;
    };
    std::unordered_map<std::string, Directory> directories;
};

struct DosNameResult {
    std::string dos_path;
    bool ok = false;
};

// Gives `component` the first of its candidates (MakeShortName attempts 1 to
// 999) not yet used in directory `parent` and returns the DOS path
// parent\name. Fails when all 999 are used, or at once when the first free
// one would make the path longer than 78 characters; a failure takes nothing.
DosNameResult AssignDosName(DosNameAllocator& allocator, const std::string& parent, std::string_view component);

}  // namespace ArchiveMount

// Unique 8.3 names per DOS directory, and the DOS paths built from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "mount/probe_table.h"

namespace ArchiveMount {

struct DosNameResult {
    std::string dos_path;
    bool ok = false;
};

// The short names given out during one open, per DOS directory ("" for the
// root, else the directory's DOS path such as GAMES\DOOM). Files and
// directories share one set; nothing is ever taken back. A name is held as
// fixed bytes beside its directory's number, not as a string of its own.
class DosNameAllocator {
public:
    // Room for `count` names before the tables grow.
    void Reserve(std::size_t count);

    // Whether `name` is taken in directory `parent`.
    bool Holds(std::string_view parent, std::string_view name) const;

    // Names taken in all directories.
    std::size_t size() const { return names_.size(); }

private:
    friend DosNameResult AssignDosName(DosNameAllocator& allocator, std::string_view parent,
                                       std::string_view component);

    // A short name (at most 8 + 1 + 3 characters, zero-padded) in a
    // directory numbered from 1, so that no key is all zero: the directory's
    // number and the name's bytes, packed into two words that compare as
    // integers.
    struct Key {
        std::uint64_t low = 0;   // the directory's number, then the name's first four bytes
        std::uint64_t high = 0;  // the name's next eight bytes
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::uint32_t operator()(const Key& key) const;
    };
    // Per basis ("NAME/EXT") whose first candidate was found taken: every
    // tail from 2 up to, not including, `floor` is known to be taken, so the
    // next search for that basis starts there.
    struct Floor {
        Key basis;
        std::int32_t floor = 0;
        bool operator==(const Floor&) const = default;
    };
    struct FloorHash {
        std::uint32_t operator()(const Floor& floor) const { return KeyHash{}(floor.basis); }
    };
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
    };

    static Key KeyOf(std::uint32_t directory, std::string_view name);
    std::uint32_t DirectoryOf(std::string_view parent);
    bool Taken(const Key& key) const;

    std::unordered_map<std::string, std::uint32_t, TextHash, std::equal_to<>> directories_;
    ProbeTable<Key, KeyHash> names_;
    ProbeTable<Floor, FloorHash> floors_;
};

// Gives `component` the first of its candidates (MakeShortName attempts 1 to
// 999) not yet used in directory `parent` and returns the DOS path
// parent\name. Fails when all 999 are used, or at once when the first free
// one would make the path longer than 78 characters; a failure takes nothing.
DosNameResult AssignDosName(DosNameAllocator& allocator, std::string_view parent, std::string_view component);

}  // namespace ArchiveMount

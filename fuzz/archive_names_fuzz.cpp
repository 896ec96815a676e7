// SplitArchivePath and AssignDosName as the index walk uses them: the input
// is a list of member paths, one a line; each accepted path's directories
// get DOS names once (shared by later paths) and its last component a name
// of its own. What must hold: accepted components are clean and split the
// same way again; every DOS name is a valid upper-case 8.3 name; every DOS
// path is at most 78 characters and given out once; a refused assignment
// takes nothing.
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "index_checks.h"
#include "mount/archive_path.h"
#include "mount/dos_names.h"

namespace {

using namespace ArchiveMount;
using ombrexfuzz::ValidShortName;

void CheckComponents(const std::string& name, const SplitPathResult& split, int reason) {
    if (!split.ok) {
        FUZZ_CHECK(reason >= 1 && reason <= 6 && *PathRefusalText(reason) != '\0', "refusal reason " + std::to_string(reason));
        return;
    }
    FUZZ_CHECK(reason == 0, "accepted with reason " + std::to_string(reason));
    std::string joined;
    for (const std::string& component : split.components) {
        FUZZ_CHECK(!component.empty() && component.size() <= 255, "component size in '" + name + "'");
        FUZZ_CHECK(component != "." && component != ".." && component.back() != '.' && component.back() != ' ',
                   "component '" + component + "'");
        for (const char c : component) {
            const auto byte = static_cast<unsigned char>(c);
            FUZZ_CHECK(byte >= 0x20 && byte != 0x7F && c != '/' && c != '\\', "byte in '" + component + "'");
        }
        FUZZ_CHECK(!IsReservedDeviceName(component), "device name '" + component + "'");
        joined += (joined.empty() ? "" : "/") + component;
    }
    if (split.components.empty()) return;
    int again_reason = -1;
    const SplitPathResult again = SplitArchivePath(joined, &again_reason);
    FUZZ_CHECK(again.ok && again.components == split.components && !again.trailing_separator,
               "'" + name + "' does not split the same way again as '" + joined + "'");
}

struct Walk {
    DosNameAllocator allocator;
    std::map<std::string, std::string> directories;  // archive directory path -> DOS path
    std::set<std::string> dos_paths;

    // A DOS path for `component` in `parent`, or false; checks the promises.
    bool Assign(const std::string& parent, const std::string& component, std::string& dos_path) {
        const std::size_t before = allocator.size();
        const DosNameResult result = AssignDosName(allocator, parent, component);
        if (!result.ok) {
            FUZZ_CHECK(allocator.size() == before, "a failed assignment took a name in '" + parent + "'");
            return false;
        }
        FUZZ_CHECK(allocator.size() == before + 1, "one name taken for '" + component + "'");
        const std::string prefix = parent.empty() ? "" : parent + "\\";
        FUZZ_CHECK(result.dos_path.size() <= 78 && result.dos_path.compare(0, prefix.size(), prefix) == 0,
                   "DOS path '" + result.dos_path + "' in '" + parent + "'");
        const std::string short_name = result.dos_path.substr(prefix.size());
        FUZZ_CHECK(ValidShortName(short_name) && allocator.Holds(parent, short_name),
                   "short name '" + short_name + "' for '" + component + "'");
        FUZZ_CHECK(dos_paths.insert(result.dos_path).second, "DOS path '" + result.dos_path + "' given out twice");
        dos_path = result.dos_path;
        return true;
    }

    void Member(const SplitPathResult& split) {
        std::string archive_dir, dos_dir;
        const std::size_t count = split.components.size();
        for (std::size_t i = 0; i < count; ++i) {
            const std::string& component = split.components[i];
            const bool is_directory = i + 1 < count || split.trailing_separator;
            if (!is_directory) {
                std::string dos_path;
                Assign(dos_dir, component, dos_path);
                return;
            }
            archive_dir += "/" + component;
            auto known = directories.find(archive_dir);
            if (known == directories.end()) {
                std::string dos_path;
                if (!Assign(dos_dir, component, dos_path)) return;
                known = directories.emplace(archive_dir, dos_path).first;
            }
            dos_dir = known->second;
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    Walk walk;
    std::size_t start = 0;
    for (int line = 0; line < 256 && start <= input.size(); ++line) {
        std::size_t end = input.find('\n', start);
        if (end == std::string_view::npos) end = input.size();
        const std::string name(input.substr(start, end - start));
        start = end + 1;
        int reason = -1;
        const SplitPathResult split = SplitArchivePath(name, &reason);
        CheckComponents(name, split, reason);
        if (split.ok) walk.Member(split);
    }
    return 0;
}

#include "index_checks.h"

#include <algorithm>
#include <map>
#include <set>
#include <string_view>
#include <sys/stat.h>
#include <system_error>

namespace ombrexfuzz {

namespace {

using ArchiveMount::Entry;

std::string Quote(const std::string& text) { return "'" + text + "'"; }

std::string Parent(const std::string& path, char separator) {
    const std::size_t cut = path.rfind(separator);
    return cut == std::string::npos ? "" : path.substr(0, cut);
}

}  // namespace

bool ValidShortName(std::string_view name) {
    const std::size_t dot = name.find('.');
    const std::string_view base = name.substr(0, dot);
    const std::string_view ext = dot == std::string_view::npos ? std::string_view{} : name.substr(dot + 1);
    if (base.empty() || base.size() > 8 || ext.size() > 3) return false;
    if (dot != std::string_view::npos && ext.empty()) return false;
    for (std::string_view part : {base, ext}) {
        for (const char c : part) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte <= 0x20 || byte >= 0x7F || (c >= 'a' && c <= 'z')) return false;
            if (std::string_view("\"+=,;:<>[]|?*/\\.").find(c) != std::string_view::npos) return false;
        }
    }
    return true;
}

std::string IndexViolation(const std::vector<Entry>& entries, const ArchiveMount::OpenLimits& limits,
                           std::int64_t declared_total) {
    if (static_cast<std::int64_t>(entries.size()) > limits.max_entries) return "more entries than max_entries";
    std::map<std::string, const Entry*> by_path;
    std::set<std::string> dos_paths;
    std::set<std::int32_t> ordinals;
    std::int64_t total = 0;
    for (const Entry& e : entries) {
        if (e.path.empty() || e.path.front() == '/' || e.path.back() == '/') return "path " + Quote(e.path);
        if (!by_path.emplace(e.path, &e).second) return "path " + Quote(e.path) + " twice";
        if (!dos_paths.insert(e.dos_path).second) return "DOS path " + Quote(e.dos_path) + " twice";
        if (e.dos_path.size() > 78) return "DOS path " + Quote(e.dos_path) + " longer than 78";
        std::string_view rest = e.dos_path;
        for (std::size_t cut; !rest.empty(); rest = cut == std::string_view::npos ? "" : rest.substr(cut + 1)) {
            cut = rest.find('\\');
            if (!ValidShortName(rest.substr(0, cut))) return "DOS path " + Quote(e.dos_path) + " is not 8.3";
        }
        if (e.dos_path.empty()) return "empty DOS path for " + Quote(e.path);
        if (e.ordinal < -1 || (e.ordinal == -1 && !e.is_dir)) return "ordinal " + std::to_string(e.ordinal);
        if (e.ordinal >= 0 && !ordinals.insert(e.ordinal).second) return "ordinal " + std::to_string(e.ordinal) + " twice";
        if (e.size < 0 || (e.is_dir && e.size != 0)) return "size of " + Quote(e.path);
        if (e.size > limits.max_member_bytes) return Quote(e.path) + " over max_member_bytes";
        total += e.size;
    }
    if (total != declared_total) return "declared total " + std::to_string(declared_total) + " for " + std::to_string(total);
    if (total > limits.max_total_bytes) return "total over max_total_bytes";
    for (const Entry& e : entries) {
        const std::string parent = Parent(e.path, '/');
        if (parent.empty()) {
            if (e.dos_path.find('\\') != std::string::npos) return "top-level " + Quote(e.path) + " in a DOS directory";
            continue;
        }
        const auto found = by_path.find(parent);
        if (found == by_path.end() || !found->second->is_dir) return "no directory entry above " + Quote(e.path);
        if (Parent(e.dos_path, '\\') != found->second->dos_path) return "DOS path " + Quote(e.dos_path) + " not under its parent's";
    }
    return "";
}

std::string OutputViolation(const std::filesystem::path& directory, const std::vector<Entry>& entries, bool complete) {
    std::map<std::string, const Entry*> expected;
    for (const Entry& e : entries)
        if (!e.is_dir && e.ordinal >= 0) expected.emplace(std::to_string(e.ordinal), &e);
    std::error_code error;
    std::size_t found = 0;
    for (const auto& item : std::filesystem::directory_iterator(directory, error)) {
        const std::string name = item.path().filename().string();
        if (name.size() >= 5 && name.compare(name.size() - 5, 5, ".part") == 0) return "temporary file " + name + " left";
        const auto it = expected.find(name);
        if (it == expected.end() || !item.is_regular_file()) return "unexpected " + name;
        struct stat info {};
        if (::stat(item.path().c_str(), &info) != 0) return "cannot stat " + name;
        if (info.st_size != it->second->size)
            return name + " holds " + std::to_string(info.st_size) + " bytes of " + std::to_string(it->second->size);
        const std::int64_t stamp = std::clamp<std::int64_t>(it->second->mtime, 0, 4102444800LL);
        if (info.st_mtime != stamp) return name + " stamped " + std::to_string(info.st_mtime) + ", not " + std::to_string(stamp);
        ++found;
    }
    if (error) return "cannot list the directory: " + error.message();
    if (complete && found != expected.size())
        return std::to_string(found) + " files for " + std::to_string(expected.size()) + " file entries";
    return "";
}

}  // namespace ombrexfuzz

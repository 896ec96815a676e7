#include "client/tree_layout.h"

#include <system_error>
#include <vector>

#include "platform/platform.h"

namespace HelperClient {

namespace fs = std::filesystem;
using ArchiveMount::Entry;

std::optional<fs::path> DosRelativePath(std::string_view dos_path) {
    if (dos_path.empty() || dos_path.find('/') != std::string_view::npos ||
        dos_path.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    fs::path out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = dos_path.find('\\', start);
        const std::string_view component = dos_path.substr(start, end == std::string_view::npos ? end : end - start);
        if (component.empty() || component == "." || component == "..") return std::nullopt;
        out /= fs::path(std::string(component));
        if (end == std::string_view::npos) return out;
        start = end + 1;
    }
}

namespace {

bool Fail(std::string* message, std::string text, const std::error_code& error) {
    if (message) *message = std::move(text) + ": " + error.message();
    return false;
}

}  // namespace

bool LayOutTree(const ArchiveHelper::IndexSummary& index, const fs::path& scratch, const fs::path& target,
                const LayoutProgress& progress, std::string* message) {
    std::vector<fs::path> places;
    places.reserve(index.entries.size());
    for (const Entry& entry : index.entries) {
        auto relative = DosRelativePath(entry.dos_path);
        if (!relative || (!entry.is_dir && entry.ordinal < 0)) {
            if (message) *message = "the helper gave an unusable DOS path '" + entry.dos_path + "'";
            return false;
        }
        places.push_back(target / *relative);
    }
    std::error_code error;
    std::size_t done = 0;
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < index.entries.size(); ++i) {
        const Entry& entry = index.entries[i];
        const fs::path& place = places[i];
        if (entry.is_dir) {
            fs::create_directories(place, error);
            if (error) return Fail(message, "cannot create " + place.string(), error);
        } else {
            fs::create_directories(place.parent_path(), error);
            if (error) return Fail(message, "cannot create " + place.parent_path().string(), error);
            const fs::path written = scratch / std::to_string(entry.ordinal);
            fs::rename(written, place, error);
            if (error) return Fail(message, "cannot move " + written.string() + " to " + place.string(), error);
            bytes += static_cast<std::uint64_t>(entry.size);
        }
        ++done;
        if (progress) progress(done, bytes);
    }
    // Moving files in touched the directories' times, so they are set last.
    // Stamping a directory leaves its parent's time alone.
    for (std::size_t i = index.entries.size(); i-- > 0;) {
        if (!index.entries[i].is_dir) continue;
        error = platform::SetModificationTime(places[i], index.entries[i].mtime);
        if (error) return Fail(message, "cannot set the time of " + places[i].string(), error);
    }
    return true;
}

}  // namespace HelperClient

#include "mount/name_suffixes.h"

#include <cctype>
#include <string>

namespace ArchiveMount {

namespace {

constexpr std::string_view kArchiveExtensions[] = {
    ".zip", ".rar", ".7z",  ".tar",     ".tar.gz", ".tgz",     ".tar.xz",
    ".txz", ".tar.zst", ".tzst", ".tar.bz2", ".tbz2", ".tar.lzma",
};

constexpr std::string_view kImageExtensions[] = {
    ".img", ".ima", ".dsk", ".vhd", ".iso", ".bin", ".flp", ".vfd", ".360", ".720", ".1200", ".1440",
};

constexpr std::string_view kCompressionSuffixes[] = {".gz", ".xz", ".bz2", ".zst"};

// Non-ASCII bytes all become 0x80 so no locale can fold them onto a letter.
std::string LowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        const auto byte = static_cast<unsigned char>(c);
        c = static_cast<char>(byte < 0x80 ? std::tolower(byte) : 0x80);
    }
    return out;
}

}  // namespace

bool HasArchiveExtension(std::string_view name) {
    const std::string lower = LowerAscii(name);
    for (const std::string_view extension : kArchiveExtensions) {
        if (lower.ends_with(extension)) return true;
    }
    return false;
}

bool IsCompressedImageName(std::string_view path) {
    const std::size_t separator = path.find_last_of("/\\");
    const std::string lower = LowerAscii(separator == std::string_view::npos ? path : path.substr(separator + 1));
    const std::string_view name = lower;
    for (const std::string_view suffix : kCompressionSuffixes) {
        if (!name.ends_with(suffix)) continue;
        const std::string_view image = name.substr(0, name.size() - suffix.size());
        for (const std::string_view extension : kImageExtensions) {
            if (image.size() > extension.size() && image.ends_with(extension)) return true;
        }
    }
    return false;
}

}  // namespace ArchiveMount

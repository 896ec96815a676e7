#include "mount/archive_path.h"

#include <cctype>

namespace ArchiveMount {

namespace {

constexpr std::size_t kMaxComponentBytes = 255;

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

std::string_view WithoutTrailing(std::string_view s, std::string_view bytes) {
    const std::size_t end = s.find_last_not_of(bytes);
    return end == std::string_view::npos ? std::string_view() : s.substr(0, end + 1);
}

// A drive letter in front ("C:x") makes the path absolute on DOS.
bool HasDrivePrefix(std::string_view s) { return s.size() >= 2 && s[1] == ':'; }

SplitPathResult Refuse(int code, int* reason) {
    if (reason != nullptr) *reason = code;
    return {};
}

}  // namespace

const char* PathRefusalText(int reason) {
    switch (reason) {
        case kPathAbsolute: return "absolute path";
        case kPathDotDot: return "'.' or '..' component";
        case kPathEmptyComponent: return "empty component";
        case kPathControlCharacter: return "control character in name";
        case kPathComponentTooLong: return "component longer than 255 bytes";
        case kPathReservedDevice: return "reserved device name";
        default: return "";
    }
}

SplitPathResult SplitArchivePath(std::string_view name, int* reason) {
    if (name.empty()) return Refuse(kPathEmptyComponent, reason);
    if (IsSeparator(name.front()) || HasDrivePrefix(name)) return Refuse(kPathAbsolute, reason);

    SplitPathResult result;
    result.trailing_separator = IsSeparator(name.back());
    std::size_t start = 0;
    while (start < name.size()) {
        std::size_t end = start;
        while (end < name.size() && !IsSeparator(name[end])) ++end;
        const std::string_view component = name.substr(start, end - start);
        const bool last = end + 1 >= name.size();
        start = end + 1;

        if (component.empty()) return Refuse(kPathEmptyComponent, reason);
        for (const char c : component) {
            if (IsControl(static_cast<unsigned char>(c))) return Refuse(kPathControlCharacter, reason);
        }
        if (component.size() > kMaxComponentBytes) return Refuse(kPathComponentTooLong, reason);
        if (component == ".") {
            if (last) {
                result.trailing_separator = true;
                break;
            }
            continue;
        }
        if (component == "..") return Refuse(kPathDotDot, reason);
        const std::string_view kept = WithoutTrailing(component, ". ");
        if (kept.empty()) return Refuse(kPathEmptyComponent, reason);
        if (IsReservedDeviceName(kept)) return Refuse(kPathReservedDevice, reason);
        result.components.emplace_back(kept);
    }

    if (result.components.empty() && !result.trailing_separator) return Refuse(kPathEmptyComponent, reason);
    if (!result.components.empty() && HasDrivePrefix(result.components.front())) {
        return Refuse(kPathAbsolute, reason);
    }
    result.ok = true;
    if (reason != nullptr) *reason = 0;
    return result;
}

bool IsReservedDeviceName(std::string_view component) {
    std::string_view stem = WithoutTrailing(component, ". ");
    stem = WithoutTrailing(stem.substr(0, stem.find('.')), " ");
    // Device names are 3 to 7 bytes long ("COM" and a superscript digit is 5).
    if (stem.size() < 3 || stem.size() > 7) return false;

    std::string upper(stem);
    for (char& c : upper) {
        // Only ASCII letters may change, whatever single-byte locale is set.
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) c = static_cast<char>(std::toupper(byte));
    }

    switch (upper.size()) {
        case 3: return upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL";
        case 6: return upper == "CLOCK$" || upper == "CONIN$";
        case 7: return upper == "CONOUT$";
        default: break;
    }
    if (upper.size() < 4 || !(upper.starts_with("COM") || upper.starts_with("LPT"))) return false;
    const std::string_view rest = std::string_view(upper).substr(3);
    if (rest.size() == 1) return rest[0] >= '1' && rest[0] <= '9';
    // Superscript one, two and three in UTF-8.
    return rest == "\xC2\xB9" || rest == "\xC2\xB2" || rest == "\xC2\xB3";
}

}  // namespace ArchiveMount

#include "mount/short_names.h"

namespace ArchiveMount {

namespace {

constexpr std::size_t kMaxName = 8;
constexpr std::size_t kMaxExt = 3;
constexpr int kMaxTail = 999999;

bool IsContinuation(unsigned char c) { return c >= 0x80 && c <= 0xBF; }

// Continuation bytes a lead byte announces; 0 for a byte that leads nothing.
std::size_t ContinuationCount(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 1;
    if (lead >= 0xF0 && lead <= 0xF4) return 3;
    if (lead >= 0xE0) return 2;  // E0..EF and F5..FF
    return 0;
}

bool IsForbidden(unsigned char c) {
    if (c < 0x20 || c == 0x7F) return true;
    switch (c) {
        case '"': case '+': case '=': case ',': case ';': case ':': case '<': case '>':
        case '[': case ']': case '|': case '?': case '*': case '/': case '\\':
            return true;
        default:
            return false;
    }
}

// Takes up to `limit` non-space characters of `part`, mapped to short-name
// characters; reports through `lossy` whatever does not carry over exactly.
std::string MapPart(std::string_view part, std::size_t limit, bool& lossy) {
    std::string out;
    std::size_t kept = 0;
    for (const char c : part) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == ' ') {
            lossy = true;
            continue;
        }
        if (++kept > limit) {
            lossy = true;
            continue;
        }
        if (IsForbidden(byte)) {
            lossy = true;
            out.push_back('_');
        } else if (byte >= 'a' && byte <= 'z') {
            out.push_back(static_cast<char>(byte - 'a' + 'A'));
        } else {
            out.push_back(c);
        }
    }
    return out;
}

int DecimalDigits(int n) {
    int digits = 1;
    while (n >= 10) {
        n /= 10;
        ++digits;
    }
    return digits;
}

}  // namespace

std::string FoldToAscii(std::string_view component) {
    std::string out;
    out.reserve(component.size());
    std::size_t i = 0;
    while (i < component.size()) {
        const auto lead = static_cast<unsigned char>(component[i]);
        if (lead < 0x80) {
            out.push_back(static_cast<char>(lead));
            ++i;
            continue;
        }
        const std::size_t needed = ContinuationCount(lead);
        std::size_t have = 0;
        while (have < needed && i + 1 + have < component.size() &&
               IsContinuation(static_cast<unsigned char>(component[i + 1 + have]))) {
            ++have;
        }
        // An incomplete sequence stands for its lead byte alone.
        i += have == needed ? 1 + needed : 1;
        out.push_back('_');
    }
    return out;
}

ShortNameBasis ComputeShortNameBasis(std::string_view s) {
    if (s.empty()) return {"_", "", true};
    if (s == "." || s == "..") return {std::string(s), "", false};

    ShortNameBasis basis;
    const std::size_t first = s.find_first_not_of(". ");
    if (first == std::string_view::npos) return {"_", "", true};
    const std::size_t last = s.find_last_not_of(". ");
    basis.lossy = first != 0 || last + 1 != s.size();
    s = s.substr(first, last + 1 - first);

    const std::size_t first_dot = s.find('.');
    std::string_view name_part = s.substr(0, first_dot);
    std::string_view ext_part;
    if (first_dot != std::string_view::npos) {
        const std::size_t last_dot = s.rfind('.');
        if (last_dot != first_dot) basis.lossy = true;
        ext_part = s.substr(last_dot + 1);
    }
    basis.name = MapPart(name_part, kMaxName, basis.lossy);
    basis.ext = MapPart(ext_part, kMaxExt, basis.lossy);
    if (basis.name.empty()) {
        basis.name.push_back('_');
        basis.lossy = true;
    }
    return basis;
}

std::string TailNameOf(const ShortNameBasis& basis, int n) {
    if (n < 1 || n > kMaxTail) return "";
    const std::size_t digits = static_cast<std::size_t>(DecimalDigits(n));
    std::string out = basis.name.substr(0, kMaxName - 1 - digits);
    out.push_back('~');
    out += std::to_string(n);
    if (!basis.ext.empty()) {
        out.push_back('.');
        out += basis.ext;
    }
    return out;
}

std::string PlainNameOf(const ShortNameBasis& basis) {
    std::string out = basis.name;
    if (!basis.ext.empty()) {
        out.push_back('.');
        out += basis.ext;
    }
    return out;
}

std::string NumericTailName(std::string_view ascii, int n) {
    return TailNameOf(ComputeShortNameBasis(ascii), n);
}

std::string MakeShortName(std::string_view component, int attempt) {
    const ShortNameBasis basis = ComputeShortNameBasis(FoldToAscii(component));
    return attempt == 1 && !basis.lossy ? PlainNameOf(basis) : TailNameOf(basis, attempt);
}

}  // namespace ArchiveMount

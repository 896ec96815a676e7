#include "client/member_lookup.h"

#include <charconv>

namespace HelperClient {

namespace {

char DosFold(char c) {
    if (c == '/') return '\\';
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameDosPath(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (DosFold(a[i]) != DosFold(b[i])) return false;
    }
    return true;
}

}  // namespace

const ArchiveMount::Entry* FindMember(const std::vector<ArchiveMount::Entry>& entries, std::string_view name) {
    for (const auto& entry : entries) {
        if (entry.path == name) return &entry;
    }
    for (const auto& entry : entries) {
        if (SameDosPath(entry.dos_path, name)) return &entry;
    }
    std::string_view digits = name;
    if (!digits.empty() && digits.front() == '#') digits.remove_prefix(1);
    int ordinal = -1;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), ordinal);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || ordinal < 0) return nullptr;
    for (const auto& entry : entries) {
        if (entry.ordinal == ordinal) return &entry;
    }
    return nullptr;
}

}  // namespace HelperClient

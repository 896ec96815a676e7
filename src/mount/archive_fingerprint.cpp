#include "mount/archive_fingerprint.h"

#include <algorithm>

#include "mount/sha256.h"

namespace ArchiveMount {

namespace {

void AppendCrc(std::string& text, std::uint32_t crc) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (int shift = 28; shift >= 0; shift -= 4) text.push_back(kHex[(crc >> shift) & 0x0F]);
}

}  // namespace

std::string ComputeFingerprint(std::vector<ManifestItem> items, std::uint64_t archive_length) {
    std::sort(items.begin(), items.end(),
              [](const ManifestItem& a, const ManifestItem& b) { return a.path < b.path; });

    std::string text;
    std::size_t estimate = 32;
    for (const ManifestItem& item : items) estimate += item.path.size() + 52;
    text.reserve(estimate);
    for (const ManifestItem& item : items) {
        text += item.path;
        text.push_back('\t');
        text += std::to_string(item.size);
        text.push_back('\t');
        text += std::to_string(item.stamp);
        text.push_back('\t');
        if (item.has_crc) {
            AppendCrc(text, item.crc);
        } else {
            text.push_back('-');
        }
        text.push_back('\n');
    }
    text += "length\t";
    text += std::to_string(archive_length);
    text.push_back('\n');
    return Sha256Hex(text);
}

}  // namespace ArchiveMount

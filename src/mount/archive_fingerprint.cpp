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

    // Line by line into the digest: the manifest is never held whole.
    Sha256 digest;
    std::string line;
    for (const ManifestItem& item : items) {
        line.assign(item.path);
        line.push_back('\t');
        line += std::to_string(item.size);
        line.push_back('\t');
        line += std::to_string(item.stamp);
        line.push_back('\t');
        if (item.has_crc) {
            AppendCrc(line, item.crc);
        } else {
            line.push_back('-');
        }
        line.push_back('\n');
        digest.Update(line);
    }
    line = "length\t";
    line += std::to_string(archive_length);
    line.push_back('\n');
    digest.Update(line);
    return digest.HexDigest();
}

}  // namespace ArchiveMount

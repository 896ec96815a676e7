// The index fingerprint: a digest of what the archive holds that does not
// depend on the order in which it lists its members.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ArchiveMount {

// One file entry as the fingerprint sees it; directories have none. The path
// is the entry's own, viewed.
struct ManifestItem {
    std::string_view path;
    std::int64_t size = 0;
    std::uint64_t stamp = 0;  // the entry's value in the reader's `stamps`
    bool has_crc = false;
    std::uint32_t crc = 0;
};

// SHA-256, as 64 lowercase hex digits, of the manifest: one line
// "path\tsize\tstamp\tcrc\n" per item in byte order of path (crc as %08x, or
// "-" when unknown), then "length\t<archive_length>\n".
std::string ComputeFingerprint(std::vector<ManifestItem> items, std::uint64_t archive_length);

}  // namespace ArchiveMount

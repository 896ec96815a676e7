// Test archives built in memory with the archive library's writer.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct Member {
    std::string name;   // UTF-8 path inside the archive; directories without a trailing '/'
    std::string bytes;  // contents; ignored for directories
    std::int64_t mtime = 1700000000;
    bool is_dir = false;
    // Where a sparse member's data lies, as (offset, length) in order; the
    // rest of `bytes` are holes, which must be zeros. Only the pax writer
    // keeps them; empty for a member written whole.
    std::vector<std::pair<std::int64_t, std::int64_t>> extents = {};
};

enum class Container {
    ZipStored,   // ZIP, method 0
    ZipDeflate,  // ZIP, method 8
    SevenZip,
    SevenZipStored,  // no compression, and so a header stored plain
    Ustar,
    Pax,
    Iso9660,
    Raw,  // exactly one member's bytes, no container
};

enum class Compression { None, Gzip, Bzip2, Xz, Lzma, Zstd };

// The bytes of an archive holding `members` in order, wrapped in `compression`
// (over tar or raw data; the ZIP, 7z and ISO writers compress on their own).
// Fails the calling test through gtest when the writer refuses.
std::string BuildArchive(Container container, const std::vector<Member>& members,
                         Compression compression = Compression::None);

// `data` as a bare compressed stream (for Compression::None, `data` itself).
std::string Compress(Compression compression, const std::string& data);

}  // namespace testsupport

// A ZIP member shown to the archive library on its own, so that reaching it
// costs the same whatever its position and the archive's size: the library
// reads the member's local header and data where they lie, followed by a copy
// of its central header that points at them and an end record listing it
// alone. The library decodes the member exactly as it would inside the whole
// archive.
#pragma once

#include <cstdint>
#include <vector>

namespace ArchiveMount {

// Where one member's headers lie, from the archive's start.
struct ZipMemberPlace {
    std::uint64_t local_header_offset = 0;
    std::uint64_t central_offset = 0;
    std::uint32_t central_size = 0;
};

// The member's view: the archive range [place.local_header_offset,
// directory_offset), then `tail`. Empty `tail` when the member cannot be
// shown this way (offsets out of order, sizes past 32 bits, a central header
// that does not read back, or one whose last bytes would pass for a ZIP64
// locator); the caller then walks the whole archive instead. `base` is where
// the archive starts in the file behind `descriptor`.
struct ZipMemberView {
    std::uint64_t offset = 0;  // in the file
    std::uint64_t length = 0;
    std::vector<unsigned char> tail;
};
ZipMemberView ShowZipMember(int descriptor, std::uint64_t base, const ZipMemberPlace& place,
                            std::uint64_t directory_offset);

}  // namespace ArchiveMount

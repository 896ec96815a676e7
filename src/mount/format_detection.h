// What an archive claims to be, judged from its first bytes. Pure
// classification: it never fails an open.
#pragma once

#include <array>
#include <cstddef>

#include "mount/archive_reader_impl.h"

namespace ArchiveMount {

// The first bytes of an archive: up to 512 of them, zero-filled beyond `length`.
struct Head {
    std::array<unsigned char, 520> bytes{};
    std::size_t length = 0;
};

// Reads the head of the reader's archive through a private duplicate, from
// the window's start when there is a window, and never past the window's end.
// An unreadable archive gives an empty head.
Head ReadHead(const ArchiveReader::Impl& reader);

// Classifies a prefix of an archive (a head, the start of a decompressed stream
// or of a stored member) by the first signature that matches; a signature
// longer than the prefix is not tested. Unknown when none matches.
DetectedFormat DetectFormat(const unsigned char* bytes, std::size_t length);

// True when the file behind `descriptor` has an ISO 9660 primary volume
// descriptor at absolute offset 32768. Reads through a private duplicate.
bool LooksLikeIso9660(int descriptor);

}  // namespace ArchiveMount

// File-name suffix tests that decide how the open reads a file.
#pragma once

#include <string_view>

namespace ArchiveMount {

// True when the name, ignoring ASCII case, ends in an archive extension
// (".zip", ".tar.gz", ".7z", ...); the extension may be the whole name.
bool HasArchiveExtension(std::string_view name);

// True when the last component of `path` is a disk image name followed by a
// compression suffix ("disk.img.gz"), with something before the image
// extension; ASCII case is ignored.
bool IsCompressedImageName(std::string_view path);

}  // namespace ArchiveMount

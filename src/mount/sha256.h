// SHA-256 (FIPS 180-4) of a byte string, for the archive fingerprint.
#pragma once

#include <string>

namespace ArchiveMount {

// The digest of the text's bytes as 64 lowercase hexadecimal digits, high
// nibble first.
std::string Sha256Hex(const std::string& text);

}  // namespace ArchiveMount

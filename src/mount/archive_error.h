// Status codes of every open and materialize operation; one byte on the wire.
// The enum is shared with the parent, which alone sends HelperTimeout.
#pragma once

#include <cstdint>

namespace ArchiveMount {

enum class Error : std::uint8_t {
    Ok = 0,
    OpenFailed = 1,
    NotRecognized = 2,
    SizeOverLimit = 3,
    TooManyEntries = 4,
    PasswordProtected = 5,
    MultiVolume = 6,
    SolidRar4 = 7,
    NameRefused = 8,
    Damaged = 9,
    ChangedSinceIndexed = 10,
    MethodUnsupported = 11,
    NoSuchEntry = 12,
    HelperFailed = 13,
    HelperTimeout = 14,
};

// The description text of a code; empty for Ok and for values above 14.
inline const char* ErrorText(Error error) {
    static const char* const kTexts[] = {
        "",
        "cannot open the archive",
        "not a recognized archive",
        "declared size over the limit",
        "too many entries",
        "password-protected archive",
        "multi-volume archive",
        "solid RAR v4 archives cannot be read",
        "entry name refused",
        "archive damaged",
        "archive changed since it was indexed",
        "compression method not supported",
        "no such entry",
        "the archive helper failed or spoke out of protocol",
        "the archive helper did not answer in time",
    };
    const auto value = static_cast<std::uint8_t>(error);
    return value <= 14 ? kTexts[value] : "";
}

// The message beside ChangedSinceIndexed when the archive file's size or
// modification time is no longer what the open recorded; the helper says it
// on a request, the client after opening the archive again in a new helper.
inline constexpr char kIdentityChangedMessage[] = "archive size or mtime changed since it was indexed";

}  // namespace ArchiveMount

// How the steps of an open report a refusal to the open sequence, which logs
// and answers it once.
#pragma once

#include <string>
#include <utility>

#include "mount/archive_error.h"

namespace ArchiveMount {

// Assigns `text` to `message` (when given) and returns `error`.
inline Error Refuse(std::string* message, Error error, std::string text) {
    if (message) *message = std::move(text);
    return error;
}

}  // namespace ArchiveMount

// Finding the index entry a user names on the command line.
#pragma once

#include <string_view>
#include <vector>

#include "mount/archive_index.h"

namespace HelperClient {

// In this order: the exact archive path; the DOS path, compared without
// regard to ASCII case and with "/" taken for "\"; an ordinal written as
// "#N" or plain decimal digits. Null when nothing matches.
const ArchiveMount::Entry* FindMember(const std::vector<ArchiveMount::Entry>& entries, std::string_view name);

}  // namespace HelperClient

#include "formats/file_range.h"

#include <limits>

#include "platform/platform.h"

using ZipCentralDirectory::Status;

Status ReadFileRange(int descriptor, std::uint64_t offset, std::uint64_t length, std::vector<unsigned char>& out) {
    out.clear();
    if (length > ZipCentralDirectory::kMaxRangeBytes) return Status::ReadFailed;
    // No file reaches that far.
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) - length) return Status::Truncated;
    if (length == 0) {
        platform::FileIdentity identity;
        if (!platform::ReadFileIdentity(descriptor, identity)) return Status::ReadFailed;
        return offset > identity.size ? Status::Truncated : Status::Ok;
    }
    out.resize(static_cast<std::size_t>(length));
    std::size_t done = 0;
    while (done < out.size()) {
        const long long got = platform::ReadAt(descriptor, out.data() + done, out.size() - done,
                                               static_cast<std::int64_t>(offset + done));
        if (got <= 0) {
            out.clear();
            return got == 0 ? Status::Truncated : Status::ReadFailed;
        }
        done += static_cast<std::size_t>(got);
    }
    return Status::Ok;
}

#include "formats/file_range.h"

#include "formats/private_stream.h"

using ZipCentralDirectory::Status;

Status ReadFileRange(int descriptor, std::uint64_t offset, std::uint64_t length, std::vector<unsigned char>& out) {
    out.clear();
    if (length > ZipCentralDirectory::kMaxRangeBytes) return Status::ReadFailed;
    ZipCentralDirectory::PrivateStream file(descriptor);
    if (!file.is_open()) return Status::ReadFailed;
    if (offset > file.size() || file.size() - offset < length) return Status::Truncated;
    out.resize(static_cast<std::size_t>(length));
    if (!ZipCentralDirectory::ReadExactly(file.stream(), offset, out.data(), out.size())) {
        out.clear();
        return Status::ReadFailed;
    }
    return Status::Ok;
}

// ZipCentralDirectory::Read and ReadWindow on a file image. Input: 1 byte of
// window start k, then the file. What must hold: the caller's file position
// survives every call; an accepted directory's records point at real local
// headers that agree with them, at distinct offsets, with data_offset just
// past the local name and extra; DisplayName gives valid UTF-8; and reading
// the window [k, end) is the same as reading a file holding only those bytes.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <unistd.h>

#include "formats/zip_central_directory.h"
#include "fuzz_support.h"

using namespace ombrexfuzz;
namespace zcd = ZipCentralDirectory;

namespace {

bool ValidUtf8(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (std::size_t j = 1; j < n; ++j)
            if ((static_cast<unsigned char>(s[i + j]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

zcd::Result ReadKeepingPosition(int descriptor, const std::uint64_t* window, std::uint64_t size) {
    const off_t park = static_cast<off_t>(size / 2);
    FUZZ_CHECK(::lseek(descriptor, park, SEEK_SET) == park, "park");
    zcd::Result result = window ? zcd::ReadWindow(descriptor, window[0], window[1], 65536) : zcd::Read(descriptor, 65536);
    FUZZ_CHECK(FilePosition(descriptor) == park, "the caller's file position moved");
    return result;
}

void CheckAccepted(const std::uint8_t* file, std::uint64_t start, std::uint64_t length, const zcd::Result& result) {
    std::set<std::uint64_t> offsets;
    for (const zcd::Record& r : result.records) {
        const std::uint64_t at = r.local_header_offset;
        FUZZ_CHECK(at <= length && length - at >= 30, "local header outside the window");
        FUZZ_CHECK(offsets.insert(at).second, "two records at one local header");
        const std::uint8_t* local = file + start + at;
        FUZZ_CHECK(LoadLe(local, 0, 4) == 0x04034b50 && LoadLe(local, 8, 2) == r.method, "local header of '" + r.name + "'");
        FUZZ_CHECK(r.data_offset == at + 30 + LoadLe(local, 26, 2) + LoadLe(local, 28, 2), "data offset");
        if (!r.utf8) FUZZ_CHECK(ValidUtf8(zcd::DisplayName(r)), "display name of '" + r.name + "'");
    }
}

bool SameRecords(const zcd::Result& a, const zcd::Result& b) {
    if (a.status != b.status) return false;
    if (a.status != zcd::Status::Ok) return true;
    if (a.records.size() != b.records.size()) return false;
    for (std::size_t i = 0; i < a.records.size(); ++i) {
        const zcd::Record &x = a.records[i], &y = b.records[i];
        if (x.name != y.name || x.flags != y.flags || x.method != y.method || x.crc32 != y.crc32 ||
            x.compressed_size != y.compressed_size || x.uncompressed_size != y.uncompressed_size ||
            x.local_header_offset != y.local_header_offset || x.data_offset != y.data_offset)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t* file = data + 1;
    const std::uint64_t length = size - 1;
    const std::uint64_t start = std::min<std::uint64_t>(data[0], length);

    ScratchInput whole("zip-whole", file, length);
    const zcd::Result read = ReadKeepingPosition(whole.descriptor(), nullptr, length);
    FUZZ_CHECK(read.status != zcd::Status::ReadFailed, "a readable file gave ReadFailed");
    if (read.status == zcd::Status::Ok) CheckAccepted(file, 0, length, read);

    const std::uint64_t window[2] = {start, length - start};
    const zcd::Result windowed = ReadKeepingPosition(whole.descriptor(), window, length);
    if (windowed.status == zcd::Status::Ok) CheckAccepted(file, start, length - start, windowed);

    ScratchInput tail("zip-tail", file + start, length - start);
    const zcd::Result sliced = ReadKeepingPosition(tail.descriptor(), nullptr, length - start);
    FUZZ_CHECK(SameRecords(windowed, sliced), "window and slice disagree: " + std::to_string(int(windowed.status)) +
                                                  " / " + std::to_string(int(sliced.status)));
    // A window reaching past the file is refused as a whole.
    const std::uint64_t beyond[2] = {start, length - start + 1};
    FUZZ_CHECK(ReadKeepingPosition(whole.descriptor(), beyond, length).status == zcd::Status::ReadFailed,
               "a window past the file end was read");
    return 0;
}

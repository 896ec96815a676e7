// ZipCentralDirectory::Parse on a directory image. Input: 1 byte of record
// count, 1 byte choosing the entry cap (255: one below the count), then the
// image. An accepted image must be exactly the announced headers back to
// back, each record copying its header's fields; one byte more or less must
// not be accepted.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "formats/zip_central_directory.h"
#include "fuzz_support.h"

using namespace ombrexfuzz;
namespace zcd = ZipCentralDirectory;

namespace {

void CheckRecords(std::span<const unsigned char> image, const zcd::Result& result, std::uint64_t count) {
    FUZZ_CHECK(result.records.size() == count, std::to_string(result.records.size()) + " records");
    const std::uint8_t* b = image.data();
    std::size_t pos = 0;
    for (const zcd::Record& r : result.records) {
        FUZZ_CHECK(image.size() - pos >= 46 && LoadLe(b, pos, 4) == 0x02014b50, "header at " + std::to_string(pos));
        const std::size_t name_length = LoadLe(b, pos + 28, 2);
        const std::size_t variable = name_length + LoadLe(b, pos + 30, 2) + LoadLe(b, pos + 32, 2);
        FUZZ_CHECK(image.size() - pos - 46 >= variable, "header runs past the image");
        FUZZ_CHECK(r.name == std::string(reinterpret_cast<const char*>(b + pos + 46), name_length), "name");
        FUZZ_CHECK(r.flags == LoadLe(b, pos + 8, 2) && r.method == LoadLe(b, pos + 10, 2) &&
                       r.dos_time == LoadLe(b, pos + 12, 4) && r.crc32 == LoadLe(b, pos + 16, 4) &&
                       r.external_attributes == LoadLe(b, pos + 38, 4),
                   "fixed fields of '" + r.name + "'");
        FUZZ_CHECK(r.utf8 == ((r.flags & 0x0800) != 0) && r.encrypted == ((r.flags & 0x0041) != 0), "flag bits");
        // A 32-bit field other than the ZIP64 marker is taken as stored.
        const std::uint64_t fields[3] = {LoadLe(b, pos + 20, 4), LoadLe(b, pos + 24, 4), LoadLe(b, pos + 42, 4)};
        const std::uint64_t taken[3] = {r.compressed_size, r.uncompressed_size, r.local_header_offset};
        for (int i = 0; i < 3; ++i)
            if (fields[i] != 0xFFFFFFFF) FUZZ_CHECK(taken[i] == fields[i], "32-bit field " + std::to_string(i));
        const std::uint64_t disk = LoadLe(b, pos + 34, 2);
        FUZZ_CHECK(disk == 0 || disk == 0xFFFF, "accepted disk number " + std::to_string(disk));
        FUZZ_CHECK(r.data_offset == 0, "data offset before the local header check");
        pos += 46 + variable;
    }
    FUZZ_CHECK(pos == image.size(), "image holds more than the records");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint64_t count = data[0];
    const std::uint64_t cap = data[1] == 255 ? (count ? count - 1 : 0) : 65536;
    const std::span<const unsigned char> image(data + 2, size - 2);

    const zcd::Result result = zcd::Parse(image, count, cap);
    if (count > cap) {
        FUZZ_CHECK(result.status == zcd::Status::TooManyEntries && result.records.empty(), "cap not tested first");
        return 0;
    }
    switch (result.status) {
        case zcd::Status::Ok: CheckRecords(image, result, count); break;
        case zcd::Status::Truncated: case zcd::Status::Malformed: case zcd::Status::Spanned: return 0;
        default: FUZZ_CHECK(false, "Parse status " + std::to_string(static_cast<int>(result.status)));
    }
    if (!image.empty()) {
        FUZZ_CHECK(zcd::Parse(image.first(image.size() - 1), count, cap).status != zcd::Status::Ok,
                   "accepted with its last byte cut");
    }
    std::vector<unsigned char> longer(image.begin(), image.end());
    longer.push_back(0);
    FUZZ_CHECK(zcd::Parse(longer, count, cap).status == zcd::Status::Malformed, "accepted with a spare byte");
    return 0;
}

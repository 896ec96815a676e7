// Rar4Headers::Parse on an archive image. Input: 1 byte of file cap, then the
// image. What must hold: the in-memory walk and the walk over a file of the
// same bytes agree exactly; an accepted walk lists at most the cap, each with
// a packed size the file could hold; a refused cap stops at exactly the cap;
// and cutting the archive before its marker is always NotRar4.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "formats/rar4_headers.h"
#include "fuzz_support.h"

using namespace ombrexfuzz;
namespace rar = Rar4Headers;

namespace {

bool Same(const rar::Result& a, const rar::Result& b) {
    if (a.status != b.status || a.files.size() != b.files.size()) return false;
    for (std::size_t i = 0; i < a.files.size(); ++i) {
        const rar::FileHeader &x = a.files[i], &y = b.files[i];
        if (x.dos_time != y.dos_time || x.crc32 != y.crc32 || x.directory != y.directory ||
            x.packed_size != y.packed_size || x.unpacked_size != y.unpacked_size)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const unsigned long long cap = data[0] % 16;
    const std::span<const unsigned char> image(data + 1, size - 1);

    const rar::Result parsed = rar::Parse(image, cap);
    switch (parsed.status) {
        case rar::Status::Ok:
            FUZZ_CHECK(parsed.files.size() <= cap, "more files than the cap");
            for (const rar::FileHeader& f : parsed.files)
                FUZZ_CHECK(f.packed_size <= image.size(), "packed size " + std::to_string(f.packed_size));
            break;
        case rar::Status::TooManyFiles:
            FUZZ_CHECK(parsed.files.size() == cap, "cap refused at " + std::to_string(parsed.files.size()));
            break;
        case rar::Status::NotRar4: case rar::Status::Truncated: case rar::Status::Malformed: break;
        default: FUZZ_CHECK(false, "status " + std::to_string(static_cast<unsigned>(parsed.status)));
    }
    if (image.size() < 7 || !std::equal(image.begin(), image.begin() + 7, "Rar!\x1a\x07\x00"))
        FUZZ_CHECK(parsed.status == rar::Status::NotRar4, "walked without the marker");

    ScratchInput file("rar4", image.data(), image.size());
    FUZZ_CHECK(Same(parsed, rar::Read(file.descriptor(), cap)), "the file walk disagrees with the image walk");
    return 0;
}

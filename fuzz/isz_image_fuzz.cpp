// IszImage::ReadIndex, then ContentCrc and Decode on what it accepted. Input:
// 1 byte (bits 0-1: member cap 1, 2, 4 or 8 MiB; bit 2: the sink refuses its
// second piece), then the file. What must hold: the caller's position
// survives; an accepted index stays inside the file and its chunks tile the
// image; so sampling and decoding it never fail to read; the sink gets
// pieces of at most one block (1 MiB raw), never more than the image, all of
// it exactly on Ok; a refusal ends the call at once.
#include <cstddef>
#include <cstdint>
#include <string>
#include <unistd.h>

#include "formats/isz_image.h"
#include "formats/isz_member.h"
#include "fuzz_support.h"

using namespace ombrexfuzz;
using ArchiveMount::Error;

namespace {

void CheckIndex(const IszImage::Index& index, std::uint64_t file_size) {
    FUZZ_CHECK(index.image_size > 0 && index.image_size % 2048 == 0, "image size " + std::to_string(index.image_size));
    if (index.chunks.empty()) {
        FUZZ_CHECK(index.data_offset <= file_size && file_size - index.data_offset >= index.image_size, "raw image past the file");
        return;
    }
    FUZZ_CHECK(index.block_size > 0 && index.block_size <= IszImage::kMaxIszBlockSize && index.block_size % 2048 == 0,
               "block size " + std::to_string(index.block_size));
    FUZZ_CHECK(index.chunks.size() == (index.image_size + index.block_size - 1) / index.block_size, "chunks do not tile the image");
    std::uint64_t next = index.data_offset;
    for (const IszImage::Chunk& chunk : index.chunks) {
        FUZZ_CHECK(chunk.type <= 3 && chunk.offset == next && chunk.length <= index.block_size, "chunk layout");
        if (chunk.type == 0) FUZZ_CHECK(chunk.length == 0, "zero chunk with a length");
        next += chunk.length;
    }
    FUZZ_CHECK(next <= file_size, "chunk data past the file");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::int64_t cap = std::int64_t{1} << (20 + (data[0] & 3));
    const bool refuse_second = data[0] & 4;
    const std::uint8_t* file = data + 1;
    const std::uint64_t file_size = size - 1;
    ScratchInput input("isz", file, file_size);
    const int fd = input.descriptor();
    const off_t park = static_cast<off_t>(file_size / 3);
    ::lseek(fd, park, SEEK_SET);

    const IszImage::IndexResult result = IszImage::ReadIndex(fd, static_cast<std::int64_t>(file_size), cap);
    FUZZ_CHECK(FilePosition(fd) == park, "ReadIndex moved the caller's position");
    if (result.status != Error::Ok) {
        FUZZ_CHECK(!result.message.empty() && result.index.chunks.empty(), "failure without a message, or with chunks");
        return 0;
    }
    const IszImage::Index& index = result.index;
    FUZZ_CHECK(static_cast<std::int64_t>(index.image_size) <= cap, "image over the member cap");
    CheckIndex(index, file_size);

    std::uint32_t crc = 0;
    std::string crc_error;
    FUZZ_CHECK(IszImage::ContentCrc(fd, index, &crc, &crc_error) == Error::Ok, "sampling an indexed image: " + crc_error);

    const std::uint64_t piece_limit = index.chunks.empty() ? (1u << 20) : index.block_size;
    std::uint64_t total = 0, calls = 0;
    const MemberSink sink = [&](const unsigned char*, unsigned long long count) {
        ++calls;
        FUZZ_CHECK(count > 0 && count <= piece_limit, "piece of " + std::to_string(count));
        total += count;
        FUZZ_CHECK(total <= index.image_size, "more than the image");
        return !(refuse_second && calls == 2);
    };
    std::string error;
    const Error status = IszImage::Decode(fd, index, sink, &error);
    FUZZ_CHECK(FilePosition(fd) == park, "Decode moved the caller's position");
    FUZZ_CHECK(error.find("cannot read") == std::string::npos, "an indexed range could not be read: " + error);
    if (refuse_second && calls == 2) {
        FUZZ_CHECK(status == Error::OpenFailed && error == "cannot write the member", "refusal: " + error);
    } else if (status == Error::Ok) {
        FUZZ_CHECK(total == index.image_size && error.empty(), "Ok after " + std::to_string(total) + " bytes");
    } else {
        FUZZ_CHECK(status == Error::Damaged && !error.empty(), "status " + std::to_string(int(status)) + ": " + error);
    }
    return 0;
}

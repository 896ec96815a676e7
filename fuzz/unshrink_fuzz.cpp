// LegacyZip::Unshrink on arbitrary streams. Input: 3 bytes of declared size,
// 1 byte of source step, 1 byte picking a refused sink call, then the stream.
// Beyond the contract every decoder owes its sink, how the source splits the
// stream must not change the outcome, and the source is asked for at most
// one 4 KiB buffer at a time.
#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/unshrink.h"
#include "legacy_harness.h"

using namespace ombrexfuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    const std::uint64_t declared = data[0] | (data[1] << 8) | ((data[2] & 0x0F) << 16);  // up to 1 MiB
    const std::size_t step = data[3] ? data[3] : 4096;
    const std::uint64_t refuse_at = data[4] % 8 == 7 ? (data[4] >> 3) % 4 + 1 : 0;
    const std::uint8_t* stream = data + 5;
    const std::size_t length = size - 5;

    RecordingSource source{stream, length, step};
    RecordingSink sink;
    sink.refuse_at = refuse_at;
    std::string error;
    const LegacyZip::Status status = LegacyZip::Unshrink(source.source(), declared, sink.sink(), &error);
    CheckDecoderContract(status, error, sink, declared);
    FUZZ_CHECK(source.largest_request <= kSourceBlock, "asked for " + std::to_string(source.largest_request));
    // Reaching the declared size does not end the decoding; only the input's end does.
    if (status == LegacyZip::Status::Ok) FUZZ_CHECK(source.position == length, "Ok with input left unread");

    if (refuse_at == 0) {
        RecordingSource whole{stream, length, length ? length : 1};
        RecordingSink again;
        std::string error_again;
        const LegacyZip::Status status_again = LegacyZip::Unshrink(whole.source(), declared, again.sink(), &error_again);
        FUZZ_CHECK(status_again == status && again.bytes == sink.bytes && error_again == error,
                   "the source's step changed the result: " + error + " / " + error_again);
    }
    return 0;
}

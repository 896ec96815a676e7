// LegacyZip::Explode, all four kinds. Input: 1 byte of kind (bit 0: 8 KiB
// dictionary, bit 1: literal tree), 3 bytes of declared size, 1 byte of
// source step, 1 byte picking a refused sink call, 1 byte of how much the
// compressed size is off from the stream, then the stream. The source is never
// asked for more than the compressed size, and how it splits the stream must
// not change the outcome.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/explode.h"
#include "legacy_harness.h"

using namespace ombrexfuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 7) return 0;
    const bool dictionary_8k = data[0] & 1;
    const bool literal_tree = data[0] & 2;
    const std::uint64_t declared = data[1] | (data[2] << 8) | ((data[3] & 0x0F) << 16);  // up to 1 MiB
    const std::size_t step = data[4] ? data[4] : 4096;
    const std::uint64_t refuse_at = data[5] % 8 == 7 ? (data[5] >> 3) % 4 + 1 : 0;
    // Bit 3 set: the compressed size claims up to 7 bytes more than the
    // stream (the decoder reads zero filler); clear: up to 7 fewer, and the
    // bytes past it must never be asked for.
    const std::uint8_t* stream = data + 7;
    const std::size_t length = size - 7;
    const std::size_t slack = data[6] & 7;
    const std::uint64_t budget = (data[6] & 8) ? length + slack : length - std::min(length, slack);
    RecordingSource source{stream, length, step};
    RecordingSink sink;
    sink.refuse_at = refuse_at;
    std::string error;
    const LegacyZip::Status status = LegacyZip::Explode(source.source(), budget, declared, dictionary_8k, literal_tree,
                                                        sink.sink(), &error);
    CheckDecoderContract(status, error, sink, declared);
    FUZZ_CHECK(source.position <= budget, "read " + std::to_string(source.position) + " of " + std::to_string(budget));
    FUZZ_CHECK(source.largest_request <= kSourceBlock, "asked for " + std::to_string(source.largest_request));

    if (refuse_at == 0) {
        RecordingSource whole{stream, length, 1u << 20};
        RecordingSink again;
        std::string error_again;
        const LegacyZip::Status status_again =
            LegacyZip::Explode(whole.source(), budget, declared, dictionary_8k, literal_tree, again.sink(), &error_again);
        FUZZ_CHECK(status_again == status && again.bytes == sink.bytes && error_again == error,
                   "the source's step changed the result: " + error + " / " + error_again);
    }
    return 0;
}

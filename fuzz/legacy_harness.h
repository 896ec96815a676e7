// Source and sink that record how a legacy decoder used them, and the
// checks both decoders owe their callers whatever the stream holds.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "formats/legacy_zip.h"
#include "fuzz_support.h"

namespace ombrexfuzz {

constexpr std::uint64_t kSinkBlock = 32768;
constexpr std::uint64_t kSourceBlock = 4096;

// Hands out `bytes` at most `step` at a time, and remembers what was asked.
struct RecordingSource {
    const std::uint8_t* bytes;
    std::size_t size;
    std::size_t step;
    std::size_t position = 0;
    std::uint64_t largest_request = 0;

    LegacyZip::ByteSource source() {
        return [this](unsigned char* buffer, unsigned long long capacity) -> unsigned long long {
            largest_request = std::max<std::uint64_t>(largest_request, capacity);
            const std::size_t n = std::min<std::size_t>({static_cast<std::size_t>(capacity), step, size - position});
            if (n) std::memcpy(buffer, bytes + position, n);
            position += n;
            return n;
        };
    }
};

// Keeps what it takes; refuses the call numbered `refuse_at` (0 = never).
struct RecordingSink {
    std::uint64_t refuse_at = 0;
    std::vector<unsigned char> bytes;
    std::vector<std::uint64_t> calls;
    bool refused = false;

    LegacyZip::ByteSink sink() {
        return [this](const unsigned char* data, unsigned long long count) {
            calls.push_back(count);
            if (refuse_at != 0 && calls.size() == refuse_at) {
                refused = true;
                return false;
            }
            bytes.insert(bytes.end(), data, data + count);
            return true;
        };
    }
};

// What holds for any stream: output never passes the declared size, blocks
// are whole 32 KiB ones but for the last, no empty calls, and the status
// agrees with what the sink saw.
inline void CheckDecoderContract(LegacyZip::Status status, const std::string& error, const RecordingSink& sink,
                                 std::uint64_t declared) {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < sink.calls.size(); ++i) {
        const std::uint64_t count = sink.calls[i];
        FUZZ_CHECK(count > 0 && count <= kSinkBlock, "sink call of " + std::to_string(count) + " bytes");
        if (i + 1 < sink.calls.size()) FUZZ_CHECK(count == kSinkBlock, "short block before the last");
        total += count;
    }
    FUZZ_CHECK(total <= declared, std::to_string(total) + " bytes passed for " + std::to_string(declared) + " declared");
    switch (status) {
        case LegacyZip::Status::Ok:
            FUZZ_CHECK(total == declared && !sink.refused, "Ok with " + std::to_string(total) + " bytes");
            FUZZ_CHECK(error.empty(), "Ok left a message: " + error);
            break;
        case LegacyZip::Status::OutputRefused:
            FUZZ_CHECK(sink.refused && error == "the output was not taken", "refusal status: " + error);
            FUZZ_CHECK(sink.calls.size() == sink.refuse_at, "call after the refusal");
            break;
        case LegacyZip::Status::BadStream:
            FUZZ_CHECK(!sink.refused && !error.empty(), "BadStream without a message");
            break;
        default:
            FUZZ_CHECK(false, "status " + std::to_string(static_cast<int>(status)));
    }
}

}  // namespace ombrexfuzz

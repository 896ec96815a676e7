// Shared interface of the legacy ZIP decoders (method 1 shrink, method 6
// implode): where compressed bytes come from, where decoded bytes go, and the
// guard that holds output to the declared size.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace LegacyZip {

// Fills up to `capacity` bytes and returns how many it delivered; 0 means the
// input is exhausted. A count above the capacity is taken as the capacity.
using ByteSource = std::function<unsigned long long(unsigned char* buffer, unsigned long long capacity)>;

// Takes `count` decoded bytes; returns false when it could not take them.
using ByteSink = std::function<bool(const unsigned char* data, unsigned long long count)>;

enum class Status : std::uint8_t {
    Ok = 0,             // exactly the declared size decoded, all taken by the sink
    BadStream = 1,      // invalid stream, or more or fewer bytes than declared
    OutputRefused = 2,  // the sink returned false
};

// Stands between a decoder and its sink so that nothing past the declared
// size ever reaches the sink.
struct OutputLimiter {
    std::uint64_t produced;
    bool sink_refused;
    const ByteSink& sink;
    std::uint64_t declared;

    // Passes `length` bytes to the sink unless they would run past the
    // declared size ("more output than the declared size", nothing passed) or
    // the sink refuses them ("the output was not taken"). Returns false on
    // either failure, with the message in `error` when it is not null.
    bool emit(const unsigned char* data, std::uint64_t length, std::string* error);

    // The status of a decoder that stopped because emit failed.
    Status failure() const { return sink_refused ? Status::OutputRefused : Status::BadStream; }
};

// Clamps what a source reports to what was asked for.
inline std::uint64_t ReadSource(const ByteSource& source, unsigned char* buffer, std::uint64_t capacity) {
    const unsigned long long got = source(buffer, capacity);
    return got > capacity ? capacity : got;
}

}  // namespace LegacyZip

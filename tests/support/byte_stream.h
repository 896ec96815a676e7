// Sources and sinks for driving the legacy decoders from memory.
#pragma once

#include "formats/legacy_zip.h"

#include <cstddef>
#include <vector>

namespace testsupport {

// A source over a copy of `data` that delivers at most `chunk` bytes a call.
LegacyZip::ByteSource VectorSource(std::vector<unsigned char> data, std::size_t chunk = 4096);

// Collects everything a decoder emits and the size of every sink call.
struct CollectingSink {
    std::vector<unsigned char> bytes;
    std::vector<unsigned long long> calls;
    LegacyZip::ByteSink sink();
};

}  // namespace testsupport

#include "support/byte_stream.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace testsupport {

LegacyZip::ByteSource VectorSource(std::vector<unsigned char> data, std::size_t chunk) {
    struct State {
        std::vector<unsigned char> data;
        std::size_t pos = 0;
    };
    auto state = std::make_shared<State>(State{std::move(data), 0});
    return [state, chunk](unsigned char* buffer, unsigned long long capacity) -> unsigned long long {
        const std::size_t n = std::min<std::size_t>({static_cast<std::size_t>(capacity), chunk,
                                                     state->data.size() - state->pos});
        if (n) std::memcpy(buffer, state->data.data() + state->pos, n);
        state->pos += n;
        return n;
    };
}

LegacyZip::ByteSink CollectingSink::sink() {
    return [this](const unsigned char* data, unsigned long long count) {
        bytes.insert(bytes.end(), data, data + count);
        calls.push_back(count);
        return true;
    };
}

}  // namespace testsupport

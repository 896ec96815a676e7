// LSB-first bit packing shared by the test-side encoders.
#pragma once

#include <cstdint>
#include <vector>

namespace testsupport {

class BitWriter {
public:
    explicit BitWriter(std::vector<unsigned char>& out) : out_(out) {}
    // Appends the low `count` bits of `value` (count <= 32), lowest bit first.
    void put(std::uint32_t value, unsigned count) {
        bits_ |= static_cast<std::uint64_t>(value & ((std::uint64_t{1} << count) - 1)) << count_;
        count_ += count;
        while (count_ >= 8) {
            out_.push_back(static_cast<unsigned char>(bits_));
            bits_ >>= 8;
            count_ -= 8;
        }
    }
    // Pads the last byte with zero bits.
    void flush() {
        if (count_ > 0) out_.push_back(static_cast<unsigned char>(bits_));
        bits_ = 0;
        count_ = 0;
    }

private:
    std::vector<unsigned char>& out_;
    std::uint64_t bits_ = 0;
    unsigned count_ = 0;
};

}  // namespace testsupport

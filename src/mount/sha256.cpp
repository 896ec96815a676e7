#include "mount/sha256.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace ArchiveMount {

namespace {

constexpr std::uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::size_t kBlock = 64;

constexpr std::uint32_t Rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

std::uint32_t LoadBigEndian(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

void Compress(std::array<std::uint32_t, 8>& state, const unsigned char* block) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i) w[i] = LoadBigEndian(block + 4 * i);
    for (int i = 16; i < 64; ++i) {
        const std::uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const std::uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
        const std::uint32_t t1 =
            h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRoundConstants[i] + w[i];
        const std::uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

}  // namespace

void Sha256::Update(std::string_view bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t size = bytes.size();
    length_ += size;
    if (used_ != 0) {
        const std::size_t taken = std::min(size, kBlock - used_);
        std::memcpy(block_.data() + used_, data, taken);
        used_ += taken;
        data += taken;
        size -= taken;
        if (used_ < kBlock) return;
        Compress(state_, block_.data());
        used_ = 0;
    }
    for (; size >= kBlock; data += kBlock, size -= kBlock) Compress(state_, data);
    std::memcpy(block_.data(), data, size);
    used_ = size;
}

std::string Sha256::HexDigest() {
    // The 0x80 marker, zeros, and the 64-bit bit length end the last block
    // (or a second one when the length does not fit after the marker).
    const std::uint64_t bits = length_ * 8;
    block_[used_++] = 0x80;
    if (used_ > kBlock - 8) {
        std::memset(block_.data() + used_, 0, kBlock - used_);
        Compress(state_, block_.data());
        used_ = 0;
    }
    std::memset(block_.data() + used_, 0, kBlock - 8 - used_);
    for (int i = 0; i < 8; ++i) block_[kBlock - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    Compress(state_, block_.data());

    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex(64, '0');
    for (int i = 0; i < 32; ++i) {
        const auto byte = static_cast<unsigned char>(state_[i / 4] >> (24 - 8 * (i % 4)));
        hex[2 * i] = kHex[byte >> 4];
        hex[2 * i + 1] = kHex[byte & 0x0F];
    }
    return hex;
}

std::string Sha256Hex(std::string_view text) {
    Sha256 digest;
    digest.Update(text);
    return digest.HexDigest();
}

}  // namespace ArchiveMount

#include "md5.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace chips {

namespace {

constexpr std::uint32_t sines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
constexpr int shifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

std::uint32_t load_le32(const unsigned char* p) noexcept {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

void compress(std::uint32_t state[4], const unsigned char* block) noexcept {
    std::uint32_t m[16];
    for (int i = 0; i < 16; ++i) m[i] = load_le32(block + 4 * i);
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        const int round = i / 16;
        std::uint32_t f;
        int g;
        switch (round) {
            case 0: f = (b & c) | (~b & d); g = i; break;
            case 1: f = (d & b) | (~d & c); g = (5 * i + 1) % 16; break;
            case 2: f = b ^ c ^ d; g = (3 * i + 5) % 16; break;
            default: f = c ^ (b | ~d); g = (7 * i) % 16; break;
        }
        const std::uint32_t next = b + std::rotl(a + f + sines[i] + m[g], shifts[round][i % 4]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

void Md5::update(const unsigned char* data, std::size_t size) noexcept {
    length_ += size;
    if (pending_size_) {
        const std::size_t take = std::min(size, 64 - pending_size_);
        std::memcpy(pending_ + pending_size_, data, take);
        pending_size_ += take;
        data += take;
        size -= take;
        if (pending_size_ < 64) return;
        compress(state_, pending_);
        pending_size_ = 0;
    }
    for (; size >= 64; data += 64, size -= 64) compress(state_, data);
    if (size) std::memcpy(pending_, data, size);
    pending_size_ = size;
}

std::array<std::uint8_t, 16> Md5::finish() noexcept {
    // The tail, a 1 bit, zeros, and the length in bits: one or two more blocks.
    unsigned char tail[128] = {};
    const std::size_t rest = pending_size_;
    if (rest) std::memcpy(tail, pending_, rest);
    tail[rest] = 0x80;
    const std::size_t tail_size = rest < 56 ? 64 : 128;
    const std::uint64_t bits = length_ * 8;
    for (int i = 0; i < 8; ++i) tail[tail_size - 8 + static_cast<std::size_t>(i)] = static_cast<unsigned char>(bits >> (8 * i));
    for (std::size_t at = 0; at < tail_size; at += 64) compress(state_, tail + at);
    std::array<std::uint8_t, 16> digest;
    for (int i = 0; i < 16; ++i) digest[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(state_[i / 4] >> (8 * (i % 4)));
    return digest;
}

std::array<std::uint8_t, 16> md5(const unsigned char* data, std::size_t size) noexcept {
    Md5 hash;
    hash.update(data, size);
    return hash.finish();
}

std::string hex(const std::array<std::uint8_t, 16>& digest) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

std::string md5_hex(const unsigned char* data, std::size_t size) { return hex(md5(data, size)); }

}  // namespace chips

// MD5 (RFC 1321), for the checksum every chip's header carries over its data block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace chips {

// An MD5 computed over data given in pieces, so that a large file is hashed in fixed-size blocks.
class Md5 {
public:
    void update(const unsigned char* data, std::size_t size) noexcept;
    std::array<std::uint8_t, 16> finish() noexcept;  // once, after the last update

private:
    std::uint32_t state_[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    unsigned char pending_[64] = {};
    std::size_t pending_size_ = 0;
    std::uint64_t length_ = 0;
};

std::array<std::uint8_t, 16> md5(const unsigned char* data, std::size_t size) noexcept;

// Lower-case hexadecimal, as the headers write it.
std::string hex(const std::array<std::uint8_t, 16>& digest);
std::string md5_hex(const unsigned char* data, std::size_t size);

}  // namespace chips

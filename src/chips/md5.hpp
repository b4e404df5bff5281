// MD5 (RFC 1321), for the checksum every chip's header carries over its data block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace chips {

std::array<std::uint8_t, 16> md5(const unsigned char* data, std::size_t size) noexcept;

// Lower-case hexadecimal, as the headers write it.
std::string md5_hex(const unsigned char* data, std::size_t size);

}  // namespace chips

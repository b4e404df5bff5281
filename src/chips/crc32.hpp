// CRC-32 as zip files and zlib compute it (reflected polynomial 0x04c11db7), fast enough that
// checking a saved set costs less than reading it: carry-less multiplication where the processor
// has it, tables elsewhere; the same values either way.
#pragma once

#include <cstddef>
#include <cstdint>

namespace chips {

// The CRC of the bytes that gave `crc`, followed by `size` bytes at `data` (zlib's crc32(crc, ...)).
std::uint32_t crc32(std::uint32_t crc, const unsigned char* data, std::size_t size) noexcept;

// The CRC of A followed by B, from A's CRC, B's CRC and B's length (zlib's crc32_combine).
std::uint32_t crc32_combine(std::uint32_t first, std::uint32_t second, std::uint64_t second_size) noexcept;

}  // namespace chips

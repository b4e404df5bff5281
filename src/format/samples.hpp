// The data block's samples: big-endian IEEE 754 binary32, magnitude plane then phase plane.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace phoenix {

// One stored sample, bit for bit, on any host.
inline float load_be_float32(const unsigned char* src) noexcept {
    std::uint32_t bits;
    std::memcpy(&bits, src, 4);
    if constexpr (std::endian::native == std::endian::little) bits = __builtin_bswap32(bits);
    return std::bit_cast<float>(bits);
}

// `count` samples into floats (their stored bits) or doubles (widened exactly; a NaN keeps its
// payload).
void decode_samples(const unsigned char* src, float* dst, std::size_t count) noexcept;
void decode_samples(const unsigned char* src, double* dst, std::size_t count) noexcept;
// The same into doubles, telling whether any sample was a NaN.
bool decode_samples_seeing_nan(const unsigned char* src, double* dst, std::size_t count) noexcept;

}  // namespace phoenix

#include "samples.hpp"

#include "clones.hpp"

namespace phoenix {

namespace {

// Compiled for AVX2 too, where the byte swap and the widening vectorise.
template <typename Out>
__attribute__((always_inline)) inline void decode(const unsigned char* __restrict src, Out* __restrict dst,
                                                  std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) dst[i] = static_cast<Out>(load_be_float32(src + 4 * i));
}

}  // namespace

VANTREL_CLONES_AVX2
void decode_samples(const unsigned char* src, float* dst, std::size_t count) noexcept { decode(src, dst, count); }

VANTREL_CLONES_AVX2
void decode_samples(const unsigned char* src, double* dst, std::size_t count) noexcept { decode(src, dst, count); }

VANTREL_CLONES_AVX2
bool decode_samples_seeing_nan(const unsigned char* __restrict src, double* __restrict dst,
                               std::size_t count) noexcept {
    std::uint32_t nan_seen = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const float sample = load_be_float32(src + 4 * i);
        nan_seen |= static_cast<std::uint32_t>((std::bit_cast<std::uint32_t>(sample) & 0x7fffffffu) > 0x7f800000u);
        dst[i] = static_cast<double>(sample);
    }
    return nan_seen != 0;
}

}  // namespace phoenix

// Amplitude in decibels, 20 log10(max(A, floor)), computed in double precision from the stored
// big-endian samples and rounded once to the output's type.
#pragma once

#include <cstddef>

namespace chips {

// `count` samples from `src` into dst[0], dst[stride], ... (stride 1 or 2): 20 * log10 of the larger
// of the sample and `floor`, in float64 within about 0.6 ulp, in float32 within half an ulp (plus
// 2^-19); a NaN sample stays NaN.
void decibel_samples(const unsigned char* src, float* dst, std::size_t count, std::size_t stride,
                     double floor) noexcept;
void decibel_samples(const unsigned char* src, double* dst, std::size_t count, std::size_t stride,
                     double floor) noexcept;

}  // namespace chips

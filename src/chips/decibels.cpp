#include "decibels.hpp"

#include "format/clones.hpp"
#include "format/samples.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

namespace chips {

namespace {

// The classic log10 of fdlibm: y = 2^k * m with m in [sqrt(2)/2, sqrt(2)), log(m) from
// s = f / (2 + f) (f = m - 1) and a minimax polynomial in s^2, the sum kept in two parts; with
// the factor 20 folded into the constants. No table and no branch, so that the loop
// vectorises; libm's log10 costs some 20 ns a value, this under 1. Exact enough where the
// exponent k of y is within [-256, 256) (20 log10(2)'s high part has 42 bits, so times k it stays
// exact); others are left to libm.
constexpr double Lg1 = 6.666666666666735130e-01, Lg2 = 3.999999999940941908e-01, Lg3 = 2.857142874366239149e-01,
                 Lg4 = 2.222219843214978396e-01, Lg5 = 1.818357216161805012e-01, Lg6 = 1.531383769920937332e-01,
                 Lg7 = 1.479819860511658591e-01;
// 20/ln(10) in a high part of 32 bits (times hi's 21 stays exact: fdlibm's 1/ln(10) times 20 would
// have 34) and a low part; 20 log10(2) in a high part of 42 bits (times k stays exact) and a low part.
constexpr double ivln10hi = 0x1.15f2ced200000p+3, ivln10lo = 0x1.84f28dfa82b29p-29,
                 log10_2hi = 20 * 3.01029995663611771306e-01, log10_2lo = 20 * 3.69423907715893078616e-13;

// y = 2^k * m, m in [sqrt(2)/2, sqrt(2)); `outside` is nonzero where k is not within [-256, 256):
// zero, subnormals, infinities and NaN (of either sign) all fall outside.
constexpr std::uint64_t low_exponent = 1023 - 256, exponents = 512;

struct Reduced {
    double k, m;
    std::uint64_t outside;
};

__attribute__((always_inline)) inline Reduced reduce(double y) noexcept {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(y) + (std::uint64_t{0x3ff00000 - 0x3fe6a09e} << 32);
    const std::uint64_t biased = bits >> 52;  // k + 1023
    // k as a double without an integer conversion (AVX2 has none for 64-bit lanes).
    return {std::bit_cast<double>(0x4330000000000000u | biased) - (0x1p52 + 1023.0),
            std::bit_cast<double>((bits & 0x000fffffffffffffu) + (std::uint64_t{0x3fe6a09e} << 32)),
            (biased - low_exponent) & ~(exponents - 1)};
}

__attribute__((always_inline)) inline double fast_decibels(double k, double m) noexcept {
    const double f = m - 1.0, hfsq = 0.5 * f * f, s = f / (2.0 + f), z = s * s, w = z * z;
    const double r = z * (Lg1 + w * (Lg3 + w * (Lg5 + w * Lg7))) + w * (Lg2 + w * (Lg4 + w * Lg6));
    const double hi = std::bit_cast<double>(std::bit_cast<std::uint64_t>(f - hfsq) & 0xffffffff00000000u);
    const double lo = f - hi - hfsq + s * (hfsq + r);
    double value_hi = hi * ivln10hi;
    const double exponent_part = k * log10_2hi;
    double value_lo = k * log10_2lo + (lo + hi) * ivln10lo + lo * ivln10hi;
    const double sum = exponent_part + value_hi;
    value_lo += (exponent_part - sum) + value_hi;
    value_hi = sum;
    return value_lo + value_hi;
}

// For float32 output: 20 log10(m) = s (2c + z P(z)), s = f / (2 + f), z = s^2, c = 20 / ln(10), with
// P a minimax fit of five terms (c folded in) whose relative error is below 2^-44 on the reduced
// range. With the double rounding errors the result is within 2^-43 of the exact value, so once
// rounded to float32 it is within half an ulp plus 2^-19 of one: the correctly rounded float
// but where the exact value lies that close to a midpoint. A third fewer operations than
// fdlibm's form.
constexpr double two_c = 0x1.15f2ced384f29p+4, c_log2 = 0x1.8151824c7587fp+2,  // 20/ln(10) * 2, 20 log10(2)
                 P1 = 0x1.729913c58b6fbp+2, P2 = 0x1.bcb7ae2193619p+1, P3 = 0x1.3da9b7c549894p+1,
                 P4 = 0x1.ed1b5f80c0171p+0, P5 = 0x1.b378d2f720997p+0;

__attribute__((always_inline)) inline double narrow_decibels(double k, double m) noexcept {
    const double f = m - 1.0, s = f / (2.0 + f), z = s * s;
    return k * c_log2 + s * (two_c + z * (P1 + z * (P2 + z * (P3 + z * (P4 + z * P5)))));
}

template <typename Out, std::size_t stride>
__attribute__((always_inline)) inline void decibels(const unsigned char* __restrict src, Out* __restrict dst,
                                                    std::size_t count, double floor) noexcept {
    constexpr std::size_t chunk = 256;
    for (std::size_t start = 0; start < count; start += chunk) {
        const std::size_t end = count - start < chunk ? count : start + chunk;
        std::uint64_t outside = 0;
        for (std::size_t i = start; i < end; ++i) {
            const double a = phoenix::load_be_float32(src + 4 * i);
            const double y = floor > a ? floor : a;  // a NaN sample is kept, as np.maximum keeps it
            const Reduced r = reduce(y);
            outside |= r.outside;
            if constexpr (sizeof(Out) == 4) dst[stride * i] = static_cast<Out>(narrow_decibels(r.k, r.m));
            else dst[stride * i] = static_cast<Out>(fast_decibels(r.k, r.m));
        }
        if (outside == 0) continue;
        // Zero, NaN, infinity or a floor far below any float32 (rare): libm, value by value.
        for (std::size_t i = start; i < end; ++i) {
            const double a = phoenix::load_be_float32(src + 4 * i);
            const double y = floor > a ? floor : a;
            if (reduce(y).outside != 0)
                dst[stride * i] = static_cast<Out>(20.0 * std::log10(y));
        }
    }
}

template <typename Out>
__attribute__((always_inline)) inline void dispatch(const unsigned char* src, Out* dst, std::size_t count,
                                                    std::size_t stride, double floor) noexcept {
    if (stride == 1) decibels<Out, 1>(src, dst, count, floor);
    else decibels<Out, 2>(src, dst, count, floor);
}

}  // namespace

// Built for AVX-512 (twice the lanes: half the time a value), AVX2 and plain x86-64, the best the
// processor runs chosen at load; without FMA contraction (-ffp-contract=off in CMakeLists.txt: GCC
// contracts by default, and x86-64-v4 and aarch64 have FMA), all give the same bits.
VANTREL_CLONES_AVX512_AVX2
void decibel_samples(const unsigned char* src, float* dst, std::size_t count, std::size_t stride,
                     double floor) noexcept {
    dispatch(src, dst, count, stride, floor);
}

VANTREL_CLONES_AVX512_AVX2
void decibel_samples(const unsigned char* src, double* dst, std::size_t count, std::size_t stride,
                     double floor) noexcept {
    dispatch(src, dst, count, stride, floor);
}

}  // namespace chips

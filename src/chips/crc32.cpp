#include "crc32.hpp"

#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VANTREL_CRC_FOLDING 1
#endif

namespace chips {

namespace {

constexpr std::uint32_t polynomial = 0xedb88320u;  // 0x04c11db7, bits reversed

// Slicing by eight: tables[k][b] is the CRC state after byte b followed by k zero bytes.
constexpr std::array<std::array<std::uint32_t, 256>, 8> make_tables() noexcept {
    std::array<std::array<std::uint32_t, 256>, 8> tables{};
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
        std::uint32_t state = byte;
        for (int bit = 0; bit < 8; ++bit) state = state & 1 ? (state >> 1) ^ polynomial : state >> 1;
        tables[0][byte] = state;
    }
    for (std::size_t byte = 0; byte < 256; ++byte)
        for (std::size_t k = 1; k < 8; ++k)
            tables[k][byte] = (tables[k - 1][byte] >> 8) ^ tables[0][tables[k - 1][byte] & 0xff];
    return tables;
}

constexpr auto tables = make_tables();

std::uint32_t by_tables(std::uint32_t state, const unsigned char* data, std::size_t size) noexcept {
    for (; size >= 8; data += 8, size -= 8) {
        std::uint32_t low, high;  // little-endian words, as the tables expect
        std::memcpy(&low, data, 4);
        std::memcpy(&high, data + 4, 4);
        if constexpr (std::endian::native == std::endian::big) {
            low = __builtin_bswap32(low);
            high = __builtin_bswap32(high);
        }
        low ^= state;
        state = tables[7][low & 0xff] ^ tables[6][(low >> 8) & 0xff] ^ tables[5][(low >> 16) & 0xff] ^
                tables[4][low >> 24] ^ tables[3][high & 0xff] ^ tables[2][(high >> 8) & 0xff] ^
                tables[1][(high >> 16) & 0xff] ^ tables[0][high >> 24];
    }
    for (; size > 0; ++data, --size) state = (state >> 8) ^ tables[0][(state ^ *data) & 0xff];
    return state;
}

#ifdef VANTREL_CRC_FOLDING
// Folding with carry-less multiplication (Gopal et al., "Fast CRC computation for generic
// polynomials using PCLMULQDQ", Intel, 2009): four 128-bit lanes folded 64 bytes at a time, then
// into one, then reduced to 32 bits by Barrett's method. The constants are x^k mod P for the
// fold distances, bits reversed, and P and floor(x^64 / P) for the reduction.
__attribute__((target("pclmul,sse4.1"), always_inline)) inline __m128i fold(__m128i lane, __m128i constants,
                                                                            __m128i next) noexcept {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(lane, constants, 0x00),
                                       _mm_clmulepi64_si128(lane, constants, 0x11)),
                         next);
}

// `size` at least 64 and a multiple of 16.
__attribute__((target("pclmul,sse4.1"))) std::uint32_t by_folding(std::uint32_t state, const unsigned char* data,
                                                                  std::size_t size) noexcept {
    const __m128i by_four = _mm_set_epi64x(0x1c6e41596, 0x154442bd4), by_one = _mm_set_epi64x(0xccaa009e, 0x1751997d0);
    const __m128i to_32 = _mm_set_epi64x(0, 0x163cd6124), low_32 = _mm_set_epi64x(0, 0xffffffff);
    const __m128i barrett = _mm_set_epi64x(0x1f7011641, 0x1db710641);
    const auto load = [](const unsigned char* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); };
    __m128i x1 = _mm_xor_si128(load(data), _mm_cvtsi32_si128(static_cast<int>(state)));
    __m128i x2 = load(data + 16), x3 = load(data + 32), x4 = load(data + 48);
    for (data += 64, size -= 64; size >= 64; data += 64, size -= 64) {
        x1 = fold(x1, by_four, load(data));
        x2 = fold(x2, by_four, load(data + 16));
        x3 = fold(x3, by_four, load(data + 32));
        x4 = fold(x4, by_four, load(data + 48));
    }
    x1 = fold(fold(fold(x1, by_one, x2), by_one, x3), by_one, x4);
    for (; size >= 16; data += 16, size -= 16) x1 = fold(x1, by_one, load(data));
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, by_one, 0x10));
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 4), _mm_clmulepi64_si128(_mm_and_si128(x1, low_32), to_32, 0x00));
    const __m128i quotient = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low_32), barrett, 0x10), low_32);
    x1 = _mm_xor_si128(x1, _mm_clmulepi64_si128(quotient, barrett, 0x00));
    return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

const bool has_folding = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
#endif

// a * b modulo P, both polynomials bits reversed (x^0 in the top bit).
std::uint32_t multiply(std::uint32_t a, std::uint32_t b) noexcept {
    std::uint32_t product = 0;
    for (std::uint32_t bit = 1u << 31; bit != 0; bit >>= 1) {
        if (a & bit) product ^= b;
        b = b & 1 ? (b >> 1) ^ polynomial : b >> 1;
    }
    return product;
}

}  // namespace

std::uint32_t crc32(std::uint32_t crc, const unsigned char* data, std::size_t size) noexcept {
    std::uint32_t state = ~crc;
#ifdef VANTREL_CRC_FOLDING
    if (has_folding && size >= 64) {
        const std::size_t folded = size & ~std::size_t{15};
        state = by_folding(state, data, folded);
        data += folded;
        size -= folded;
    }
#endif
    return ~by_tables(state, data, size);
}

std::uint32_t crc32_combine(std::uint32_t first, std::uint32_t second, std::uint64_t second_size) noexcept {
    // first * x^(8 * second_size) mod P, by squaring x^8, then added to the second.
    std::uint32_t power = 1u << 31, square = 1u << 23;  // x^0, x^8
    for (; second_size != 0; second_size >>= 1) {
        if (second_size & 1) power = multiply(power, square);
        square = multiply(square, square);
    }
    return multiply(power, first) ^ second;
}

}  // namespace chips

// Two double lanes on SSE2 (every x86-64), with SLEEF's SSE2 functions.
//
// These SLEEF variants use no fused multiply-add; they pair with the purec
// scalars. Include only from the SSE2 kernel translation units. Everything
// lives in an unnamed namespace, like the wider variants.
#pragma once

#include <emmintrin.h>
#include <sleef.h>

namespace quorvane::simd::sse2 {
namespace {

struct Vec {
    static constexpr int kLanes = 2;
    static constexpr bool kFma = false;  // SLEEF variants without FMA
    __m128d r;

    static Vec broadcast(double x) { return {_mm_set1_pd(x)}; }
    static Vec load(const double* p) { return {_mm_loadu_pd(p)}; }
    // float32 values at p (unaligned), widened.
    static Vec loadFloats(const void* p) {
        return {_mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(static_cast<const __m128i*>(p))))};
    }
    static Vec iota() { return {_mm_set_pd(1, 0)}; }  // 0, 1, 2, ...
};

struct Mask {
    __m128d m;  // all-ones or all-zeros per lane
};

inline void store(double* p, Vec a) { _mm_storeu_pd(p, a.r); }

inline Vec operator+(Vec a, Vec b) { return {_mm_add_pd(a.r, b.r)}; }
inline Vec operator-(Vec a, Vec b) { return {_mm_sub_pd(a.r, b.r)}; }
inline Vec operator*(Vec a, Vec b) { return {_mm_mul_pd(a.r, b.r)}; }
inline Vec operator/(Vec a, Vec b) { return {_mm_div_pd(a.r, b.r)}; }
// Sign flip, exact like the scalar unary minus (also for zeros and NaN).
inline Vec operator-(Vec a) { return {_mm_xor_pd(a.r, _mm_set1_pd(-0.0))}; }

// Two float32 values from a vector, rounded to nearest like a scalar
// conversion, stored at p (unaligned).
inline void storeFloats(void* p, Vec a) {
    _mm_storel_epi64(static_cast<__m128i*>(p), _mm_castps_si128(_mm_cvtpd_ps(a.r)));
}

// Ordered comparisons: false when either side is NaN.
inline Mask operator<(Vec a, Vec b) { return {_mm_cmplt_pd(a.r, b.r)}; }
inline Mask operator<=(Vec a, Vec b) { return {_mm_cmple_pd(a.r, b.r)}; }
inline Mask operator>=(Vec a, Vec b) { return {_mm_cmpge_pd(a.r, b.r)}; }
inline Mask operator>(Vec a, Vec b) { return {_mm_cmpgt_pd(a.r, b.r)}; }
inline Mask operator&(Mask a, Mask b) { return {_mm_and_pd(a.m, b.m)}; }
inline Mask operator|(Mask a, Mask b) { return {_mm_or_pd(a.m, b.m)}; }
inline unsigned bits(Mask m) { return static_cast<unsigned>(_mm_movemask_pd(m.m)); }

// Lane-wise m ? a : b.
inline Vec select(Mask m, Vec a, Vec b) {
    return {_mm_or_pd(_mm_and_pd(m.m, a.r), _mm_andnot_pd(m.m, b.r))};
}

inline Vec sqrt(Vec a) { return {_mm_sqrt_pd(a.r)}; }

// Helpers whose results need not match any other path bit for bit (the
// search's bounds, the direct arc tangent of the wind direction). min and
// max return b when either side is NaN. mulAdd rounds twice here (no FMA on
// every SSE2 CPU).
inline Vec minv(Vec a, Vec b) { return {_mm_min_pd(a.r, b.r)}; }
inline Vec maxv(Vec a, Vec b) { return {_mm_max_pd(a.r, b.r)}; }
inline Vec absv(Vec a) { return {_mm_andnot_pd(_mm_set1_pd(-0.0), a.r)}; }
inline Vec mulAdd(Vec a, Vec b, Vec c) { return {_mm_add_pd(_mm_mul_pd(a.r, b.r), c.r)}; }

// [first, a0]: each lane gets its left neighbour, lane 0 first.
inline Vec shiftInFirst(Vec a, double first) { return {_mm_shuffle_pd(_mm_set1_pd(first), a.r, 0)}; }

// The model's functions: SLEEF 1.0-ULP, bit-identical to the purec scalars.
inline Vec cos(Vec a) { return {Sleef_cosd2_u10sse2(a.r)}; }
inline Vec exp(Vec a) { return {Sleef_expd2_u10sse2(a.r)}; }
inline Vec pow(Vec a, Vec b) { return {Sleef_powd2_u10sse2(a.r, b.r)}; }
inline Vec tanh(Vec a) { return {Sleef_tanhd2_u10sse2(a.r)}; }
inline Vec log10(Vec a) { return {Sleef_log10d2_u10sse2(a.r)}; }

// A cheaper tanh (3.5 ULP) for the search's bounds.
inline Vec tanhLoose(Vec a) { return {Sleef_tanhd2_u35sse2(a.r)}; }

// Bit-level helpers of the inline exp and log (simd/fast_math.hpp).
// The double whose bits are a's plus the low 12 bits of b's shifted to the
// exponent field: a times 2^k for b = 0x1.8p52 + k, while that stays normal.
inline Vec addToExponent(Vec a, Vec b) {
    const __m128i k = _mm_slli_epi64(_mm_castpd_si128(b.r), 52);
    return {_mm_castsi128_pd(_mm_add_epi64(_mm_castpd_si128(a.r), k))};
}
// For a positive normal x: its mantissa in [1, 2) and its unbiased exponent.
inline Vec splitExponent(Vec x, Vec& mantissa) {
    const __m128i bits = _mm_castpd_si128(x.r);
    mantissa = {_mm_castsi128_pd(_mm_or_si128(_mm_and_si128(bits, _mm_set1_epi64x(0x000FFFFFFFFFFFFF)),
                                                 _mm_set1_epi64x(0x3FF0000000000000)))};
    // The biased exponent as the low bits of 2^52 + e, then as a double.
    const __m128i e = _mm_or_si128(_mm_srli_epi64(bits, 52), _mm_set1_epi64x(0x4330000000000000));
    return {_mm_sub_pd(_mm_castsi128_pd(e), _mm_set1_pd(0x1p52 + 1023.0))};
}

#include "simd/scalar_operands.inc"

}  // namespace
}  // namespace quorvane::simd::sse2

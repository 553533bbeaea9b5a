// Eight double lanes on AVX-512F, with SLEEF's AVX-512 functions.
//
// Include only from translation units compiled with -mavx512f -mavx2 -mfma.
// Everything lives in an unnamed namespace so that no out-of-line copy of
// these functions (or of a template instantiated with them) can be merged
// with code compiled for another instruction set.
#pragma once

#if !defined(__AVX512F__) || !defined(__FMA__)
#error "simd/avx512.hpp needs -mavx512f -mfma"
#endif

#include <immintrin.h>
#include <sleef.h>

#include <cstdint>

namespace quorvane::simd::avx512 {
namespace {

struct Vec {
    static constexpr int kLanes = 8;
    static constexpr bool kFma = true;  // SLEEF variants of the FMA family
    __m512d r;

    static Vec broadcast(double x) { return {_mm512_set1_pd(x)}; }
    static Vec load(const double* p) { return {_mm512_loadu_pd(p)}; }
    // float32 values at p (unaligned), widened.
    static Vec loadFloats(const void* p) {
        return {_mm512_maskz_cvtps_pd(0xFF, _mm256_loadu_ps(static_cast<const float*>(p)))};
    }
    static Vec iota() { return {_mm512_set_pd(7, 6, 5, 4, 3, 2, 1, 0)}; }  // 0, 1, 2, ...
};

struct Mask {
    __mmask8 k;
};

inline void store(double* p, Vec a) { _mm512_storeu_pd(p, a.r); }

inline Vec operator+(Vec a, Vec b) { return {_mm512_add_pd(a.r, b.r)}; }
inline Vec operator-(Vec a, Vec b) { return {_mm512_sub_pd(a.r, b.r)}; }
inline Vec operator*(Vec a, Vec b) { return {_mm512_mul_pd(a.r, b.r)}; }
inline Vec operator/(Vec a, Vec b) { return {_mm512_div_pd(a.r, b.r)}; }
// Sign flip, exact like the scalar unary minus (also for zeros and NaN).
inline Vec operator-(Vec a) {
    return {_mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(a.r),
                                                 _mm512_set1_epi64(INT64_MIN)))};
}

// Eight float32 values from a vector, rounded to nearest like a scalar
// conversion, stored at p (unaligned).
inline void storeFloats(void* p, Vec a) {
    _mm256_storeu_ps(static_cast<float*>(p), _mm512_maskz_cvtpd_ps(0xFF, a.r));
}

// Ordered comparisons: false when either side is NaN.
inline Mask operator<(Vec a, Vec b) { return {_mm512_cmp_pd_mask(a.r, b.r, _CMP_LT_OQ)}; }
inline Mask operator<=(Vec a, Vec b) { return {_mm512_cmp_pd_mask(a.r, b.r, _CMP_LE_OQ)}; }
inline Mask operator>=(Vec a, Vec b) { return {_mm512_cmp_pd_mask(a.r, b.r, _CMP_GE_OQ)}; }
inline Mask operator>(Vec a, Vec b) { return {_mm512_cmp_pd_mask(a.r, b.r, _CMP_GT_OQ)}; }
inline Mask operator&(Mask a, Mask b) { return {static_cast<__mmask8>(a.k & b.k)}; }
inline Mask operator|(Mask a, Mask b) { return {static_cast<__mmask8>(a.k | b.k)}; }
inline unsigned bits(Mask m) { return m.k; }

// Lane-wise m ? a : b.
inline Vec select(Mask m, Vec a, Vec b) { return {_mm512_mask_blend_pd(m.k, b.r, a.r)}; }

inline Vec sqrt(Vec a) { return {_mm512_maskz_sqrt_pd(0xFF, a.r)}; }

// Helpers whose results need not match any other path bit for bit (the
// search's bounds, the direct arc tangent of the wind direction). min and
// max return b when either side is NaN.
inline Vec minv(Vec a, Vec b) { return {_mm512_maskz_min_pd(0xFF, a.r, b.r)}; }
inline Vec maxv(Vec a, Vec b) { return {_mm512_maskz_max_pd(0xFF, a.r, b.r)}; }
inline Vec absv(Vec a) {
    return {_mm512_castsi512_pd(_mm512_and_si512(_mm512_castpd_si512(a.r),
                                                 _mm512_set1_epi64(INT64_MAX)))};
}
inline Vec mulAdd(Vec a, Vec b, Vec c) { return {_mm512_fmadd_pd(a.r, b.r, c.r)}; }

// [first, a0, a1, ..., a6]: each lane gets its left neighbour, lane 0 first.
inline Vec shiftInFirst(Vec a, double first) {
    return {_mm512_castsi512_pd(_mm512_maskz_alignr_epi64(0xFF, _mm512_castpd_si512(a.r),
                                                    _mm512_castpd_si512(_mm512_set1_pd(first)), 7))};
}

// The model's functions: SLEEF 1.0-ULP, bit-identical to the purecfma scalars.
inline Vec cos(Vec a) { return {Sleef_cosd8_u10avx512f(a.r)}; }
inline Vec exp(Vec a) { return {Sleef_expd8_u10avx512f(a.r)}; }
inline Vec pow(Vec a, Vec b) { return {Sleef_powd8_u10avx512f(a.r, b.r)}; }
inline Vec tanh(Vec a) { return {Sleef_tanhd8_u10avx512f(a.r)}; }
inline Vec log10(Vec a) { return {Sleef_log10d8_u10avx512f(a.r)}; }

// A cheaper tanh (3.5 ULP) for the search's bounds.
inline Vec tanhLoose(Vec a) { return {Sleef_tanhd8_u35avx512f(a.r)}; }

// Bit-level helpers of the inline exp and log (simd/fast_math.hpp).
// The double whose bits are a's plus the low 12 bits of b's shifted to the
// exponent field: a times 2^k for b = 0x1.8p52 + k, while that stays normal.
inline Vec addToExponent(Vec a, Vec b) {
    const __m512i k = _mm512_maskz_slli_epi64(0xFF, _mm512_castpd_si512(b.r), 52);
    return {_mm512_castsi512_pd(_mm512_add_epi64(_mm512_castpd_si512(a.r), k))};
}
// For a positive normal x: its mantissa in [1, 2) and its unbiased exponent.
inline Vec splitExponent(Vec x, Vec& mantissa) {
    const __m512i bits = _mm512_castpd_si512(x.r);
    mantissa = {_mm512_castsi512_pd(_mm512_or_si512(_mm512_and_si512(bits, _mm512_set1_epi64(0x000FFFFFFFFFFFFF)),
                                                 _mm512_set1_epi64(0x3FF0000000000000)))};
    // The biased exponent as the low bits of 2^52 + e, then as a double.
    const __m512i e = _mm512_or_si512(_mm512_maskz_srli_epi64(0xFF, bits, 52), _mm512_set1_epi64(0x4330000000000000));
    return {_mm512_sub_pd(_mm512_castsi512_pd(e), _mm512_set1_pd(0x1p52 + 1023.0))};
}

#include "simd/scalar_operands.inc"

}  // namespace
}  // namespace quorvane::simd::avx512

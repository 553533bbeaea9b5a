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

// Sixteen float32 lanes, twice the double lanes, for the search's first
// guess, which needs no double precision (no SLEEF functions on them).
struct Floats {
    static constexpr int kLanes = 16;
    __m512 r;

    static Floats broadcast(double x) { return {_mm512_set1_ps(static_cast<float>(x))}; }
};

struct FloatMask {
    __mmask16 k;
};

struct Vec {
    static constexpr int kLanes = 8;
    static constexpr bool kFma = true;  // SLEEF variants of the FMA family
    using Narrow = Floats;               // float lanes: two vectors' worth
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

// Float lanes: the operations the first guess and its inline exp and log
// use, rounded like scalar float arithmetic.
inline Floats operator+(Floats a, Floats b) { return {_mm512_add_ps(a.r, b.r)}; }
inline Floats operator-(Floats a, Floats b) { return {_mm512_sub_ps(a.r, b.r)}; }
inline Floats operator*(Floats a, Floats b) { return {_mm512_mul_ps(a.r, b.r)}; }
inline Floats operator/(Floats a, Floats b) { return {_mm512_div_ps(a.r, b.r)}; }
inline Floats operator-(Floats a) {
    return {_mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(a.r), _mm512_set1_epi32(INT32_MIN)))};
}
inline FloatMask operator<(Floats a, Floats b) { return {_mm512_cmp_ps_mask(a.r, b.r, _CMP_LT_OQ)}; }
inline FloatMask operator<=(Floats a, Floats b) { return {_mm512_cmp_ps_mask(a.r, b.r, _CMP_LE_OQ)}; }
inline FloatMask operator>=(Floats a, Floats b) { return {_mm512_cmp_ps_mask(a.r, b.r, _CMP_GE_OQ)}; }
inline FloatMask operator>(Floats a, Floats b) { return {_mm512_cmp_ps_mask(a.r, b.r, _CMP_GT_OQ)}; }
inline unsigned bits(FloatMask m) { return m.k; }
inline Floats select(FloatMask m, Floats a, Floats b) { return {_mm512_mask_blend_ps(m.k, b.r, a.r)}; }
inline Floats minv(Floats a, Floats b) { return {_mm512_maskz_min_ps(0xFFFF, a.r, b.r)}; }
inline Floats maxv(Floats a, Floats b) { return {_mm512_maskz_max_ps(0xFFFF, a.r, b.r)}; }
inline Floats mulAdd(Floats a, Floats b, Floats c) { return {_mm512_fmadd_ps(a.r, b.r, c.r)}; }
// The float lanes of a (first) and b (second), each rounded to nearest.
inline Floats narrow(Vec a, Vec b) {
    const __m512d low = _mm512_castps_pd(_mm512_castps256_ps512(_mm512_maskz_cvtpd_ps(0xFF, a.r)));
    const __m256d high = _mm256_castps_pd(_mm512_maskz_cvtpd_ps(0xFF, b.r));
    return {_mm512_castpd_ps(_mm512_maskz_insertf64x4(0xFF, low, high, 1))};
}
// The lanes of a widened to double (exact), in order.
inline void store(double* p, Floats a) {
    alignas(64) float f[16];
    _mm512_store_ps(f, a.r);
    _mm512_storeu_pd(p, _mm512_maskz_cvtps_pd(0xFF, _mm256_load_ps(f)));
    _mm512_storeu_pd(p + 8, _mm512_maskz_cvtps_pd(0xFF, _mm256_load_ps(f + 8)));
}
// As addToExponent and splitExponent below, for floats (8 exponent bits, 23
// mantissa bits; b = 0x1.8p23 + k).
inline Floats addToExponent(Floats a, Floats b) {
    const __m512i k = _mm512_maskz_slli_epi32(0xFFFF, _mm512_castps_si512(b.r), 23);
    return {_mm512_castsi512_ps(_mm512_add_epi32(_mm512_castps_si512(a.r), k))};
}
inline Floats splitExponent(Floats x, Floats& mantissa) {
    const __m512i bits = _mm512_castps_si512(x.r);
    mantissa = {_mm512_castsi512_ps(_mm512_or_si512(_mm512_and_si512(bits, _mm512_set1_epi32(0x007FFFFF)),
                                                    _mm512_set1_epi32(0x3F800000)))};
    const __m512i e = _mm512_or_si512(_mm512_maskz_srli_epi32(0xFFFF, bits, 23), _mm512_set1_epi32(0x4B000000));
    return {_mm512_sub_ps(_mm512_castsi512_ps(e), _mm512_set1_ps(0x1p23f + 127.0f))};
}

#include "simd/scalar_operands.inc"

}  // namespace
}  // namespace quorvane::simd::avx512

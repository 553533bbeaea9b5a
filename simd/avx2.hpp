// Four double lanes on AVX2 with FMA, with SLEEF's AVX2 functions.
//
// Include only from translation units compiled with -mavx2 -mfma. Everything
// lives in an unnamed namespace so that no out-of-line copy of these functions
// (or of a template instantiated with them) can be merged with code compiled
// for another instruction set.
#pragma once

#if !defined(__AVX2__) || !defined(__FMA__)
#error "simd/avx2.hpp needs -mavx2 -mfma"
#endif

#include <immintrin.h>
#include <sleef.h>

namespace quorvane::simd::avx2 {
namespace {

// Eight float32 lanes, twice the double lanes, for the search's first guess,
// which needs no double precision (no SLEEF functions on them).
struct Floats {
    static constexpr int kLanes = 8;
    __m256 r;

    static Floats broadcast(double x) { return {_mm256_set1_ps(static_cast<float>(x))}; }
};

struct FloatMask {
    __m256 m;  // all-ones or all-zeros per lane
};

struct Vec {
    static constexpr int kLanes = 4;
    static constexpr bool kFma = true;  // SLEEF variants of the FMA family
    using Narrow = Floats;               // float lanes: two vectors' worth
    __m256d r;

    static Vec broadcast(double x) { return {_mm256_set1_pd(x)}; }
    static Vec load(const double* p) { return {_mm256_loadu_pd(p)}; }
    // float32 values at p (unaligned), widened.
    static Vec loadFloats(const void* p) {
        return {_mm256_cvtps_pd(_mm_loadu_ps(static_cast<const float*>(p)))};
    }
    static Vec iota() { return {_mm256_set_pd(3, 2, 1, 0)}; }  // 0, 1, 2, ...
};

struct Mask {
    __m256d m;  // all-ones or all-zeros per lane
};

inline void store(double* p, Vec a) { _mm256_storeu_pd(p, a.r); }

inline Vec operator+(Vec a, Vec b) { return {_mm256_add_pd(a.r, b.r)}; }
inline Vec operator-(Vec a, Vec b) { return {_mm256_sub_pd(a.r, b.r)}; }
inline Vec operator*(Vec a, Vec b) { return {_mm256_mul_pd(a.r, b.r)}; }
inline Vec operator/(Vec a, Vec b) { return {_mm256_div_pd(a.r, b.r)}; }
// Sign flip, exact like the scalar unary minus (also for zeros and NaN).
inline Vec operator-(Vec a) { return {_mm256_xor_pd(a.r, _mm256_set1_pd(-0.0))}; }

// Four float32 values from a vector, rounded to nearest like a scalar
// conversion, stored at p (unaligned).
inline void storeFloats(void* p, Vec a) {
    _mm_storeu_ps(static_cast<float*>(p), _mm256_cvtpd_ps(a.r));
}

// Ordered comparisons: false when either side is NaN.
inline Mask operator<(Vec a, Vec b) { return {_mm256_cmp_pd(a.r, b.r, _CMP_LT_OQ)}; }
inline Mask operator<=(Vec a, Vec b) { return {_mm256_cmp_pd(a.r, b.r, _CMP_LE_OQ)}; }
inline Mask operator>=(Vec a, Vec b) { return {_mm256_cmp_pd(a.r, b.r, _CMP_GE_OQ)}; }
inline Mask operator>(Vec a, Vec b) { return {_mm256_cmp_pd(a.r, b.r, _CMP_GT_OQ)}; }
inline Mask operator&(Mask a, Mask b) { return {_mm256_and_pd(a.m, b.m)}; }
inline Mask operator|(Mask a, Mask b) { return {_mm256_or_pd(a.m, b.m)}; }
inline unsigned bits(Mask m) { return static_cast<unsigned>(_mm256_movemask_pd(m.m)); }

// Lane-wise m ? a : b.
inline Vec select(Mask m, Vec a, Vec b) { return {_mm256_blendv_pd(b.r, a.r, m.m)}; }

inline Vec sqrt(Vec a) { return {_mm256_sqrt_pd(a.r)}; }

// Helpers whose results need not match any other path bit for bit (the
// search's bounds, the direct arc tangent of the wind direction). min and
// max return b when either side is NaN.
inline Vec minv(Vec a, Vec b) { return {_mm256_min_pd(a.r, b.r)}; }
inline Vec maxv(Vec a, Vec b) { return {_mm256_max_pd(a.r, b.r)}; }
inline Vec absv(Vec a) { return {_mm256_andnot_pd(_mm256_set1_pd(-0.0), a.r)}; }
inline Vec mulAdd(Vec a, Vec b, Vec c) { return {_mm256_fmadd_pd(a.r, b.r, c.r)}; }

// [first, a0, a1, a2]: each lane gets its left neighbour, lane 0 first.
inline Vec shiftInFirst(Vec a, double first) {
    return {_mm256_blend_pd(_mm256_permute4x64_pd(a.r, 0x90), _mm256_set1_pd(first), 0x1)};
}

// The model's functions: SLEEF 1.0-ULP, bit-identical to the purecfma scalars.
inline Vec cos(Vec a) { return {Sleef_cosd4_u10avx2(a.r)}; }
inline Vec exp(Vec a) { return {Sleef_expd4_u10avx2(a.r)}; }
inline Vec pow(Vec a, Vec b) { return {Sleef_powd4_u10avx2(a.r, b.r)}; }
inline Vec tanh(Vec a) { return {Sleef_tanhd4_u10avx2(a.r)}; }
inline Vec log10(Vec a) { return {Sleef_log10d4_u10avx2(a.r)}; }

// A cheaper tanh (3.5 ULP) for the search's bounds.
inline Vec tanhLoose(Vec a) { return {Sleef_tanhd4_u35avx2(a.r)}; }

// Bit-level helpers of the inline exp and log (simd/fast_math.hpp).
// The double whose bits are a's plus the low 12 bits of b's shifted to the
// exponent field: a times 2^k for b = 0x1.8p52 + k, while that stays normal.
inline Vec addToExponent(Vec a, Vec b) {
    const __m256i k = _mm256_slli_epi64(_mm256_castpd_si256(b.r), 52);
    return {_mm256_castsi256_pd(_mm256_add_epi64(_mm256_castpd_si256(a.r), k))};
}
// For a positive normal x: its mantissa in [1, 2) and its unbiased exponent.
inline Vec splitExponent(Vec x, Vec& mantissa) {
    const __m256i bits = _mm256_castpd_si256(x.r);
    mantissa = {_mm256_castsi256_pd(_mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi64x(0x000FFFFFFFFFFFFF)),
                                                 _mm256_set1_epi64x(0x3FF0000000000000)))};
    // The biased exponent as the low bits of 2^52 + e, then as a double.
    const __m256i e = _mm256_or_si256(_mm256_srli_epi64(bits, 52), _mm256_set1_epi64x(0x4330000000000000));
    return {_mm256_sub_pd(_mm256_castsi256_pd(e), _mm256_set1_pd(0x1p52 + 1023.0))};
}

// Float lanes: the operations the first guess and its inline exp and log
// use, rounded like scalar float arithmetic.
inline Floats operator+(Floats a, Floats b) { return {_mm256_add_ps(a.r, b.r)}; }
inline Floats operator-(Floats a, Floats b) { return {_mm256_sub_ps(a.r, b.r)}; }
inline Floats operator*(Floats a, Floats b) { return {_mm256_mul_ps(a.r, b.r)}; }
inline Floats operator/(Floats a, Floats b) { return {_mm256_div_ps(a.r, b.r)}; }
inline Floats operator-(Floats a) { return {_mm256_xor_ps(a.r, _mm256_set1_ps(-0.0f))}; }
inline FloatMask operator<(Floats a, Floats b) { return {_mm256_cmp_ps(a.r, b.r, _CMP_LT_OQ)}; }
inline FloatMask operator<=(Floats a, Floats b) { return {_mm256_cmp_ps(a.r, b.r, _CMP_LE_OQ)}; }
inline FloatMask operator>=(Floats a, Floats b) { return {_mm256_cmp_ps(a.r, b.r, _CMP_GE_OQ)}; }
inline FloatMask operator>(Floats a, Floats b) { return {_mm256_cmp_ps(a.r, b.r, _CMP_GT_OQ)}; }
inline unsigned bits(FloatMask m) { return static_cast<unsigned>(_mm256_movemask_ps(m.m)); }
inline Floats select(FloatMask m, Floats a, Floats b) { return {_mm256_blendv_ps(b.r, a.r, m.m)}; }
inline Floats minv(Floats a, Floats b) { return {_mm256_min_ps(a.r, b.r)}; }
inline Floats maxv(Floats a, Floats b) { return {_mm256_max_ps(a.r, b.r)}; }
inline Floats mulAdd(Floats a, Floats b, Floats c) { return {_mm256_fmadd_ps(a.r, b.r, c.r)}; }
// The float lanes of a (first) and b (second), each rounded to nearest.
inline Floats narrow(Vec a, Vec b) {
    return {_mm256_set_m128(_mm256_cvtpd_ps(b.r), _mm256_cvtpd_ps(a.r))};
}
// The lanes of a widened to double (exact), in order.
inline void store(double* p, Floats a) {
    _mm256_storeu_pd(p, _mm256_cvtps_pd(_mm256_castps256_ps128(a.r)));
    _mm256_storeu_pd(p + 4, _mm256_cvtps_pd(_mm256_extractf128_ps(a.r, 1)));
}
// As addToExponent and splitExponent below, for floats (8 exponent bits, 23
// mantissa bits; b = 0x1.8p23 + k).
inline Floats addToExponent(Floats a, Floats b) {
    const __m256i k = _mm256_slli_epi32(_mm256_castps_si256(b.r), 23);
    return {_mm256_castsi256_ps(_mm256_add_epi32(_mm256_castps_si256(a.r), k))};
}
inline Floats splitExponent(Floats x, Floats& mantissa) {
    const __m256i bits = _mm256_castps_si256(x.r);
    mantissa = {_mm256_castsi256_ps(_mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi32(0x007FFFFF)),
                                                    _mm256_set1_epi32(0x3F800000)))};
    const __m256i e = _mm256_or_si256(_mm256_srli_epi32(bits, 23), _mm256_set1_epi32(0x4B000000));
    return {_mm256_sub_ps(_mm256_castsi256_ps(e), _mm256_set1_ps(0x1p23f + 127.0f))};
}

#include "simd/scalar_operands.inc"

}  // namespace
}  // namespace quorvane::simd::avx2

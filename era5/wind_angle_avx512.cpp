// The wind direction kernels built for avx512 (-mavx512f -mavx2 -mfma).
#include "simd/avx512.hpp"

#include "era5/wind_angle_simd.hpp"

namespace quorvane::era5 {
namespace {

using simd::avx512::Mask;
using simd::avx512::Vec;

struct Bits {
    static Vec withSignOfNegated(Vec m, Vec u) {
        const __m512i sign = _mm512_set1_epi64(INT64_MIN);
        return {_mm512_castsi512_pd(_mm512_ternarylogic_epi64(
            _mm512_castpd_si512(m.r), _mm512_castpd_si512(u.r), sign, 0xF2))};  // m | (~u & sign)
    }
    static Vec flipSign(Vec p, Mask a, Mask b) {
        const __m512i sign = _mm512_set1_epi64(INT64_MIN);
        const __m512i q = _mm512_castpd_si512(p.r);
        return {_mm512_castsi512_pd(_mm512_mask_xor_epi64(q, static_cast<__mmask8>(a.k ^ b.k), q, sign))};
    }
    static Mask sameBits(Vec a, Vec b) {
        return {_mm512_cmpeq_epi64_mask(_mm512_castpd_si512(a.r), _mm512_castpd_si512(b.r))};
    }
    // The low 29 bits are the part below float32 precision, 2^28 at a
    // midpoint: adding K - 2^28 brings [2^28 - K, 2^28 + K) to [0, 2K), whose
    // bits 15 to 28 are clear (K = 2^14).
    static __mmask8 nearMidpoint(Vec m) {
        static_assert(kDirectAngleMarginUlps == 1 << 14);
        const __m512i shifted = _mm512_add_epi64(_mm512_castpd_si512(m.r),
                                                 _mm512_set1_epi64(kDirectAngleMarginUlps - 0x10000000));
        return _mm512_testn_epi64_mask(shifted, _mm512_set1_epi64(0x1FFF8000));
    }
    // Tiny and NaN lanes fail the ordered m >= 2^-125.
    static Mask roundingInDoubt(Vec m) {
        const __mmask8 small = _mm512_cmp_pd_mask(m.r, _mm512_set1_pd(0x1p-125), _CMP_NGE_UQ);
        return {static_cast<__mmask8>(nearMidpoint(m) | small)};
    }

    // Contiguous rows, 16 elements at a time (magnitudes16); the sign of -u
    // goes onto the float32 results. Returns the columns done.
    static std::int64_t contiguousRow(const char* pu, const char* pv, char* po, std::int64_t columns);
    // The direct arc tangents as contiguousRow computes them.
    static void directAngles(const float* u, const float* v, double* angle, std::int64_t n);
};

// Halves of 16 float32 lanes and back, as vector shuffles (the low half is
// free; GCC's cast intrinsics for these warn about undefined upper lanes).
inline __m256 lowHalf(__m512 a) {
    return __builtin_shufflevector(a, a, 0, 1, 2, 3, 4, 5, 6, 7);
}
inline __m256 highHalf(__m512 a) {
    return __builtin_shufflevector(a, a, 8, 9, 10, 11, 12, 13, 14, 15);
}
inline __m512 joinHalves(__m256 low, __m256 high) {
    return __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
}
// Unmasked conversions through their zero-masking forms (all lanes set), as in
// simd/avx512.hpp.
inline __m512d toDoubles(__m256 a) { return _mm512_maskz_cvtps_pd(0xFF, a); }
inline __m256 toFloats(__m512d a) { return _mm512_maskz_cvtpd_ps(0xFF, a); }

// The direct arc tangent of 16 elements in two stages, so that the row loop
// can overlap the division of one block with the polynomial of the previous
// one: the chain from the loads to the store is too long for the
// out-of-order window to overlap blocks by itself.
//
// Stage one: absolute values, sorting and the steep and back tests in float32
// on all 16, which is exact, then the reduced arguments on two vectors of
// doubles. The turn test stays in double: a float32 product d tan(pi/8) would
// round coarsely for subnormal d. nonFinite marks the lanes with a
// non-finite component whose |A| need not be NaN (d infinite or NaN; a NaN in
// n makes |A| NaN).
struct Reduced16 {
    __m512 u, v;
    Vec t0, t1;
    __mmask16 steep, back, turn, nonFinite;
};

[[gnu::always_inline]] inline Reduced16 reduce16(__m512 u, __m512 v) {
    const __m512i magnitudeBits = _mm512_set1_epi32(0x7FFFFFFF);
    const __m512 au = _mm512_castsi512_ps(_mm512_and_epi32(_mm512_castps_si512(u), magnitudeBits));
    const __m512 av = _mm512_castsi512_ps(_mm512_and_epi32(_mm512_castps_si512(v), magnitudeBits));
    // min and max return their second operand if either is NaN: n is NaN if
    // v is, d if u is.
    const __m512 n = _mm512_maskz_min_ps(0xFFFF, au, av);
    const __m512 d = _mm512_maskz_max_ps(0xFFFF, av, au);
    Reduced16 r;
    r.u = u;
    r.v = v;
    r.steep = _mm512_cmp_ps_mask(av, au, _CMP_LT_OQ);
    r.back = _mm512_cmp_ps_mask(v, _mm512_setzero_ps(), _CMP_GT_OQ);
    r.nonFinite = _mm512_cmp_ps_mask(d, _mm512_set1_ps(3.4028235e38f), _CMP_NLE_UQ);
    const Vec n0{toDoubles(lowHalf(n))}, d0{toDoubles(lowHalf(d))};
    const Vec n1{toDoubles(highHalf(n))}, d1{toDoubles(highHalf(d))};
    const Vec tanPi8 = Vec::broadcast(kTanPi8);
    const Mask turn0 = n0 > d0 * tanPi8, turn1 = n1 > d1 * tanPi8;
    r.turn = static_cast<__mmask16>(turn0.k | (turn1.k << 8));
    r.t0 = reducedTangent(n0, d0, turn0);
    r.t1 = reducedTangent(n1, d1, turn1);
    return r;
}

// Stage two: |A| of the 16 elements, as doubles m0 (low half) and m1.
[[gnu::always_inline]] inline void magnitudes16(const Reduced16& r, Vec& m0, Vec& m1) {
    m0 = magnitudeFromTangent<Vec, Bits>(r.t0, Mask{static_cast<__mmask8>(r.steep)},
                                                   Mask{static_cast<__mmask8>(r.back)},
                                                   Mask{static_cast<__mmask8>(r.turn)});
    m1 = magnitudeFromTangent<Vec, Bits>(r.t1, Mask{static_cast<__mmask8>(r.steep >> 8)},
                                                   Mask{static_cast<__mmask8>(r.back >> 8)},
                                                   Mask{static_cast<__mmask8>(r.turn >> 8)});
}

// Lanes of 16 magnitudes (doubles m0, m1, rounded to float32 f) whose float32
// the direct arc tangent cannot decide: m near a rounding midpoint, f below
// 2^-125, or NaN. Where f >= 2^-125, m >= 2^-125 (1 - 2^-25) and the
// formula's value lies in the float32 normal range as well, as the error
// argument in wind_angle_simd.hpp needs.
[[gnu::always_inline]] inline __mmask16 inDoubt16(__m512 f, Vec m0, Vec m1) {
    const __mmask16 small = _mm512_cmp_ps_mask(f, _mm512_set1_ps(0x1p-125f), _CMP_NGE_UQ);
    return static_cast<__mmask16>(small | Bits::nearMidpoint(m0) | (Bits::nearMidpoint(m1) << 8));
}

// The float32 results of 16 elements from their reduced form; the lanes in
// doubt, and those with a non-finite component, from the formula
// (formulaInLanes), a half of 8 at a time.
[[gnu::always_inline]] inline __m512 angles16(const Reduced16& r, FormulaMemo& memo) {
    const __m512i signBit = _mm512_set1_epi32(INT32_MIN);
    Vec m0, m1;
    magnitudes16(r, m0, m1);
    const __m512 f = joinHalves(toFloats(m0.r), toFloats(m1.r));
    const __mmask16 redo = static_cast<__mmask16>(r.nonFinite | inDoubt16(f, m0, m1));
    // f | (~u & sign): the magnitudes carry no sign bit.
    __m512 a = _mm512_castsi512_ps(
        _mm512_ternarylogic_epi32(_mm512_castps_si512(f), _mm512_castps_si512(r.u), signBit, 0xF2));
    if (__builtin_expect(redo != 0, 0)) {
        // The formula's float32 in a half's lanes (zero in the others).
        const auto half = [&](__m256 u, __m256 v, __mmask8 lanes) {
            const Vec zero = Vec::broadcast(0.0);
            if (lanes == 0) return toFloats(zero.r);
            const Vec ud{toDoubles(u)}, vd{toDoubles(v)};
            return toFloats(formulaInLanes<Vec, Bits>(ud, vd, Mask{lanes}, zero, memo).r);
        };
        const __m256 low = half(lowHalf(r.u), lowHalf(r.v), static_cast<__mmask8>(redo));
        const __m256 high = half(highHalf(r.u), highHalf(r.v), static_cast<__mmask8>(redo >> 8));
        a = _mm512_mask_blend_ps(redo, a, joinHalves(low, high));
    }
    return a;
}

std::int64_t Bits::contiguousRow(const char* pu, const char* pv, char* po, std::int64_t columns) {
    if (columns < 16) return 0;
    // Software pipelined: each block is reduced one round before its
    // polynomial, so a division is in flight while the previous block
    // finishes.
    Reduced16 current = reduce16(_mm512_loadu_ps(pu), _mm512_loadu_ps(pv));
    FormulaMemo memo;
    std::int64_t j = 0;
    for (; j + 32 <= columns; j += 16) {
        const Reduced16 next = reduce16(_mm512_loadu_ps(pu + (j + 16) * 4), _mm512_loadu_ps(pv + (j + 16) * 4));
        _mm512_storeu_ps(po + j * 4, angles16(current, memo));
        current = next;
    }
    _mm512_storeu_ps(po + j * 4, angles16(current, memo));
    return j + 16;
}

void Bits::directAngles(const float* u, const float* v, double* angle, std::int64_t n) {
    alignas(64) float bu[16];
    alignas(64) float bv[16];
    alignas(64) double r[16];
    const __m512d nan = _mm512_set1_pd(__builtin_nan(""));
    for (std::int64_t j = 0; j < n; j += 16) {
        const int m = n - j < 16 ? static_cast<int>(n - j) : 16;
        for (int k = 0; k < 16; ++k) {
            bu[k] = k < m ? u[j + k] : 1.0f;
            bv[k] = k < m ? v[j + k] : 1.0f;
        }
        const __m512 uf = _mm512_load_ps(bu);
        const Reduced16 reduced = reduce16(uf, _mm512_load_ps(bv));
        Vec m0, m1;
        magnitudes16(reduced, m0, m1);
        m0.r = _mm512_mask_blend_pd(static_cast<__mmask8>(reduced.nonFinite), m0.r, nan);
        m1.r = _mm512_mask_blend_pd(static_cast<__mmask8>(reduced.nonFinite >> 8), m1.r, nan);
        store(r, withSignOfNegated(m0, {toDoubles(lowHalf(uf))}));
        store(r + 8, withSignOfNegated(m1, {toDoubles(highHalf(uf))}));
        for (int k = 0; k < m; ++k) angle[j + k] = r[k];
    }
}

}  // namespace

constinit const WindAngleKernels kWindAngleKernelsAvx512 = makeWindAngleKernels<Vec, Bits>(simd::Isa::Avx512);

}  // namespace quorvane::era5

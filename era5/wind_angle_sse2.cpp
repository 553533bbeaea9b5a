// The wind direction kernels built for sse2 (baseline x86-64, no extra flags).
#include "simd/sse2.hpp"

#include "era5/wind_angle_simd.hpp"

namespace quorvane::era5 {
namespace {

using simd::sse2::Mask;
using simd::sse2::Vec;

struct Bits {
    static Vec withSignOfNegated(Vec m, Vec u) {
        return {_mm_or_pd(m.r, _mm_andnot_pd(u.r, _mm_set1_pd(-0.0)))};
    }
    static Vec flipSign(Vec p, Mask a, Mask b) {
        const __m128d sign = _mm_and_pd(_mm_xor_pd(a.m, b.m), _mm_set1_pd(-0.0));
        return {_mm_xor_pd(p.r, sign)};
    }
    // Both 32-bit halves of a lane equal (SSE2 compares no wider).
    static Mask sameBits(Vec a, Vec b) {
        const __m128i halves = _mm_cmpeq_epi32(_mm_castpd_si128(a.r), _mm_castpd_si128(b.r));
        return {_mm_castsi128_pd(_mm_and_si128(halves, _mm_shuffle_epi32(halves, 0xB1)))};
    }
    // The low 29 bits are the part below float32 precision, 2^28 at a
    // midpoint: adding K - 2^28 brings [2^28 - K, 2^28 + K) to [0, 2K), whose
    // bits 15 to 28 are clear (K = 2^14). They lie in the low 32-bit half of
    // each lane, whose test is copied to the high half. Tiny and NaN lanes
    // fail the ordered m >= 2^-125.
    static Mask roundingInDoubt(Vec m) {
        static_assert(kDirectAngleMarginUlps == 1 << 14);
        const __m128i shifted = _mm_add_epi32(_mm_castpd_si128(m.r),
                                              _mm_set1_epi32(kDirectAngleMarginUlps - 0x10000000));
        const __m128i near = _mm_cmpeq_epi32(_mm_and_si128(shifted, _mm_set1_epi32(0x1FFF8000)),
                                             _mm_setzero_si128());
        const __m128d small = _mm_cmpnge_pd(m.r, _mm_set1_pd(0x1p-125));
        return {_mm_or_pd(_mm_castsi128_pd(_mm_shuffle_epi32(near, 0xA0)), small)};
    }
};

}  // namespace

constinit const WindAngleKernels kWindAngleKernelsSse2 = makeWindAngleKernels<Vec, Bits>(simd::Isa::Sse2);

}  // namespace quorvane::era5

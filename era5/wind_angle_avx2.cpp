// The wind direction kernels built for avx2 (-mavx2 -mfma).
#include "simd/avx2.hpp"

#include "era5/wind_angle_simd.hpp"

namespace quorvane::era5 {
namespace {

using simd::avx2::Mask;
using simd::avx2::Vec;

struct Bits {
    static Vec withSignOfNegated(Vec m, Vec u) {
        return {_mm256_or_pd(m.r, _mm256_andnot_pd(u.r, _mm256_set1_pd(-0.0)))};
    }
    static Vec flipSign(Vec p, Mask a, Mask b) {
        const __m256d sign = _mm256_and_pd(_mm256_xor_pd(a.m, b.m), _mm256_set1_pd(-0.0));
        return {_mm256_xor_pd(p.r, sign)};
    }
    static Mask sameBits(Vec a, Vec b) {
        return {_mm256_castsi256_pd(_mm256_cmpeq_epi64(_mm256_castpd_si256(a.r), _mm256_castpd_si256(b.r)))};
    }
    // The low 29 bits are the part below float32 precision, 2^28 at a
    // midpoint: adding K - 2^28 brings [2^28 - K, 2^28 + K) to [0, 2K), whose
    // bits 15 to 28 are clear (K = 2^14). Tiny and NaN lanes fail the ordered
    // m >= 2^-125.
    static Mask roundingInDoubt(Vec m) {
        static_assert(kDirectAngleMarginUlps == 1 << 14);
        const __m256i shifted = _mm256_add_epi64(_mm256_castpd_si256(m.r),
                                                 _mm256_set1_epi64x(kDirectAngleMarginUlps - 0x10000000));
        const __m256i near = _mm256_cmpeq_epi64(
            _mm256_and_si256(shifted, _mm256_set1_epi64x(0x1FFF8000)), _mm256_setzero_si256());
        const __m256d small = _mm256_cmp_pd(m.r, _mm256_set1_pd(0x1p-125), _CMP_NGE_UQ);
        return {_mm256_or_pd(_mm256_castsi256_pd(near), small)};
    }
};

}  // namespace

constinit const WindAngleKernels kWindAngleKernelsAvx2 = makeWindAngleKernels<Vec, Bits>(simd::Isa::Avx2);

}  // namespace quorvane::era5

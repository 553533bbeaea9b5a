// The wind direction kernels built for avx2 (-mavx2 -mfma).
#include "grid/simd_avx2.hpp"

#include "era5/wind_angle_simd.hpp"

namespace quorvane::era5 {

extern const WindAngleKernels kWindAngleKernelsAvx2;
const WindAngleKernels kWindAngleKernelsAvx2 =
    simd_row::makeWindAngleKernels<simd::avx2::Vec>(cpu::Isa::Avx2);

}  // namespace quorvane::era5

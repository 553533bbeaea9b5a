// The wind direction kernels built for avx512 (-mavx512f -mavx2 -mfma).
#include "grid/simd_avx512.hpp"

#include "era5/wind_angle_simd.hpp"

namespace quorvane::era5 {

extern const WindAngleKernels kWindAngleKernelsAvx512;
const WindAngleKernels kWindAngleKernelsAvx512 =
    simd_row::makeWindAngleKernels<simd::avx512::Vec>(cpu::Isa::Avx512);

}  // namespace quorvane::era5

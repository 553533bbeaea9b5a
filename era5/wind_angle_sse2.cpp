// The wind direction kernels built for sse2 (baseline x86-64, no extra flags).
#include "grid/simd_sse2.hpp"

#include "era5/wind_angle_simd.hpp"

namespace quorvane::era5 {

extern const WindAngleKernels kWindAngleKernelsSse2;
const WindAngleKernels kWindAngleKernelsSse2 =
    simd_row::makeWindAngleKernels<simd::sse2::Vec>(cpu::Isa::Sse2);

}  // namespace quorvane::era5

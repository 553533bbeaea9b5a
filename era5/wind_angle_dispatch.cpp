// The choice of vector kernels for the wind direction. Built for plain x86-64.
#include "era5/wind_angle_kernels.hpp"

namespace quorvane::era5 {

const WindAngleKernels* windAngleKernels(simd::Isa isa) { return simd::tableFor(kWindAngleKernelTables, isa); }

const WindAngleKernels& activeWindAngleKernels() { return simd::bestTable(kWindAngleKernelTables); }

}  // namespace quorvane::era5

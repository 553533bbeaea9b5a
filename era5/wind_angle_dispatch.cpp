// The choice of vector kernels for the wind direction. Built for plain x86-64.
#include "era5/wind_angle_kernels.hpp"
#include "simd/dispatch.hpp"

namespace quorvane::era5 {

// In the order of simd::Isa.
constexpr simd::IsaTables<WindAngleKernels> kTables = {&kWindAngleKernelsSse2, &kWindAngleKernelsAvx2,
                                                        &kWindAngleKernelsAvx512};

const WindAngleKernels* windAngleKernels(simd::Isa isa) {
    return simd::tableFor(kTables, isa);
}

const WindAngleKernels& activeWindAngleKernels() { return simd::activeTable(kTables); }

}  // namespace quorvane::era5

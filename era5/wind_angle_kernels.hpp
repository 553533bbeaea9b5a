// The vectorised wind direction kernels, one per instruction set.
//
// Each stores, per element, the float32 rounding of ERA5_windAngle, bit for
// bit, NaNs included. Most elements take a cheaper direct arc tangent of
// (-u, -v) whose float32 rounding is provably the same; the others go through
// the formula itself, with the C library's atan2 (wind_angle_simd.hpp).
#pragma once

#include <cstdint>

#include "grid/grid_view.hpp"
#include "simd/cpu_features.hpp"

namespace quorvane::era5 {

// The direct arc tangent A of the kernels lies within kDirectAngleErrorUlps
// units in the last place of A (double ulps) of ERA5_windAngle's double. Its
// float32 rounding is used only when A is at least kDirectAngleMarginUlps of
// its ulps from every float32 rounding midpoint; the proof of the first
// figure, with the C library's atan2 error it allows, is in
// wind_angle_simd.hpp.
inline constexpr std::int64_t kDirectAngleErrorUlps = 7200;
inline constexpr std::int64_t kDirectAngleMarginUlps = 16384;

struct WindAngleKernels {
    simd::Isa isa;
    // Columns 0 .. columns - 1 of row i of the three float32 views.
    void (*row)(const grid::GridView<float>& wind_U10_view, const grid::GridView<float>& wind_V10_view,
                const grid::GridView<float>& out_wind_angle, std::int64_t i, std::int64_t columns);
    // The direct arc tangent A alone, as the contiguous rows compute it, for
    // n components: NaN where a component is not finite, no fallback. For
    // testing its error bound.
    void (*directAngle)(const float* u, const float* v, double* angle, std::int64_t n);
};

// One table per instruction set, each defined in the unit built for it
// (wind_angle_<isa>.cpp).
extern constinit const WindAngleKernels kWindAngleKernelsSse2, kWindAngleKernelsAvx2, kWindAngleKernelsAvx512;

// The kernels for isa, or nullptr when this CPU cannot run them.
const WindAngleKernels* windAngleKernels(simd::Isa isa);

// The kernels for simd::active().
const WindAngleKernels& activeWindAngleKernels();

}  // namespace quorvane::era5

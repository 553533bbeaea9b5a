// The vectorised wind direction kernels, one per instruction set.
//
// Each computes, per element, the same double as windAngleFromComponents with
// SLEEF's atan2 of the kernel's family (FMA for AVX2 and AVX-512, non-FMA for
// SSE2) and stores it rounded to float32.
#pragma once

#include <cstdint>

#include "grid/cpu_features.hpp"
#include "grid/grid_view.hpp"

namespace quorvane::era5 {

struct WindAngleKernels {
    cpu::Isa isa;
    int lanes;
    // Columns 0 .. columns - 1 of row i of the three float32 views.
    void (*row)(const GridView& wind_U10_view, const GridView& wind_V10_view,
                const GridView& out_wind_angle, std::int64_t i, std::int64_t columns);
};

// The kernels for isa, or nullptr when this CPU cannot run them.
const WindAngleKernels* windAngleKernels(cpu::Isa isa);

// The kernels for cpu::best().
const WindAngleKernels& activeWindAngleKernels();

}  // namespace quorvane::era5

#include "era5/wind_angle.hpp"

#include <cmath>
#include <cstdint>

#include "era5/wind_angle_kernels.hpp"
#include "grid/sleef_scalar.hpp"

namespace quorvane {

namespace era5 {

extern const WindAngleKernels kWindAngleKernelsSse2;
extern const WindAngleKernels kWindAngleKernelsAvx2;
extern const WindAngleKernels kWindAngleKernelsAvx512;

const WindAngleKernels* windAngleKernels(cpu::Isa isa) {
    if (!cpu::supports(isa)) return nullptr;
    switch (isa) {
        case cpu::Isa::Sse2: return &kWindAngleKernelsSse2;
        case cpu::Isa::Avx2: return &kWindAngleKernelsAvx2;
        case cpu::Isa::Avx512: return &kWindAngleKernelsAvx512;
    }
    return nullptr;
}

const WindAngleKernels& activeWindAngleKernels() {
    static const WindAngleKernels* const active = windAngleKernels(cpu::best());
    return *active;
}

}  // namespace era5

namespace {

template <class Atan2>
double windAngleWith(double u, double v, Atan2 atan2) {
    const double s = std::sqrt(u * u + v * v);
    const double y = (-u) / s;
    const double x = (-v) / s;
    return atan2(y, x);
}

}  // namespace

double windAngleFromComponents(double u, double v) {
    static const bool fma = cpu::usesFma(cpu::best());
    return fma ? windAngleWith(u, v, SleefScalarMath<true>::atan2)
               : windAngleWith(u, v, SleefScalarMath<false>::atan2);
}

double windAngleFromComponentsReference(double u, double v) {
    return windAngleWith(u, v, [](double y, double x) { return std::atan2(y, x); });
}

void ERA5_windAngle_parallel(GridView wind_U10_view, GridView wind_V10_view,
                             GridView out_wind_angle) {
    // Counted in 64 bits so that extents of 2^31 or more are processed whole.
    const std::int64_t rows = wind_U10_view.rows();
    const std::int64_t columns = wind_U10_view.columns();
    if (rows <= 0) return;
    const auto row = era5::activeWindAngleKernels().row;
#pragma omp parallel for schedule(static)
    for (std::int64_t i = 0; i < rows; ++i) {
        row(wind_U10_view, wind_V10_view, out_wind_angle, i, columns);
    }
}

}  // namespace quorvane

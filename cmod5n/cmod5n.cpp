#include "cmod5n/cmod5n.hpp"

#include <cstdint>

#include "cmod5n/cmod5n_kernels.hpp"
#include "cmod5n/cmod5n_model.hpp"
#include "grid/sleef_scalar.hpp"

namespace quorvane {

double windspeedCmod5n(double wind_dir, double inc_angle, double sigma0) {
    return cmod5n::activeSearchKernels().search(wind_dir, inc_angle, sigma0);
}

double windspeedCmod5nReference(double wind_dir, double inc_angle, double sigma0) {
    return cmod5n::windspeedLinearScan<cmod5n::LibmMath>(wind_dir, inc_angle, sigma0);
}

double windspeedCmod5nSleefScan(double wind_dir, double inc_angle, double sigma0) {
    static const bool fma = cpu::usesFma(cpu::best());
    return fma ? cmod5n::windspeedLinearScan<SleefScalarMath<true>>(wind_dir, inc_angle, sigma0)
               : cmod5n::windspeedLinearScan<SleefScalarMath<false>>(wind_dir, inc_angle, sigma0);
}

void windspeedCmod5n_parallel(GridView wind_dir_view, GridView inc_angle_view,
                              GridView sigma0_view, GridView out_speed) {
    // Counted in 64 bits so that extents of 2^31 or more are processed whole.
    const std::int64_t rows = wind_dir_view.rows();
    const std::int64_t columns = wind_dir_view.columns();
    if (rows <= 0) return;
    const auto search = cmod5n::activeSearchKernels().search;
#pragma omp parallel for schedule(static)
    for (std::int64_t i = 0; i < rows; ++i) {
        for (std::int64_t j = 0; j < columns; ++j) {
            const double dir = wind_dir_view.loadFloat32(i, j);
            const double inc = inc_angle_view.loadFloat32(i, j);
            const double sig = sigma0_view.loadFloat32(i, j);
            out_speed.storeFloat64(i, j, search(dir, inc, sig));
        }
    }
}

}  // namespace quorvane

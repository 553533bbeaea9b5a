#include "cmod5n/cmod5n.hpp"

#include <cstdint>

#include "cmod5n/cmod5n_kernels.hpp"
#include "cmod5n/cmod5n_model.hpp"
#include "simd/float_mode.hpp"
#include "simd/sleef_scalar.hpp"

namespace quorvane::cmod5n {

double windspeedCmod5n(double wind_dir, double inc_angle, double sigma0) {
    return activeSearchKernels().search(wind_dir, inc_angle, sigma0);
}

double windspeedCmod5nReference(double wind_dir, double inc_angle, double sigma0) {
    return windspeedLinearScan<LibmMath>(wind_dir, inc_angle, sigma0);
}

double windspeedCmod5nSleefScan(double wind_dir, double inc_angle, double sigma0) {
    return simd::usesFma(simd::active()) ? windspeedLinearScan<simd::SleefScalarMath<true>>(wind_dir, inc_angle, sigma0)
               : windspeedLinearScan<simd::SleefScalarMath<false>>(wind_dir, inc_angle, sigma0);
}

void windspeedCmod5n_parallel(grid::GridView<float> wind_dir_view, grid::GridView<float> inc_angle_view,
                              grid::GridView<float> sigma0_view, grid::GridView<double> out_speed) {
    // Counted in 64 bits so that extents of 2^31 or more are processed whole.
    const std::int64_t rows = wind_dir_view.rows();
    const std::int64_t columns = wind_dir_view.columns();
    if (rows <= 0 || columns <= 0) return;
    const auto searchMany = activeSearchKernels().searchMany;
    // Each row is searched in chunks of kChunk pixels, widened to double.
    constexpr std::int64_t kChunk = 64;
#pragma omp parallel
    {
        const simd::DefaultFloatMode mode;
#pragma omp for schedule(static)
        for (std::int64_t i = 0; i < rows; ++i) {
            double dir[kChunk], inc[kChunk], sig[kChunk], speed[kChunk];
            for (std::int64_t j0 = 0; j0 < columns; j0 += kChunk) {
                const std::int64_t n = columns - j0 < kChunk ? columns - j0 : kChunk;
                for (std::int64_t k = 0; k < n; ++k) {
                    dir[k] = wind_dir_view.load(i, j0 + k);
                    inc[k] = inc_angle_view.load(i, j0 + k);
                    sig[k] = sigma0_view.load(i, j0 + k);
                }
                searchMany(dir, inc, sig, speed, n);
                for (std::int64_t k = 0; k < n; ++k) out_speed.store(i, j0 + k, speed[k]);
            }
        }
    }
}

}  // namespace quorvane::cmod5n

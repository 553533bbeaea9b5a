#include "era5/wind_angle.hpp"

#include <cmath>
#include <cstdint>

namespace quorvane {

double windAngleFromComponents(double u, double v) {
    const double s = std::sqrt(u * u + v * v);
    const double y = (-u) / s;
    const double x = (-v) / s;
    return std::atan2(y, x);
}

void ERA5_windAngle_parallel(GridView wind_U10_view, GridView wind_V10_view,
                             GridView out_wind_angle) {
    const std::int64_t rows = wind_U10_view.rows();
    const std::int64_t columns = wind_U10_view.columns();
    if (rows <= 0) return;
#pragma omp parallel for schedule(static)
    for (std::int64_t i = 0; i < rows; ++i) {
        for (std::int64_t j = 0; j < columns; ++j) {
            const double u = wind_U10_view.loadFloat32(i, j);
            const double v = wind_V10_view.loadFloat32(i, j);
            out_wind_angle.storeFloat32(i, j, static_cast<float>(windAngleFromComponents(u, v)));
        }
    }
}

}  // namespace quorvane

// Wind direction from ERA5 10 m wind components.
#pragma once

#include "grid/grid_view.hpp"

namespace quorvane::era5 {

// Direction the wind blows from, clockwise from north, in radians, computed in
// double precision exactly as written: the components are normalised by their
// magnitude first, which decides the results at zero and infinite components.
// The arc tangent is SLEEF's 1.0-ULP atan2 of the family the vector kernels
// use on this CPU, so this gives the same bits as the grid loop.
double ERA5_windAngle(double u, double v);

// The same formula with the C library's atan2.
double ERA5_windAngleReference(double u, double v);

// Applies ERA5_windAngle to every pixel of the grid whose size is given by
// wind_U10_view and stores it rounded to float32 in out_wind_angle. The caller
// guarantees that the second and third views cover the first's size. Rows are
// shared among the OpenMP threads with a static schedule, one contiguous block
// each; each row is computed a vector at a time. Where a view's rows are not
// contiguous in memory, a thread's rows are processed in tiles copied through
// contiguous buffers.
void ERA5_windAngle_parallel(grid::GridView<float> wind_U10_view, grid::GridView<float> wind_V10_view,
                             grid::GridView<float> out_wind_angle);

}  // namespace quorvane::era5

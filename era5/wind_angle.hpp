// Wind direction from ERA5 10 m wind components.
#pragma once

#include "grid/grid_view.hpp"

namespace quorvane::era5 {

// Direction the wind blows from, clockwise from north, in radians, computed in
// double precision as written:
//   s = sqrt(u u + v v), y = (-u) / s, x = (-v) / s, atan2(y, x)
// with the C library's atan2. The components are normalised by their
// magnitude first, which decides the results at zero and infinite components,
// NaN bits included. Each operation is the IEEE one as x86 performs it: a NaN
// operand's NaN, made quiet, passes through (the first operand's of two, so
// the dividend's in a division), and an invalid operation gives the default
// NaN, negative with only the quiet bit. Calm (both components zero) makes y
// and x the default NaN (0/0); an infinite component makes its own quotient
// the default NaN (inf/inf) and the other one a zero, or the default NaN too
// if both are infinite; atan2 passes it on, 0xffc00000 as float32. A NaN
// component's payload passes into y and x, whatever the other component,
// negated in its own component's quotient (y for u, x for v); with both
// components NaN, y and x are -u and -v. Which NaN atan2 returns is the C
// library's choice. The sum's operand order never matters: both are NaN only
// with both components NaN, and then y and x are the dividends' NaNs whatever
// s is.
double ERA5_windAngle(double u, double v);

// Applies ERA5_windAngle to every pixel of the grid whose size is given by
// wind_U10_view and stores it rounded to float32 in out_wind_angle, the same
// bits as the scalar function for every input pair. The caller
// guarantees that the second and third views cover the first's size. Rows are
// shared among the OpenMP threads with a static schedule, one contiguous block
// each; each row is computed a vector at a time. Where a view's rows are not
// contiguous in memory, a thread's rows are processed in tiles copied through
// contiguous buffers. A grid without rows or without columns returns at once.
// Every thread computes in the IEEE default floating-point mode and restores
// its own afterwards.
void ERA5_windAngle_parallel(grid::GridView<float> wind_U10_view, grid::GridView<float> wind_V10_view,
                             grid::GridView<float> out_wind_angle);

}  // namespace quorvane::era5

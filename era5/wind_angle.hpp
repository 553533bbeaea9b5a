// Wind direction from ERA5 10 m wind components.
#pragma once

#include "grid/grid_view.hpp"

namespace quorvane {

// Direction the wind blows from, clockwise from north, in radians, computed in
// double precision exactly as written: the components are normalised by their
// magnitude first, which decides the results at zero and infinite components.
double windAngleFromComponents(double u, double v);

// Applies windAngleFromComponents to every pixel of the grid whose size is
// given by wind_U10_view and stores it rounded to float32 in out_wind_angle.
// All three views hold float32 elements; the caller guarantees that the second
// and third cover the first's size.
void ERA5_windAngle_parallel(GridView wind_U10_view, GridView wind_V10_view,
                             GridView out_wind_angle);

}  // namespace quorvane

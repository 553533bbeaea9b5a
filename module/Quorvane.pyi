"""Exact CMOD5.N wind speed retrieval and ERA5 wind directions for NumPy grids.

Both functions take whole two-dimensional float32 grids (any memory layout),
compute on OpenMP threads with the interpreter lock released, and return a new
array of the shape of their first argument. Later arguments may be larger than
the first: only their leading rows and columns are read. Arrays must be
writable and in native byte order; other arrays raise ValueError, non-arrays
TypeError.
"""

import numpy
from numpy.typing import NDArray

# The NumPy module the functions allocate their results with.
np = numpy

def python_windspeedCmod5n(
    wind_dir: NDArray[numpy.float32],
    inc_angle: NDArray[numpy.float32],
    sigma0: NDArray[numpy.float32],
) -> NDArray[numpy.float64]:
    """Wind speed at 10 m (m/s) of every pixel, by inversion of CMOD5.N.

    wind_dir:  wind direction relative to the radar look direction, degrees
               (0 upwind, 180 downwind; only cos(phi) and cos(2 phi) matter).
    inc_angle: local incidence angle, degrees (16 is used below 16).
    sigma0:    observed VV normalised radar cross-section, dB.

    Each result is the first speed of the ladder 0.00, 0.01, ..., 26.00 m/s at
    which the model reaches the observed sigma0; 26.0 where it does not (also
    for NaN inputs and +inf sigma0).
    """

def python_ERA5_windAngle(
    wind_U10: NDArray[numpy.float32],
    wind_V10: NDArray[numpy.float32],
) -> NDArray[numpy.float32]:
    """Direction the wind blows from, radians clockwise from north.

    wind_U10: eastward 10 m wind component.
    wind_V10: northward 10 m wind component, in the unit of wind_U10.

    The result is atan2(-U10, -V10) in [-pi, pi] (0 from the north, pi/2 from
    the east); calm pixels and NaN or infinite components give NaN.
    """

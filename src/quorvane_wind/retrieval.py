"""Quorvane on chunked and labelled arrays: block functions for dask and
wrappers for xarray.

The module's functions take 2-D, writable, native float32 NumPy arrays whose
later arguments are at least as large as the first. Pieces handed out by dask
do not always look like that: a chunk that came over the network from another
worker is often a read-only view, xarray broadcasting can pass a (1, n) block
for an incidence angle that only varies across the swath, and a user may hold
float64 data. The block functions below make each argument a proper grid of
the common broadcast shape first (copying only when needed) and then call the
module once per block.

This module is installed with the package, so the worker processes of a
dask.distributed cluster import it like any other library.
"""

from typing import TYPE_CHECKING, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

import Quorvane

if TYPE_CHECKING:
    import xarray as xr


# Polarisation ratio for HH products: sigma0_VV / sigma0_HH as a function of
# the incidence angle theta alone,
#     PR = (1 + 2 tan^2 theta)^2 / (1 + alpha tan^2 theta)^2,
# from Thompson, Elfouhaily and Chapron (1998), with alpha = 0.6, the value
# Vachon and Dobson (2000) found best for C-band HH winds with a CMOD model.
# alpha = 0 is the Bragg (small-perturbation) limit, alpha = 1 a common
# alternative: the spread of the published ratios, about 1 dB at 30 degrees
# and 1.5 dB at 40, is the main extra error of HH winds.
POLARISATION_RATIO_ALPHA = 0.6
POLARISATION_RATIO_REFERENCE = (
    "Thompson, D. R., T. M. Elfouhaily and B. Chapron (1998): Polarization ratio for microwave "
    "backscattering from the ocean surface at low to moderate incidence angles, Proc. IGARSS'98, "
    "1671-1673; alpha = 0.6 as chosen by Vachon, P. W. and F. W. Dobson (2000): Wind retrieval "
    "from RADARSAT SAR images: selection of a suitable C-band HH polarization wind retrieval "
    "model, Canadian Journal of Remote Sensing 26(4), 306-313")
POLARISATION_RATIO_FORMULA = ("sigma0_VV = sigma0_HH * (1 + 2 tan^2(theta))^2 / "
                              f"(1 + {POLARISATION_RATIO_ALPHA:g} tan^2(theta))^2, theta the incidence angle")


# The spread of the published ratios, as alpha: 0.45 to 1 spans the values
# published for C-band HH winds with a CMOD model (1 is the common
# alternative to 0.6 named above); the product's uncertainty takes alpha
# as uniform over it.
POLARISATION_RATIO_ALPHA_RANGE = (0.45, 1.0)


def polarisation_ratio(incidence_deg: ArrayLike, alpha: float = POLARISATION_RATIO_ALPHA) -> NDArray[np.float64]:
    """sigma0_VV / sigma0_HH at the incidence angle (degrees), float64."""
    t2 = np.square(np.tan(np.radians(np.asarray(incidence_deg, dtype=np.float64))))
    return np.square((1.0 + 2.0 * t2) / (1.0 + alpha * t2))


def hh_to_vv(sigma0_hh: ArrayLike, incidence_deg: ArrayLike,
             alpha: float = POLARISATION_RATIO_ALPHA) -> NDArray[np.float32]:
    """The VV-equivalent of a linear HH sigma0 (float32, NaN kept)."""
    return (np.asarray(sigma0_hh, dtype=np.float64) * polarisation_ratio(incidence_deg, alpha)).astype(
        np.float32)


def as_grids(*arrays: ArrayLike) -> list[NDArray[np.float32]]:
    """The arguments as writable, aligned, native float32 2-D arrays of their
    common broadcast shape. Arrays that already qualify are passed through
    without a copy."""
    grids = [np.asarray(a) for a in arrays]
    shape = np.broadcast_shapes(*(a.shape for a in grids))
    if len(shape) != 2:
        raise ValueError(f"expected 2-D grids, got broadcast shape {shape}")
    out = []
    for a in grids:
        if a.shape != shape:
            a = np.broadcast_to(a, shape)     # read-only view: copied below
        out.append(np.require(a, dtype=np.float32, requirements=["W", "A"]))
    return out


def wind_direction_block(wind_u10: ArrayLike, wind_v10: ArrayLike) -> NDArray[np.float32]:
    """Direction the wind blows from, radians clockwise from north (float32),
    for one block of U10 and V10."""
    return Quorvane.python_ERA5_windAngle(*as_grids(wind_u10, wind_v10))


def wind_speed_block(wind_dir: ArrayLike, inc_angle: ArrayLike, sigma0: ArrayLike) -> NDArray[np.float64]:
    """CMOD5.N wind speed in m/s (float64) for one block of relative wind
    direction (degrees), incidence angle (degrees) and sigma0 (dB)."""
    return Quorvane.python_windspeedCmod5n(*as_grids(wind_dir, inc_angle, sigma0))


def relative_direction_block(direction_rad: ArrayLike, look_azimuth_deg: ArrayLike) -> NDArray[np.float32]:
    """Wind direction relative to the radar look direction in degrees,
    in (-180, 180], float32: 0 when the wind blows towards the radar."""
    d = np.mod(np.degrees(np.asarray(direction_rad, dtype=np.float64)) - look_azimuth_deg, 360.0)
    return np.where(d > 180.0, d - 360.0, d).astype(np.float32)


def era5_wind_direction(u10: "xr.DataArray", v10: "xr.DataArray") -> "xr.DataArray":
    """xarray: wind from-direction (radians, clockwise from north) of the ERA5
    components `u10` and `v10`. Works on NumPy- or dask-backed DataArrays; with
    dask the result stays lazy and is computed block by block."""
    import xarray as xr

    out: xr.DataArray = xr.apply_ufunc(
        wind_direction_block, u10, v10,
        dask="parallelized", output_dtypes=[np.float32],
    )
    return out.rename("wind_from_direction").assign_attrs(
        units="rad", standard_name="wind_from_direction",
        long_name="direction the wind blows from, clockwise from north")


def relative_wind_direction(direction_rad: "xr.DataArray",
                            look_azimuth_deg: "xr.DataArray | float") -> "xr.DataArray":
    """xarray: relative wind direction (degrees) of a from-direction in radians
    for a radar whose beam points to `look_azimuth_deg` (a number or a
    DataArray that broadcasts)."""
    import xarray as xr

    out: xr.DataArray = xr.apply_ufunc(
        relative_direction_block, direction_rad, look_azimuth_deg,
        dask="parallelized", output_dtypes=[np.float32],
    )
    return out.rename("relative_wind_direction").assign_attrs(
        units="degree", long_name="wind direction relative to the radar look direction (0 upwind)")


def cmod5n_wind_speed(wind_dir: "xr.DataArray", inc_angle: "xr.DataArray",
                      sigma0: "xr.DataArray") -> "xr.DataArray":
    """xarray: CMOD5.N wind speed (m/s) from relative wind direction (degrees),
    incidence angle (degrees) and sigma0 (dB). The three broadcast against each
    other (for example a 1-D incidence angle along the range dimension)."""
    import xarray as xr

    out: xr.DataArray = xr.apply_ufunc(
        wind_speed_block, wind_dir, inc_angle, sigma0,
        dask="parallelized", output_dtypes=[np.float64],
    )
    return out.rename("wind_speed").assign_attrs(
        units="m s-1", standard_name="wind_speed",
        long_name="CMOD5.N equivalent-neutral wind speed at 10 m")


@overload
def sigma0_to_db(sigma0_linear: "xr.DataArray") -> "xr.DataArray": ...
@overload
def sigma0_to_db(sigma0_linear: ArrayLike) -> NDArray[np.float32]: ...
def sigma0_to_db(sigma0_linear: "ArrayLike | xr.DataArray") -> "NDArray[np.float32] | xr.DataArray":
    """10 log10 of a linear sigma0, float32, NaN where it is not positive
    (no clipping: the inversion must see the observation as it is). A
    DataArray gives a DataArray (lazy when it is dask-backed), anything
    else a NumPy array."""
    import sys

    xarray = sys.modules.get("xarray")
    if xarray is not None and isinstance(sigma0_linear, xarray.DataArray):
        out: xr.DataArray = xarray.apply_ufunc(sigma0_db_block, sigma0_linear, dask="parallelized",
                                               output_dtypes=[np.float32])
        return out.rename("sigma0_db").assign_attrs(units="dB", long_name="sigma0 in decibels")
    return sigma0_db_block(sigma0_linear)


def sigma0_db_block(sigma0_linear: ArrayLike) -> NDArray[np.float32]:
    """`sigma0_to_db` of one block of a NumPy or dask array."""
    s = np.asarray(sigma0_linear, dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        db = np.where(s > 0.0, 10.0 * np.log10(np.where(s > 0.0, s, 1.0)), np.nan)
    return db.astype(np.float32)

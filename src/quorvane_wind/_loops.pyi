"""Native loops of the products layer over the pixels of a scene (the
extension module built from products_module/)."""

from typing import TypeAlias

import numpy as np
from numpy.typing import NDArray

# (vectors at the window's pixels, lo_index, hi_index, weight, blend)
LineLutArrays: TypeAlias = tuple[NDArray[np.float64], NDArray[np.int64], NDArray[np.int64],
                                 NDArray[np.float64], bool]
# (rows, columns, values) of the azimuth noise blocks
AzimuthArrays: TypeAlias = tuple[NDArray[np.int64], NDArray[np.int64], NDArray[np.float64]]
# (near_end, far_start, top_end, bottom_start)
BorderArrays: TypeAlias = tuple[NDArray[np.int64], NDArray[np.int64], NDArray[np.int64], NDArray[np.int64]]


def block_pass(dn: NDArray[np.uint16], factors: tuple[int, int], calibration: LineLutArrays,
               noise_range: LineLutArrays | None, noise_azimuth: AzimuthArrays,
               border: BorderArrays | None = None, land: NDArray[np.bool_] | None = None,
               with_land_fraction: bool = False,
               ) -> tuple[NDArray[np.float32], NDArray[np.float32], NDArray[np.float32] | None,
                          NDArray[np.int32]]:
    """The blocks of `factors` pixels of a window of DNs: sigma0, nesz,
    land_fraction (None unless asked, or per pixel), valid_count."""


def speed_uncertainty(table: NDArray[np.float32], rough: NDArray[np.uint8], incidence_axis: tuple[float, float],
                      direction_step: float, sigma0_axis: tuple[float, float], top: float,
                      speed: NDArray[np.float32], relative: NDArray[np.float32], incidence: NDArray[np.float32],
                      sigma0: NDArray[np.float32],
                      u_sigma0: NDArray[np.float64] | tuple[NDArray[np.float32], NDArray[np.int32], float, float,
                                                            float],
                      direction_deg: float,
                      alphas: tuple[float, float, float] | None = None) -> NDArray[np.float32]:
    """The standard uncertainty of each retrieved speed from the table of
    the kernel's speeds (lines x pixels, float32); NaN where the speed is
    not below the top and where the table declines."""

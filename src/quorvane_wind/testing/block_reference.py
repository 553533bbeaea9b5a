"""The blocks of a window in NumPy, written plainly: the reference that the
native pass (`grid.native_blocks`, `_loops.block_pass`) must equal bit for
bit. Calibration by `sentinel1.calibrate_window`, sums with np.add.reduceat
over lines, then pixels."""

from typing import Any

import numpy as np
from numpy.typing import NDArray

from ..sentinel1 import GrdScene, calibrate_window, positive_sigma0
from ..sentinel1.calibration import PixelMask


def block_sums(values: NDArray[Any], factors: tuple[int, int]) -> NDArray[Any]:
    starts_l = np.arange(0, values.shape[0], factors[0])
    starts_p = np.arange(0, values.shape[1], factors[1])
    return np.add.reduceat(np.add.reduceat(values, starts_l, axis=0), starts_p, axis=1)


def block_pixels(shape: tuple[int, ...], factors: tuple[int, int]) -> NDArray[np.int64]:
    fl, fp = factors
    starts_l = np.arange(0, shape[0], fl)
    starts_p = np.arange(0, shape[1], fp)
    return (np.minimum(fl, shape[0] - starts_l)[:, None]
            * np.minimum(fp, shape[1] - starts_p)[None, :])


def block_mean(values: NDArray[np.float32], valid: NDArray[np.bool_], factors: tuple[int, int],
               land: NDArray[np.bool_] | None = None) -> tuple[NDArray[np.float32], NDArray[np.int32]]:
    valid = valid & np.isfinite(values)
    if land is not None:
        valid &= ~land
        pixels = block_sums((~land).astype(np.int32), factors)
    else:
        pixels = block_pixels(values.shape, factors)
    total = block_sums(np.where(valid, values, 0.0).astype(np.float64), factors)
    count = block_sums(valid.astype(np.int32), factors)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = total / np.maximum(count, 1)
        kept = (count * 2 >= pixels) & (count > 0) & (mean > 0.0)
    return np.where(kept, mean, np.nan).astype(np.float32), count.astype(np.int32)


def reference_blocks(scene: GrdScene, dn: NDArray[Any], origin: tuple[int, int], factors: tuple[int, int],
                     border: PixelMask | None = None, land: NDArray[np.bool_] | None = None,
                     with_land_fraction: bool = False
                     ) -> tuple[NDArray[np.float32], NDArray[np.float32], NDArray[np.float32] | None,
                                NDArray[np.int32]]:
    """What `grid.native_blocks` gives for the same arguments."""
    r0, c0 = origin
    rows = np.arange(r0, r0 + dn.shape[0], dtype=np.float64)
    cols = np.arange(c0, c0 + dn.shape[1], dtype=np.float64)
    calibrated = calibrate_window(dn, rows, cols, scene.calibration, scene.noise_range, scene.noise_azimuth,
                                  border=border, with_nesz=True)
    assert calibrated.nesz is not None
    if factors == (1, 1):
        return (positive_sigma0(calibrated), calibrated.nesz.astype(np.float32), None,
                calibrated.valid.astype(np.int32))
    pixel_count = block_pixels(dn.shape, factors)
    nesz = (block_sums(calibrated.nesz, factors) / pixel_count).astype(np.float32)
    land_fraction = None
    if with_land_fraction:
        land_fraction = (np.zeros(nesz.shape, dtype=np.float32) if land is None else
                         (block_sums(land.astype(np.int32), factors) / pixel_count).astype(np.float32))
    sigma0, count = block_mean(calibrated.values, calibrated.valid, factors, land)
    return sigma0, nesz, land_fraction, count

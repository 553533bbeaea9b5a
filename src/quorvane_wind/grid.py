"""The grid of a wind product: blocks of native pixels of about the asked
resolution, computed in chunks of whole blocks, each block's sigma0 the
mean over its valid (sea) pixels, non-positive values included.

`SceneGrid.blocks` reads, calibrates and averages one chunk; the product
(`chunk.product_chunk`) and `open_s1_grd_averaged` both take their blocks
from it, so the averaging is written once. Land pixels come from the land
mask (`landmask.land_pixels`), which the reader itself never calls.
"""

import logging
from dataclasses import dataclass
from typing import Any, TypeAlias

import dask.array as da
import numpy as np
from dask.base import tokenize
import xarray as xr
from numpy.typing import NDArray

from .conventions import variable_attributes
from .defaults import CHUNK_PIXELS, RESOLUTION_M
from .options import (ChunkPlan, Chunks, Resolution, check_resolution, check_resolution_for_pixels,
                      chunk_plan, resolve_chunks)
from .sentinel1 import (BorderNoise, GrdScene, Measurement, TiffWindows, azimuth_times, default_chunks,
                        geometry_dataset, read_grd_metadata, scene_attributes, scene_dataset)
from .sentinel1.safe import PathLike

log = logging.getLogger(__name__)

Float64Array: TypeAlias = NDArray[np.float64]
Float32Array: TypeAlias = NDArray[np.float32]
Int32Array: TypeAlias = NDArray[np.int32]
# ((first line, end line), (first pixel, end pixel)) of a part of a scene.
Window: TypeAlias = tuple[tuple[int, int], tuple[int, int]]


def averaging_factors(scene: GrdScene, resolution: Resolution) -> tuple[int, int]:
    """Pixels per block along lines and pixels for a target resolution in
    metres (None or "native": 1 x 1). ValueError or TypeError for a
    resolution that is not a positive number of metres or finer than the
    pixels."""
    metres = check_resolution(resolution)
    if metres == "native":
        return 1, 1
    check_resolution_for_pixels(metres, scene.azimuth_pixel_spacing, scene.range_pixel_spacing)
    return (max(1, int(round(metres / scene.azimuth_pixel_spacing))),
            max(1, int(round(metres / scene.range_pixel_spacing))))


def _aligned(plan: ChunkPlan, sizes: tuple[int, int], shape: tuple[int, int],
             factors: tuple[int, int]) -> tuple[int, int]:
    """Chunk sizes in whole blocks of `factors` pixels; one chunk for a
    dimension asked whole (-1)."""
    aligned = [factor * -(-whole // factor) if asked == -1 else factor * max(1, size // factor)
               for asked, size, whole, factor in zip(plan, sizes, shape, factors)]
    return aligned[0], aligned[1]


def block_size_text(azimuth_m: float, range_m: float) -> str:
    """The size of an averaging block for the `spatial_resolution` attribute."""
    if abs(azimuth_m - range_m) < 1e-6 * max(azimuth_m, range_m):
        return f"{azimuth_m:g} m"
    return f"{azimuth_m:g} m (azimuth) x {range_m:g} m (range)"


def _block_centres(size: int, factor: int) -> Float64Array:
    starts = np.arange(0, size, factor)
    return (starts + np.minimum(starts + factor, size) - 1) / 2.0


class Blocks:
    """What the product takes from the image for one chunk, on its blocks."""

    def __init__(self, sigma0: Float32Array, nesz: Float32Array, land_fraction: Float32Array | None,
                 lines: Float64Array, pixels: Float64Array, valid_count: Int32Array) -> None:
        self.sigma0 = sigma0                  # mean over the valid (sea) pixels
        self.nesz = nesz                      # mean over all pixels
        self.land_fraction = land_fraction    # None without the land mask or on the native grid
        self.lines = lines                    # the blocks' centres
        self.pixels = pixels
        # The valid (sea) pixels averaged into sigma0, non-positive ones
        # included (also where sigma0 is NaN); on the native grid 1 for a
        # measurement, 0 for fill, border noise or non-finite values.
        self.valid_count = valid_count


# ---------------------------------------------------------------- the grid

@dataclass
class SceneGrid:
    """The grid of a product of one scene: blocks of `factors` native pixels
    (1 x 1 for the native grid) at `line_coords` x `pixel_coords` (block
    centres), computed in chunks whose native bounds are `line_bounds` x
    `pixel_bounds` (multiples of the factors) and whose blocks are
    `out_chunks`."""

    scene: GrdScene
    measurement: Measurement
    factors: tuple[int, int]
    line_bounds: list[tuple[int, int]]
    pixel_bounds: list[tuple[int, int]]
    line_coords: Float64Array
    pixel_coords: Float64Array
    out_chunks: tuple[tuple[int, ...], tuple[int, ...]]
    spatial_resolution: str
    border: BorderNoise | None = None    # border noise of products before IPF 2.90

    def azimuth_time(self) -> NDArray[np.datetime64]:
        return azimuth_times(self.scene, self.line_coords)

    def blocks(self, i: int, j: int, exclude_land: bool = False) -> Blocks:
        """The blocks of chunk (i, j): sigma0 averaged (over the sea pixels
        with `exclude_land`), the noise-equivalent sigma0 averaged over all
        pixels, the fraction of the pixels on land (with `exclude_land`
        and blocks of more than one pixel), the blocks' lines and pixels."""
        (r0, r1), (c0, c1) = self.line_bounds[i], self.pixel_bounds[j]
        dn = TiffWindows(self.measurement, self.scene.shape)[r0:r1, c0:c1]
        fl, fp = self.factors
        l0, p0 = self.line_bounds[0][0], self.pixel_bounds[0][0]
        lines = self.line_coords[(r0 - l0) // fl: -(-(r1 - l0) // fl)]
        pixels = self.pixel_coords[(c0 - p0) // fp: -(-(c1 - p0) // fp)]
        land = None
        if exclude_land and (fl, fp) != (1, 1):
            from .landmask import land_pixels
            land = land_pixels(self.scene.geolocation, (r0, r1), (c0, c1),
                               (self.scene.azimuth_pixel_spacing, self.scene.range_pixel_spacing))
        sigma0, nesz, land_fraction, count = native_blocks(self.scene, dn, (r0, c0), self.factors,
                                                           self.border, land, exclude_land)
        return Blocks(sigma0, nesz, land_fraction, lines, pixels, count)


def native_blocks(scene: GrdScene, dn: NDArray[Any], origin: tuple[int, int], factors: tuple[int, int],
                  border: BorderNoise | None = None, land: NDArray[np.bool_] | None = None,
                  with_land_fraction: bool = False
                  ) -> tuple[Float32Array, Float32Array, Float32Array | None, Int32Array]:
    """sigma0, NESZ, land fraction and valid (sea) pixel counts of the
    blocks of `factors` pixels of the window of DNs `dn` whose first line
    and pixel are `origin`, in one native pass over its pixels
    (`_loops.block_pass`): sigma0 = (DN^2 - noise) / A^2 of every sign
    averaged in linear units over the block's valid (sea) pixels, those at
    or below the noise level included: speckle spreads a weak signal plus
    noise on both sides of the noise level, and a mean of the positive side
    alone is biased high (by +1 dB at a true signal-to-noise ratio of
    -2..0 dB on IW GRDH, 4.4 looks, 1 km blocks, measured on the speckled
    fixtures of `testing.s1_grd`). A block has no sigma0 (NaN) where that
    mean is not positive, or fewer than half of its (sea) pixels are valid
    (a measurement: DN > 0, finite, not border noise, not land). The NESZ
    is the mean over all pixels (NaN without noise vectors); the land
    fraction, with `with_land_fraction` and blocks of more than one pixel,
    the share of land pixels. On the native grid (factors 1 x 1) the values
    are the pixels' own: sigma0 where a positive measurement, NaN
    elsewhere. The look-up tables are interpolated here, per line and per
    pixel column; every per-pixel step is the pass's."""
    from ._loops import block_pass

    r0, c0 = origin
    rows = np.arange(r0, r0 + dn.shape[0], dtype=np.float64)
    cols = np.arange(c0, c0 + dn.shape[1], dtype=np.float64)
    noise = None if scene.noise_range is None else scene.noise_range.window_arrays(rows, cols)
    edges = None
    if border is not None:
        near_end, far_start, top_end, bottom_start = border.edges(dn, rows, cols)
        edges = (near_end, far_start, top_end, bottom_start)
    return block_pass(dn, factors, scene.calibration.window_arrays(rows, cols), noise,
                      scene.noise_azimuth.window_arrays(rows, cols), edges, land, with_land_fraction)


def scene_grid(scene: GrdScene, resolution: Resolution = RESOLUTION_M, chunks: Chunks = None,
               window: Window | None = None) -> SceneGrid:
    """The `SceneGrid` of a product at `resolution` metres ("native" keeps
    the pixels); `chunks` as for `open_s1_grd_averaged`, by default of
    about CHUNK_PIXELS native pixels. `window` ((first line, end line),
    (first pixel, end pixel)) limits the grid to a part of the scene, whose
    blocks start at its first line and pixel."""
    plan = chunk_plan(chunks)
    fl, fp = averaging_factors(scene, resolution)
    measurement, block = scene.open_measurement()
    (r0, r1), (c0, c1) = window or ((0, scene.shape[0]), (0, scene.shape[1]))
    shape = (r1 - r0, c1 - c0)
    sizes = resolve_chunks(plan, shape, default_chunks(shape, block, (fl, fp), CHUNK_PIXELS))
    aligned = _aligned(plan, sizes, shape, (fl, fp))
    log.info("%s: %d x %d chunks of %d x %d pixels, blocks of %d x %d pixels", scene.name,
             -(-shape[0] // aligned[0]), -(-shape[1] // aligned[1]), *aligned, fl, fp)

    def bounds(start: int, end: int, step: int) -> list[tuple[int, int]]:
        return [(first, min(first + step, end)) for first in range(start, end, step)]

    line_bounds, pixel_bounds = bounds(r0, r1, aligned[0]), bounds(c0, c1, aligned[1])
    out_chunks = (tuple(-(-(b - a) // fl) for a, b in line_bounds),
                  tuple(-(-(b - a) // fp) for a, b in pixel_bounds))
    if (fl, fp) == (1, 1):
        text = (f"native ({scene.azimuth_pixel_spacing:g} m azimuth x "
                f"{scene.range_pixel_spacing:g} m range pixel spacing)")
    else:
        text = block_size_text(fl * scene.azimuth_pixel_spacing, fp * scene.range_pixel_spacing)
    return SceneGrid(scene, measurement, (fl, fp), line_bounds, pixel_bounds,
                     r0 + _block_centres(shape[0], fl), c0 + _block_centres(shape[1], fp),
                     out_chunks, text, scene.border_noise(measurement))


def scene_window(ds: xr.Dataset) -> tuple[GrdScene, Window | None]:
    """The scene of a Dataset `open_s1_grd` returned, and the window of it
    the Dataset holds (None for all of it): a part selected by line and
    pixel ranges is a window; the values are read again from the product.
    ValueError for a Dataset of another origin, averaged, or not a
    contiguous part of the native grid."""
    path = ds.attrs.get("sentinel1_path")
    if not isinstance(path, str) or "averaging_block" in ds.attrs:
        what = ("an averaged one" if "averaging_block" in ds.attrs else
                "it has no sentinel1_path attribute")
        raise ValueError("the Dataset must be the native one open_s1_grd returns, or a part of it "
                         f"selected by line and pixel ranges, not {what}; averaging is "
                         "make_wind_product's resolution")
    scene = read_grd_metadata(path, str(ds.attrs.get("sentinel1_polarisation", "VV")))
    window = []
    for dim, size in zip(("line", "pixel"), scene.shape):
        index = np.asarray(ds[dim].values, dtype=np.float64) if dim in ds.coords else np.empty(0)
        if dim in ds.coords and index.size == 0:
            raise ValueError(f"the Dataset's selection of {dim}s is empty (the scene has {size} {dim}s, "
                             f"0 to {size - 1})")
        if (index.size == 0 or not np.array_equal(index, index[0] + np.arange(index.size))
                or index[0] < 0 or index[-1] >= size or index[0] != int(index[0])):
            raise ValueError(f"the Dataset's {dim} coordinate must be a contiguous range of the scene's "
                             f"(0 to {size - 1}, selected with a slice of step 1)")
        window.append((int(index[0]), int(index[0]) + index.size))
    full = all(w == (0, size) for w, size in zip(window, scene.shape))
    return scene, None if full else (window[0], window[1])


def open_s1_grd_averaged(path_or_scene: "PathLike | GrdScene", resolution: Resolution = RESOLUTION_M,
                         polarisation: str = "VV", chunks: Chunks = None) -> xr.Dataset:
    """The product of `open_s1_grd` averaged over blocks of about
    `resolution` metres ("native" keeps the pixels): sigma0 averaged in
    linear units over the valid pixels of a block, those whose noise-corrected
    value is not positive included (NaN when fewer than half of the block's
    pixels are valid, or the mean is not positive; fill and border noise
    are not valid), incidence, latitude, longitude, look
    azimuth and time at the block centres. The blocks at the far edges keep
    the pixels the scene has there. `spatial_resolution` records the real
    block size."""
    chunk_plan(chunks)
    check_resolution(resolution)
    scene = path_or_scene if isinstance(path_or_scene, GrdScene) else read_grd_metadata(
        path_or_scene, polarisation)
    grid = scene_grid(scene, resolution, chunks)
    if grid.factors == (1, 1):
        return scene_dataset(scene, (grid.line_bounds[0][1], grid.pixel_bounds[0][1]))

    def mean(block_id: tuple[int, int] | None = None) -> Float32Array:
        assert block_id is not None       # dask passes it to a function that takes it
        return grid.blocks(*block_id).sigma0

    token = tokenize(grid.measurement.path, grid.measurement.member, grid.factors,
                             grid.line_bounds, grid.pixel_bounds, scene.polarisation)
    sigma0 = da.map_blocks(mean, dtype=np.float32, chunks=grid.out_chunks,
                           name=f"sigma0-mean-{scene.name}-{token}")
    ds = geometry_dataset(scene, grid.line_coords, grid.pixel_coords,
                          (grid.out_chunks[0][0], grid.out_chunks[1][0]))
    ds["sigma0"] = (("line", "pixel"), sigma0,
                    variable_attributes("sigma0", polarisation=scene.polarisation,
                                        sea_mean=", mean over the block's valid pixels"))
    ds.attrs.update(scene_attributes(scene))
    ds.attrs["spatial_resolution"] = grid.spatial_resolution
    ds.attrs["averaging_block"] = f"{grid.factors[0]} lines x {grid.factors[1]} pixels"
    return ds

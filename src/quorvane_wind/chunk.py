"""Every field of the wind product for one chunk of its grid, in one pass:
the blocks' sigma0 and NESZ, the geometry, the ERA5 wind, the kernel and
the mask; and the lazy dask arrays that compute each chunk once for all
fields."""

import contextlib
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, TypeAlias

import numpy as np
from numpy.typing import NDArray

from .conventions import (COASTAL_BAND, CONVERTED_FROM_HH, INCIDENCE_OUTSIDE_MODEL, INVALID_SIGMA0, LAND,
                          LOW_SIGNAL, NO_ANCILLARY_WIND, NO_WIND_BITS, SEA_ICE, SEA_ICE_THRESHOLD,
                          SPEED_AT_MODEL_LIMIT)
from .defaults import LADDER_TOP, MODEL_INCIDENCE_RANGE
from .era5 import Era5Instant
from .grid import SceneGrid

if TYPE_CHECKING:
    import dask.array as da

    from .landmask import CoastalBand

Chunk: TypeAlias = dict[str, NDArray[Any]]


# Multiple of the NESZ below which sigma0 is flagged low. The noise LUTs are
# known to about 1 dB, so the noise subtracted may be wrong by
# (10^0.1 - 1) NESZ = 0.26 NESZ; below 2.6 NESZ that is more than 10 % of
# sigma0 (0.4 dB, about 0.6 m/s at 7 m/s), whatever the averaging. (The
# speckle, which averaging reduces, is in wind_speed_uncertainty.)
LOW_SIGNAL_NESZ_MULTIPLE = 2.6


def product_chunk(grid: SceneGrid, instant: Era5Instant, land: bool, kernel_threads: int | None,
                  i: int, j: int, coast: "CoastalBand | None" = None) -> Chunk:
    """Every field of the product for chunk (i, j) of `grid`, in one pass:
    sigma0 (averaged over the sea pixels with `land`), NESZ, land fraction,
    geometry, ERA5 wind and sea ice, the kernel (on VV, or HH converted to
    VV), the speed's uncertainty, the mask (the coastal band from `coast`, a
    `landmask.CoastalBand`). Fused so
    that a chunk's temporaries live only while it is computed. With
    `kernel_threads`, the kernel and the native passes run on that many
    OpenMP threads (the caller then runs chunks on threads of its own)."""
    from .landmask import land_mask_block
    from .retrieval import (hh_to_vv, relative_direction_block, sigma0_db_block, wind_direction_block,
                            wind_speed_block)
    from .uncertainty import block_wind_speed_uncertainty

    def limits() -> contextlib.AbstractContextManager[object]:
        if kernel_threads is None:
            return contextlib.nullcontext()
        from threadpoolctl import threadpool_limits
        limiter: contextlib.AbstractContextManager[object] = threadpool_limits(limits=kernel_threads,
                                                                               user_api="openmp")
        return limiter

    # The native pass over the pixels runs on OpenMP threads too: as many
    # as the kernel, so that chunks on threads of their own do not
    # oversubscribe the cores.
    with limits():
        blocks = grid.blocks(i, j, exclude_land=land)
    sigma0, nesz, land_fraction, lines, pixels = (blocks.sigma0, blocks.nesz, blocks.land_fraction,
                                                  blocks.lines, blocks.pixels)
    hh = grid.scene.polarisation == "HH"
    geolocation = grid.scene.geolocation
    latitude = geolocation.field("latitude", lines, pixels)
    longitude = geolocation.field("longitude", lines, pixels)
    incidence = geolocation.field("incidence", lines, pixels).astype(np.float32)
    look = geolocation.look_azimuth(lines, pixels)
    u10, v10 = instant.interpolate(latitude, longitude)
    sea_ice = instant.sea_ice_fraction(latitude, longitude) if instant.has_sea_ice else None

    with limits():
        direction = wind_direction_block(u10, v10)
        relative = relative_direction_block(direction, look)
        observed = hh_to_vv(sigma0, incidence) if hh else sigma0
        speed = wind_speed_block(relative, incidence, sigma0_db_block(observed)).astype(np.float32)

    mask = np.zeros(sigma0.shape, dtype=np.uint16)

    def flag(bit: int, where: NDArray[np.bool_]) -> None:
        np.bitwise_or(mask, np.uint16(bit), out=mask, where=where)

    if land:
        on_land = land_mask_block(latitude, longitude)
        flag(LAND, on_land)
        if land_fraction is None:             # native grid: the pixel is the block
            land_fraction = on_land.astype(np.float32)
    else:
        land_fraction = np.full(sigma0.shape, np.nan, dtype=np.float32)
    if coast is not None:
        flag(COASTAL_BAND, coast.at(latitude, longitude))
    if hh:
        mask |= np.uint16(CONVERTED_FROM_HH)
    # NaN (invalid sigma0, no noise vectors) compares false: never low.
    flag(LOW_SIGNAL, sigma0.astype(np.float64) < LOW_SIGNAL_NESZ_MULTIPLE * nesz.astype(np.float64))
    flag(INVALID_SIGMA0, np.isnan(sigma0))
    flag(INCIDENCE_OUTSIDE_MODEL, (incidence < MODEL_INCIDENCE_RANGE[0]) | (incidence > MODEL_INCIDENCE_RANGE[1]))
    # Calm ERA5 (u10 = v10 = 0) has no direction: no ancillary wind either.
    flag(NO_ANCILLARY_WIND, np.isnan(u10) | np.isnan(v10) | np.isnan(direction))
    if sea_ice is not None:
        flag(SEA_ICE, sea_ice >= SEA_ICE_THRESHOLD)
    # The kernel answers 26 for invalid input too: only a retrieved speed
    # can be at the model's limit.
    retrieved = (mask & NO_WIND_BITS) == 0
    flag(SPEED_AT_MODEL_LIMIT, retrieved & (speed >= LADDER_TOP))
    speed[~retrieved] = np.nan
    # Only the retrieved speeds (the others are NaN now), none at the
    # model's limit, where the speed is a bound: on the chunk's own arrays,
    # no copies of the pixels.
    if (speed < LADDER_TOP).any():
        # Products of modes without a published figure count one look per
        # pixel: the larger uncertainty.
        looks = grid.scene.looks or 1.0
        with limits():
            uncertainty = block_wind_speed_uncertainty(speed, relative, incidence, sigma0, nesz,
                                                       blocks.valid_count, looks, hh)
    else:
        uncertainty = np.full(sigma0.shape, np.nan, dtype=np.float32)
    return {
        "wind_speed": speed,
        "wind_speed_uncertainty": uncertainty,
        "wind_from_direction": (np.degrees(direction.astype(np.float64)) % 360.0).astype(np.float32),
        "era5_wind_speed": np.hypot(u10.astype(np.float64), v10.astype(np.float64)).astype(np.float32),
        "sigma0": sigma0, "incidence_angle": incidence, "mask": mask, "nesz": nesz,
        "land_fraction": land_fraction,
        "latitude": latitude, "longitude": longitude, "look_direction": look.astype(np.float32),
    }


# Names of the dask tasks that compute a chunk (progress is counted in them).
CHUNK_TASK_PREFIX = "wind-product-"
# The fields of `product_chunk` and their types.
CHUNK_FIELDS = {"wind_speed": np.float32, "wind_speed_uncertainty": np.float32,
                "wind_from_direction": np.float32,
                "era5_wind_speed": np.float32, "sigma0": np.float32, "incidence_angle": np.float32,
                "mask": np.uint16, "latitude": np.float64, "longitude": np.float64,
                "look_direction": np.float32, "nesz": np.float32, "land_fraction": np.float32}


def product_arrays(grid: SceneGrid, instant: Era5Instant, land: bool, kernel_threads: int | None,
                    coast: "CoastalBand | None" = None) -> dict[str, "da.Array"]:
    """Lazy dask arrays of every field: one task per chunk computes them all
    (`product_chunk`), one small task per field and chunk takes its part."""
    import uuid

    import dask.array as da

    def chunk(block_id: tuple[int, int] | None = None) -> NDArray[np.object_]:
        assert block_id is not None       # dask passes it to a function that takes it
        out = np.empty((1, 1), dtype=object)
        out[0, 0] = product_chunk(grid, instant, land, kernel_threads, *block_id, coast=coast)
        return out

    counts = tuple((1,) * len(c) for c in grid.out_chunks)
    results = da.map_blocks(chunk, dtype=object, chunks=counts,
                            name=f"{CHUNK_TASK_PREFIX}{grid.scene.name}-{uuid.uuid4().hex[:8]}")
    def part(name: str) -> Callable[[NDArray[np.object_]], NDArray[Any]]:
        def take(block: NDArray[np.object_]) -> NDArray[Any]:
            field: NDArray[Any] = block[0, 0][name]
            return field
        return take

    return {name: results.map_blocks(part(name), dtype=dtype, chunks=grid.out_chunks,
                                     name=f"{name}-{results.name}")
            for name, dtype in CHUNK_FIELDS.items()}

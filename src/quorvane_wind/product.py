"""The wind product of one scene: retrieval on the scene's grid, the CF-1.11
/ ACDD-1.3 Dataset, and its atomic write to NetCDF."""

import logging
import os
from collections.abc import Callable, Iterable, Mapping
from datetime import datetime, timezone
from typing import TYPE_CHECKING, Any, TypeAlias

import numpy as np
import xarray as xr
from numpy.typing import ArrayLike, NDArray

from . import __version__
from .geo import wrap_longitude
from .atomic import write_atomically
from .conventions import (COASTAL_BAND, CONVERTED_FROM_HH, GLOBAL_ATTRIBUTES, INCIDENCE_OUTSIDE_MODEL,
                          INVALID_SIGMA0, LAND, LOW_SIGNAL, NEVER_MISSING, NO_ANCILLARY_WIND, NO_WIND_BITS,
                          PRODUCER_DEFAULTS, SPEED_AT_MODEL_LIMIT, variable_attributes)
from .era5 import Era5Input, Era5Instant, check_era5, era5_instant
from .options import Chunks, Resolution, check_polarisation, check_resolution, chunk_plan
from .retrieval import (LADDER_TOP, MODEL_INCIDENCE_RANGE, POLARISATION_RATIO_FORMULA,
                        POLARISATION_RATIO_REFERENCE, sigma0_to_db)
from .defaults import COAST_DISTANCE_KM, RESOLUTION_M
from .sentinel1 import (GrdScene, SceneGrid, azimuth_times, iso_time, product_name, read_grd_metadata,
                        scene_grid, scene_window)

if TYPE_CHECKING:
    import dask.array as da

    from .landmask import CoastalBand

log = logging.getLogger(__name__)

Chunk: TypeAlias = dict[str, NDArray[Any]]

def low_signal_multiple(factors: tuple[int, int]) -> float:
    """The multiple of the NESZ below which a pixel's sigma0 is flagged low.

    With speckle, a pixel's intensity fluctuates in proportion to signal plus
    noise; the block mean of M independent samples has relative standard
    deviation (sigma0 + NESZ) / (sigma0 sqrt(M)), of which the noise adds
    NESZ / (sigma0 sqrt(M)). That share reaches 10 % (0.4 dB) below
    sigma0 = 10 NESZ / sqrt(M); M is taken as the block's pixels (a GRD
    pixel is about one independent look: IW GRDH has 4.4 looks over some
    4.4 pixels of resolution cell). Whatever the averaging, the noise LUTs
    are known to about 1 dB (20 %), which alone costs 10 % below twice the
    NESZ: the multiple is never below 2."""
    return max(2.0, 10.0 / float(np.sqrt(factors[0] * factors[1])))


def output_name(input_path: "str | os.PathLike[str]") -> str:
    """`<input name without .SAFE or .zip>_wind.nc`."""
    return f"{product_name(input_path)}_wind.nc"


def product_chunk(grid: SceneGrid, instant: Era5Instant, land: bool, kernel_threads: int | None,
                  i: int, j: int, coast: "CoastalBand | None" = None) -> Chunk:
    """Every field of the product for chunk (i, j) of `grid`, in one pass:
    sigma0 (averaged over the sea pixels with `land`), NESZ, land fraction,
    geometry, ERA5 wind, the kernel (on VV, or HH converted to VV), the
    mask (the coastal band from `coast`, a `landmask.CoastalBand`). Fused so
    that a chunk's temporaries live only while it is computed. With
    `kernel_threads`, the kernel runs on that many OpenMP threads (the
    caller then runs chunks on threads of its own)."""
    import contextlib

    from .landmask import land_mask_block
    from .retrieval import hh_to_vv, relative_direction_block, wind_direction_block, wind_speed_block

    sigma0, nesz, land_fraction, lines, pixels = grid.blocks(i, j, exclude_land=land)
    hh = grid.scene.polarisation == "HH"
    geolocation = grid.scene.geolocation
    latitude = geolocation.field("latitude", lines, pixels)
    longitude = geolocation.field("longitude", lines, pixels)
    incidence = geolocation.field("incidence", lines, pixels).astype(np.float32)
    look = geolocation.look_azimuth(lines, pixels)
    u10, v10 = instant.interpolate(latitude, longitude)

    limits: contextlib.AbstractContextManager[object] = contextlib.nullcontext()
    if kernel_threads is not None:
        from threadpoolctl import threadpool_limits
        limits = threadpool_limits(limits=kernel_threads, user_api="openmp")
    with limits:
        direction = wind_direction_block(u10, v10)
        relative = relative_direction_block(direction, look)
        observed = hh_to_vv(sigma0, incidence) if hh else sigma0
        speed = wind_speed_block(relative, incidence, sigma0_to_db(observed)).astype(np.float32)

    mask = np.zeros(sigma0.shape, dtype=np.uint8)

    def flag(bit: int, where: NDArray[np.bool_]) -> None:
        np.bitwise_or(mask, np.uint8(bit), out=mask, where=where)

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
        mask |= np.uint8(CONVERTED_FROM_HH)
    # NaN (invalid sigma0, no noise vectors) compares false: never low.
    flag(LOW_SIGNAL, sigma0.astype(np.float64) < low_signal_multiple(grid.factors) * nesz.astype(np.float64))
    flag(INVALID_SIGMA0, np.isnan(sigma0))
    flag(INCIDENCE_OUTSIDE_MODEL, (incidence < MODEL_INCIDENCE_RANGE[0]) | (incidence > MODEL_INCIDENCE_RANGE[1]))
    flag(NO_ANCILLARY_WIND, np.isnan(u10) | np.isnan(v10))
    # The kernel answers 26 for invalid input too: only a retrieved speed
    # can be at the model's limit.
    retrieved = (mask & NO_WIND_BITS) == 0
    flag(SPEED_AT_MODEL_LIMIT, retrieved & (speed >= LADDER_TOP))
    speed[~retrieved] = np.nan
    return {
        "wind_speed": speed,
        "wind_from_direction": (np.degrees(direction.astype(np.float64)) % 360.0).astype(np.float32),
        "era5_wind_speed": np.hypot(u10.astype(np.float64), v10.astype(np.float64)).astype(np.float32),
        "sigma0": sigma0, "incidence_angle": incidence, "mask": mask, "nesz": nesz,
        "land_fraction": land_fraction,
        "latitude": latitude, "longitude": longitude, "look_direction": look.astype(np.float32),
    }


# Names of the dask tasks that compute a chunk (progress is counted in them).
CHUNK_TASK_PREFIX = "wind-product-"
# Native pixels per chunk: a chunk's fields and temporaries take about
# 250 MB, and as many chunks are in flight as threads.
CHUNK_PIXELS = 2_000_000

# The fields of `product_chunk` and their types.
CHUNK_FIELDS = {"wind_speed": np.float32, "wind_from_direction": np.float32,
                "era5_wind_speed": np.float32, "sigma0": np.float32, "incidence_angle": np.float32,
                "mask": np.uint8, "latitude": np.float64, "longitude": np.float64,
                "look_direction": np.float32, "nesz": np.float32, "land_fraction": np.float32}


def _product_arrays(grid: SceneGrid, instant: Era5Instant, land: bool, kernel_threads: int | None,
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


def make_wind_product(s1_path: "str | os.PathLike[str] | GrdScene | xr.Dataset", era5: Era5Input,
                      resolution: Resolution = RESOLUTION_M, land: bool = True, history: str | None = None,
                      chunks: Chunks = None, kernel_threads: int | None = None,
                      polarisation: str = "auto", coast_distance_km: float = COAST_DISTANCE_KM,
                      attributes: Mapping[str, Any] | None = None) -> xr.Dataset:
    """The lazy CF wind product Dataset of one Sentinel-1 GRD product.

    `s1_path` is the product's path (.SAFE folder or .zip), the Dataset
    `open_s1_grd` returned for it, or a part of that Dataset selected by
    line and pixel ranges (`ds.isel(line=slice(1000, 3000))`; the product
    is then made of that window, its pixels read again from the product's
    files, its values those of the whole scene's product there), or the scene `read_grd_metadata` returned (for a Dataset or a
    scene, `polarisation` is theirs, and "auto" or the same one may be
    given). `era5` is what
    `open_era5` returns, a Dataset or a list of ERA5 files;
    `resolution` in metres (a positive number, not finer than the pixels)
    or "native"; `chunks` the native pixels of each computed chunk: "auto"
    or None (about CHUNK_PIXELS), one size, a (rows, cols) pair or a dict
    by dimension {"line": ..., "pixel": ...} (-1: the whole dimension);
    `land` masks land pixels, leaves
    them out of the sigma0 averages and flags the sea within
    `coast_distance_km` of land; `history` is the command line to record;
    `kernel_threads` the OpenMP threads of each kernel call (default: the
    runtime's; 1 when chunks run on as many threads as cores).
    `polarisation` is "VV", "HH" or "auto" (VV when the product has it,
    else HH): CMOD5.N is a VV model, so HH sigma0 is converted to VV with a
    polarisation ratio first. `attributes` are global attributes of the
    producer's (ACDD's institution, creator_*, publisher_*, project, id,
    naming_authority, ...) that replace the defaults. Raises InputError
    (and its CoverageError) with a one-line reason for bad inputs,
    ValueError or TypeError naming the argument for bad arguments."""
    polarisation = check_polarisation(polarisation)
    resolution = check_resolution(resolution)
    chunk_plan(chunks)
    check_era5(era5)
    if isinstance(coast_distance_km, bool) or not isinstance(coast_distance_km, (int, float)):
        raise TypeError(f"coast_distance_km must be a number of kilometres, not {coast_distance_km!r}")
    if not coast_distance_km >= 0:
        raise ValueError(f"coast_distance_km must be 0 or more, not {coast_distance_km!r}")
    if kernel_threads is not None and (isinstance(kernel_threads, bool) or not isinstance(kernel_threads, int)
                                       or kernel_threads < 1):
        raise ValueError(f"kernel_threads must be a positive number of threads or None, "
                         f"not {kernel_threads!r}")
    window = None
    if isinstance(s1_path, GrdScene):
        scene = s1_path
    elif isinstance(s1_path, xr.Dataset):
        scene, window = scene_window(s1_path)
    elif isinstance(s1_path, (str, os.PathLike)):
        scene = read_grd_metadata(s1_path, polarisation)
    else:
        raise TypeError("s1_path must be the path of a Sentinel-1 GRD product (.SAFE folder or .zip), "
                        "the Dataset open_s1_grd returns (or a part of it) or the GrdScene "
                        f"read_grd_metadata returns, not {type(s1_path).__name__}")
    if not isinstance(s1_path, (str, os.PathLike)) and polarisation not in ("auto", scene.polarisation):
        raise ValueError(f"polarisation {polarisation!r} differs from the scene's ({scene.polarisation}); "
                         "read the scene with that polarisation")
    grid = scene_grid(scene, resolution, chunks, CHUNK_PIXELS, window)
    g = scene.geolocation
    lat_edges, lon_edges = grid_edges(grid)
    # The ERA5 files must cover the scene, or the part of it the product is
    # made of (its extremes lie on its edges).
    bounds = (g.latitude, g.longitude) if window is None else (lat_edges, wrap_longitude(lon_edges))
    instant, era5_files = era5_instant(era5, scene.mid_time, bounds)
    coast = None
    if land and coast_distance_km > 0:
        from .landmask import CoastalBand
        coast = CoastalBand(g, coast_distance_km)
    fields = _product_arrays(grid, instant, land, kernel_threads, coast)
    hh = scene.polarisation == "HH"
    multiple = low_signal_multiple(grid.factors)
    texts = {"polarisation": scene.polarisation,
             "hh_conversion": ", from HH sigma0 converted to VV with a polarisation ratio" if hh else "",
             "sea_mean": ", mean over the block's sea pixels" if land and grid.factors != (1, 1) else "",
             "low_signal_multiple": multiple, "coast_distance_km": coast_distance_km}

    ds = xr.Dataset(coords={
        "line": ("line", grid.line_coords), "pixel": ("pixel", grid.pixel_coords),
        "latitude": (("line", "pixel"), fields["latitude"]),
        "longitude": (("line", "pixel"), fields["longitude"]),
        "time": ("line", grid.azimuth_time()), "height": ((), np.float32(10.0))})
    names = ["wind_speed", "wind_from_direction", "era5_wind_speed", "sigma0", "nesz", "incidence_angle",
             "mask", *(["land_fraction"] if land else []), "look_direction"]
    for name in names:
        ds[name] = (("line", "pixel"), fields[name])
    ds["platform_heading"] = ((), np.float32(scene.heading))
    for key, variable in ds.variables.items():
        variable.attrs = variable_attributes(str(key), **texts)
    ds["mask"].attrs.update(low_signal_nesz_multiple=multiple,
                            coast_distance_km=float(coast_distance_km) if coast is not None else 0.0)

    if window is None:
        start, end = scene.first_line_time, scene.last_line_time
    else:
        start, end = azimuth_times(scene, [grid.line_bounds[0][0], grid.line_bounds[-1][1] - 1])
    lon_min, lon_max = longitude_bounds(lon_edges)
    now = datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    ds.attrs = {
        "Conventions": GLOBAL_ATTRIBUTES["Conventions"],
        "title": f"Sentinel-1 ocean surface wind speed (CMOD5.N) from {scene.name}",
        "summary": "10 m equivalent-neutral wind speed retrieved from Sentinel-1 "
                   f"{scene.mode} GRD {scene.polarisation} sigma0 "
                   f"{'converted to VV with a polarisation ratio ' if hh else ''}by exact inversion of CMOD5.N, "
                   "with the wind direction from ERA5.",
        **GLOBAL_ATTRIBUTES,
        "id": f"{scene.name}_wind",
        **PRODUCER_DEFAULTS,
        "source": f"Sentinel-1 Level-1 GRD product {scene.name}; ERA5 10 m wind from {', '.join(era5_files)}",
        "history": f"{now} {history}" if history else f"{now} quorvane_wind.make_wind_product",
        "comment": "Pixels flagged in `mask` (land, invalid sigma0, incidence outside "
                   f"{MODEL_INCIDENCE_RANGE[0]:g}-{MODEL_INCIDENCE_RANGE[1]:g} degrees, no ERA5 wind) "
                   "have no wind speed; low signal and the coastal band only warn.",
        "acknowledgement": f"Contains modified Copernicus Sentinel data {str(scene.first_line_time)[:4]}. "
                           "Contains modified Copernicus Climate Change Service information "
                           f"{np.datetime_as_string(scene.mid_time, 'Y')}.",
        "platform": f"Sentinel-1{scene.mission[-1:]}",
        "product_version": __version__,
        "date_created": now, "date_modified": now, "date_issued": now,
        "time_coverage_start": iso_time(start),
        "time_coverage_end": iso_time(end),
        "time_coverage_duration": _duration(end - start),
        "time_coverage_resolution": _duration(np.timedelta64(
            int(round(scene.azimuth_time_interval * grid.factors[0] * 1e6)), "us")),
        "geospatial_lat_min": float(lat_edges.min()), "geospatial_lat_max": float(lat_edges.max()),
        "geospatial_lon_min": lon_min, "geospatial_lon_max": lon_max,
        "geospatial_bounds": footprint_wkt(grid_corners(grid)),
        "spatial_resolution": grid.spatial_resolution,
        "sentinel1_product": scene.name, "sentinel1_mode": scene.mode,
        "sentinel1_polarisation": scene.polarisation, "orbit_pass": scene.orbit_pass,
        "polarisation_conversion": (f"HH to VV: {POLARISATION_RATIO_FORMULA}" if hh else "none"),
        "era5_time": iso_time(scene.mid_time),
        "thermal_noise_removal": scene.attrs.get("thermal_noise_removal", ""),
        "quorvane_options": format_options(product_options(resolution, land, polarisation,
                                                           coast_distance_km)),
    }
    if window is not None:
        (r0, r1), (c0, c1) = window
        ds.attrs["sentinel1_window"] = f"lines {r0} to {r1 - 1}, pixels {c0} to {c1 - 1}"
    if hh:
        ds.attrs["polarisation_ratio_reference"] = POLARISATION_RATIO_REFERENCE
        ds.attrs["references"] += "; " + POLARISATION_RATIO_REFERENCE
    ds.attrs.update(attributes or {})
    return ds


def _duration(span: np.timedelta64) -> str:
    """An ISO 8601 duration (time_coverage_duration) of a timedelta64."""
    return f"PT{span / np.timedelta64(1, 'us') / 1e6:.6f}S"


def grid_edges(grid: SceneGrid) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Latitude and (continuous) longitude along the edges of the product's
    grid, where the extremes of a swath lie, without computing the grid."""
    g = grid.scene.geolocation
    lines, pixels = grid.line_coords, grid.pixel_coords
    ends = (np.array([lines[0], lines[-1]]), np.array([pixels[0], pixels[-1]]))
    lat = np.concatenate([g.field("latitude", ends[0], pixels).ravel(),
                          g.field("latitude", lines, ends[1]).ravel()])
    lon = np.concatenate([g.unwrapped_longitude(ends[0], pixels).ravel(),
                          g.unwrapped_longitude(lines, ends[1]).ravel()])
    return lat, lon


def grid_corners(grid: SceneGrid) -> list[tuple[float, float]]:
    """(longitude, latitude) of the grid's four corners, in order around
    it, longitudes continuous."""
    g = grid.scene.geolocation
    lines, pixels = grid.line_coords, grid.pixel_coords
    around = [(lines[0], pixels[0]), (lines[0], pixels[-1]), (lines[-1], pixels[-1]), (lines[-1], pixels[0])]
    return [(float(g.unwrapped_longitude([r], [c])[0, 0]), float(g.field("latitude", [r], [c])[0, 0]))
            for r, c in around]


def footprint_wkt(corners: Iterable[tuple[float, float]]) -> str:
    """ACDD geospatial_bounds: the WKT polygon of the scene's corners (lon
    lat order, counter-clockwise, EPSG:4326); across the antimeridian a
    MULTIPOLYGON of the two parts, cut at 180 degrees."""
    points = _counter_clockwise(list(corners))
    west = min(c[0] for c in points)
    east = max(c[0] for c in points)
    shift = 360.0 * float(np.floor((west + 180.0) / 360.0))
    points = [(x - shift, y) for x, y in points]
    if east - shift <= 180.0:
        return _polygon(points)
    parts = [_clip(points, -180.0, 180.0), [(x - 360.0, y) for x, y in _clip(points, 180.0, 540.0)]]
    return "MULTIPOLYGON (" + ", ".join(_polygon(p)[len("POLYGON "):] for p in parts if p) + ")"


def _counter_clockwise(points: list[tuple[float, float]]) -> list[tuple[float, float]]:
    area = sum(x0 * y1 - x1 * y0 for (x0, y0), (x1, y1) in zip(points, points[1:] + points[:1]))
    return points if area > 0 else points[::-1]


def _polygon(points: list[tuple[float, float]]) -> str:
    ring = points + points[:1]
    return "POLYGON ((" + ", ".join(f"{x:.5f} {y:.5f}" for x, y in ring) + "))"


def _clip(points: list[tuple[float, float]], low: float, high: float) -> list[tuple[float, float]]:
    """The part of a polygon between two meridians (Sutherland-Hodgman on
    the longitude axis)."""
    sides: list[tuple[float, Callable[[float], bool]]] = [(low, lambda x: x >= low),
                                                          (high, lambda x: x <= high)]
    for bound, keep in sides:
        out: list[tuple[float, float]] = []
        for (x0, y0), (x1, y1) in zip(points, points[1:] + points[:1]):
            if keep(x0):
                out.append((x0, y0))
            if keep(x0) != keep(x1):
                t = (bound - x0) / (x1 - x0)
                out.append((bound, y0 + t * (y1 - y0)))
        points = out
        if not points:
            break
    return points


def longitude_bounds(longitude: ArrayLike) -> tuple[float, float]:
    """ACDD's geospatial_lon_min/max of continuous (unwrapped) longitudes:
    each end in [-180, 180), so min > max when the scene crosses the
    antimeridian; the whole circle when it spans 360 degrees."""
    lon = np.asarray(longitude, dtype=np.float64)
    west, east = float(np.min(lon)), float(np.max(lon))
    if east - west >= 360.0:
        return -180.0, 180.0
    return wrap_longitude(west), wrap_longitude(east)


def netcdf_encoding(ds: xr.Dataset) -> dict[str, dict[str, Any]]:
    """Compressed, chunked NetCDF-4 encoding of a product Dataset."""
    enc: dict[str, dict[str, Any]] = {}
    for key, var in ds.variables.items():
        name = str(key)
        if var.ndim != 2:
            enc[name] = {"_FillValue": None}
            if name == "time":
                enc[name].update(units="seconds since 1970-01-01T00:00:00Z", dtype="float64")
            continue
        # File chunks no taller than the computed ones: a band of lines then
        # fills whole file chunks and none is compressed twice.
        computed: tuple[Any, ...] = var.chunks or var.shape
        chunks = tuple(max(1, min(1024, n, c[0] if isinstance(c, tuple) else c))
                       for n, c in zip(var.shape, computed))
        # Deflate at level 1: at higher levels a native scene spends minutes
        # compressing speckle for a few per cent of size. The byte shuffle
        # makes smooth fields (coordinates, angles, ERA5) shrink tenfold and
        # compress several times faster; it does not pay on the speckled
        # wind speed.
        e = {"zlib": True, "complevel": 1, "shuffle": name != "wind_speed", "chunksizes": chunks}
        if var.dtype.kind == "f" and name not in NEVER_MISSING:
            e["_FillValue"] = np.nan if var.dtype == np.float32 else np.float64(np.nan)
        else:
            e["_FillValue"] = None
        enc[name] = e
    return enc


WRITE_CHUNK_CACHE = 8 << 20


def write_product(ds: xr.Dataset, path: "str | os.PathLike[str]") -> None:
    """Writes the product Dataset to NetCDF-4 at `path` atomically
    (compressed, chunked). The quicklook is drawn afterwards from the
    written file (`quicklook.write_quicklook`), so that its failure cannot
    cost the product."""
    import netCDF4

    encoding = netcdf_encoding(ds)
    # Each band of lines fills whole file chunks, so HDF5's chunk cache
    # (64 MB per variable by default, 0.6 GB for a product) gains nothing.
    cache = netCDF4.get_chunk_cache()
    netCDF4.set_chunk_cache(WRITE_CHUNK_CACHE, cache[1], 1.0)
    try:
        write_atomically(path, lambda tmp: ds.to_netcdf(tmp, engine="netcdf4", format="NETCDF4",
                                                        encoding=encoding))
    finally:
        netCDF4.set_chunk_cache(*cache)
    log.info("product written: %s", os.fspath(path))


def product_options(resolution: Resolution, land: bool, polarisation: str = "auto",
                    coast_distance_km: float = COAST_DISTANCE_KM) -> dict[str, str]:
    """The options that decide a product's content, as recorded in its
    `quorvane_options` attribute: an existing product is reused only when
    they match."""
    res = "native" if resolution in (None, "native") else f"{float(resolution):g}"
    return {"resolution": res, "land_mask": "yes" if land else "no",
            "polarisation": str(polarisation).lower() if str(polarisation).lower() == "auto"
            else str(polarisation).upper(),
            "coast_distance_km": f"{float(coast_distance_km):g}"}


def format_options(options: Mapping[str, str]) -> str:
    return "; ".join(f"{k}={v}" for k, v in options.items())


def recorded_options(path: "str | os.PathLike[str]") -> dict[str, str] | None:
    """The options recorded in an existing product (None when it records
    none or cannot be read)."""
    import netCDF4

    try:
        with netCDF4.Dataset(path) as nc:
            text = getattr(nc, "quorvane_options", None)
    except OSError:
        return None
    if not isinstance(text, str):
        return None
    return dict(item.split("=", 1) for item in text.split("; ") if "=" in item)

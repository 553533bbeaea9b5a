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
from .era5 import Era5Input, Era5Instant, check_era5, era5_instant
from .options import Chunks, Resolution, check_polarisation, check_resolution, chunk_plan
from .retrieval import (LADDER_TOP, MODEL_INCIDENCE_RANGE, POLARISATION_RATIO_FORMULA,
                        POLARISATION_RATIO_REFERENCE, sigma0_to_db)
from .defaults import COAST_DISTANCE_KM, RESOLUTION_M
from .sentinel1 import GrdScene, SceneGrid, product_name, read_grd_metadata, scene_grid

if TYPE_CHECKING:
    import dask.array as da

    from .landmask import CoastalBand

log = logging.getLogger(__name__)

Chunk: TypeAlias = dict[str, NDArray[Any]]

# Bits of the `mask` variable. Pixels with any of the first four have no
# wind speed (NaN); the others only inform.
LAND = 1
INVALID_SIGMA0 = 2
INCIDENCE_OUTSIDE_MODEL = 4
NO_ANCILLARY_WIND = 8
SPEED_AT_MODEL_LIMIT = 16
LOW_SIGNAL = 32
COASTAL_BAND = 64
CONVERTED_FROM_HH = 128
FLAGS = {
    "land": LAND,
    "invalid_sigma0": INVALID_SIGMA0,
    "incidence_outside_model_range": INCIDENCE_OUTSIDE_MODEL,
    "no_ancillary_wind": NO_ANCILLARY_WIND,
    "wind_speed_at_model_limit": SPEED_AT_MODEL_LIMIT,
    "low_signal": LOW_SIGNAL,
    "coastal_band": COASTAL_BAND,
    "sigma0_converted_from_hh": CONVERTED_FROM_HH,
}
NO_WIND_BITS = LAND | INVALID_SIGMA0 | INCIDENCE_OUTSIDE_MODEL | NO_ANCILLARY_WIND



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


def _iso(t: np.datetime64) -> str:
    return str(np.datetime_as_string(np.datetime64(t, "us"), unit="us")) + "Z"


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


def make_wind_product(s1_path: "str | os.PathLike[str] | GrdScene", era5: Era5Input,
                      resolution: Resolution = RESOLUTION_M, land: bool = True, history: str | None = None,
                      chunks: Chunks = None, kernel_threads: int | None = None,
                      polarisation: str = "auto", coast_distance_km: float = COAST_DISTANCE_KM,
                      attributes: Mapping[str, Any] | None = None) -> xr.Dataset:
    """The lazy CF wind product Dataset of one Sentinel-1 GRD product.

    `s1_path` is the product's path (.SAFE folder or .zip) or the scene
    `read_grd_metadata` returned for it (then `polarisation` is the
    scene's, and "auto" or the same one may be given). `era5` is what
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
    if isinstance(s1_path, GrdScene):
        scene = s1_path
        if polarisation not in ("auto", scene.polarisation):
            raise ValueError(f"polarisation {polarisation!r} differs from the scene's "
                             f"({scene.polarisation}); "
                             "read the scene with that polarisation")
    elif isinstance(s1_path, (str, os.PathLike)):
        scene = read_grd_metadata(s1_path, polarisation)
    else:
        raise TypeError("s1_path must be the path of a Sentinel-1 GRD product (.SAFE folder or .zip) or "
                        f"the GrdScene read_grd_metadata returns, not {type(s1_path).__name__}"
                        + ("; a Dataset of open_s1_grd cannot be made into a product, pass "
                           "read_grd_metadata(path) instead" if isinstance(s1_path, xr.Dataset) else ""))
    grid = scene_grid(scene, resolution, chunks, CHUNK_PIXELS)
    g = scene.geolocation
    instant, era5_files = era5_instant(era5, scene.mid_time, (g.latitude, g.longitude))
    coast = None
    if land and coast_distance_km > 0:
        from .landmask import CoastalBand
        coast = CoastalBand(g, coast_distance_km)
    fields = _product_arrays(grid, instant, land, kernel_threads, coast)
    hh = scene.polarisation == "HH"
    multiple = low_signal_multiple(grid.factors)

    coords = {
        "line": ("line", grid.line_coords, {
            "long_name": "line of the block centre in the Level-1 image", "units": "1"}),
        "pixel": ("pixel", grid.pixel_coords, {
            "long_name": "pixel (sample) of the block centre in the Level-1 image", "units": "1"}),
        "latitude": (("line", "pixel"), fields["latitude"], {
            "standard_name": "latitude", "units": "degrees_north", "long_name": "latitude",
            "owi_name": "owiLat"}),
        "longitude": (("line", "pixel"), fields["longitude"], {
            "standard_name": "longitude", "units": "degrees_east", "long_name": "longitude",
            "owi_name": "owiLon"}),
        "time": ("line", grid.azimuth_time(), {
            "standard_name": "time", "long_name": "zero-Doppler azimuth time of the line",
            "units_metadata": "leap_seconds: none"}),
        "height": ((), np.float32(10.0), {
            "standard_name": "height", "units": "m", "positive": "up", "axis": "Z",
            "long_name": "height above the sea surface of the wind"}),
    }
    data: dict[str, tuple["da.Array", dict[str, Any]]] = {
        "wind_speed": (fields["wind_speed"], {
            "standard_name": "wind_speed", "units": "m s-1",
            "long_name": "equivalent-neutral wind speed at 10 m from CMOD5.N (CF has no standard "
                         "name for equivalent-neutral wind)"
                         + (", from HH sigma0 converted to VV with a polarisation ratio" if hh else ""),
            "comment": "NaN where the mask marks land, invalid sigma0, incidence outside the "
                       "model's range or no ancillary wind; 0.01 m/s steps; 26 m/s (the top of "
                       "the model's range, flagged in the mask) means 26 m/s or more",
            "owi_name": "owiWindSpeed", "valid_min": np.float32(0.0), "valid_max": np.float32(LADDER_TOP),
            "ancillary_variables": "mask"}),
        "wind_from_direction": (fields["wind_from_direction"], {
            "standard_name": "wind_from_direction", "units": "degree",
            "long_name": "direction the wind blows from, clockwise from north, from ERA5",
            "owi_name": "owiEcmwfWindDirection"}),
        "era5_wind_speed": (fields["era5_wind_speed"], {
            "units": "m s-1", "source": "ERA5 reanalysis (ECMWF, Copernicus Climate Change Service)",
            "long_name": "ERA5 10 m wind speed interpolated to the pixels",
            "comment": "the model's wind_speed at 10 m, the ancillary of the retrieval; without a "
                       "standard name so that wind_speed names the retrieved speed alone",
            "owi_name": "owiEcmwfWindSpeed"}),
        "sigma0": (fields["sigma0"], {
            "standard_name": "surface_backwards_scattering_coefficient_of_radar_wave", "units": "1",
            "long_name": f"normalised radar cross-section, {scene.polarisation}, calibrated and "
                         "thermal-noise corrected, linear"
                         + (", mean over the block's sea pixels" if land and grid.factors != (1, 1) else ""),
            "owi_name": "owiNrcs"}),
        "nesz": (fields["nesz"], {
            "units": "1",
            "long_name": f"noise-equivalent sigma0, {scene.polarisation}: noise range LUT x noise "
                         "azimuth LUT / sigmaNought LUT^2, linear, mean over all pixels of the block",
            "comment": "NaN when the product has no noise vectors",
            "ancillary_variables": "sigma0"}),
        "incidence_angle": (fields["incidence_angle"], {
            "standard_name": "angle_of_incidence", "units": "degree",
            "long_name": "incidence angle", "owi_name": "owiIncidenceAngle"}),
        "mask": (fields["mask"], {
            "standard_name": "status_flag", "long_name": "reasons a pixel has no or a doubtful wind speed",
            "flag_masks": np.array(list(FLAGS.values()), dtype=np.uint8),
            "flag_meanings": " ".join(FLAGS), "owi_name": "owiMask",
            "comment": f"low_signal: sigma0 < {multiple:g} x nesz (attribute low_signal_nesz_multiple), "
                       "the speed is kept; coastal_band: a sea pixel whose land-mask cell is within "
                       f"{coast_distance_km:g} km of a land cell (attribute coast_distance_km; none "
                       "without the land mask); sigma0_converted_from_hh: every pixel of a product "
                       "made from HH",
            "owi_mask_relation": "ESA's Level-2 OCN owiMask is 0 valid, 1 land, 2 ice, 4 no "
                                 "value: bit 1 here is its land value; the bits 2, 4 and 8 here "
                                 "are among its 'no value' cases; it has no low signal, coastal "
                                 "band or HH bit, and this product has no ice mask",
            "low_signal_nesz_multiple": multiple,
            "coast_distance_km": float(coast_distance_km) if coast is not None else 0.0}),
    }
    if land:
        data["land_fraction"] = (fields["land_fraction"], {
            "standard_name": "land_area_fraction", "units": "1",
            "long_name": "fraction of the block's native pixels on land (GLOBE 1 km land mask at "
                         "each pixel); they are left out of the sigma0 mean"})
    ds = xr.Dataset(coords=coords)
    for name, (array, attrs) in data.items():
        ds[name] = (("line", "pixel"), array)
        ds[name].attrs = attrs
    ds["platform_heading"] = ((), np.float32(scene.heading), {
        "standard_name": "platform_course", "units": "degree",
        "long_name": "platform heading, clockwise from north", "owi_name": "owiHeading"})
    ds["look_direction"] = (("line", "pixel"), fields["look_direction"], {
        "units": "degree",
        "long_name": "azimuth the radar beam points to at the pixel: the ground direction of "
                     "increasing range, clockwise from north, from the geolocation grid",
        "comment": "the CF sensor_azimuth_angle (from the pixel to the sensor) is this plus 180 "
                   "degrees; the wind direction relative to the look direction uses it per pixel"})

    for name, kind in COVERAGE_CONTENT_TYPES.items():
        if name in ds.variables:
            ds[name].attrs["coverage_content_type"] = kind

    year_s1 = str(scene.first_line_time)[:4]
    lat, lon = grid_edges(grid)
    lon_min, lon_max = longitude_bounds(lon)
    era5_text = ", ".join(era5_files)
    now = datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    ds.attrs = {
        "Conventions": "CF-1.11, ACDD-1.3",
        "title": f"Sentinel-1 ocean surface wind speed (CMOD5.N) from {scene.name}",
        "summary": "10 m equivalent-neutral wind speed retrieved from Sentinel-1 "
                   f"{scene.mode} GRD {scene.polarisation} sigma0 "
                   f"{'converted to VV with a polarisation ratio ' if hh else ''}by exact inversion of CMOD5.N, "
                   "with the wind direction from ERA5.",
        "keywords": ", ".join(KEYWORDS),
        "keywords_vocabulary": "GCMD Science Keywords",
        "standard_name_vocabulary": "CF Standard Name Table v93",
        "cdm_data_type": "Swath",
        "id": f"{scene.name}_wind",
        "naming_authority": "quorvane",
        "project": "Sentinel-1 ocean wind",
        "program": "Copernicus",
        "institution": "not given (set it with quorvane-wind --attribute institution=...)",
        "creator_name": "not given (set it with quorvane-wind --attribute creator_name=...)",
        "creator_type": "institution",
        "publisher_name": "not given (set it with quorvane-wind --attribute publisher_name=...)",
        "publisher_type": "institution",
        "source": f"Sentinel-1 Level-1 GRD product {scene.name}; ERA5 10 m wind from {era5_text}",
        "history": f"{now} {history}" if history else f"{now} quorvane_wind.make_wind_product",
        "references": "Hersbach, H. (2010): Comparison of C-band scatterometer CMOD5.N "
                      "equivalent neutral winds with ECMWF, J. Atmos. Oceanic Technol. 27, 721-736",
        "comment": "Pixels flagged in `mask` (land, invalid sigma0, incidence outside "
                   f"{MODEL_INCIDENCE_RANGE[0]:g}-{MODEL_INCIDENCE_RANGE[1]:g} degrees, no ERA5 wind) "
                   "have no wind speed; low signal and the coastal band only warn.",
        "acknowledgement": f"Contains modified Copernicus Sentinel data {year_s1}. Contains modified "
                           "Copernicus Climate Change Service information "
                           f"{np.datetime_as_string(scene.mid_time, 'Y')}.",
        "license": "Copernicus Sentinel data and ERA5 (C3S) terms apply to the inputs.",
        "platform": f"Sentinel-1{scene.mission[-1:]}",
        "platform_vocabulary": "GCMD Platform Keywords",
        "instrument": "C-SAR",
        "instrument_vocabulary": "GCMD Instrument Keywords",
        "processing_level": "L2",
        "product_version": __version__,
        "date_created": now, "date_modified": now, "date_issued": now,
        "time_coverage_start": _iso(scene.first_line_time),
        "time_coverage_end": _iso(scene.last_line_time),
        "time_coverage_duration": _duration(scene.last_line_time - scene.first_line_time),
        "geospatial_lat_min": float(lat.min()), "geospatial_lat_max": float(lat.max()),
        "geospatial_lon_min": lon_min, "geospatial_lon_max": lon_max,
        "geospatial_lat_units": "degrees_north", "geospatial_lon_units": "degrees_east",
        "geospatial_bounds": footprint_wkt(grid_corners(grid)), "geospatial_bounds_crs": "EPSG:4326",
        "geospatial_vertical_min": 10.0, "geospatial_vertical_max": 10.0,
        "geospatial_vertical_units": "m", "geospatial_vertical_positive": "up",
        "geospatial_bounds_vertical_crs": "EPSG:5829",
        "time_coverage_resolution": _duration(np.timedelta64(
            int(round(scene.azimuth_time_interval * grid.factors[0] * 1e6)), "us")),
        "spatial_resolution": grid.spatial_resolution,
        "sentinel1_product": scene.name, "sentinel1_mode": scene.mode,
        "sentinel1_polarisation": scene.polarisation, "orbit_pass": scene.orbit_pass,
        "wind_model_polarisation": "VV",
        "polarisation_conversion": (f"HH to VV: {POLARISATION_RATIO_FORMULA}" if hh else "none"),
        "era5_time": _iso(scene.mid_time),
        "thermal_noise_removal": scene.attrs.get("thermal_noise_removal", ""),
        "quorvane_options": format_options(product_options(resolution, land, polarisation,
                                                           coast_distance_km)),
    }
    if hh:
        ds.attrs["polarisation_ratio_reference"] = POLARISATION_RATIO_REFERENCE
        ds.attrs["references"] += "; " + POLARISATION_RATIO_REFERENCE
    ds.attrs.update(attributes or {})
    return ds


KEYWORDS = ("EARTH SCIENCE > OCEANS > OCEAN WINDS > SURFACE WINDS",
            "EARTH SCIENCE > OCEANS > OCEAN WINDS > WIND SPEED",
            "EARTH SCIENCE > SPECTRAL/ENGINEERING > RADAR > RADAR BACKSCATTER")

# ACDD's coverage_content_type of each variable.
COVERAGE_CONTENT_TYPES = {
    "wind_speed": "physicalMeasurement", "sigma0": "physicalMeasurement",
    "wind_from_direction": "auxiliaryInformation", "era5_wind_speed": "auxiliaryInformation",
    "nesz": "qualityInformation", "mask": "qualityInformation",
    "land_fraction": "auxiliaryInformation", "incidence_angle": "coordinate",
    "look_direction": "coordinate", "latitude": "coordinate", "longitude": "coordinate",
    "platform_heading": "auxiliaryInformation",
}


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


# Fields that have a value at every pixel: no _FillValue (CF forbids one on
# coordinates, and one that never occurs misleads).
NEVER_MISSING = {"latitude", "longitude", "incidence_angle", "look_direction"}


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

"""The wind product of one scene: `make_wind_product` puts the lazy fields
of `chunk` on the scene's grid (`grid`) into a CF-1.11 / ACDD-1.3 Dataset;
`netcdf.write_product` writes it."""

import logging
import os
import warnings
from collections.abc import Mapping
from datetime import datetime, timezone
from typing import Any

import numpy as np
import xarray as xr

from ._version import __version__
from .chunk import LOW_SIGNAL_NESZ_MULTIPLE, product_arrays
from .conventions import (GLOBAL_ATTRIBUTES, PRODUCER_DEFAULTS, SEA_ICE_THRESHOLD, iso_time,
                          variable_attributes)
from .defaults import COAST_DISTANCE_KM, MODEL_INCIDENCE_RANGE, RESOLUTION_M
from .era5 import Era5Input, check_era5, era5_instant
from .errors import ProcessingWarning
from .footprint import footprint_wkt, grid_corners, grid_edges, longitude_bounds
from .geo import wrap_longitude
from .grid import SceneGrid, Window, scene_grid, scene_window
from .netcdf import format_options, output_name, product_options, write_product
from .options import (Chunks, Resolution, check_coast_distance, check_kernel_threads, check_polarisation,
                      check_resolution, chunk_plan)
from .retrieval import POLARISATION_RATIO_FORMULA, POLARISATION_RATIO_REFERENCE
from .sentinel1 import GrdScene, azimuth_times, read_grd_metadata

__all__ = ["make_wind_product", "output_name", "write_product"]

log = logging.getLogger(__name__)


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
    files, its values those of the whole scene's product there), or the
    scene `read_grd_metadata` returned (for a Dataset or a scene,
    `polarisation` is theirs, and "auto" or the same one may be given).
    `era5` is what `open_era5` returns, a Dataset or a list of ERA5 files;
    `resolution` in metres (a positive number, not finer than the pixels)
    or "native"; `chunks` the native pixels of each computed chunk: "auto"
    or None (about CHUNK_PIXELS), one size, a (rows, cols) pair or a dict
    by dimension {"line": ..., "pixel": ...} (-1: the whole dimension);
    `land` masks land pixels, leaves them out of the sigma0 averages and
    flags the sea within `coast_distance_km` of land; `history` is the
    command line to record; `kernel_threads` the OpenMP threads of each
    kernel call (default: the runtime's; 1 when chunks run on as many
    threads as cores). `polarisation` is "VV", "HH" or "auto" (VV when the
    product has it, else HH): CMOD5.N is a VV model, so HH sigma0 is
    converted to VV with a polarisation ratio first. `attributes` are
    global attributes of the producer's (ACDD's institution, creator_*,
    publisher_*, project, id, naming_authority, ...) that replace the
    defaults. Raises InputError (and its CoverageError) with a one-line
    reason for bad inputs, ValueError or TypeError naming the argument for
    bad arguments."""
    polarisation = check_polarisation(polarisation)
    resolution = check_resolution(resolution)
    chunk_plan(chunks)
    check_era5(era5)
    coast_distance_km = check_coast_distance(coast_distance_km)
    kernel_threads = check_kernel_threads(kernel_threads)
    scene, window = _scene_of(s1_path, polarisation)
    grid = scene_grid(scene, resolution, chunks, window)
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
    fields = product_arrays(grid, instant, land, kernel_threads, coast)
    hh = scene.polarisation == "HH"
    multiple = LOW_SIGNAL_NESZ_MULTIPLE
    texts = {"polarisation": scene.polarisation,
             "hh_comment": "; from HH sigma0 converted to VV with a polarisation ratio" if hh else "",
             "hh_uncertainty": ", the polarisation ratio (alpha uniform from 0.45 to 1)" if hh else "",
             "sea_mean": ", mean over the block's sea pixels" if land and grid.factors != (1, 1) else "",
             "low_signal_multiple": multiple, "coast_distance_km": coast_distance_km}

    ds = xr.Dataset(coords={
        "line": ("line", grid.line_coords), "pixel": ("pixel", grid.pixel_coords),
        "latitude": (("line", "pixel"), fields["latitude"]),
        "longitude": (("line", "pixel"), fields["longitude"]),
        "time": ("line", grid.azimuth_time()), "height": ((), np.float32(10.0))})
    names = ["wind_speed", "wind_speed_uncertainty", "wind_from_direction", "era5_wind_speed", "sigma0", "nesz", "incidence_angle",
             "mask", *(["land_fraction"] if land else []), "look_direction"]
    for name in names:
        ds[name] = (("line", "pixel"), fields[name])
    ds["platform_heading"] = ((), np.float32(scene.heading))
    for key, variable in ds.variables.items():
        variable.attrs = variable_attributes(str(key), **texts)
    ds["mask"].attrs.update(low_signal_nesz_multiple=multiple,
                            coast_distance_km=float(coast_distance_km) if coast is not None else 0.0,
                            sea_ice_fraction_threshold=SEA_ICE_THRESHOLD)
    if not instant.has_sea_ice and can_meet_sea_ice(lat_edges):
        warnings.warn(f"{scene.name}: the ERA5 files give no sea-ice fraction (siconc) and the scene "
                      f"reaches latitude {_poleward(lat_edges):.0f}: winds are retrieved over any sea ice; "
                      "add sea_ice_cover to the ERA5 request", ProcessingWarning, stacklevel=2)
    ds.attrs = global_attributes(scene, grid, window, lat_edges, lon_edges, era5_files, history)
    ds.attrs["sea_ice_source"] = (f"ERA5 sea-ice area fraction (siconc) interpolated to the pixels, sea ice "
                                  f"where it is {SEA_ICE_THRESHOLD:g} or more" if instant.has_sea_ice else
                                  "none: the ERA5 files give no sea-ice fraction")
    ds.attrs["quorvane_options"] = format_options(product_options(resolution, land, polarisation,
                                                                  coast_distance_km))
    if window is not None:
        (r0, r1), (c0, c1) = window
        ds.attrs["sentinel1_window"] = f"lines {r0} to {r1 - 1}, pixels {c0} to {c1 - 1}"
    if hh:
        ds.attrs["polarisation_ratio_reference"] = POLARISATION_RATIO_REFERENCE
        ds.attrs["references"] += "; " + POLARISATION_RATIO_REFERENCE
    ds.attrs.update(attributes or {})
    return ds


# Latitudes beyond which a scene can meet sea ice: the most equatorward seas
# that freeze are the Bohai Sea (from about 37 N) in the north and the
# winter ice edge near 50 S in the south.
SEA_ICE_LATITUDES = (-50.0, 37.0)


def can_meet_sea_ice(latitude: Any) -> bool:
    """Whether a scene whose latitudes are `latitude` can meet sea ice."""
    lat = np.asarray(latitude, dtype=np.float64)
    return bool(np.any(lat <= SEA_ICE_LATITUDES[0]) or np.any(lat >= SEA_ICE_LATITUDES[1]))


def _poleward(latitude: Any) -> float:
    lat = np.asarray(latitude, dtype=np.float64)
    return float(lat.max() if lat.max() >= -lat.min() else lat.min())


def _scene_of(s1_path: "str | os.PathLike[str] | GrdScene | xr.Dataset",
              polarisation: str) -> tuple[GrdScene, Window | None]:
    """The scene `make_wind_product` is given, and the window of it (None
    for all of it)."""
    window = None
    if isinstance(s1_path, GrdScene):
        scene = s1_path
    elif isinstance(s1_path, xr.Dataset):
        scene, window = scene_window(s1_path)
    elif isinstance(s1_path, (str, os.PathLike)):
        return read_grd_metadata(s1_path, polarisation), None
    else:
        raise TypeError("s1_path must be the path of a Sentinel-1 GRD product (.SAFE folder or .zip), "
                        "the Dataset open_s1_grd returns (or a part of it) or the GrdScene "
                        f"read_grd_metadata returns, not {type(s1_path).__name__}")
    if polarisation not in ("auto", scene.polarisation):
        raise ValueError(f"polarisation {polarisation!r} differs from the scene's ({scene.polarisation}); "
                         "read the scene with that polarisation")
    return scene, window


def global_attributes(scene: GrdScene, grid: SceneGrid, window: Window | None, lat_edges: Any,
                      lon_edges: Any, era5_files: list[str], history: str | None) -> dict[str, Any]:
    """The product's global attributes (CF, ACDD and the scene's) but the
    options it records."""
    hh = scene.polarisation == "HH"
    if window is None:
        start, end = scene.first_line_time, scene.last_line_time
    else:
        start, end = azimuth_times(scene, [grid.line_bounds[0][0], grid.line_bounds[-1][1] - 1])
    lon_min, lon_max = longitude_bounds(lon_edges)
    now = datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    return {
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
        "comment": "Pixels flagged in `mask` (land, sea ice, invalid sigma0, incidence outside "
                   f"{MODEL_INCIDENCE_RANGE[0]:g}-{MODEL_INCIDENCE_RANGE[1]:g} degrees, no ERA5 wind) "
                   "have no wind speed; low signal and the coastal band only warn; "
                   "wind_speed_uncertainty says how well each speed is known.",
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
    }


def _duration(span: np.timedelta64) -> str:
    """An ISO 8601 duration (time_coverage_duration) of a timedelta64."""
    return f"PT{span / np.timedelta64(1, 'us') / 1e6:.6f}S"

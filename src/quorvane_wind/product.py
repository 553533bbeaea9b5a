"""The wind product of one scene: retrieval on the scene's grid, the CF-1.11
/ ACDD-1.3 Dataset, and its atomic write to NetCDF."""

import os
from datetime import datetime, timezone

import numpy as np
import xarray as xr

from . import __version__
from .atomic import write_atomically
from .era5 import collocate_era5, open_era5
from .landmask import land_mask
from .retrieval import (LADDER_TOP, MODEL_INCIDENCE_RANGE, cmod5n_wind_speed,
                        era5_wind_direction, relative_wind_direction, sigma0_to_db)
from .sentinel1 import open_s1_grd_averaged, product_name, read_grd_metadata

# Bits of the `mask` variable. Pixels with any of the first four have no
# wind speed (NaN); the fifth only warns.
LAND = 1
INVALID_SIGMA0 = 2
INCIDENCE_OUTSIDE_MODEL = 4
NO_ANCILLARY_WIND = 8
SPEED_AT_MODEL_LIMIT = 16
FLAGS = {
    "land": LAND,
    "invalid_sigma0": INVALID_SIGMA0,
    "incidence_outside_model_range": INCIDENCE_OUTSIDE_MODEL,
    "no_ancillary_wind": NO_ANCILLARY_WIND,
    "wind_speed_at_model_limit": SPEED_AT_MODEL_LIMIT,
}
NO_WIND_BITS = LAND | INVALID_SIGMA0 | INCIDENCE_OUTSIDE_MODEL | NO_ANCILLARY_WIND


def output_name(input_path):
    """`<input name without .SAFE or .zip>_wind.nc`."""
    return f"{product_name(input_path)}_wind.nc"


def _iso(t):
    return np.datetime_as_string(np.datetime64(t, "us"), unit="us") + "Z"


def make_wind_product(s1_path, era5, resolution=1000, land=True, history=None, chunks=None):
    """The lazy CF wind product Dataset of one Sentinel-1 GRD product.

    `era5` is a Dataset from `open_era5` or a list of ERA5 files;
    `resolution` in metres or "native"; `land` masks land pixels;
    `history` is the command line to record. CMOD5.N is a VV model, so
    the VV image is used. Raises InputError (and its CoverageError) with a
    one-line reason for bad inputs."""
    scene = read_grd_metadata(s1_path, "VV")
    if isinstance(era5, (str, os.PathLike, list, tuple)):
        era5 = open_era5(era5)
    grid = open_s1_grd_averaged(scene, resolution, chunks=chunks)

    g = scene.geolocation
    u10, v10 = collocate_era5(era5, grid["latitude"], grid["longitude"], scene.mid_time,
                              scene_points=(g.latitude, g.longitude))
    direction = era5_wind_direction(u10, v10)
    look = grid["look_azimuth"]
    relative = relative_wind_direction(direction, look)
    sigma0_db = xr.apply_ufunc(sigma0_to_db, grid["sigma0"], dask="parallelized",
                               output_dtypes=[np.float32])
    speed = cmod5n_wind_speed(relative, grid["incidence"], sigma0_db).astype(np.float32)

    inc = grid["incidence"]
    mask = xr.zeros_like(grid["sigma0"], dtype=np.uint8)
    if land:
        mask = mask | xr.where(land_mask(grid["latitude"], grid["longitude"]), LAND, 0).astype(np.uint8)
    mask = mask | xr.where(grid["sigma0"].isnull(), INVALID_SIGMA0, 0).astype(np.uint8)
    outside = (inc < MODEL_INCIDENCE_RANGE[0]) | (inc > MODEL_INCIDENCE_RANGE[1])
    mask = mask | xr.where(outside, INCIDENCE_OUTSIDE_MODEL, 0).astype(np.uint8)
    mask = mask | xr.where(u10.isnull() | v10.isnull(), NO_ANCILLARY_WIND, 0).astype(np.uint8)
    # The kernel answers 26 for invalid input too: only a retrieved speed
    # can be at the model's limit.
    retrieved = (mask & NO_WIND_BITS) == 0
    mask = mask | xr.where(retrieved & (speed >= LADDER_TOP), SPEED_AT_MODEL_LIMIT, 0).astype(np.uint8)
    mask = mask.astype(np.uint8)
    wind_speed = speed.where(retrieved)

    from_deg = (np.degrees(direction.astype(np.float64)) % 360.0).astype(np.float32)
    era5_speed = np.hypot(u10.astype(np.float64), v10.astype(np.float64)).astype(np.float32)

    coords = {
        "line": ("line", grid["line"].values, {
            "long_name": "line of the block centre in the Level-1 image", "units": "1"}),
        "pixel": ("pixel", grid["pixel"].values, {
            "long_name": "pixel (sample) of the block centre in the Level-1 image", "units": "1"}),
        "latitude": (("line", "pixel"), grid["latitude"].data, {
            "standard_name": "latitude", "units": "degrees_north", "long_name": "latitude",
            "owi_name": "owiLat"}),
        "longitude": (("line", "pixel"), grid["longitude"].data, {
            "standard_name": "longitude", "units": "degrees_east", "long_name": "longitude",
            "owi_name": "owiLon"}),
        "time": ("line", grid["azimuth_time"].values, {
            "standard_name": "time", "long_name": "zero-Doppler azimuth time of the line"}),
        "height": ((), np.float32(10.0), {
            "standard_name": "height", "units": "m", "positive": "up", "axis": "Z",
            "long_name": "height above the sea surface of the wind"}),
    }
    data = {
        "wind_speed": (wind_speed, {
            "standard_name": "wind_speed", "units": "m s-1",
            "long_name": "equivalent-neutral wind speed at 10 m from CMOD5.N (CF has no standard "
                         "name for equivalent-neutral wind)",
            "comment": "NaN where the mask marks land, invalid sigma0, incidence outside the "
                       "model's range or no ancillary wind; 0.01 m/s steps; 26 m/s (the top of "
                       "the model's range, flagged in the mask) means 26 m/s or more",
            "owi_name": "owiWindSpeed", "valid_min": np.float32(0.0), "valid_max": np.float32(LADDER_TOP),
            "ancillary_variables": "mask"}),
        "wind_from_direction": (from_deg, {
            "standard_name": "wind_from_direction", "units": "degree",
            "long_name": "direction the wind blows from, clockwise from north, from ERA5",
            "owi_name": "owiEcmwfWindDirection"}),
        "era5_wind_speed": (era5_speed, {
            "standard_name": "wind_speed", "units": "m s-1",
            "long_name": "ERA5 10 m wind speed interpolated to the pixels",
            "owi_name": "owiEcmwfWindSpeed"}),
        "sigma0": (grid["sigma0"], {
            "standard_name": "surface_backwards_scattering_coefficient_of_radar_wave", "units": "1",
            "long_name": f"normalised radar cross-section, {scene.polarisation}, calibrated and "
                         "thermal-noise corrected, linear", "owi_name": "owiNrcs"}),
        "incidence_angle": (inc, {
            "standard_name": "angle_of_incidence", "units": "degree",
            "long_name": "incidence angle", "owi_name": "owiIncidenceAngle"}),
        "mask": (mask, {
            "standard_name": "status_flag", "long_name": "reasons a pixel has no or a doubtful wind speed",
            "flag_masks": np.array(list(FLAGS.values()), dtype=np.uint8),
            "flag_meanings": " ".join(FLAGS), "owi_name": "owiMask"}),
    }
    ds = xr.Dataset(coords=coords)
    for name, (array, attrs) in data.items():
        ds[name] = (("line", "pixel"), array.data if isinstance(array, xr.DataArray) else array)
        ds[name].attrs = attrs
    ds["platform_heading"] = ((), np.float32(scene.heading), {
        "standard_name": "platform_course", "units": "degree",
        "long_name": "platform heading, clockwise from north", "owi_name": "owiHeading"})
    ds["look_direction"] = (("line", "pixel"), look.astype(np.float32).data, {
        "units": "degree",
        "long_name": "azimuth the radar beam points to at the pixel: the ground direction of "
                     "increasing range, clockwise from north, from the geolocation grid",
        "comment": "the CF sensor_azimuth_angle (from the pixel to the sensor) is this plus 180 "
                   "degrees; the wind direction relative to the look direction uses it per pixel"})

    year_s1 = str(scene.first_line_time)[:4]
    lat = g.latitude
    lon_min, lon_max = longitude_bounds(g.longitude)
    era5_files = ", ".join(u10.attrs["source_files"])
    now = datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    ds.attrs = {
        "Conventions": "CF-1.11 ACDD-1.3",
        "title": f"Sentinel-1 ocean surface wind speed (CMOD5.N) from {scene.name}",
        "summary": "10 m equivalent-neutral wind speed retrieved from Sentinel-1 "
                   f"{scene.mode} GRD {scene.polarisation} sigma0 by exact inversion of CMOD5.N, "
                   "with the wind direction from ERA5.",
        "institution": "Quorvane",
        "source": f"Sentinel-1 Level-1 GRD product {scene.name}; ERA5 10 m wind from {era5_files}",
        "history": f"{now} {history}" if history else f"{now} quorvane_wind.make_wind_product",
        "references": "Hersbach, H. (2010): Comparison of C-band scatterometer CMOD5.N "
                      "equivalent neutral winds with ECMWF, J. Atmos. Oceanic Technol. 27, 721-736",
        "comment": "Pixels flagged in `mask` (land, invalid sigma0, incidence outside "
                   f"{MODEL_INCIDENCE_RANGE[0]:g}-{MODEL_INCIDENCE_RANGE[1]:g} degrees, no ERA5 wind) "
                   "have no wind speed.",
        "acknowledgement": f"Contains modified Copernicus Sentinel data {year_s1}. Contains modified "
                           "Copernicus Climate Change Service information "
                           f"{np.datetime_as_string(scene.mid_time, 'Y')}.",
        "license": "Copernicus Sentinel data and ERA5 (C3S) terms apply to the inputs.",
        "platform": f"Sentinel-1{scene.mission[-1:]}",
        "instrument": "C-SAR",
        "processing_level": "L2",
        "product_version": __version__,
        "date_created": now,
        "time_coverage_start": _iso(scene.first_line_time),
        "time_coverage_end": _iso(scene.last_line_time),
        "geospatial_lat_min": float(lat.min()), "geospatial_lat_max": float(lat.max()),
        "geospatial_lon_min": lon_min, "geospatial_lon_max": lon_max,
        "geospatial_lat_units": "degrees_north", "geospatial_lon_units": "degrees_east",
        "spatial_resolution": grid.attrs.get("spatial_resolution", "native"),
        "sentinel1_product": scene.name, "sentinel1_mode": scene.mode,
        "sentinel1_polarisation": scene.polarisation, "orbit_pass": scene.orbit_pass,
        "era5_time": _iso(scene.mid_time),
        "thermal_noise_removal": scene.attrs.get("thermal_noise_removal", ""),
        "quorvane_options": format_options(product_options(resolution, land)),
    }
    return ds


def longitude_bounds(longitude):
    """ACDD's geospatial_lon_min/max of continuous (unwrapped) longitudes:
    each end in [-180, 180), so min > max when the scene crosses the
    antimeridian; the whole circle when it spans 360 degrees."""
    west, east = float(np.min(longitude)), float(np.max(longitude))
    if east - west >= 360.0:
        return -180.0, 180.0
    return wrap_longitude(west), wrap_longitude(east)


def wrap_longitude(lon):
    """Longitude in [-180, 180)."""
    return (lon + 180.0) % 360.0 - 180.0


def netcdf_encoding(ds):
    """Compressed, chunked NetCDF-4 encoding of a product Dataset."""
    enc = {}
    for name, var in ds.variables.items():
        if var.ndim != 2:
            if name == "time":
                enc[name] = {"units": "seconds since 1970-01-01T00:00:00Z", "dtype": "float64"}
            continue
        # File chunks no taller than the computed ones: a band of lines then
        # fills whole file chunks and none is compressed twice.
        computed = var.chunks or var.shape
        chunks = tuple(max(1, min(1024, n, c[0] if isinstance(c, tuple) else c))
                       for n, c in zip(var.shape, computed))
        e = {"zlib": True, "complevel": 4, "chunksizes": chunks}
        if var.dtype.kind == "f":
            e["_FillValue"] = np.nan if var.dtype == np.float32 else np.float64(np.nan)
        else:
            e["_FillValue"] = None
        enc[name] = e
    return enc


def write_product(ds, path):
    """Writes the product Dataset to NetCDF-4 at `path` atomically
    (compressed, chunked). The quicklook is drawn afterwards from the
    written file (`quicklook.write_quicklook`), so that its failure cannot
    cost the product."""
    encoding = netcdf_encoding(ds)
    write_atomically(path, lambda tmp: ds.to_netcdf(tmp, engine="netcdf4", format="NETCDF4",
                                                    encoding=encoding))


def product_options(resolution, land):
    """The options that decide a product's content, as recorded in its
    `quorvane_options` attribute: an existing product is reused only when
    they match."""
    res = "native" if resolution in (None, "native") else f"{float(resolution):g}"
    return {"resolution": res, "land_mask": "yes" if land else "no"}


def format_options(options):
    return "; ".join(f"{k}={v}" for k, v in options.items())


def recorded_options(path):
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

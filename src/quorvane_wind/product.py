"""The wind product of one scene: retrieval on the scene's grid, the CF-1.11
/ ACDD-1.3 Dataset, and its atomic write to NetCDF."""

import glob
import os
import uuid
from datetime import datetime, timezone

import numpy as np
import xarray as xr

from . import __version__
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
    if not isinstance(era5, xr.Dataset):
        era5 = open_era5(era5)
    grid = open_s1_grd_averaged(scene, resolution, chunks=chunks)

    g = scene.geolocation
    u10, v10 = collocate_era5(era5, grid["latitude"], grid["longitude"], scene.mid_time,
                              scene_points=(g.latitude, g.longitude))
    direction = era5_wind_direction(u10, v10)
    relative = relative_wind_direction(direction, scene.look_azimuth)
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
    mask = mask | xr.where(speed >= LADDER_TOP, SPEED_AT_MODEL_LIMIT, 0).astype(np.uint8)
    mask = mask.astype(np.uint8)
    wind_speed = speed.where((mask & NO_WIND_BITS) == 0)

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
                       "model's range or no ancillary wind; 0.01 m/s steps",
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
    ds["look_direction"] = ((), np.float32(scene.look_azimuth), {
        "units": "degree", "long_name": "azimuth the radar beam points to (heading + 90, right-looking)"})

    year_s1 = str(scene.first_line_time)[:4]
    lat = g.latitude
    lon = (g.longitude + 180.0) % 360.0 - 180.0
    era5_files = ", ".join(era5.attrs.get("source_files", []))
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
                           f"{np.datetime_as_string(era5['time'].values[0], 'Y')}.",
        "license": "Copernicus Sentinel data and ERA5 (C3S) terms apply to the inputs.",
        "platform": f"Sentinel-1{scene.mission[-1:]}",
        "instrument": "C-SAR",
        "processing_level": "L2",
        "product_version": __version__,
        "date_created": now,
        "time_coverage_start": _iso(scene.first_line_time),
        "time_coverage_end": _iso(scene.last_line_time),
        "geospatial_lat_min": float(lat.min()), "geospatial_lat_max": float(lat.max()),
        "geospatial_lon_min": float(lon.min()), "geospatial_lon_max": float(lon.max()),
        "geospatial_lat_units": "degrees_north", "geospatial_lon_units": "degrees_east",
        "spatial_resolution": "native" if resolution in (None, "native") else f"{float(resolution):g} m",
        "sentinel1_product": scene.name, "sentinel1_mode": scene.mode,
        "sentinel1_polarisation": scene.polarisation, "orbit_pass": scene.orbit_pass,
        "era5_time": _iso(scene.mid_time),
        "thermal_noise_removal": scene.attrs.get("thermal_noise_removal", ""),
    }
    return ds


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


def temporary_path(final_path):
    """A fresh name in the output folder for writing `final_path`: hidden,
    unique to this writer, ending in .part."""
    final_path = os.fspath(final_path)
    folder, name = os.path.split(final_path)
    return os.path.join(folder, f".{name}.{uuid.uuid4().hex[:12]}.part")


def remove_partial_files(final_path):
    """Deletes temporary files left for `final_path` by an earlier writer
    that was killed."""
    folder, name = os.path.split(os.fspath(final_path))
    for path in glob.glob(os.path.join(glob.escape(folder or "."), f".{glob.escape(name)}.*.part")):
        try:
            os.remove(path)
        except FileNotFoundError:
            pass


def _sync_folder(folder):
    """Puts a rename in `folder` on disk (where the file system allows it)."""
    try:
        descriptor = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(descriptor)
    except OSError:
        pass
    finally:
        os.close(descriptor)


def write_atomically(final_path, write):
    """Calls `write(temporary_path)` and renames the file to `final_path`
    once it is complete. On any failure or interruption the temporary file
    is removed and `final_path` is left as it was."""
    tmp = temporary_path(final_path)
    try:
        write(tmp)
        # On disk before the rename, so that a crash of the machine cannot
        # leave the final name on a file whose data never arrived.
        with open(tmp, "rb") as written:
            os.fsync(written.fileno())
        os.replace(tmp, final_path)
        _sync_folder(os.path.dirname(os.fspath(final_path)) or ".")
    except BaseException:
        try:
            os.remove(tmp)
        except FileNotFoundError:
            pass
        raise


def write_product(ds, path, quicklook_path=None):
    """Writes the product Dataset to NetCDF-4 at `path` atomically
    (compressed, chunked). With `quicklook_path`, the quicklook PNG is drawn
    from the written file and put in place before the product, so that a
    product that exists has its quicklook."""
    encoding = netcdf_encoding(ds)

    def write(tmp):
        ds.to_netcdf(tmp, engine="netcdf4", format="NETCDF4", encoding=encoding)
        if quicklook_path is not None:
            from .quicklook import write_quicklook

            remove_partial_files(quicklook_path)
            with xr.open_dataset(tmp) as written:
                write_quicklook(written.load(), quicklook_path)

    write_atomically(path, write)

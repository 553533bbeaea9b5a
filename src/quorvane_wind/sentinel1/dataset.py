"""A scene as a lazy xarray Dataset on (line, pixel): calibrated sigma0
read by windows, and the geometry from the geolocation grid, with the
names and attributes the wind product gives the same quantities."""

import logging
import os
import zlib
from typing import Any

import dask.array as da
import numpy as np
import xarray as xr
from numpy.typing import ArrayLike, NDArray

from ..conventions import iso_time, variable_attributes
from ..options import Chunks, chunk_plan, resolve_chunks
from .calibration import Float64Array, calibrate_block
from .geolocation import Geolocation
from .measurement import TiffWindows, default_chunks
from .safe import PathLike
from .scene import GrdScene, azimuth_times, read_grd_metadata

log = logging.getLogger(__name__)


def _geometry_block(rows: Float64Array, cols: Float64Array, geolocation: Geolocation,
                    which: str) -> NDArray[Any]:
    if which == "look_azimuth":
        return geolocation.look_azimuth(rows.ravel(), cols.ravel())
    values = geolocation.field(which, rows.ravel(), cols.ravel())
    return values.astype(np.float32) if which == "incidence" else values


def coordinate_arrays(line_coords: ArrayLike, pixel_coords: ArrayLike,
                      chunks: tuple[int, int]) -> tuple[da.Array, da.Array]:
    rows = da.from_array(np.asarray(line_coords, dtype=np.float64)[:, None], chunks=(chunks[0], 1))
    cols = da.from_array(np.asarray(pixel_coords, dtype=np.float64)[None, :], chunks=(1, chunks[1]))
    return rows, cols


def geometry_dataset(scene: GrdScene, line_coords: ArrayLike, pixel_coords: ArrayLike,
                     chunks: tuple[int, int]) -> xr.Dataset:
    """Latitude, longitude, incidence angle, look direction and time at the
    grid of the given (possibly fractional) line and pixel positions,
    lazily, with the names and attributes the wind product gives them."""
    rows, cols = coordinate_arrays(line_coords, pixel_coords, chunks)
    out_chunks = (rows.chunks[0], cols.chunks[1])
    variables = {}
    for which, name, dtype in (("latitude", "latitude", np.float64), ("longitude", "longitude", np.float64),
                               ("incidence", "incidence_angle", np.float32),
                               ("look_azimuth", "look_direction", np.float64)):
        data = da.map_blocks(_geometry_block, rows, cols, geolocation=scene.geolocation,
                             which=which, dtype=dtype, chunks=out_chunks)
        variables[name] = (("line", "pixel"), data, variable_attributes(name))
    line_coords = np.asarray(line_coords, dtype=np.float64)
    coords = {"line": ("line", line_coords, variable_attributes("line")),
              "pixel": ("pixel", np.asarray(pixel_coords, dtype=np.float64), variable_attributes("pixel")),
              "time": ("line", azimuth_times(scene, line_coords), variable_attributes("time"))}
    ds = xr.Dataset(variables, coords=coords)
    ds["platform_heading"] = ((), np.float32(scene.heading), variable_attributes("platform_heading"))
    return ds


def open_s1_grd(path: PathLike, polarisation: str = "VV", chunks: Chunks = None) -> xr.Dataset:
    """A Sentinel-1 GRD product (IW or EW, `.SAFE` folder or `.zip`) as an
    xarray Dataset on (line, pixel), lazily computed with dask, with the
    names and attributes the wind product gives the same quantities:

    - `sigma0`: calibrated (sigmaNought LUT), thermal-noise-corrected
      backscatter, linear, float32; NaN where DN^2 - noise is not positive,
      where DN is 0 (ESA's fill value) and, in products older than IPF
      2.90, on the border noise of the image's edges;
    - `incidence_angle`, `latitude`, `longitude`: interpolated from the
      geolocation grid; `time` (zero-Doppler) per line;
    - `look_direction`: azimuth of the ground direction of increasing range
      at each pixel, from the geolocation grid (degrees from north);
    - `platform_heading`: the platform's heading (degrees from north).

    Attributes give the product's name, path, mission, mode, polarisation
    and pass, the first and last line times, the pixel spacings, the
    scene's mean look direction (heading + 90 degrees, right-looking), the
    IPF version (`ipf_version`) and the equivalent number of looks of its
    pixels (`equivalent_number_of_looks`, from ESA's table of GRD products
    by mode and resolution class) when they are known.
    `chunks` is the chunk edge (or a (rows, cols) pair) on the native grid;
    by default bands of whole lines for striped TIFFs, about 2 million
    pixels each. The Dataset, or a part of it selected by line and pixel
    ranges, can be given to `make_wind_product`.

    `polarisation` is the image read as it is ("auto": VV when the product
    has it, else HH; HH is not converted here). Raises
    `quorvane_wind.errors.InputError` with a one-line reason for a missing
    or unreadable path, a product without the polarisation, or a corrupt XML
    file or measurement (naming the file).
    """
    scene = read_grd_metadata(path, polarisation)
    return scene_dataset(scene, chunks)


def scene_dataset(scene: GrdScene, chunks: Chunks = None) -> xr.Dataset:
    """The Dataset of `open_s1_grd` for a parsed scene."""
    plan = chunk_plan(chunks)
    measurement, block = scene.open_measurement()
    sizes = resolve_chunks(plan, scene.shape, default_chunks(scene.shape, block))
    sizes = (min(sizes[0], scene.shape[0]), min(sizes[1], scene.shape[1]))
    log.info("%s: native chunks of %d x %d pixels", scene.name, *sizes)
    token = f"{measurement.path}|{measurement.member}|{os.stat(measurement.path).st_mtime_ns}"
    dn = da.from_array(TiffWindows(measurement, scene.shape), chunks=sizes, asarray=False,
                       fancy=False, name=f"dn-{scene.name}-{zlib.crc32(token.encode()):08x}")
    lines = np.arange(scene.shape[0], dtype=np.float64)
    pixels = np.arange(scene.shape[1], dtype=np.float64)
    rows, cols = coordinate_arrays(lines, pixels, sizes)
    sigma0 = da.map_blocks(calibrate_block, dn, rows, cols, calibration=scene.calibration,
                           noise_range=scene.noise_range, noise_azimuth=scene.noise_azimuth,
                           border=scene.border_noise(measurement), dtype=np.float32)
    ds = geometry_dataset(scene, lines, pixels, sizes)
    ds["sigma0"] = (("line", "pixel"), sigma0,
                     variable_attributes("sigma0", polarisation=scene.polarisation, sea_mean=""))
    ds.attrs.update(scene_attributes(scene))
    ds.attrs["spatial_resolution"] = (f"native ({scene.azimuth_pixel_spacing:g} m azimuth x "
                                      f"{scene.range_pixel_spacing:g} m range pixel spacing)")
    return ds


def scene_attributes(scene: GrdScene) -> dict[str, Any]:
    """Global attributes of a scene Dataset; those the wind product has too
    carry its names."""
    return {
        "sentinel1_product": scene.name, "sentinel1_path": os.path.abspath(scene.files.path),
        "mission": scene.mission, "platform": f"Sentinel-1{scene.mission[-1:]}",
        "sentinel1_mode": scene.mode, "sentinel1_polarisation": scene.polarisation,
        "orbit_pass": scene.orbit_pass, "mean_look_direction": scene.look_azimuth,
        "time_coverage_start": iso_time(scene.first_line_time),
        "time_coverage_end": iso_time(scene.last_line_time),
        "range_pixel_spacing": scene.range_pixel_spacing,
        "azimuth_pixel_spacing": scene.azimuth_pixel_spacing,
        **({} if scene.looks is None else {"equivalent_number_of_looks": scene.looks}),
        **({} if scene.ipf_version is None else {"ipf_version": scene.ipf_version}),
        **{k: v for k, v in scene.attrs.items() if v is not None},
    }

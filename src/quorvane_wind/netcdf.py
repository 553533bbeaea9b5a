"""The product on disk: its NetCDF-4 encoding, the atomic write, its name,
and the options it records so that a later run knows whether to reuse it."""

import logging
import os
from collections.abc import Mapping
from typing import Any

import numpy as np
import xarray as xr

from .atomic import write_atomically
from .conventions import NEVER_MISSING
from .defaults import COAST_DISTANCE_KM
from .options import Resolution, check_polarisation, check_resolution
from .sentinel1.safe import product_name

log = logging.getLogger(__name__)


def output_name(input_path: "str | os.PathLike[str]") -> str:
    """`<input name without .SAFE or .zip>_wind.nc`."""
    return f"{product_name(input_path)}_wind.nc"


# Grids of this spacing and coarser keep latitude and longitude in float64:
# their products are a few MB, where float64 costs nothing measurable.
FLOAT64_GEOLOCATION_FROM_M = 1000.0


def geolocation_dtype(ds: xr.Dataset) -> type[np.floating[Any]]:
    """The type latitude and longitude are stored in: float32 on grids finer
    than FLOAT64_GEOLOCATION_FROM_M, where in float64 they would be 16 of
    the 54 raw bytes of a pixel and a ninth of the compressed product (a
    quarter of that in float32: the byte shuffle groups fewer, more alike
    bytes). Rounding to float32 moves a value by at most half
    its step, 7.6e-6 degree at 128 to 180 degrees of longitude (0.85 m on
    the ground at the equator, less elsewhere; 3.8e-6 degree of latitude,
    0.42 m), a tenth of a 10 m pixel; the values are computed in float64,
    and every other field from them. Float64 on coarser grids and when the
    Dataset records no resolution."""
    resolution = parse_options(ds.attrs.get("quorvane_options")).get("resolution")
    if resolution == "native":
        return np.float32
    try:
        metres = float(resolution) if resolution is not None else None
    except ValueError:
        metres = None
    return np.float32 if metres is not None and metres < FLOAT64_GEOLOCATION_FROM_M else np.float64


def netcdf_encoding(ds: xr.Dataset) -> dict[str, dict[str, Any]]:
    """Compressed, chunked NetCDF-4 encoding of a product Dataset (latitude
    and longitude in `geolocation_dtype`)."""
    enc: dict[str, dict[str, Any]] = {}
    geolocation = geolocation_dtype(ds)
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
        if name in ("latitude", "longitude"):
            e["dtype"] = np.dtype(geolocation).name
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
    metres = check_resolution(resolution)
    return {"resolution": metres if metres == "native" else f"{metres:g}",
            "land_mask": "yes" if land else "no",
            "polarisation": check_polarisation(polarisation),
            "coast_distance_km": f"{float(coast_distance_km):g}"}


def format_options(options: Mapping[str, str]) -> str:
    return "; ".join(f"{k}={v}" for k, v in options.items())


def parse_options(text: object) -> dict[str, str]:
    """The options of a `quorvane_options` attribute (none when it is not a
    string)."""
    if not isinstance(text, str):
        return {}
    return dict(item.split("=", 1) for item in text.split("; ") if "=" in item)


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
    return parse_options(text)

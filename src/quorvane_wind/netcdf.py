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
    metres = check_resolution(resolution)
    return {"resolution": metres if metres == "native" else f"{metres:g}",
            "land_mask": "yes" if land else "no",
            "polarisation": check_polarisation(polarisation),
            "coast_distance_km": f"{float(coast_distance_km):g}"}


def format_options(options: Mapping[str, str]) -> str:
    return "; ".join(f"{k}={v}" for k, v in options.items())


def recorded_options(path: "str | os.PathLike[str]") -> dict[str, str] | None:
    """The options recorded in an existing product (None when it records
    none or cannot be read), with the polarisation it was made from under
    `made_from` (for a product asked for with "auto")."""
    import netCDF4

    try:
        with netCDF4.Dataset(path) as nc:
            text = getattr(nc, "quorvane_options", None)
            made_from = getattr(nc, "sentinel1_polarisation", None)
    except OSError:
        return None
    if not isinstance(text, str):
        return None
    options = dict(item.split("=", 1) for item in text.split("; ") if "=" in item)
    if isinstance(made_from, str):
        options["made_from"] = made_from
    return options


def same_options(recorded: Mapping[str, str] | None, wanted: Mapping[str, str]) -> bool:
    """Whether a product whose `recorded_options` are `recorded` is what
    `wanted` asks for: the same options, where "auto" and the polarisation
    it resolved to are the same."""
    if recorded is None:
        return False
    made_from = recorded.get("made_from")
    options = {k: v for k, v in recorded.items() if k != "made_from"}
    if options == wanted:
        return True
    if made_from is None:
        return False
    resolved = {"auto", made_from}
    return ({k: v for k, v in options.items() if k != "polarisation"}
            == {k: v for k, v in wanted.items() if k != "polarisation"}
            and options.get("polarisation") in resolved and wanted.get("polarisation") in resolved)

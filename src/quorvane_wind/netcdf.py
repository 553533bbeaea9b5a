"""The product on disk: its NetCDF-4 encoding, the atomic write, its name,
and the options it records so that a later run knows whether to reuse it."""

import logging
import os
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np
import xarray as xr

from .atomic import write_atomically
from .conventions import NEVER_MISSING
from .defaults import COAST_DISTANCE_KM
from .errors import InputError
from .options import Resolution, check_polarisation, check_resolution
from .sentinel1.safe import product_name

if TYPE_CHECKING:
    from .hdf5_chunks import Compress

log = logging.getLogger(__name__)


# The formats of a product and the suffix of its name.
OUTPUT_FORMATS = {"netcdf": ".nc", "zarr": ".zarr"}


def output_name(input_path: "str | os.PathLike[str]", output_format: str = "netcdf") -> str:
    """`<input name without .SAFE or .zip>_wind.nc` (or `.zarr`)."""
    return f"{product_name(input_path)}_wind{OUTPUT_FORMATS[output_format]}"


def output_format_of(path: "str | os.PathLike[str]") -> str:
    """The format of a product by its name: "zarr" for a .zarr store,
    else "netcdf"."""
    return "zarr" if os.fspath(path).rstrip("/").endswith(".zarr") else "netcdf"


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


class _Deferred:
    """The writer of `Dataset.dump_to_store`: values in memory are written at
    once (by netCDF-C, as `to_netcdf` writes them), dask arrays are kept,
    encoded, with the names of their variables."""

    def __init__(self) -> None:
        self.names: list[str] = []
        self.sources: list[Any] = []

    def add(self, source: Any, target: Any, region: Any = None) -> None:
        if hasattr(source, "dask"):
            self.names.append(str(target.variable_name))
            self.sources.append(source)
        elif region:
            target[region] = source
        else:
            target[...] = source


def _chunked_in_dask(ds: xr.Dataset, encoding: Mapping[str, Mapping[str, Any]]) -> xr.Dataset:
    """The Dataset with its chunked variables that are in memory wrapped in
    dask arrays of whole rows of file chunks, so that they too are
    compressed in parallel."""
    wrapped = {str(key): var.chunk({var.dims[0]: encoding[str(key)]["chunksizes"][0]})
               for key, var in ds.variables.items()
               if "chunksizes" in encoding.get(str(key), {}) and var.chunks is None}
    if not wrapped:
        return ds
    return ds.assign_coords({k: v for k, v in wrapped.items() if k in ds.coords}) \
             .assign({k: v for k, v in wrapped.items() if k not in ds.coords})


WRITE_CHUNK_CACHE = 8 << 20


def _write_through_netcdf_c(ds: xr.Dataset, path: "str | os.PathLike[str]",
                            encoding: Mapping[str, Mapping[str, Any]]) -> None:
    import netCDF4

    # Each band of lines fills whole file chunks, so HDF5's chunk cache
    # (64 MB per variable by default, 0.6 GB for a product) gains nothing.
    cache = netCDF4.get_chunk_cache()
    netCDF4.set_chunk_cache(WRITE_CHUNK_CACHE, cache[1], 1.0)
    try:
        ds.to_netcdf(path, engine="netcdf4", format="NETCDF4", encoding=encoding)
    finally:
        netCDF4.set_chunk_cache(*cache)


def _local_scheduler() -> bool:
    """Whether dask computes in this process (its threads, or synchronously)."""
    import dask
    import dask.local
    import dask.threaded

    scheduler = dask.base.get_scheduler()
    return scheduler is None or scheduler in (dask.threaded.get, dask.local.get_sync)


def write_netcdf(ds: xr.Dataset, path: "str | os.PathLike[str]",
                 compress: "Compress | None" = None) -> None:
    """Writes the product Dataset to a NetCDF-4 file at `path` (not
    atomically: `write_product` does that). netCDF-C makes the file with
    `netcdf_encoding`, exactly as `to_netcdf` would, and writes everything
    but the chunked variables' values; those are computed by dask, their
    chunks compressed on the computing threads (`compress`, by default
    `hdf5_chunks.default_compress`) and written by one thread with HDF5's
    direct chunk writes (`hdf5_chunks`)."""
    import dask.array as da
    import h5py

    from .hdf5_chunks import ChunkSink, ChunkWriter, WriterStopped, aligned, default_compress

    encoding = netcdf_encoding(ds)
    if not _local_scheduler():
        # The chunk targets hold the open file: they cannot travel to other
        # processes. Under a distributed or process scheduler netCDF-C
        # writes as before, behind its lock.
        _write_through_netcdf_c(ds, path, encoding)
        return
    deferred = _Deferred()
    store = xr.backends.NetCDF4DataStore.open(  # type: ignore[no-untyped-call]  # unannotated in xarray
        os.fspath(path), mode="w", format="NETCDF4")
    try:
        _chunked_in_dask(ds, encoding).dump_to_store(store, writer=deferred, encoding=encoding)
    finally:
        # Closed by netCDF-C before h5py opens it: never open in both.
        store.close()
    if not deferred.sources:
        return
    with h5py.File(path, "r+") as h5:
        writer = ChunkWriter()
        try:
            sinks = [ChunkSink(h5[name], writer, compress or default_compress())
                     for name in deferred.names]
            sources = [source if sink.chunks is None else aligned(source, sink.chunks)
                       for source, sink in zip(deferred.sources, sinks)]
            # Any object with __setitem__ is a target (dask's annotation
            # names only arrays).
            targets: Any = sinks
            da.store(sources, targets, lock=False, compute=True)
        except BaseException as exc:
            writer.close(abandon=True)
            if writer.error is None:
                raise
            if not isinstance(exc, WriterStopped):
                raise writer.error from exc
            stopped = writer.error
        else:
            writer.close()
            return
        # The writer's failure (a full disk, say), raised outside the handler:
        # the computing threads' refusals that followed it say nothing more.
        raise stopped


def write_product(ds: xr.Dataset, path: "str | os.PathLike[str]") -> None:
    """Writes the product Dataset to NetCDF-4 at `path` atomically
    (compressed, chunked; `write_netcdf`). The quicklook is drawn afterwards
    from the written file (`quicklook.write_quicklook`), so that its failure
    cannot cost the product."""
    write_atomically(path, lambda tmp: write_netcdf(ds, tmp))
    log.info("product written: %s", os.fspath(path))


def zarr_encoding(ds: xr.Dataset) -> dict[str, dict[str, Any]]:
    """The Zarr encoding of a product Dataset: the chunks and fill values
    of its NetCDF encoding (`netcdf_encoding`), with Zarr's own compressor."""
    enc: dict[str, dict[str, Any]] = {}
    for name, e in netcdf_encoding(ds).items():
        z = {k: v for k, v in e.items() if k in ("_FillValue", "units", "dtype")}
        if "chunksizes" in e:
            z["chunks"] = tuple(e["chunksizes"])
        enc[name] = z
    return enc


def _aligned(ds: xr.Dataset, encoding: Mapping[str, Mapping[str, Any]]) -> xr.Dataset:
    """The Dataset with each chunked variable's dask chunks covering whole
    Zarr chunks (all but the last a multiple of them), rechunked where not,
    so that no two dask chunks write into one Zarr chunk."""
    def rechunked(items: Any) -> dict[str, Any]:
        changes: dict[str, Any] = {}
        for key, var in items:
            chunks = encoding.get(str(key), {}).get("chunks")
            if chunks is not None and var.chunks is not None and \
                    any(any(c % z for c in dims[:-1]) for dims, z in zip(var.chunks, chunks)):
                changes[str(key)] = var.chunk(dict(zip(var.dims, chunks)))
        return changes

    data, coords = rechunked(ds.data_vars.items()), rechunked(ds.coords.items())
    return ds.assign_coords(coords).assign(data)


def write_zarr_product(ds: xr.Dataset, path: "str | os.PathLike[str]") -> None:
    """Writes the product Dataset as a Zarr store (format 2, consolidated
    metadata) at the local `path` atomically: under a temporary name in
    the same folder, renamed when complete. Same variables, attributes
    and chunks as the NetCDF product."""
    from .storage import write_store_atomically

    encoding = zarr_encoding(ds)
    aligned = _aligned(ds, encoding)
    write_store_atomically(os.fspath(path), lambda tmp: aligned.to_zarr(
        tmp, mode="w", encoding=encoding, consolidated=True, zarr_format=2))
    log.info("product written: %s", os.fspath(path))


def write_product_as(ds: xr.Dataset, path: "str | os.PathLike[str]", output_format: str = "netcdf") -> None:
    """`write_product` or `write_zarr_product`, by `output_format`."""
    if output_format == "zarr":
        write_zarr_product(ds, path)
    else:
        write_product(ds, path)


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
    none or cannot be read), with the polarisation it was made from under
    `made_from` (for a product asked for with "auto"). `path` may be a
    Zarr store, and either may be a URL (a NetCDF object is fetched)."""
    from .storage import is_url, local_copy, read_zarr_attributes

    path = os.fspath(path)
    if output_format_of(path) == "zarr":
        attributes = read_zarr_attributes(path) or {}
        text, made_from = attributes.get("quorvane_options"), attributes.get("sentinel1_polarisation")
    elif is_url(path):
        try:
            with local_copy(path) as local:
                return recorded_options(local)
        except InputError:
            return None
    else:
        import netCDF4

        try:
            with netCDF4.Dataset(path) as nc:
                text = getattr(nc, "quorvane_options", None)
                made_from = getattr(nc, "sentinel1_polarisation", None)
        except OSError:
            return None
    if not isinstance(text, str):
        return None
    options = parse_options(text)
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

"""Land mask from the global-land-mask package: the GLOBE 1 km land/sea
grid (21,600 x 43,200 points), shipped inside the package as a compressed
NumPy archive.

Loading the package's grid costs about 1 GB and 10 s in every process. The
grid is instead decompressed once, in a stream, into the user's cache as one
bit per point (117 MB) and memory-mapped: a scene touches only the pages of
its own area, and every process on the machine shares them. The answers
are the package's own: the same nearest-lower grid point, the same clamping
at the grid's edges.
"""

import os
import tempfile
import threading
import zipfile

import numpy as np

from .atomic import write_atomically

_LOCK = threading.Lock()
_GRID = None


def cache_folder():
    """$QUORVANE_CACHE, else $XDG_CACHE_HOME/quorvane, else ~/.cache/quorvane."""
    folder = os.environ.get("QUORVANE_CACHE")
    if not folder:
        base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
        folder = os.path.join(base, "quorvane")
    return folder


def _package_archive():
    import importlib.util

    spec = importlib.util.find_spec("global_land_mask")
    if spec is None or not spec.submodule_search_locations:
        raise ModuleNotFoundError("No module named 'global_land_mask'")
    return os.path.join(list(spec.submodule_search_locations)[0], "globe_combined_mask_compressed.npz")


def _write_land_bits(archive, tmp, rows_per_read=256):
    """Streams the archive's sea mask into an .npy of packed land bits
    (MSB first along longitude), a band of rows at a time."""
    with zipfile.ZipFile(archive) as npz, npz.open("mask.npy") as stream:
        version = np.lib.format.read_magic(stream)
        if version != (1, 0):
            raise ValueError(f"unexpected .npy version {version} of the land mask")
        shape, fortran_order, dtype = np.lib.format.read_array_header_1_0(stream)
        if fortran_order or dtype != np.bool_ or len(shape) != 2:
            raise ValueError("unexpected layout of the land mask")
        rows, cols = shape
        bits = np.lib.format.open_memmap(tmp, mode="w+", dtype=np.uint8,
                                         shape=(rows, (cols + 7) // 8))
        for start in range(0, rows, rows_per_read):
            count = min(rows_per_read, rows - start)
            raw = stream.read(count * cols)
            if len(raw) != count * cols:
                raise ValueError("the land mask archive is truncated")
            sea = np.frombuffer(raw, dtype=np.bool_).reshape(count, cols)
            bits[start:start + count] = np.packbits(~sea, axis=1)
        bits.flush()
        del bits


class LandGrid:
    """The GLOBE land bits, memory-mapped, with the package's indexing."""

    def __init__(self, bits, lat, lon):
        self.bits = bits
        self.lat0, self.lat_step = float(lat[0]), float(lat[1] - lat[0])
        self.lat_min, self.lat_max = float(lat.min()), float(lat.max())
        self.lon0, self.lon_step = float(lon[0]), float(lon[1] - lon[0])
        self.lon_min, self.lon_max = float(lon.min()), float(lon.max())

    # Points per step: the temporaries stay in the cache.
    PIECE = 1 << 16

    def is_land(self, lat, lon):
        lat = np.asarray(lat, dtype=np.float64)
        lon = np.asarray(lon, dtype=np.float64)
        land = np.empty(lat.shape, dtype=bool)
        flat_lat, flat_lon, flat_land = lat.reshape(-1), lon.reshape(-1), land.reshape(-1)
        row_bytes = self.bits.shape[1]
        bits = self.bits.reshape(-1)
        for start in range(0, flat_lat.size, self.PIECE):
            part = slice(start, start + self.PIECE)
            i = ((np.clip(flat_lat[part], self.lat_min, self.lat_max) - self.lat0)
                 / self.lat_step).astype(np.int64)
            j = ((np.clip(flat_lon[part], self.lon_min, self.lon_max) - self.lon0)
                 / self.lon_step).astype(np.int64)
            byte = bits[i * row_bytes + (j >> 3)]
            flat_land[part] = (byte >> (7 - (j & 7)).astype(np.uint8)) & 1
        return land


def land_grid():
    """The process's land grid, made (and cached on disk) on first use."""
    global _GRID
    with _LOCK:
        if _GRID is None:
            archive = _package_archive()
            with np.load(archive) as npz:
                lat, lon = npz["lat"], npz["lon"]
            stamp = os.stat(archive)
            name = f"globe-land-bits-{stamp.st_size}-{int(stamp.st_mtime)}.npy"
            for folder in (cache_folder(), os.path.join(tempfile.gettempdir(), f"quorvane-{os.getuid()}")):
                path = os.path.join(folder, name)
                try:
                    if not os.path.exists(path):
                        os.makedirs(folder, exist_ok=True)
                        write_atomically(path, lambda tmp: _write_land_bits(archive, tmp))
                    break
                except OSError:   # a read-only or full cache: the temporary folder
                    continue
            _GRID = LandGrid(np.load(path, mmap_mode="r"), lat, lon)
        return _GRID


def land_mask_block(latitude, longitude):
    """True where the points are on land (GLOBE 1 km), for arrays of any
    shape."""
    lat = np.clip(np.asarray(latitude, dtype=np.float64), -90.0, 90.0)
    lon = np.asarray(longitude, dtype=np.float64) + 180.0
    lon %= 360.0
    lon -= 180.0
    return land_grid().is_land(lat, lon)


def land_mask(latitude, longitude):
    """xarray: the land mask at DataArrays of latitude and longitude (lazy
    when they are dask-backed)."""
    import xarray as xr

    return xr.apply_ufunc(land_mask_block, latitude, longitude,
                          dask="parallelized", output_dtypes=[bool]).rename("land")

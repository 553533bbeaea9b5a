"""Land mask from the global-land-mask package: the GLOBE 1 km land/sea
grid (21,600 x 43,200 points), shipped inside the package as a compressed
NumPy archive.

Loading the package's grid costs about 1 GB and 10 s in every process. The
grid is instead decompressed once, in a stream, into the user's cache as one
bit per point (117 MB) and memory-mapped: a scene touches only the pages of
its own area, and every process on the machine shares them. The answers
are the package's own: the same nearest-lower grid point, the same clamping
at the grid's edges.

The cache file is named by the content of the package's archive (its
SHA-256), so every environment with the same package shares one file
whatever its install time, and copies made from other archives are removed.
Processes that find it missing at once take a lock on the cache folder: one
makes it (under a temporary name, then renamed), the others wait and map
the winner's file.
"""

import contextlib
import fcntl
import hashlib
import logging
import os
import tempfile
import threading
import zipfile
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any, TypeAlias

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .geo import wrap_longitude
from .atomic import LOCK_SUFFIX, PART_SUFFIX, remove_partial_files, write_atomically
from .errors import OutputError

if TYPE_CHECKING:
    from .sentinel1.geolocation import Geolocation

BoolArray: TypeAlias = NDArray[np.bool_]

_LOCK = threading.Lock()
_GRID: "LandGrid | None" = None
log = logging.getLogger(__name__)

CACHE_PREFIX = "globe-land-bits-"
# Changes with the layout of the cache file (bit order, header), so that a
# file of another layout is never read as this one.
CACHE_LAYOUT = "1"


def cache_folder() -> str:
    """$QUORVANE_CACHE, else $XDG_CACHE_HOME/quorvane, else ~/.cache/quorvane."""
    folder = os.environ.get("QUORVANE_CACHE")
    if not folder:
        base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
        folder = os.path.join(base, "quorvane")
    return folder


def _package_archive() -> str:
    import importlib.util

    spec = importlib.util.find_spec("global_land_mask")
    if spec is None or not spec.submodule_search_locations:
        raise ModuleNotFoundError("No module named 'global_land_mask'")
    return os.path.join(list(spec.submodule_search_locations)[0], "globe_combined_mask_compressed.npz")


def cache_name(archive: str) -> str:
    """The cache file's name for the package archive at `archive`: from the
    archive's content (2.5 MB, hashed in a few ms), not its file's dates."""
    digest = hashlib.sha256()
    with open(archive, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return f"{CACHE_PREFIX}{CACHE_LAYOUT}-{digest.hexdigest()[:20]}.npy"


@contextlib.contextmanager
def _folder_lock(folder: str) -> Iterator[None]:
    """An exclusive flock on the folder itself (no lock file to leave
    behind); the kernel drops it when the process ends, however it ends. A
    file system without flock goes without: concurrent makers then each
    rename an identical file."""
    descriptor = os.open(folder, os.O_RDONLY)
    try:
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX)
        except OSError:
            pass
        yield
    finally:
        os.close(descriptor)     # releases the lock


def remove_stale(folder: str, keep: str) -> None:
    """Removes the cache files of `folder` other than `keep` (made from
    other archives, or named by the older modification-time scheme) and the
    temporary files of makers that are gone. A process still mapping a
    removed file keeps its pages until it ends."""
    for entry in os.listdir(folder):
        path = os.path.join(folder, entry)
        if entry.startswith(CACHE_PREFIX) and entry.endswith(".npy") and entry != keep:
            with contextlib.suppress(FileNotFoundError):
                os.remove(path)
        elif entry.startswith("." + CACHE_PREFIX) and entry.endswith((PART_SUFFIX, LOCK_SUFFIX)):
            # .NAME.TOKEN.part or .lock: only those whose writer is gone go.
            remove_partial_files(os.path.join(folder, entry[1:].rsplit(".", 2)[0]))


def cached_bits(archive: str, folder: str) -> str:
    """The path of the land bits of `archive` in `folder`, made there first
    if missing (by this process or one it waits for)."""
    name = cache_name(archive)
    path = os.path.join(folder, name)
    if os.path.exists(path):
        return path
    os.makedirs(folder, exist_ok=True)
    log.info("land mask: making its cache %s from the global-land-mask package, once for "
             "this machine (about half a minute)", path)
    with _folder_lock(folder):
        if not os.path.exists(path):          # else another process made it meanwhile
            remove_partial_files(path)
            write_atomically(path, lambda tmp: _write_land_bits(archive, tmp))
        remove_stale(folder, name)
    return path


def _write_land_bits(archive: str, tmp: str, rows_per_read: int = 256) -> None:
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

    def __init__(self, bits: NDArray[np.uint8], lat: NDArray[np.floating[Any]],
                 lon: NDArray[np.floating[Any]]) -> None:
        self.bits = bits
        self.lat0, self.lat_step = float(lat[0]), float(lat[1] - lat[0])
        self.lat_min, self.lat_max = float(lat.min()), float(lat.max())
        self.lon0, self.lon_step = float(lon[0]), float(lon[1] - lon[0])
        self.lon_min, self.lon_max = float(lon.min()), float(lon.max())

    # Points per step: the temporaries stay in the cache.
    PIECE = 1 << 16

    def cells(self, lat: NDArray[np.float64],
              lon: NDArray[np.float64]) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
        """Row and column of the grid cell of each point, as the package
        finds them: the nearest lower grid line, clamped to the grid's ends,
        for any longitude (wrapped to [-180, 180) first)."""
        i = ((np.clip(lat, self.lat_min, self.lat_max) - self.lat0) / self.lat_step).astype(np.int64)
        j = ((np.clip(wrap_longitude(lon), self.lon_min, self.lon_max) - self.lon0)
             / self.lon_step).astype(np.int64)
        return i, j

    def is_land(self, lat: ArrayLike, lon: ArrayLike) -> BoolArray:
        lat = np.asarray(lat, dtype=np.float64)
        lon = np.asarray(lon, dtype=np.float64)
        land = np.empty(lat.shape, dtype=bool)
        flat_lat, flat_lon, flat_land = lat.reshape(-1), lon.reshape(-1), land.reshape(-1)
        row_bytes = self.bits.shape[1]
        bits = self.bits.reshape(-1)
        for start in range(0, flat_lat.size, self.PIECE):
            part = slice(start, start + self.PIECE)
            i, j = self.cells(flat_lat[part], flat_lon[part])
            byte = bits[i * row_bytes + (j >> 3)]
            flat_land[part] = (byte >> (7 - (j & 7)).astype(np.uint8)) & 1
        return land


def land_grid() -> LandGrid:
    """The process's land grid, made (and cached on disk) on first use."""
    global _GRID
    with _LOCK:
        if _GRID is None:
            archive = _package_archive()
            with np.load(archive) as npz:
                lat, lon = npz["lat"], npz["lon"]
            folders = (cache_folder(), os.path.join(tempfile.gettempdir(), f"quorvane-{os.getuid()}"))
            for k, folder in enumerate(folders):
                try:
                    path = cached_bits(archive, folder)
                    break
                except (OSError, OutputError):   # a read-only or full cache: the temporary folder
                    if k == len(folders) - 1:
                        raise
            _GRID = LandGrid(np.load(path, mmap_mode="r"), lat, lon)
        return _GRID


def land_mask_block(latitude: ArrayLike, longitude: ArrayLike) -> BoolArray:
    """True where the points are on land (GLOBE 1 km), for arrays of any
    shape."""
    return land_grid().is_land(latitude, longitude)


# ---------------------------------------------------------------- land at the pixels of a chunk
#
# The product averages sigma0 over the sea pixels of each block, so land is
# decided per native pixel, by `land_mask_block` at the pixel's own latitude
# and longitude. Looking up every pixel of a full scene would cost more than
# the rest of a 1 km run; instead the chunk is cut into sub-blocks of about
# SUB_BLOCK_M, the land-mask cells each sub-block can touch are bounded from
# its corners (plus one cell: latitude and longitude are only piecewise
# bilinear), and only sub-blocks whose cells hold both land and sea are
# looked up pixel by pixel. A chunk whose cells hold no land costs a few
# hundred corner points.

SUB_BLOCK_M = 500.0
# Land-mask cells of a chunk's window beyond which the chunk is looked up
# pixel by pixel (scenes near the poles, where a chunk spans many cells).
MAX_WINDOW_CELLS = 1 << 24


def _cell_coordinates(grid: LandGrid, lat: ArrayLike,
                      lon_unwrapped: ArrayLike) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Fractional row and column of the land grid at points; the column
    continues past the grid's ends for unwrapped longitudes."""
    fi = (np.clip(lat, grid.lat_min, grid.lat_max) - grid.lat0) / grid.lat_step
    fj = (np.asarray(lon_unwrapped, dtype=np.float64) - grid.lon0) / grid.lon_step
    return fi, fj


def land_window(grid: LandGrid, rows: tuple[int, int], cols: tuple[int, int]) -> BoolArray:
    """Land (bool) of the cells at rows [i0, i1] x columns [j0, j1]
    (inclusive; columns modulo the grid's width, rows clipped)."""
    i0, i1 = max(rows[0], 0), min(rows[1], grid.bits.shape[0] - 1)
    j = np.arange(cols[0], cols[1] + 1) % (grid.bits.shape[1] * 8)
    block = np.asarray(grid.bits[i0:i1 + 1])[:, j >> 3]
    land: BoolArray = ((block >> (7 - (j & 7)).astype(np.uint8)) & 1).astype(np.bool_)
    return land


def _corners(start: int, stop: int, step: int) -> NDArray[np.float64]:
    """Corner positions of sub-blocks of `step` over [start, stop): each
    sub-block lies between two consecutive corners."""
    return np.append(np.arange(start, stop, step, dtype=np.float64), stop - 1.0)


def land_pixels(geolocation: "Geolocation", line_range: tuple[int, int], pixel_range: tuple[int, int],
                spacing: tuple[float, float] = (10.0, 10.0)) -> BoolArray | None:
    """Land (bool, True on land) at every native pixel of lines [r0, r1) x
    pixels [c0, c1), exactly as `land_mask_block` at each pixel's latitude
    and longitude; None when no pixel is on land. `spacing` is the pixel
    spacing (azimuth, range) in metres, which sets the sub-blocks."""
    (r0, r1), (c0, c1) = line_range, pixel_range
    grid = land_grid()
    sl = max(1, int(SUB_BLOCK_M / spacing[0]))
    sp = max(1, int(SUB_BLOCK_M / spacing[1]))
    corner_rows, corner_cols = _corners(r0, r1, sl), _corners(c0, c1, sp)
    fi, fj = _cell_coordinates(grid, geolocation.field("latitude", corner_rows, corner_cols),
                               geolocation.unwrapped_longitude(corner_rows, corner_cols))

    def bounds(f: NDArray[np.float64]) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
        quad = (f[:-1, :-1], f[:-1, 1:], f[1:, :-1], f[1:, 1:])
        low = np.floor(np.minimum.reduce(quad)).astype(np.int64) - 1
        high = np.floor(np.maximum.reduce(quad)).astype(np.int64) + 1
        return low, high

    (i_lo, i_hi), (j_lo, j_hi) = bounds(fi), bounds(fj)
    i_lo = np.clip(i_lo, 0, grid.bits.shape[0] - 1)
    i_hi = np.clip(i_hi, 0, grid.bits.shape[0] - 1)
    rows = (int(i_lo.min()), int(i_hi.max()))
    cols = (int(j_lo.min()), int(j_hi.max()))
    shape = (r1 - r0, c1 - c0)
    width = cols[1] - cols[0] + 1
    if width >= grid.bits.shape[1] * 8 or (rows[1] - rows[0] + 1) * width > MAX_WINDOW_CELLS:
        return _pixels_lookup(geolocation, np.arange(r0, r1), np.arange(c0, c1))
    window = land_window(grid, rows, cols)
    if not window.any():
        return None
    # Land cells in each sub-block's range of cells, from a summed-area table.
    table = np.zeros((window.shape[0] + 1, window.shape[1] + 1), dtype=np.int64)
    np.cumsum(np.cumsum(window, axis=0), axis=1, out=table[1:, 1:])
    a, b = i_lo - rows[0], i_hi - rows[0] + 1
    c, d = j_lo - cols[0], j_hi - cols[0] + 1
    count = table[b, d] - table[a, d] - table[b, c] + table[a, c]
    area = (b - a) * (d - c)
    land = np.repeat(np.repeat(count == area, sl, axis=0), sp, axis=1)[:shape[0], :shape[1]]
    col_starts = np.arange(0, shape[1], sp)
    for k, start in enumerate(range(0, shape[0], sl)):
        band = slice(start, min(start + sl, shape[0]))
        mixed = np.nonzero((count[k] > 0) & (count[k] < area[k]))[0]
        if mixed.size:
            pix = np.concatenate([np.arange(col_starts[m], min(col_starts[m] + sp, shape[1]))
                                  for m in mixed])
            land[band, pix] = _pixels_lookup(geolocation, np.arange(r0 + band.start, r0 + band.stop),
                                             c0 + pix)
    return land if land.any() else None


def _pixels_lookup(geolocation: "Geolocation", rows: ArrayLike, cols: ArrayLike) -> BoolArray:
    rows = np.asarray(rows, dtype=np.float64)
    cols = np.asarray(cols, dtype=np.float64)
    return land_mask_block(geolocation.field("latitude", rows, cols),
                           geolocation.field("longitude", rows, cols))


# ---------------------------------------------------------------- coastal band

EARTH_RADIUS_KM = 6371.0


class CoastalBand:
    """Sea cells of the land grid within `distance_km` of a land cell, on a
    window of the grid around a scene, computed once per scene.

    Distance is between cell centres, on a sphere of EARTH_RADIUS_KM, with
    the east-west separation scaled by the cosine of the sea cell's
    latitude. For each row offset the nearest land cell along a row is all
    that matters, so the distance is exact for that metric at the cost of
    one pass over the window per row offset."""

    def __init__(self, geolocation: "Geolocation", distance_km: float) -> None:
        grid = land_grid()
        self.distance_km = float(distance_km)
        cell_km = np.radians(abs(grid.lat_step)) * EARTH_RADIUS_KM
        lat, lon = geolocation.latitude, geolocation.longitude
        fi, fj = _cell_coordinates(grid, lat, lon)
        margin_i = int(np.ceil(self.distance_km / cell_km)) + 2
        max_lat = min(float(np.abs(lat).max()) + margin_i * abs(grid.lat_step), 89.9)
        margin_j = int(np.ceil(self.distance_km / (cell_km * np.cos(np.radians(max_lat))))) + 2
        self.rows = (max(int(np.floor(fi.min())) - margin_i, 0),
                     min(int(np.floor(fi.max())) + margin_i, grid.bits.shape[0] - 1))
        cols = (int(np.floor(fj.min())) - margin_j, int(np.floor(fj.max())) + margin_j)
        self.width = grid.bits.shape[1] * 8
        if cols[1] - cols[0] + 1 > self.width:
            cols = (0, self.width - 1)
        self.col0 = cols[0]
        land = land_window(grid, self.rows, cols)
        self.band = self._band(land, grid, cell_km)

    def _band(self, land: BoolArray, grid: LandGrid, cell_km: float) -> BoolArray:
        n_rows, n_cols = land.shape
        j = np.arange(n_cols, dtype=np.float64)
        left = np.maximum.accumulate(np.where(land, j, -np.inf), axis=1)
        right = np.minimum.accumulate(np.where(land, j, np.inf)[:, ::-1], axis=1)[:, ::-1]
        along = np.minimum(j - left, right - j)          # cells to the nearest land of the row
        centre_lat = grid.lat0 + (np.arange(self.rows[0], self.rows[1] + 1) + 0.5) * grid.lat_step
        east_km = (cell_km * np.cos(np.radians(centre_lat)))[:, None]
        reach = int(np.floor(self.distance_km / cell_km))
        nearest2 = np.full(land.shape, np.inf)
        for di in range(-reach, reach + 1):
            src = slice(max(di, 0), n_rows + min(di, 0))
            dst = slice(max(-di, 0), n_rows - max(di, 0))
            d2 = np.square(east_km[dst] * along[src]) + (di * cell_km) ** 2
            np.minimum(nearest2[dst], d2, out=nearest2[dst])
        return ~land & (nearest2 <= self.distance_km ** 2)

    def at(self, latitude: ArrayLike, longitude: ArrayLike) -> BoolArray:
        """True at the points in the band (bool, the points' shape); the
        points' cells as `land_mask_block` finds them."""
        lat = np.asarray(latitude, dtype=np.float64)
        i, j = land_grid().cells(lat, np.asarray(longitude, dtype=np.float64))
        i -= self.rows[0]
        j = (j - self.col0) % self.width
        inside = (i >= 0) & (i < self.band.shape[0]) & (j < self.band.shape[1])
        out = np.zeros(lat.shape, dtype=bool)
        out[inside] = self.band[i[inside], j[inside]]
        return out

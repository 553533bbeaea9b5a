"""The GeoTIFF measurement of a scene, read by windows.

GDAL reads a deflated zip member as a stream: every reopen, and every seek
backwards, inflates again from the start, so reading a scene by windows
through /vsizip/ costs the square of its size. A zipped measurement is
therefore inflated once per process into a temporary file (zipfile checks
the member's CRC at the end of that pass), and the windows read that file
through one open dataset per file and process.
"""

import atexit
import collections
import os
import shutil
import tempfile
import threading
import weakref
import zipfile
import zlib
from collections.abc import Callable
from typing import Any, TypeAlias, TypeVar

import numpy as np
from numpy.typing import NDArray

from ..defaults import CHUNK_PIXELS
from ..errors import InputError, reason

T = TypeVar("T")

_lock = threading.RLock()       # finalizers of copies may run while it is held
_CopyKey: TypeAlias = tuple[str, str, int, int]     # (zip, member, size, mtime)
_copies: "weakref.WeakValueDictionary[_CopyKey, _LocalCopy]" = weakref.WeakValueDictionary()
_unpacking: dict[_CopyKey, threading.Lock] = {}    # lock held while unpacking
_recent: "collections.deque[_LocalCopy]" = collections.deque(maxlen=1)  # the last copy, for the next task
_datasets: "collections.OrderedDict[str, _OpenTiff]" = collections.OrderedDict()     # by path
_MAX_DATASETS = 8
_owner_pid = os.getpid()


def _after_fork_check() -> None:
    """Open datasets and copies belong to the process that made them."""
    global _owner_pid
    if os.getpid() != _owner_pid:
        _owner_pid = os.getpid()
        _datasets.clear()
        _recent.clear()
        _copies.clear()
        _unpacking.clear()


class _LocalCopy:
    """A zip member inflated into a temporary file, removed with this object
    (when no scene uses it any more) or at exit."""

    def __init__(self, zip_path: str, member: str, label: str) -> None:
        fd, self.path = tempfile.mkstemp(prefix="quorvane-s1-", suffix=".tiff")
        try:
            with os.fdopen(fd, "wb") as out, zipfile.ZipFile(zip_path) as archive, \
                    archive.open(member) as src:
                shutil.copyfileobj(src, out, 1 << 20)
        except (zipfile.BadZipFile, zlib.error, EOFError) as exc:
            _remove_copy(self.path)
            raise InputError(f"measurement {label} is damaged in the zip ({reason(exc)})") from None
        except (OSError, KeyError) as exc:
            _remove_copy(self.path)
            raise InputError(f"measurement {label} cannot be unpacked from the zip "
                             f"({reason(exc)})") from None
        weakref.finalize(self, _remove_copy, self.path, os.getpid())


def _remove_copy(path: str, owner: int | None = None) -> None:
    if owner is not None and owner != os.getpid():
        return                   # a forked child exiting: the file is its parent's
    with _lock:
        entry = _datasets.pop(path, None)
    if entry is not None:
        entry.close()
    try:
        os.unlink(path)
    except OSError:
        pass


def _local_copy(zip_path: str, member: str, label: str) -> _LocalCopy:
    st = os.stat(zip_path)
    key = (zip_path, member, st.st_size, st.st_mtime_ns)
    with _lock:
        _after_fork_check()
        unpacking = _unpacking.setdefault(key, threading.Lock())
    with unpacking:              # one unpacking per member; other files are read meanwhile
        with _lock:
            copy = _copies.get(key)
        if copy is None:
            copy = _LocalCopy(zip_path, member, label)
        with _lock:
            _copies[key] = copy
            _recent.append(copy)
            _unpacking.pop(key, None)
    return copy


class _OpenTiff:
    def __init__(self, path: str, key: tuple[int, int, int]) -> None:
        import rasterio

        self.key = key
        self.lock = threading.Lock()     # a GDAL dataset serves one thread at a time
        # Windows are read past GDAL's block cache (direct I/O, for the
        # uncompressed strips of Sentinel-1 measurements; the driver takes
        # the option when the file is opened): the cache would keep up to
        # 5 % of the machine's memory of blocks no one reads twice, and it
        # serialises the threads' reads.
        with rasterio.Env(GTIFF_DIRECT_IO="YES"):
            self.dataset = rasterio.open(path)

    def close(self) -> None:
        with self.lock:
            self.dataset.close()


def _open_tiff(path: str) -> _OpenTiff:
    """The process's open dataset of a file, reopened if the file changed."""
    st = os.stat(path)
    key = (st.st_ino, st.st_size, st.st_mtime_ns)
    with _lock:
        _after_fork_check()
        entry = _datasets.get(path)
        if entry is not None and entry.key == key and not entry.dataset.closed:
            _datasets.move_to_end(path)
            return entry
        stale = [_datasets.pop(path)] if entry is not None else []
        entry = _datasets[path] = _OpenTiff(path, key)
        while len(_datasets) > _MAX_DATASETS:
            stale.append(_datasets.popitem(last=False)[1])
    for old in stale:
        old.close()
    return entry


@atexit.register
def _close_all() -> None:
    with _lock:
        entries = list(_datasets.values())
        _datasets.clear()
        _recent.clear()
    for entry in entries:
        entry.close()


class Measurement:
    """The GeoTIFF of a scene: a file of the folder, or a member of the zip
    read through a local copy. It pickles as its paths, so that other
    processes make their own copy and open their own dataset."""

    def __init__(self, path: str, member: str | None, label: str) -> None:
        self.path = path
        self.member = member
        self.label = label
        self._copy: _LocalCopy | None = None

    def __getstate__(self) -> dict[str, Any]:
        return {"path": self.path, "member": self.member, "label": self.label, "_copy": None}

    def local_path(self) -> str:
        if self.member is None:
            return self.path
        if self._copy is None:
            self._copy = _local_copy(self.path, self.member, self.label)
        return self._copy.path

    def use(self, action: Callable[[Any], T]) -> T:
        """`action(dataset)` on the process's open dataset of the file."""
        path = self.local_path()
        while True:
            entry = _open_tiff(path)
            with entry.lock:
                if not entry.dataset.closed:     # closed when evicted meanwhile: take a new one
                    return action(entry.dataset)


class TiffWindows:
    """Array-like view of a GeoTIFF band that dask slices: each slice is one
    windowed read of the process's open dataset. It pickles as the
    measurement's paths."""

    def __init__(self, measurement: Measurement, shape: tuple[int, int]) -> None:
        self.measurement = measurement
        self.shape = shape
        self.dtype = np.dtype(np.uint16)
        self.ndim = 2

    def __getitem__(self, key: tuple[slice, slice]) -> NDArray[np.uint16]:
        from rasterio.windows import Window

        rows, cols = key
        r0, r1, _ = rows.indices(self.shape[0])
        c0, c1, _ = cols.indices(self.shape[1])
        window = Window(c0, r0, c1 - c0, r1 - r0)
        try:
            dn: NDArray[np.uint16] = self.measurement.use(lambda src: src.read(1, window=window)).astype(
                np.uint16, copy=False)
            return dn
        except InputError:
            raise
        except Exception as exc:
            raise InputError(f"measurement {self.measurement.label} is corrupt ({reason(exc)})") from None


def _data_end(src: Any, block: tuple[int, int]) -> int | None:
    """The end of the band's last block of data in the file, from the TIFF's
    offsets and byte counts (None when the driver does not give them)."""
    end = 0
    for y in range(-(-src.height // block[0])):
        for x in range(-(-src.width // block[1])):
            offset = src.get_tag_item(f"BLOCK_OFFSET_{x}_{y}", "TIFF", bidx=1)
            count = src.get_tag_item(f"BLOCK_SIZE_{x}_{y}", "TIFF", bidx=1)
            if offset is None or count is None:
                return None
            end = max(end, int(offset) + int(count))
    return end


def check_measurement(measurement: Measurement, shape: tuple[int, int]) -> tuple[int, int]:
    """Opens the measurement (for a zip: unpacks it, checking its CRC) and
    checks it against the annotation's `shape`: its internal block shape,
    or an InputError naming the file."""
    label = measurement.label

    def describe(src: Any) -> tuple[tuple[int, int], str | None, int, tuple[int, int], int | None]:
        block = tuple(src.block_shapes[0]) if src.count else (1, src.width)
        return (src.height, src.width), src.dtypes[0] if src.count else None, src.count, block, \
            _data_end(src, block) if src.count else None

    try:
        found, dtype, count, block, data_end = measurement.use(describe)
    except InputError:
        raise
    except Exception as exc:
        raise InputError(f"measurement {label} cannot be opened ({reason(exc)})") from None
    size = os.path.getsize(measurement.local_path())
    if data_end is not None and data_end > size:
        # Direct I/O reads what a truncated file lacks as zeros, silently.
        raise InputError(f"measurement {label} is truncated (its blocks end at byte {data_end}, "
                         f"the file has {size})")
    if count < 1 or dtype not in ("uint16", "int16", "uint8"):
        raise InputError(f"measurement {label} holds {count} band(s) of {dtype}, not DNs")
    if found != shape:
        raise InputError(f"measurement {label} is {found[0]} x {found[1]} pixels but the "
                         f"annotation says {shape[0]} x {shape[1]}")
    return block


def default_chunks(shape: tuple[int, int], block: tuple[int, int], factors: tuple[int, int] = (1, 1),
                   pixels_per_chunk: int = CHUNK_PIXELS) -> tuple[int, int]:
    """Chunks of about `pixels_per_chunk`, multiples of the averaging factors. A
    TIFF stored in strips (as Sentinel-1 measurements are) is read in bands
    of whole lines, so that no strip is read twice; a tiled one in squares."""
    lines, pixels = shape
    if block[1] >= pixels // 2:
        cols = pixels
        rows = max(1, pixels_per_chunk // max(pixels, 1))
    else:
        rows = cols = int(np.sqrt(pixels_per_chunk))
    rows = factors[0] * max(1, rows // factors[0])
    cols = pixels if cols >= pixels else factors[1] * max(1, cols // factors[1])
    return min(rows, lines), min(cols, pixels)


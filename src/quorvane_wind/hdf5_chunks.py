"""The chunks of a NetCDF-4 file's dask-backed variables, compressed on the
threads that compute them and written by one thread with HDF5's direct
chunk writes.

Written through netCDF-C, every chunk is shuffled and deflated inside HDF5,
behind the lock that serialises the library: one core compresses while the
other computes, and a native product spends most of its writing there. Here
the file is first made by netCDF-C as before (dimensions, coordinates,
attributes, each variable's chunks and filters, and the values of every
variable that is not a dask array) and closed; then each computed block is
cut into the file's chunks, shuffled and deflated where it was computed, and
handed to one writer thread that stores the finished chunks with
`H5Dwrite_chunk` (h5py's `write_direct_chunk`). The chunks hold the bytes
HDF5's own filters would make from the same values (the shuffle is HDF5's
byte shuffle; deflate is a zlib stream that HDF5's inflate reads), so every
reader sees the same file as before. At most `AHEAD_BYTES` of compressed
chunks wait for the writer: a slow disk holds the computing threads back
instead of filling memory.

Two HDF5 libraries are in the process (netCDF4's and h5py's, each its own
wheel's copy); DEVELOPERS.md says why that is safe. The file is closed by
netCDF-C before h5py opens it and never open in both at once.
"""

import collections
import itertools
import threading
import zlib
from collections.abc import Callable, Iterable, Sequence
from typing import Any

import numpy as np

# HDF5's filter identifiers (H5Zpublic.h).
FILTER_DEFLATE = 1
FILTER_SHUFFLE = 2

# Compressed bytes that may wait for the writer.
AHEAD_BYTES = 64 << 20

Compress = Callable[[Any, int], bytes]


def zlib_compress(data: Any, level: int) -> bytes:
    return zlib.compress(data, level)


# ISA-L's level for the filter's deflate level 1 (ISA-L numbers its levels
# 0 to 3, not as zlib does). On a native product's chunks ISA-L's level 2
# takes the CPU time of its level 1 (a fifth of zlib's at level 1) and
# makes chunks 3.5 % smaller, 1.4 % larger than zlib's.
ISAL_LEVEL = 2


def isal_compress(data: Any, level: int) -> bytes:
    """ISA-L's deflate (at ISAL_LEVEL) in a zlib stream for the filter's
    level 1; zlib at other levels."""
    from isal import isal_zlib

    return isal_zlib.compress(data, ISAL_LEVEL) if level == 1 else zlib.compress(data, level)


def default_compress() -> Compress:
    """ISA-L where the `isal` package is installed, else zlib."""
    try:
        import isal.isal_zlib  # noqa: F401
    except ImportError:
        return zlib_compress
    return isal_compress


def shuffled(chunk: np.ndarray) -> np.ndarray:
    """HDF5's byte shuffle of a C-contiguous little-endian chunk: byte 0 of
    every value, then byte 1, and so on."""
    size = chunk.dtype.itemsize
    if size == 1 or chunk.size <= 1:
        return chunk
    if size in (2, 4, 8):
        # Shifts and narrowing casts run several times faster than a
        # strided byte copy.
        values = chunk.reshape(-1).view(f"<u{size}")
        out = np.empty((size, values.size), np.uint8)
        part = np.empty_like(values)
        for byte in range(size):
            np.right_shift(values, 8 * byte, out=part)
            out[byte] = part
        return out
    return np.ascontiguousarray(chunk.reshape(-1).view(np.uint8).reshape(-1, size).T)


class WriterStopped(Exception):
    """The writer thread stopped (it failed, or the write was abandoned)."""


class ChunkWriter:
    """One thread that runs the writes handed to it, in the order handed
    over. `put` blocks while `ahead` bytes wait; the first failure stops the
    writer, and `put` then raises WriterStopped."""

    def __init__(self, ahead: int = AHEAD_BYTES) -> None:
        self._ahead = ahead
        self._items: collections.deque[tuple[Callable[[], None], int]] = collections.deque()
        self._waiting = 0
        self._closed = False
        self.error: BaseException | None = None
        self._changed = threading.Condition()
        self._thread = threading.Thread(target=self._run, name="quorvane-chunk-writer", daemon=True)
        self._thread.start()

    def put(self, write: Callable[[], None], size: int) -> None:
        with self._changed:
            while (self._waiting and self._waiting + size > self._ahead
                   and self.error is None and not self._closed):
                self._changed.wait()
            if self.error is not None or self._closed:
                raise WriterStopped("the chunk writer has stopped")
            self._items.append((write, size))
            self._waiting += size
            self._changed.notify_all()

    def _run(self) -> None:
        while True:
            with self._changed:
                while not self._items and not self._closed:
                    self._changed.wait()
                if not self._items:
                    return
                write, size = self._items.popleft()
            try:
                write()
            except BaseException as exc:
                with self._changed:
                    self.error = exc
                    self._items.clear()
                    self._waiting = 0
                    self._changed.notify_all()
                return
            with self._changed:
                self._waiting -= size
                self._changed.notify_all()

    def close(self, abandon: bool = False) -> None:
        """Waits until every write handed over has run (or, with `abandon`,
        only the one running) and raises the writer's failure, if any."""
        with self._changed:
            if abandon:
                self._items.clear()
                self._waiting = 0
            self._closed = True
            self._changed.notify_all()
        self._thread.join()
        if self.error is not None and not abandon:
            raise self.error


def filter_pipeline(dataset: Any) -> tuple[bool, int | None] | None:
    """(shuffle, deflate level or None) of an h5py dataset's filters, or
    None when they are not shuffle and/or deflate in that order (its chunks
    are then left to HDF5's own filters)."""
    plist = dataset.id.get_create_plist()
    codes = [plist.get_filter(i) for i in range(plist.get_nfilters())]
    shuffle = bool(codes) and codes[0][0] == FILTER_SHUFFLE
    rest = codes[1:] if shuffle else codes
    if not rest:
        return shuffle, None
    if len(rest) == 1 and rest[0][0] == FILTER_DEFLATE:
        values = rest[0][2]
        return shuffle, int(values[0]) if len(values) else 6
    return None


class ChunkSink:
    """The target of one variable's blocks in `dask.array.store`: each block
    (whole chunks of the file, the last ones cut by the variable's end) is
    cut into chunks, filtered on the calling thread and handed to the
    writer. Variables whose filters HDF5 must apply itself, or that are not
    chunked, are handed over as blocks."""

    def __init__(self, dataset: Any, writer: ChunkWriter, compress: Compress) -> None:
        self.dataset = dataset
        self.dtype = np.dtype(dataset.dtype)
        self.shape = tuple(dataset.shape)
        self.ndim = len(self.shape)
        self.chunks: tuple[int, ...] | None = dataset.chunks
        self.pipeline = filter_pipeline(dataset) if self.chunks is not None else None
        fill = dataset.fillvalue
        self.fill = np.asarray(fill if fill is not None else 0, dtype=self.dtype)
        self.writer = writer
        self.compress = compress

    def filtered(self, chunk: np.ndarray) -> bytes:
        assert self.pipeline is not None
        shuffle, level = self.pipeline
        data = shuffled(chunk) if shuffle else chunk
        return self.compress(data, level) if level is not None else data.tobytes()

    def __setitem__(self, region: tuple[slice, ...], block: Any) -> None:
        block = np.asarray(block, dtype=self.dtype)
        if self.pipeline is None or self.chunks is None or self.ndim == 0:
            dataset = self.dataset

            def write_block() -> None:
                dataset[region] = block
            self.writer.put(write_block, block.nbytes)
            return
        starts = [s.start or 0 for s in region]
        pieces = []
        for offset in _chunk_offsets(starts, block.shape, self.chunks):
            inside = tuple(slice(o - s, min(o + c, n) - s)
                           for o, s, c, n in zip(offset, starts, self.chunks, self.shape))
            part = block[inside]
            if part.shape == self.chunks:
                chunk = np.ascontiguousarray(part)
            else:
                # HDF5 fills the part of an edge chunk beyond the
                # variable's end with the fill value.
                chunk = np.full(self.chunks, self.fill, dtype=self.dtype)
                chunk[tuple(slice(0, n) for n in part.shape)] = part
            pieces.append((offset, self.filtered(chunk)))
        dataset_id = self.dataset.id

        def write_chunks() -> None:
            for offset, data in pieces:
                dataset_id.write_direct_chunk(offset, data, 0)
        self.writer.put(write_chunks, sum(len(data) for _, data in pieces))


def _chunk_offsets(starts: Sequence[int], shape: Sequence[int],
                   chunks: Sequence[int]) -> Iterable[tuple[int, ...]]:
    """The offsets of the file chunks that a block at `starts` of `shape`
    covers, in C order; the block must start on chunk boundaries."""
    if any(s % c for s, c in zip(starts, chunks)):
        raise ValueError(f"a block at {tuple(starts)} does not start on a chunk of {tuple(chunks)}")
    return itertools.product(*(range(s, s + n, c) for s, n, c in zip(starts, shape, chunks)))


def aligned(source: Any, chunks: Sequence[int]) -> Any:
    """The dask array `source` with every block but the last along each
    dimension a whole number of file chunks (rechunked where it is not), so
    that no file chunk spans two blocks."""
    if all(all(b % c == 0 for b in dim[:-1]) for dim, c in zip(source.chunks, chunks)):
        return source
    return source.rechunk(tuple(max(c, dim[0] // c * c) for dim, c in zip(source.chunks, chunks)))

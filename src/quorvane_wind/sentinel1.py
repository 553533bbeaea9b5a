"""Sentinel-1 Level-1 GRD products (IW and EW, `.SAFE` folder or `.zip`) as
calibrated, noise-corrected sigma0 with its geometry.

The XML files are decoded by xarray-sentinel (manifest, annotation,
calibration and geolocation grid through its own readers, noise vectors
through its schema-aware tag parser). What it does not do is written here:

- the manifest's file list with names in any case, and no reference that
  leaves the product;
- thermal noise as the range LUT times the azimuth LUT, with every azimuth
  block (IW GRDs have one per sub-swath; the library keeps only the first),
  or the range LUT alone of older products (noiseVector/noiseLut);
- sigma0 = (DN^2 - noise) / A^2 with A the sigmaNought LUT, with
  non-positive values marked invalid (NaN) rather than clipped;
- reading the GeoTIFF measurement by windows with rasterio through one open
  dataset per process, in chunks that suit averaging; a zipped measurement
  is unpacked once per process into a temporary file, its CRC checked;
- incidence angle, latitude and longitude interpolated bilinearly in
  line/pixel from the geolocation grid, at any (also fractional) pixel, and
  the look azimuth (ground direction of increasing range) from its slopes.

Everything on the pixel grid is a lazy dask array, so a full scene is read
and calibrated chunk by chunk.

This one stage of the pipeline is kept in one file (about 900 lines): its
parts, from the files of the product to the lazy Dataset, all work on the
same decoded metadata (`SafeFiles`, `GrdScene`) and are read together.
"""

import atexit
import collections
import io
import logging
import os
import posixpath
import shutil
import tempfile
import threading
import warnings
import weakref
import zipfile
import zlib
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from typing import IO, Any, Literal, TypeAlias, TypeVar
from xml.etree import ElementTree

import dask.array as da
import numpy as np
import xarray as xr
from numpy.typing import ArrayLike, NDArray

from .conventions import variable_attributes
from .defaults import RESOLUTION_M
from .geo import wrap_longitude
from .errors import InputError, ProcessingWarning, reason
from .options import (ChunkPlan, Chunks, Resolution, check_polarisation, check_resolution,
                      check_resolution_for_pixels, chunk_plan, resolve_chunks)

log = logging.getLogger(__name__)

Float64Array: TypeAlias = NDArray[np.float64]
Float32Array: TypeAlias = NDArray[np.float32]
PathLike: TypeAlias = "str | os.PathLike[str]"
T = TypeVar("T")

# Pixels per chunk on the native grid when the caller does not choose: about
# 4 million, that is a few hundred MB of float64 temporaries per task.
CHUNK_PIXELS = 4_000_000


def product_name(path: PathLike) -> str:
    """The product's name: the file or folder name without .zip and .SAFE
    (in any case)."""
    name = os.path.basename(os.path.normpath(os.fspath(path)))
    for suffix in (".zip", ".safe"):
        if name.lower().endswith(suffix):
            name = name[: -len(suffix)]
    return name


class SafeFiles:
    """The files of a SAFE product, in a folder or in a zip archive, by the
    relative paths the manifest gives them. Names are matched exactly, or
    else regardless of case (products renamed or unpacked by other tools);
    a reference that leaves the product is refused."""

    def __init__(self, path: PathLike) -> None:
        self.path = os.fspath(path)
        if not os.path.exists(self.path):
            raise InputError("no such file or folder")
        if not os.access(self.path, os.R_OK):
            raise InputError("not readable (permission denied)")
        self.zip_prefix: str | None = None
        self._names: dict[str, str] = {}       # relative path in the product -> path in the folder or member
        self._lower: dict[str, str] | None = None   # the same by lower-case path
        self._cache: dict[str, bytes] = {}
        if os.path.isdir(self.path):
            for folder, _dirs, names in os.walk(self.path):
                rel = os.path.relpath(folder, self.path).replace(os.sep, "/")
                for name in names:
                    key = name if rel == "." else f"{rel}/{name}"
                    self._names[key] = os.path.join(folder, name)
            if self._find("manifest.safe") is None:
                raise InputError("not a SAFE product: the folder has no manifest.safe")
        elif zipfile.is_zipfile(self.path):
            try:
                with zipfile.ZipFile(self.path) as archive:
                    names = archive.namelist()
            except (zipfile.BadZipFile, OSError) as exc:
                raise InputError(f"unreadable zip archive ({exc})") from None
            manifests = sorted(n for n in names
                               if posixpath.basename(n).lower() == "manifest.safe" and n.count("/") <= 1)
            if not manifests:
                raise InputError("not a SAFE product: the zip has no manifest.safe")
            self.zip_prefix = manifests[0][: -len("manifest.safe")]
            self._names = {n[len(self.zip_prefix):]: n for n in names
                           if n.startswith(self.zip_prefix) and not n.endswith("/")}
        else:
            raise InputError("neither a SAFE folder nor a zip archive")

    def _find(self, href: str) -> str | None:
        """The file (folder) or member (zip) of a reference, None if absent."""
        rel = posixpath.normpath(str(href).replace("\\", "/"))
        if rel == ".." or rel.startswith("../") or posixpath.isabs(rel):
            raise InputError(f"the manifest reference {href} leaves the product")
        if rel in self._names:
            return self._names[rel]
        if self._lower is None:
            self._lower = {key.lower(): found for key, found in sorted(self._names.items(), reverse=True)}
        return self._lower.get(rel.lower())

    def exists(self, href: str) -> bool:
        return self._find(href) is not None

    def read(self, href: str) -> bytes:
        """The bytes of one file of the product (kept: the annotation is
        decoded several times)."""
        if href in self._cache:
            return self._cache[href]
        self._cache[href] = self._read(href)
        return self._cache[href]

    def _read(self, href: str) -> bytes:
        found = self._find(href)
        try:
            if found is None:
                raise KeyError("missing")
            if self.zip_prefix is None:
                with open(found, "rb") as f:
                    return f.read()
            with zipfile.ZipFile(self.path) as archive:
                return archive.read(found)
        except (OSError, KeyError, EOFError, zlib.error, zipfile.BadZipFile) as exc:
            raise InputError(f"{posixpath.basename(href)}: cannot be read ({exc})") from None

    def measurement(self, href: str) -> "Measurement":
        """The measurement `href` as a `Measurement` the window reads use."""
        found = self._find(href)
        label = posixpath.basename(href)
        if found is None:
            raise InputError(f"measurement file {href} is missing")
        if self.zip_prefix is None:
            return Measurement(os.path.abspath(found), None, label)
        return Measurement(os.path.abspath(self.path), found, label)


# ---------------------------------------------------------------- measurement access
#
# GDAL reads a deflated zip member as a stream: every reopen, and every seek
# backwards, inflates again from the start, so reading a scene by windows
# through /vsizip/ costs the square of its size. A zipped measurement is
# therefore inflated once per process into a temporary file (zipfile checks
# the member's CRC at the end of that pass), and the windows read that file
# through one open dataset per file and process.

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


def _decode(files: SafeFiles, href: str, what: str, reader: Callable[[Any], T]) -> T:
    """Runs a reader of xarray-sentinel on one XML file of the product and
    turns whatever a damaged file makes it raise into an InputError naming
    the file. (The stream is typed Any: xarray-sentinel's readers are
    annotated for paths and text files, and read a bytes stream as well.)"""
    try:
        return reader(io.BytesIO(files.read(href)))
    except InputError:
        raise
    except Exception as exc:   # ParseError, xmlschema's errors, missing tags
        raise InputError(f"{what} {posixpath.basename(href)} is corrupt or incomplete ({reason(exc)})") from None


def _numbers(tag: Any, dtype: type[np.generic] = np.float64) -> NDArray[Any]:
    """The numbers of a space-separated list element as decoded by
    xarray-sentinel ({"$": "1 2 3", "@count": 3})."""
    text = tag["$"] if isinstance(tag, dict) else tag
    return np.array(str(text).split(), dtype=dtype)


class LineVectorLut:
    """A look-up table given as vectors at some image lines, each over its own
    pixel positions (calibration and noise range vectors, the geolocation
    grid): linear along pixels within a vector, then linear between the two
    vectors around a line; constant beyond the first and last ones. Of
    several vectors given for one line the first is used (they describe the
    same line)."""

    def __init__(self, lines: ArrayLike, pixels: Sequence[ArrayLike], values: Sequence[ArrayLike]) -> None:
        order = np.argsort(np.asarray(lines, dtype=np.float64), kind="stable")
        sorted_lines = np.asarray(lines, dtype=np.float64)[order]
        order = order[np.concatenate([[True], np.diff(sorted_lines) > 0])] if order.size else order
        self.lines = np.asarray(lines, dtype=np.float64)[order]
        self.pixels = [np.asarray(pixels[i], dtype=np.float64) for i in order]
        self.values = [np.asarray(values[i], dtype=np.float64) for i in order]
        for p, v in zip(self.pixels, self.values):
            if p.shape != v.shape or p.size == 0:
                raise ValueError("vector with mismatched pixel and value counts")

    def __call__(self, rows: ArrayLike, cols: ArrayLike) -> Float64Array:
        """Values at the rows x cols grid (1-D arrays of line and pixel
        positions, fractional allowed), float64."""
        rows = np.asarray(rows, dtype=np.float64).ravel()
        cols = np.asarray(cols, dtype=np.float64).ravel()
        if self.lines.size == 1:
            return np.broadcast_to(np.interp(cols, self.pixels[0], self.values[0]),
                                   (rows.size, cols.size)).copy()
        k = np.clip(np.searchsorted(self.lines, rows, side="right") - 1, 0, self.lines.size - 2)
        w = np.clip((rows - self.lines[k]) / (self.lines[k + 1] - self.lines[k]), 0.0, 1.0)[:, None]
        out = np.empty((rows.size, cols.size))
        # The rows between the same two vectors share both vectors at the
        # columns: lo * (1 - w) + hi * w, written into the result without
        # whole-grid copies of lo and hi.
        for i in np.unique(k):
            at = np.nonzero(k == i)[0]
            at = slice(at[0], at[-1] + 1) if at[-1] - at[0] + 1 == at.size else at
            lo = np.interp(cols, self.pixels[i], self.values[i])
            hi = np.interp(cols, self.pixels[i + 1], self.values[i + 1])
            part = lo * (1.0 - w[at])
            part += hi * w[at]
            out[at] = part
        return out


@dataclass
class AzimuthNoiseBlock:
    first_line: int
    last_line: int
    first_sample: int
    last_sample: int
    lines: Float64Array
    lut: Float64Array


class AzimuthNoise:
    """The azimuth noise LUT of a GRD: one block per sub-swath (and per part
    of it), each a rectangle of lines and samples with a LUT along lines.
    Pixels no block covers get 1 (products without azimuth noise vectors)."""

    def __init__(self, blocks: Iterable[AzimuthNoiseBlock]) -> None:
        self.blocks = list(blocks)

    def __call__(self, rows: ArrayLike, cols: ArrayLike) -> Float64Array:
        rows = np.asarray(rows, dtype=np.float64).ravel()
        cols = np.asarray(cols, dtype=np.float64).ravel()
        out = np.ones((rows.size, cols.size))
        for b in self.blocks:
            in_rows = (rows >= b.first_line) & (rows <= b.last_line)
            in_cols = (cols >= b.first_sample) & (cols <= b.last_sample)
            if in_rows.any() and in_cols.any():
                values = np.interp(rows[in_rows], b.lines, b.lut)
                out[np.ix_(in_rows, in_cols)] = values[:, None]
        return out


@dataclass
class Geolocation:
    """The annotation's geolocation grid: latitude, longitude and incidence
    angle at some lines and pixels."""

    lines: Float64Array
    pixels: Float64Array
    latitude: Float64Array      # (lines, pixels)
    longitude: Float64Array     # unwrapped: continuous across the antimeridian
    incidence: Float64Array
    _luts: dict[str, LineVectorLut] = field(default_factory=dict, init=False, repr=False, compare=False)

    def _lut(self, which: str) -> LineVectorLut:
        # Made once per field, not once per chunk.
        if which not in self._luts:
            values = getattr(self, which)
            self._luts[which] = LineVectorLut(self.lines, [self.pixels] * self.lines.size,
                                              list(values))
        return self._luts[which]

    def field(self, which: str, rows: ArrayLike, cols: ArrayLike) -> Float64Array:
        """"latitude", "longitude" (in [-180, 180)) or "incidence" at the
        rows x cols grid, bilinear in line/pixel."""
        values = self._lut(which)(rows, cols)
        return wrap_longitude(values) if which == "longitude" else values

    def unwrapped_longitude(self, rows: ArrayLike, cols: ArrayLike) -> Float64Array:
        """Longitude continuous across the antimeridian (not wrapped into
        [-180, 180)), bilinear in line/pixel."""
        return self._lut("longitude")(rows, cols)

    def look_azimuth(self, rows: ArrayLike, cols: ArrayLike) -> Float64Array:
        """Azimuth (degrees clockwise from north, [0, 360)) of the ground
        direction of increasing pixel at the rows x cols grid. At each grid
        point it is the bearing of the tangent to the grid's line, on the
        sphere, from the second-order change of latitude and longitude along
        pixels; between points it is interpolated bilinearly like the other
        fields. Longitudes are unwrapped, so the antimeridian does not
        matter; the east component shrinks with cos(latitude) towards the
        poles."""
        if "look_azimuth" not in self._luts:
            order: Literal[1, 2] = 2 if self.pixels.size > 2 else 1
            # As ArrayLike: NumPy's stubs give a 2-D gradient as a tuple even along one axis.
            latitude: ArrayLike = self.latitude
            longitude: ArrayLike = self.longitude
            dlat: Float64Array = np.gradient(latitude, self.pixels, axis=1, edge_order=order)
            dlon: Float64Array = np.gradient(longitude, self.pixels, axis=1, edge_order=order)
            azimuth = np.degrees(np.arctan2(dlon * np.cos(np.radians(self.latitude)), dlat))
            azimuth = np.unwrap(np.unwrap(azimuth, period=360.0, axis=1), period=360.0, axis=0)
            self._luts["look_azimuth"] = LineVectorLut(self.lines, [self.pixels] * self.lines.size,
                                                       list(azimuth))
        azimuth = self._luts["look_azimuth"](rows, cols) % 360.0
        return np.where(azimuth >= 360.0, 0.0, azimuth)


@dataclass
class GrdScene:
    """What a GRD product tells about one polarisation, before any pixel is
    read."""

    name: str
    files: SafeFiles
    measurement: str                 # href of the GeoTIFF
    polarisation: str
    mission: str                     # S1A, S1B, ...
    mode: str                        # IW, EW
    orbit_pass: str
    heading: float                   # platform heading, degrees from north
    shape: tuple[int, int]
    first_line_time: np.datetime64
    last_line_time: np.datetime64
    azimuth_time_interval: float     # seconds
    range_pixel_spacing: float       # metres
    azimuth_pixel_spacing: float
    calibration: LineVectorLut
    noise_range: LineVectorLut | None
    noise_azimuth: AzimuthNoise
    geolocation: Geolocation
    attrs: dict[str, Any] = field(default_factory=dict)

    @property
    def look_azimuth(self) -> float:
        """Azimuth the beam points to: Sentinel-1 looks right of its track."""
        return float((self.heading + 90.0) % 360.0)

    @property
    def mid_time(self) -> np.datetime64:
        return self.first_line_time + (self.last_line_time - self.first_line_time) / 2


def read_grd_metadata(path: PathLike, polarisation: str = "VV") -> GrdScene:
    """Parses manifest, annotation, calibration and noise of one polarisation
    of a GRD product ("auto": VV when the product has it, else HH). Raises
    InputError with a one-line reason."""
    from xarray_sentinel import esa_safe, sentinel1

    polarisation = check_polarisation(polarisation).upper()
    files = SafeFiles(path)
    common, _ = _decode(files, "manifest.safe", "manifest",
                        lambda f: esa_safe.parse_manifest_sentinel1(f))
    product_files = _decode(files, "manifest.safe", "manifest", _manifest_files)
    if common.get("product_type") != "GRD":
        raise InputError(f"not a GRD product (product type {common.get('product_type')})")
    available = [p.upper() for p in common.get("transmitter_receiver_polarisations", [])]
    if polarisation == "AUTO":
        found = next((p for p in ("VV", "HH") if p in available), None)
        if found is None:
            raise InputError(f"no VV or HH polarisation in the product (it has "
                             f"{', '.join(available) or 'none'}); CMOD5.N needs co-polarised sigma0")
        polarisation = found
    if polarisation not in available:
        hint = ("; CMOD5.N is a model for VV polarisation (HH is converted with polarisation HH "
                "or auto)" if polarisation == "VV" else "")
        raise InputError(f"no {polarisation} polarisation in the product "
                         f"(it has {', '.join(available) or 'none'}){hint}")

    wanted = {"s1Level1ProductSchema": "annotation", "s1Level1CalibrationSchema": "calibration",
              "s1Level1NoiseSchema": "noise", "s1Level1MeasurementSchema": "measurement"}
    hrefs = {}
    for href, kind, pol in product_files:
        if pol.upper() == polarisation and kind in wanted:
            hrefs[wanted[kind]] = href
    for what in ("annotation", "calibration", "noise", "measurement"):
        if what not in hrefs:
            raise InputError(f"the manifest lists no {what} file for {polarisation}")
        if not files.exists(hrefs[what]):
            raise InputError(f"{what} file {hrefs[what]} is missing")
    name = product_name(path)

    annotation = hrefs["annotation"]
    info = _decode(files, annotation, "annotation",
                   lambda f: esa_safe.parse_tag(f, "//productInformation"))
    image = _decode(files, annotation, "annotation",
                    lambda f: esa_safe.parse_tag(f, "//imageInformation"))
    gcp = _decode(files, annotation, "annotation", lambda f: sentinel1.open_gcp_dataset(f))
    calibration = _decode(files, hrefs["calibration"], "calibration",
                          lambda f: sentinel1.open_calibration_dataset(f))
    noise_range = _decode(files, hrefs["noise"], "noise", lambda f: esa_safe.parse_tag_as_list(
        f, "//noiseRangeVector", "noise"))
    noise_azimuth = _decode(files, hrefs["noise"], "noise", lambda f: esa_safe.parse_tag_as_list(
        f, "//noiseAzimuthVector", "noise"))
    # Products older than the noise XML with range and azimuth vectors have
    # range vectors only, under other names (the schema of the library does
    # not know them).
    old_noise = [] if noise_range else _decode(files, hrefs["noise"], "noise", _old_noise_vectors)

    try:
        if info.get("projection") != "Ground Range":
            raise ValueError(f"projection {info.get('projection')!r}, not ground range")
        shape = (int(image["numberOfLines"]), int(image["numberOfSamples"]))
        sigma_nought = calibration["sigmaNought"]
        cal_lut = LineVectorLut(calibration["line"].values,
                                [calibration["pixel"].values] * calibration.sizes["line"],
                                list(sigma_nought.values))
        nr_lut = None
        if noise_range:
            nr_lut = LineVectorLut([v["line"] for v in noise_range],
                                   [_numbers(v["pixel"]) for v in noise_range],
                                   [_numbers(v["noiseRangeLut"]) for v in noise_range])
            noise_text = "range x azimuth LUT"
        elif old_noise:
            nr_lut = LineVectorLut(*zip(*old_noise))
            noise_text = "range LUT of the older noise vectors (no azimuth LUT in the product)"
        else:
            noise_text = "none: the product has no noise vectors"
        blocks = [AzimuthNoiseBlock(
            first_line=int(v["firstAzimuthLine"]), last_line=int(v["lastAzimuthLine"]),
            first_sample=int(v["firstRangeSample"]), last_sample=int(v["lastRangeSample"]),
            lines=_numbers(v["line"]), lut=_numbers(v["noiseAzimuthLut"]))
            for v in noise_azimuth]
        geolocation = _geolocation(gcp)
        scene = GrdScene(
            name=name, files=files, measurement=hrefs["measurement"],
            polarisation=polarisation, mission=f"S1{common.get('number', '')}",
            mode=common.get("mode", ""),
            orbit_pass=str(common.get("pass", info.get("pass", ""))).upper(),
            heading=float(info["platformHeading"]), shape=shape,
            first_line_time=np.datetime64(image["productFirstLineUtcTime"], "ns"),
            last_line_time=np.datetime64(image["productLastLineUtcTime"], "ns"),
            azimuth_time_interval=float(image["azimuthTimeInterval"]),
            range_pixel_spacing=float(image["rangePixelSpacing"]),
            azimuth_pixel_spacing=float(image["azimuthPixelSpacing"]),
            calibration=cal_lut, noise_range=nr_lut, noise_azimuth=AzimuthNoise(blocks),
            geolocation=geolocation,
            attrs={"absolute_orbit": common.get("orbit_number"),
                   "relative_orbit": common.get("relative_orbit_number"),
                   "thermal_noise_removal": noise_text},
        )
    except (ValueError, KeyError, TypeError, IndexError) as exc:
        raise InputError(f"annotation, calibration or noise XML of {polarisation} is inconsistent "
                         f"({type(exc).__name__}: {exc})") from None
    if nr_lut is None:
        warnings.warn(f"{name}: the {polarisation} noise XML has no noise vectors; sigma0 is not "
                      f"corrected for thermal noise", ProcessingWarning, stacklevel=2)
    elif not noise_range:
        warnings.warn(f"{name}: the {polarisation} noise XML has the older layout (range vectors only, "
                      "products before IPF 2.9); sigma0 is corrected for the range noise alone, without "
                      "its variation along azimuth", ProcessingWarning, stacklevel=2)
    log.info("%s: metadata read: %s %s %s, %d x %d pixels of %g m x %g m, %s to %s", name,
             scene.mission, scene.mode, polarisation, *scene.shape, scene.azimuth_pixel_spacing,
             scene.range_pixel_spacing, scene.first_line_time, scene.last_line_time)
    return scene


def _manifest_files(manifest: IO[bytes]) -> list[tuple[str, str, str]]:
    """(href, kind, polarisation) of the manifest's data objects whose file
    names parse as Sentinel-1 file names, in any case."""
    from xarray_sentinel import esa_safe

    files = []
    for data_object in ElementTree.parse(manifest).getroot().iter("dataObject"):
        location = data_object.find(".//fileLocation")
        if location is None or "href" not in location.attrib:
            continue
        href = location.attrib["href"]
        try:
            _prefix, _swath, pol, _date = esa_safe.parse_annotation_filename(
                posixpath.basename(href).lower())
        except ValueError:
            continue
        files.append((href, data_object.attrib.get("repID", ""), pol))
    return files


def _old_noise_vectors(noise: IO[bytes]) -> list[tuple[int, NDArray[Any], NDArray[Any]]]:
    """(line, pixels, values) of each noiseVector of an older noise XML."""
    vectors = []
    for v in ElementTree.parse(noise).getroot().iter("noiseVector"):
        vectors.append((int(v.findtext("line", "")), _numbers(v.findtext("pixel")),
                        _numbers(v.findtext("noiseLut"))))
    return vectors


def _geolocation(gcp: xr.Dataset) -> Geolocation:
    lines = np.asarray(gcp["line"].values, dtype=np.float64)
    pixels = np.asarray(gcp["pixel"].values, dtype=np.float64)
    lat = np.asarray(gcp["latitude"].values, dtype=np.float64)
    lon = np.asarray(gcp["longitude"].values, dtype=np.float64)
    inc = np.asarray(gcp["incidenceAngle"].values, dtype=np.float64)
    if np.isnan(lat).any() or np.isnan(lon).any() or np.isnan(inc).any():
        raise ValueError("the geolocation grid is not a full line x pixel grid")
    # Continuous longitudes, so that interpolation across the antimeridian
    # does not pass through 0.
    lon = np.degrees(np.unwrap(np.unwrap(np.radians(lon), axis=1), axis=0))
    return Geolocation(lines, pixels, lat, lon, inc)


class _TiffWindows:
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


def _check_measurement(scene: GrdScene) -> tuple[Measurement, tuple[int, int]]:
    """Opens the measurement (for a zip: unpacks it, checking its CRC): its
    `Measurement` and internal block shape, or an InputError naming the
    file."""
    measurement = scene.files.measurement(scene.measurement)
    label = measurement.label

    def describe(src: Any) -> tuple[tuple[int, int], str | None, int, tuple[int, int], int | None]:
        block = tuple(src.block_shapes[0]) if src.count else (1, src.width)
        return (src.height, src.width), src.dtypes[0] if src.count else None, src.count, block, \
            _data_end(src, block) if src.count else None

    try:
        shape, dtype, count, block, data_end = measurement.use(describe)
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
    if shape != scene.shape:
        raise InputError(f"measurement {label} is {shape[0]} x {shape[1]} pixels but the "
                         f"annotation says {scene.shape[0]} x {scene.shape[1]}")
    return measurement, block


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


def _calibrate_block(dn: NDArray[Any], rows: Float64Array, cols: Float64Array, calibration: LineVectorLut,
                     noise_range: LineVectorLut | None, noise_azimuth: AzimuthNoise,
                     with_nesz: bool = False) -> Any:
    """sigma0 (linear, float32) of one block of DNs: (DN^2 - noise) / A^2,
    NaN where that is not positive. `with_nesz` also gives the
    noise-equivalent sigma0, noise / A^2 (float64; NaN without noise
    vectors)."""
    dn2 = np.square(dn.astype(np.float64))
    noise = None
    if noise_range is not None:
        noise = noise_range(rows.ravel(), cols.ravel()) * noise_azimuth(rows.ravel(), cols.ravel())
        dn2 -= noise
    a2 = np.square(calibration(rows.ravel(), cols.ravel()))
    sigma0 = dn2 / a2
    sigma0 = np.where(sigma0 > 0.0, sigma0, np.nan).astype(np.float32)
    if not with_nesz:
        return sigma0
    if noise is None:
        return sigma0, np.full(sigma0.shape, np.nan)
    noise /= a2
    return sigma0, noise


def _geometry_block(rows: Float64Array, cols: Float64Array, geolocation: Geolocation,
                    which: str) -> NDArray[Any]:
    if which == "look_azimuth":
        return geolocation.look_azimuth(rows.ravel(), cols.ravel())
    values = geolocation.field(which, rows.ravel(), cols.ravel())
    return values.astype(np.float32) if which == "incidence" else values


def _coordinate_arrays(line_coords: ArrayLike, pixel_coords: ArrayLike,
                       chunks: tuple[int, int]) -> tuple[da.Array, da.Array]:
    rows = da.from_array(np.asarray(line_coords, dtype=np.float64)[:, None], chunks=(chunks[0], 1))
    cols = da.from_array(np.asarray(pixel_coords, dtype=np.float64)[None, :], chunks=(1, chunks[1]))
    return rows, cols


def azimuth_times(scene: GrdScene, line_coords: ArrayLike) -> NDArray[np.datetime64]:
    """Zero-Doppler time of (possibly fractional) lines."""
    interval = np.timedelta64(int(round(scene.azimuth_time_interval * 1e9)), "ns")
    times: NDArray[np.datetime64] = scene.first_line_time + (
        np.asarray(line_coords, dtype=np.float64) * interval.astype(np.float64)).astype("timedelta64[ns]")
    return times


def geometry_dataset(scene: GrdScene, line_coords: ArrayLike, pixel_coords: ArrayLike,
                     chunks: tuple[int, int]) -> xr.Dataset:
    """Latitude, longitude, incidence angle, look direction and time at the
    grid of the given (possibly fractional) line and pixel positions,
    lazily, with the names and attributes the wind product gives them."""
    rows, cols = _coordinate_arrays(line_coords, pixel_coords, chunks)
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
      backscatter, linear, float32; NaN where DN^2 - noise is not positive;
    - `incidence_angle`, `latitude`, `longitude`: interpolated from the
      geolocation grid; `time` (zero-Doppler) per line;
    - `look_direction`: azimuth of the ground direction of increasing range
      at each pixel, from the geolocation grid (degrees from north);
    - `platform_heading`: the platform's heading (degrees from north).

    Attributes give the product's name, path, mission, mode, polarisation
    and pass, the first and last line times, the pixel spacings and the
    scene's mean look direction (heading + 90 degrees, right-looking).
    `chunks` is the chunk edge (or a (rows, cols) pair) on the native grid;
    by default bands of whole lines for striped TIFFs, about 4 million
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
    measurement, block = _check_measurement(scene)
    sizes = resolve_chunks(plan, scene.shape, default_chunks(scene.shape, block))
    sizes = (min(sizes[0], scene.shape[0]), min(sizes[1], scene.shape[1]))
    log.info("%s: native chunks of %d x %d pixels", scene.name, *sizes)
    token = f"{measurement.path}|{measurement.member}|{os.stat(measurement.path).st_mtime_ns}"
    dn = da.from_array(_TiffWindows(measurement, scene.shape), chunks=sizes, asarray=False,
                       fancy=False, name=f"dn-{scene.name}-{zlib.crc32(token.encode()):08x}")
    lines = np.arange(scene.shape[0], dtype=np.float64)
    pixels = np.arange(scene.shape[1], dtype=np.float64)
    rows, cols = _coordinate_arrays(lines, pixels, sizes)
    sigma0 = da.map_blocks(_calibrate_block, dn, rows, cols, calibration=scene.calibration,
                           noise_range=scene.noise_range, noise_azimuth=scene.noise_azimuth,
                           dtype=np.float32)
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
        **{k: v for k, v in scene.attrs.items() if v is not None},
    }


def iso_time(t: np.datetime64) -> str:
    """ISO 8601 UTC text of a time, to the microsecond."""
    return str(np.datetime_as_string(np.datetime64(t, "us"), unit="us")) + "Z"


def averaging_factors(scene: GrdScene, resolution: Resolution) -> tuple[int, int]:
    """Pixels per block along lines and pixels for a target resolution in
    metres (None or "native": 1 x 1). ValueError or TypeError for a
    resolution that is not a positive number of metres or finer than the
    pixels."""
    metres = check_resolution(resolution)
    if metres == "native":
        return 1, 1
    check_resolution_for_pixels(metres, scene.azimuth_pixel_spacing, scene.range_pixel_spacing)
    return (max(1, int(round(metres / scene.azimuth_pixel_spacing))),
            max(1, int(round(metres / scene.range_pixel_spacing))))


def _aligned(plan: ChunkPlan, sizes: tuple[int, int], shape: tuple[int, int],
             factors: tuple[int, int]) -> tuple[int, int]:
    """Chunk sizes in whole blocks of `factors` pixels; one chunk for a
    dimension asked whole (-1)."""
    aligned = [factor * -(-whole // factor) if asked == -1 else factor * max(1, size // factor)
               for asked, size, whole, factor in zip(plan, sizes, shape, factors)]
    return aligned[0], aligned[1]


def block_size_text(azimuth_m: float, range_m: float) -> str:
    """The size of an averaging block for the `spatial_resolution` attribute."""
    if abs(azimuth_m - range_m) < 1e-6 * max(azimuth_m, range_m):
        return f"{azimuth_m:g} m"
    return f"{azimuth_m:g} m (azimuth) x {range_m:g} m (range)"


def _block_sums(values: NDArray[Any], factors: tuple[int, int]) -> NDArray[Any]:
    starts_l = np.arange(0, values.shape[0], factors[0])
    starts_p = np.arange(0, values.shape[1], factors[1])
    return np.add.reduceat(np.add.reduceat(values, starts_l, axis=0), starts_p, axis=1)


def _block_pixels(shape: tuple[int, ...], factors: tuple[int, int]) -> NDArray[np.int64]:
    """Native pixels of each block of a chunk of `shape`."""
    fl, fp = factors
    starts_l = np.arange(0, shape[0], fl)
    starts_p = np.arange(0, shape[1], fp)
    return (np.minimum(fl, shape[0] - starts_l)[:, None]
            * np.minimum(fp, shape[1] - starts_p)[None, :])


def _block_mean(sigma0: Float32Array, factors: tuple[int, int],
                land: NDArray[np.bool_] | None = None) -> Float32Array:
    """Linear mean of sigma0 over the blocks of `factors` pixels of one
    chunk (the last blocks may be smaller: the chunk ends at the scene's
    edge), NaN where fewer than half of a block's pixels are valid. With
    `land` (True on land pixels), land pixels are left out: the mean is over
    the valid sea pixels, NaN where fewer than half of the sea pixels are
    valid (and so on blocks without sea)."""
    valid = np.isfinite(sigma0)
    if land is not None:
        valid &= ~land
        pixels = _block_sums((~land).astype(np.int32), factors)
    else:
        pixels = _block_pixels(sigma0.shape, factors)
    total = _block_sums(np.where(valid, sigma0, 0.0).astype(np.float64), factors)
    count = _block_sums(valid.astype(np.int32), factors)
    with np.errstate(invalid="ignore"):
        return np.where((count * 2 >= pixels) & (count > 0), total / np.maximum(count, 1),
                        np.nan).astype(np.float32)


def _block_centres(size: int, factor: int) -> Float64Array:
    starts = np.arange(0, size, factor)
    return (starts + np.minimum(starts + factor, size) - 1) / 2.0


@dataclass
class SceneGrid:
    """The grid of a product of one scene: blocks of `factors` native pixels
    (1 x 1 for the native grid) at `line_coords` x `pixel_coords` (block
    centres), computed in chunks whose native bounds are `line_bounds` x
    `pixel_bounds` (multiples of the factors) and whose blocks are
    `out_chunks`."""

    scene: GrdScene
    measurement: "Measurement"
    factors: tuple[int, int]
    line_bounds: list[tuple[int, int]]
    pixel_bounds: list[tuple[int, int]]
    line_coords: Float64Array
    pixel_coords: Float64Array
    out_chunks: tuple[tuple[int, ...], tuple[int, ...]]
    spatial_resolution: str

    def azimuth_time(self) -> NDArray[np.datetime64]:
        return azimuth_times(self.scene, self.line_coords)

    def blocks(self, i: int, j: int, exclude_land: bool = False) -> tuple[
            Float32Array, Float32Array, Float32Array | None, Float64Array, Float64Array]:
        """What the product takes from the image for chunk (i, j), on its
        blocks: sigma0 averaged (over the sea pixels with `exclude_land`),
        the noise-equivalent sigma0 averaged over all pixels, the fraction
        of the pixels on land (None without `exclude_land` or on the native
        grid, where a block is one pixel), the blocks' lines and pixels."""
        (r0, r1), (c0, c1) = self.line_bounds[i], self.pixel_bounds[j]
        dn = _TiffWindows(self.measurement, self.scene.shape)[r0:r1, c0:c1]
        rows = np.arange(r0, r1, dtype=np.float64)
        cols = np.arange(c0, c1, dtype=np.float64)
        sigma0, nesz = _calibrate_block(dn, rows, cols, self.scene.calibration, self.scene.noise_range,
                                        self.scene.noise_azimuth, with_nesz=True)
        fl, fp = self.factors
        l0, p0 = self.line_bounds[0][0], self.pixel_bounds[0][0]
        lines = self.line_coords[(r0 - l0) // fl: -(-(r1 - l0) // fl)]
        pixels = self.pixel_coords[(c0 - p0) // fp: -(-(c1 - p0) // fp)]
        if (fl, fp) == (1, 1):
            return sigma0, nesz.astype(np.float32), None, lines, pixels
        land = None
        if exclude_land:
            from .landmask import land_pixels
            land = land_pixels(self.scene.geolocation, (r0, r1), (c0, c1),
                               (self.scene.azimuth_pixel_spacing, self.scene.range_pixel_spacing))
        pixel_count = _block_pixels(sigma0.shape, self.factors)
        nesz = (_block_sums(nesz, self.factors) / pixel_count).astype(np.float32)
        land_fraction = None
        if exclude_land:
            land_fraction = (np.zeros(nesz.shape, dtype=np.float32) if land is None else
                             (_block_sums(land.astype(np.int32), self.factors) / pixel_count).astype(np.float32))
        return _block_mean(sigma0, self.factors, land), nesz, land_fraction, lines, pixels


Window: TypeAlias = tuple[tuple[int, int], tuple[int, int]]


def scene_grid(scene: GrdScene, resolution: Resolution = RESOLUTION_M, chunks: Chunks = None,
               chunk_pixels: int | None = None, window: Window | None = None) -> SceneGrid:
    """The `SceneGrid` of a product at `resolution` metres ("native" keeps
    the pixels); `chunks` as for `open_s1_grd_averaged`, by default of
    about `chunk_pixels` (CHUNK_PIXELS) native pixels. `window` ((first
    line, end line), (first pixel, end pixel)) limits the grid to a part of
    the scene, whose blocks start at its first line and pixel."""
    plan = chunk_plan(chunks)
    fl, fp = averaging_factors(scene, resolution)
    measurement, block = _check_measurement(scene)
    (r0, r1), (c0, c1) = window or ((0, scene.shape[0]), (0, scene.shape[1]))
    shape = (r1 - r0, c1 - c0)
    sizes = resolve_chunks(plan, shape, default_chunks(shape, block, (fl, fp), chunk_pixels or CHUNK_PIXELS))
    aligned = _aligned(plan, sizes, shape, (fl, fp))
    log.info("%s: %d x %d chunks of %d x %d pixels, blocks of %d x %d pixels", scene.name,
             -(-shape[0] // aligned[0]), -(-shape[1] // aligned[1]), *aligned, fl, fp)

    def bounds(start: int, end: int, step: int) -> list[tuple[int, int]]:
        return [(first, min(first + step, end)) for first in range(start, end, step)]

    line_bounds, pixel_bounds = bounds(r0, r1, aligned[0]), bounds(c0, c1, aligned[1])
    out_chunks = (tuple(-(-(b - a) // fl) for a, b in line_bounds),
                  tuple(-(-(b - a) // fp) for a, b in pixel_bounds))
    if (fl, fp) == (1, 1):
        text = (f"native ({scene.azimuth_pixel_spacing:g} m azimuth x "
                f"{scene.range_pixel_spacing:g} m range pixel spacing)")
    else:
        text = block_size_text(fl * scene.azimuth_pixel_spacing, fp * scene.range_pixel_spacing)
    return SceneGrid(scene, measurement, (fl, fp), line_bounds, pixel_bounds,
                     r0 + _block_centres(shape[0], fl), c0 + _block_centres(shape[1], fp),
                     out_chunks, text)


def scene_window(ds: xr.Dataset) -> tuple[GrdScene, Window | None]:
    """The scene of a Dataset `open_s1_grd` returned, and the window of it
    the Dataset holds (None for all of it): a part selected by line and
    pixel ranges is a window; the values are read again from the product.
    ValueError for a Dataset of another origin, averaged, or not a
    contiguous part of the native grid."""
    path = ds.attrs.get("sentinel1_path")
    if not isinstance(path, str) or "averaging_block" in ds.attrs:
        what = ("an averaged one" if "averaging_block" in ds.attrs else
                "it has no sentinel1_path attribute")
        raise ValueError("the Dataset must be the native one open_s1_grd returns, or a part of it "
                         f"selected by line and pixel ranges, not {what}; averaging is "
                         "make_wind_product's resolution")
    scene = read_grd_metadata(path, str(ds.attrs.get("sentinel1_polarisation", "VV")))
    window = []
    for dim, size in zip(("line", "pixel"), scene.shape):
        index = np.asarray(ds[dim].values, dtype=np.float64) if dim in ds.coords else np.empty(0)
        if (index.size == 0 or not np.array_equal(index, index[0] + np.arange(index.size))
                or index[0] < 0 or index[-1] >= size or index[0] != int(index[0])):
            raise ValueError(f"the Dataset's {dim} coordinate must be a contiguous range of the scene's "
                             f"(0 to {size - 1}, selected with a slice of step 1)")
        window.append((int(index[0]), int(index[0]) + index.size))
    full = all(w == (0, size) for w, size in zip(window, scene.shape))
    return scene, None if full else (window[0], window[1])


def open_s1_grd_averaged(path_or_scene: "PathLike | GrdScene", resolution: Resolution = RESOLUTION_M,
                         polarisation: str = "VV", chunks: Chunks = None) -> xr.Dataset:
    """The product of `open_s1_grd` averaged over blocks of about
    `resolution` metres ("native" keeps the pixels): sigma0 averaged in
    linear units over the valid pixels of a block (NaN when fewer than half
    of the block's pixels are valid), incidence, latitude, longitude, look
    azimuth and time at the block centres. The blocks at the far edges keep
    the pixels the scene has there. `spatial_resolution` records the real
    block size."""
    plan = chunk_plan(chunks)
    check_resolution(resolution)
    scene = path_or_scene if isinstance(path_or_scene, GrdScene) else read_grd_metadata(
        path_or_scene, polarisation)
    fl, fp = averaging_factors(scene, resolution)
    sizes = resolve_chunks(plan, scene.shape,
                           default_chunks(scene.shape, _check_measurement(scene)[1], (fl, fp)))
    aligned = _aligned(plan, sizes, scene.shape, (fl, fp))
    native = scene_dataset(scene, aligned)
    if (fl, fp) == (1, 1):
        return native
    sigma0 = native["sigma0"].data
    out_chunks = tuple(tuple(-(-c // f) for c in cs) for cs, f in zip(sigma0.chunks, (fl, fp)))
    mean = da.map_blocks(_block_mean, sigma0, factors=(fl, fp), dtype=np.float32, chunks=out_chunks)
    line_centres = _block_centres(scene.shape[0], fl)
    pixel_centres = _block_centres(scene.shape[1], fp)
    ds = geometry_dataset(scene, line_centres, pixel_centres, (out_chunks[0][0], out_chunks[1][0]))
    ds["sigma0"] = (("line", "pixel"), mean,
                     variable_attributes("sigma0", polarisation=scene.polarisation,
                                         sea_mean=", mean over the block's valid pixels"))
    ds.attrs.update(native.attrs)
    ds.attrs["averaging_block"] = f"{fl} lines x {fp} pixels"
    ds.attrs["spatial_resolution"] = block_size_text(fl * scene.azimuth_pixel_spacing,
                                                     fp * scene.range_pixel_spacing)
    return ds

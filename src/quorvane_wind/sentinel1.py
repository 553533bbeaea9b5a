"""Sentinel-1 Level-1 GRD products (IW and EW, `.SAFE` folder or `.zip`) as
calibrated, noise-corrected sigma0 with its geometry.

The XML files are decoded by xarray-sentinel (manifest, annotation,
calibration and geolocation grid through its own readers, noise vectors
through its schema-aware tag parser). What it does not do is written here:

- thermal noise as the range LUT times the azimuth LUT, with every azimuth
  block (IW GRDs have one per sub-swath; the library keeps only the first);
- sigma0 = (DN^2 - noise) / A^2 with A the sigmaNought LUT, with
  non-positive values marked invalid (NaN) rather than clipped;
- reading the GeoTIFF measurement by windows with rasterio, the same way for
  a folder and for a zip (GDAL's /vsizip/), in chunks that suit averaging;
- incidence angle, latitude and longitude interpolated bilinearly in
  line/pixel from the geolocation grid, at any (also fractional) pixel.

Everything on the pixel grid is a lazy dask array, so a full scene is read
and calibrated chunk by chunk.

This one stage of the pipeline is kept in one file (over 500 lines): its
parts, from the files of the product to the lazy Dataset, all work on the
same decoded metadata (`SafeFiles`, `GrdScene`) and are read together.
"""

import io
import os
import posixpath
import zipfile
from dataclasses import dataclass, field

import dask.array as da
import numpy as np
import xarray as xr

from .errors import InputError

# Pixels per chunk on the native grid when the caller does not choose: about
# 4 million, that is a few hundred MB of float64 temporaries per task.
CHUNK_PIXELS = 4_000_000


def product_name(path):
    """The product's name: the file or folder name without .zip and .SAFE."""
    name = os.path.basename(os.path.normpath(os.fspath(path)))
    for suffix in (".zip", ".SAFE", ".safe"):
        if name.endswith(suffix):
            name = name[: -len(suffix)]
    return name


class SafeFiles:
    """The files of a SAFE product, in a folder or in a zip archive, by the
    relative paths the manifest gives them."""

    def __init__(self, path):
        self.path = os.fspath(path)
        if not os.path.exists(self.path):
            raise InputError("no such file or folder")
        if not os.access(self.path, os.R_OK):
            raise InputError("not readable (permission denied)")
        self.zip_prefix = None
        self._zip_names = None     # the archive's member names, for a zip
        self._cache = {}
        if os.path.isdir(self.path):
            if not os.path.isfile(os.path.join(self.path, "manifest.safe")):
                raise InputError("not a SAFE product: the folder has no manifest.safe")
        elif zipfile.is_zipfile(self.path):
            try:
                with zipfile.ZipFile(self.path) as archive:
                    names = archive.namelist()
            except (zipfile.BadZipFile, OSError) as exc:
                raise InputError(f"unreadable zip archive ({exc})") from None
            manifests = sorted(n for n in names
                               if posixpath.basename(n) == "manifest.safe" and n.count("/") <= 1)
            if not manifests:
                raise InputError("not a SAFE product: the zip has no manifest.safe")
            self.zip_prefix = manifests[0][: -len("manifest.safe")]
            self._zip_names = frozenset(names)
        else:
            raise InputError("neither a SAFE folder nor a zip archive")

    def member(self, href):
        return posixpath.normpath(posixpath.join(self.zip_prefix or "", href))

    def exists(self, href):
        if self.zip_prefix is None:
            return os.path.isfile(os.path.join(self.path, href))
        return self.member(href) in self._zip_names

    def read(self, href):
        """The bytes of one file of the product (kept: the annotation is
        decoded several times)."""
        if href in self._cache:
            return self._cache[href]
        self._cache[href] = self._read(href)
        return self._cache[href]

    def _read(self, href):
        try:
            if self.zip_prefix is None:
                with open(os.path.join(self.path, href), "rb") as f:
                    return f.read()
            with zipfile.ZipFile(self.path) as archive:
                return archive.read(self.member(href))
        except (OSError, KeyError, zipfile.BadZipFile) as exc:
            raise InputError(f"{posixpath.basename(href)}: cannot be read ({exc})") from None

    def gdal_path(self, href):
        """A path GDAL opens: the file itself, or the member through /vsizip/."""
        if self.zip_prefix is None:
            return os.path.join(os.path.abspath(self.path), os.path.normpath(href))
        return f"/vsizip/{os.path.abspath(self.path)}/{self.member(href)}"


def _decode(files, href, what, reader):
    """Runs a reader of xarray-sentinel on one XML file of the product and
    turns whatever a damaged file makes it raise into an InputError naming
    the file."""
    try:
        return reader(io.BytesIO(files.read(href)))
    except InputError:
        raise
    except Exception as exc:   # ParseError, xmlschema's errors, missing tags
        reason = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        raise InputError(f"{what} {posixpath.basename(href)} is corrupt or incomplete ({reason})") from None


def _numbers(tag, dtype=np.float64):
    """The numbers of a space-separated list element as decoded by
    xarray-sentinel ({"$": "1 2 3", "@count": 3})."""
    text = tag["$"] if isinstance(tag, dict) else tag
    return np.array(str(text).split(), dtype=dtype)


class LineVectorLut:
    """A look-up table given as vectors at some image lines, each over its own
    pixel positions (calibration and noise range vectors, the geolocation
    grid): linear along pixels within a vector, then linear between the two
    vectors around a line; constant beyond the first and last ones."""

    def __init__(self, lines, pixels, values):
        order = np.argsort(np.asarray(lines, dtype=np.float64), kind="stable")
        self.lines = np.asarray(lines, dtype=np.float64)[order]
        self.pixels = [np.asarray(pixels[i], dtype=np.float64) for i in order]
        self.values = [np.asarray(values[i], dtype=np.float64) for i in order]
        for p, v in zip(self.pixels, self.values):
            if p.shape != v.shape or p.size == 0:
                raise ValueError("vector with mismatched pixel and value counts")

    def __call__(self, rows, cols):
        """Values at the rows x cols grid (1-D arrays of line and pixel
        positions, fractional allowed), float64."""
        rows = np.asarray(rows, dtype=np.float64).ravel()
        cols = np.asarray(cols, dtype=np.float64).ravel()
        if self.lines.size == 1:
            return np.broadcast_to(np.interp(cols, self.pixels[0], self.values[0]),
                                   (rows.size, cols.size)).copy()
        k = np.clip(np.searchsorted(self.lines, rows, side="right") - 1, 0, self.lines.size - 2)
        used = np.unique(np.concatenate([k, k + 1]))
        at_cols = {int(i): np.interp(cols, self.pixels[i], self.values[i]) for i in used}
        lo = np.stack([at_cols[int(i)] for i in k])
        hi = np.stack([at_cols[int(i) + 1] for i in k])
        w = np.clip((rows - self.lines[k]) / (self.lines[k + 1] - self.lines[k]), 0.0, 1.0)[:, None]
        return lo * (1.0 - w) + hi * w


@dataclass
class AzimuthNoiseBlock:
    first_line: int
    last_line: int
    first_sample: int
    last_sample: int
    lines: np.ndarray
    lut: np.ndarray


class AzimuthNoise:
    """The azimuth noise LUT of a GRD: one block per sub-swath (and per part
    of it), each a rectangle of lines and samples with a LUT along lines.
    Pixels no block covers get 1 (products without azimuth noise vectors)."""

    def __init__(self, blocks):
        self.blocks = list(blocks)

    def __call__(self, rows, cols):
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

    lines: np.ndarray
    pixels: np.ndarray
    latitude: np.ndarray      # (lines, pixels)
    longitude: np.ndarray     # unwrapped: continuous across the antimeridian
    incidence: np.ndarray
    _luts: dict = field(default_factory=dict, init=False, repr=False, compare=False)

    def _lut(self, which):
        # Made once per field, not once per chunk.
        if which not in self._luts:
            values = getattr(self, which)
            self._luts[which] = LineVectorLut(self.lines, [self.pixels] * self.lines.size,
                                              list(values))
        return self._luts[which]

    def field(self, which, rows, cols):
        """"latitude", "longitude" (in [-180, 180)) or "incidence" at the
        rows x cols grid, bilinear in line/pixel."""
        values = self._lut(which)(rows, cols)
        return (values + 180.0) % 360.0 - 180.0 if which == "longitude" else values


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
    shape: tuple
    first_line_time: np.datetime64
    last_line_time: np.datetime64
    azimuth_time_interval: float     # seconds
    range_pixel_spacing: float       # metres
    azimuth_pixel_spacing: float
    calibration: LineVectorLut
    noise_range: LineVectorLut | None
    noise_azimuth: AzimuthNoise
    geolocation: Geolocation
    attrs: dict = field(default_factory=dict)

    @property
    def look_azimuth(self):
        """Azimuth the beam points to: Sentinel-1 looks right of its track."""
        return float((self.heading + 90.0) % 360.0)

    @property
    def mid_time(self):
        return self.first_line_time + (self.last_line_time - self.first_line_time) / 2


def read_grd_metadata(path, polarisation="VV"):
    """Parses manifest, annotation, calibration and noise of one polarisation
    of a GRD product. Raises InputError with a one-line reason."""
    from xarray_sentinel import esa_safe, sentinel1

    files = SafeFiles(path)
    polarisation = polarisation.upper()
    common, product_files = _decode(files, "manifest.safe", "manifest",
                                    lambda f: esa_safe.parse_manifest_sentinel1(f))
    if common.get("product_type") != "GRD":
        raise InputError(f"not a GRD product (product type {common.get('product_type')})")
    available = [p.upper() for p in common.get("transmitter_receiver_polarisations", [])]
    if polarisation not in available:
        hint = "; CMOD5.N is a model for VV polarisation" if polarisation == "VV" else ""
        raise InputError(f"no {polarisation} polarisation in the product "
                         f"(it has {', '.join(available) or 'none'}){hint}")

    wanted = {"s1Level1ProductSchema": "annotation", "s1Level1CalibrationSchema": "calibration",
              "s1Level1NoiseSchema": "noise", "s1Level1MeasurementSchema": "measurement"}
    hrefs = {}
    for href, (kind, _prefix, _swath, pol, _date) in product_files.items():
        if pol.upper() == polarisation and kind in wanted:
            hrefs[wanted[kind]] = href
    for what in ("annotation", "calibration", "noise", "measurement"):
        if what not in hrefs:
            raise InputError(f"the manifest lists no {what} file for {polarisation}")
        if not files.exists(hrefs[what]):
            raise InputError(f"{what} file {hrefs[what]} is missing")

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
        blocks = [AzimuthNoiseBlock(
            first_line=int(v["firstAzimuthLine"]), last_line=int(v["lastAzimuthLine"]),
            first_sample=int(v["firstRangeSample"]), last_sample=int(v["lastRangeSample"]),
            lines=_numbers(v["line"]), lut=_numbers(v["noiseAzimuthLut"]))
            for v in noise_azimuth]
        geolocation = _geolocation(gcp)
        return GrdScene(
            name=product_name(path), files=files, measurement=hrefs["measurement"],
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
                   "thermal_noise_removal": "range x azimuth LUT" if nr_lut is not None
                   else "none: the product has no noise range vectors"},
        )
    except (ValueError, KeyError, TypeError, IndexError) as exc:
        raise InputError(f"annotation, calibration or noise XML of {polarisation} is inconsistent "
                         f"({type(exc).__name__}: {exc})") from None


def _geolocation(gcp):
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
    windowed read. It holds only the path, so it pickles to other processes."""

    def __init__(self, gdal_path, label, shape):
        self.gdal_path = gdal_path
        self.label = label
        self.shape = shape
        self.dtype = np.dtype(np.uint16)
        self.ndim = 2

    def __getitem__(self, key):
        import rasterio
        from rasterio.windows import Window

        rows, cols = key
        r0, r1, _ = rows.indices(self.shape[0])
        c0, c1, _ = cols.indices(self.shape[1])
        try:
            with rasterio.open(self.gdal_path) as src:
                return src.read(1, window=Window(c0, r0, c1 - c0, r1 - r0)).astype(np.uint16, copy=False)
        except Exception as exc:
            reason = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
            raise InputError(f"measurement {self.label} is corrupt ({reason})") from None


def _check_measurement(scene):
    """Opens the measurement once: its name for messages and its internal
    block shape, or an InputError naming the file."""
    import rasterio

    label = posixpath.basename(scene.measurement)
    try:
        with rasterio.open(scene.files.gdal_path(scene.measurement)) as src:
            shape, dtype, count = (src.height, src.width), src.dtypes[0], src.count
            block = tuple(src.block_shapes[0]) if count else (1, src.width)
    except Exception as exc:
        reason = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        raise InputError(f"measurement {label} cannot be opened ({reason})") from None
    if count < 1 or dtype not in ("uint16", "int16", "uint8"):
        raise InputError(f"measurement {label} holds {count} band(s) of {dtype}, not DNs")
    if shape != scene.shape:
        raise InputError(f"measurement {label} is {shape[0]} x {shape[1]} pixels but the "
                         f"annotation says {scene.shape[0]} x {scene.shape[1]}")
    return label, block


def default_chunks(shape, block, factors=(1, 1)):
    """Chunks of about CHUNK_PIXELS, multiples of the averaging factors. A
    TIFF stored in strips (as Sentinel-1 measurements are) is read in bands
    of whole lines, so that no strip is read twice; a tiled one in squares."""
    lines, pixels = shape
    if block[1] >= pixels // 2:
        cols = pixels
        rows = max(1, CHUNK_PIXELS // max(pixels, 1))
    else:
        rows = cols = int(np.sqrt(CHUNK_PIXELS))
    rows = factors[0] * max(1, rows // factors[0])
    cols = pixels if cols >= pixels else factors[1] * max(1, cols // factors[1])
    return min(rows, lines), min(cols, pixels)


def _calibrate_block(dn, rows, cols, calibration, noise_range, noise_azimuth):
    """sigma0 (linear, float32) of one block of DNs: (DN^2 - noise) / A^2,
    NaN where that is not positive."""
    dn2 = np.square(dn.astype(np.float64))
    if noise_range is not None:
        dn2 -= noise_range(rows.ravel(), cols.ravel()) * noise_azimuth(rows.ravel(), cols.ravel())
    a = calibration(rows.ravel(), cols.ravel())
    sigma0 = dn2 / np.square(a)
    return np.where(sigma0 > 0.0, sigma0, np.nan).astype(np.float32)


def _geometry_block(rows, cols, geolocation, which):
    values = geolocation.field(which, rows.ravel(), cols.ravel())
    return values.astype(np.float32) if which == "incidence" else values


def _coordinate_arrays(line_coords, pixel_coords, chunks):
    rows = da.from_array(np.asarray(line_coords, dtype=np.float64)[:, None], chunks=(chunks[0], 1))
    cols = da.from_array(np.asarray(pixel_coords, dtype=np.float64)[None, :], chunks=(1, chunks[1]))
    return rows, cols


def geometry_dataset(scene, line_coords, pixel_coords, chunks):
    """Latitude, longitude, incidence angle and azimuth time at the grid of
    the given (possibly fractional) line and pixel positions, lazily."""
    rows, cols = _coordinate_arrays(line_coords, pixel_coords, chunks)
    out_chunks = (rows.chunks[0], cols.chunks[1])
    variables = {}
    for which, dtype in (("latitude", np.float64), ("longitude", np.float64), ("incidence", np.float32)):
        data = da.map_blocks(_geometry_block, rows, cols, geolocation=scene.geolocation,
                             which=which, dtype=dtype, chunks=out_chunks)
        variables[which] = (("line", "pixel"), data)
    interval = np.timedelta64(int(round(scene.azimuth_time_interval * 1e9)), "ns")
    line_coords = np.asarray(line_coords, dtype=np.float64)
    azimuth_time = scene.first_line_time + (line_coords * interval.astype(np.float64)).astype("timedelta64[ns]")
    coords = {"line": line_coords, "pixel": np.asarray(pixel_coords, dtype=np.float64),
              "azimuth_time": ("line", azimuth_time)}
    return xr.Dataset(variables, coords=coords)


def open_s1_grd(path, polarisation="VV", chunks=None):
    """A Sentinel-1 GRD product (IW or EW, `.SAFE` folder or `.zip`) as an
    xarray Dataset on (line, pixel), lazily computed with dask:

    - `sigma0`: calibrated (sigmaNought LUT), thermal-noise-corrected
      backscatter, linear, float32; NaN where DN^2 - noise is not positive;
    - `incidence`, `latitude`, `longitude`: interpolated from the
      geolocation grid; `azimuth_time` per line.

    Attributes give the product name, mission, mode, pass, the platform
    heading and the look direction (heading + 90 degrees, right-looking),
    the first and last line times and the pixel spacings. `chunks` is the
    chunk edge (or a (rows, cols) pair) on the native grid; by default bands
    of whole lines for striped TIFFs, about 4 million pixels each.

    Raises `quorvane_wind.errors.InputError` with a one-line reason for a
    missing or unreadable path, a product without the polarisation, or a
    corrupt XML file or measurement (naming the file).
    """
    scene = read_grd_metadata(path, polarisation)
    return scene_dataset(scene, chunks)


def scene_dataset(scene, chunks=None):
    """The Dataset of `open_s1_grd` for a parsed scene."""
    label, block = _check_measurement(scene)
    if chunks is None:
        chunks = default_chunks(scene.shape, block)
    elif np.isscalar(chunks):
        chunks = (int(chunks), int(chunks))
    chunks = (min(chunks[0], scene.shape[0]), min(chunks[1], scene.shape[1]))
    dn = da.from_array(_TiffWindows(scene.files.gdal_path(scene.measurement), label, scene.shape),
                       chunks=chunks, asarray=False, fancy=False, name=f"dn-{scene.name}-{label}")
    lines = np.arange(scene.shape[0], dtype=np.float64)
    pixels = np.arange(scene.shape[1], dtype=np.float64)
    rows, cols = _coordinate_arrays(lines, pixels, chunks)
    sigma0 = da.map_blocks(_calibrate_block, dn, rows, cols, calibration=scene.calibration,
                           noise_range=scene.noise_range, noise_azimuth=scene.noise_azimuth,
                           dtype=np.float32)
    ds = geometry_dataset(scene, lines, pixels, chunks)
    ds["sigma0"] = (("line", "pixel"), sigma0)
    ds["sigma0"].attrs.update(units="1", long_name="sigma0, calibrated and thermal-noise corrected, linear")
    ds["incidence"].attrs.update(units="degree", long_name="incidence angle")
    ds.attrs.update(scene_attributes(scene))
    return ds


def scene_attributes(scene):
    return {
        "product_name": scene.name, "mission": scene.mission,
        "platform": f"Sentinel-1{scene.mission[-1:]}", "mode": scene.mode,
        "polarisation": scene.polarisation, "orbit_pass": scene.orbit_pass,
        "platform_heading": scene.heading, "look_azimuth": scene.look_azimuth,
        "first_line_time": str(scene.first_line_time), "last_line_time": str(scene.last_line_time),
        "range_pixel_spacing": scene.range_pixel_spacing,
        "azimuth_pixel_spacing": scene.azimuth_pixel_spacing,
        **{k: v for k, v in scene.attrs.items() if v is not None},
    }


def averaging_factors(scene, resolution):
    """Pixels per block along lines and pixels for a target resolution in
    metres (None or "native": 1 x 1)."""
    if resolution in (None, "native"):
        return 1, 1
    return (max(1, int(round(float(resolution) / scene.azimuth_pixel_spacing))),
            max(1, int(round(float(resolution) / scene.range_pixel_spacing))))


def open_s1_grd_averaged(path_or_scene, resolution=1000, polarisation="VV", chunks=None):
    """The product of `open_s1_grd` averaged over blocks of about
    `resolution` metres ("native" keeps the pixels): sigma0 averaged in
    linear units over the valid pixels of a block (NaN when fewer than half
    are valid), incidence, latitude, longitude and time at the block centres.
    Incomplete blocks at the far edges are dropped."""
    scene = path_or_scene if isinstance(path_or_scene, GrdScene) else read_grd_metadata(
        path_or_scene, polarisation)
    fl, fp = averaging_factors(scene, resolution)
    if chunks is None:
        chunks = default_chunks(scene.shape, _check_measurement(scene)[1], (fl, fp))
    elif np.isscalar(chunks):
        chunks = (int(chunks), int(chunks))
    aligned = (fl * max(1, chunks[0] // fl), fp * max(1, chunks[1] // fp))
    native = scene_dataset(scene, aligned)
    if (fl, fp) == (1, 1):
        return native
    n_lines, n_pixels = scene.shape[0] // fl, scene.shape[1] // fp
    if n_lines == 0 or n_pixels == 0:
        raise InputError(f"the scene ({scene.shape[0]} x {scene.shape[1]} pixels) is smaller "
                         f"than one {resolution} m block")
    sigma0 = native["sigma0"].data[: n_lines * fl, : n_pixels * fp]
    valid = da.isfinite(sigma0)
    total = da.coarsen(np.sum, da.where(valid, sigma0, 0.0).astype(np.float64), {0: fl, 1: fp})
    count = da.coarsen(np.sum, valid.astype(np.int32), {0: fl, 1: fp})
    mean = da.where(count * 2 >= fl * fp, total / da.maximum(count, 1), np.nan).astype(np.float32)
    line_centres = np.arange(n_lines) * fl + (fl - 1) / 2.0
    pixel_centres = np.arange(n_pixels) * fp + (fp - 1) / 2.0
    out_chunks = (max(1, aligned[0] // fl), max(1, aligned[1] // fp))
    ds = geometry_dataset(scene, line_centres, pixel_centres, out_chunks)
    ds["sigma0"] = (("line", "pixel"), mean.rechunk(out_chunks))
    ds["sigma0"].attrs.update(native["sigma0"].attrs)
    ds["incidence"].attrs.update(native["incidence"].attrs)
    ds.attrs.update(native.attrs)
    ds.attrs["averaging_block"] = f"{fl} lines x {fp} pixels"
    return ds

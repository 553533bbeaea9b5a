"""Sentinel-1 GRD products and ERA5 files with a known wind, written from
scratch in the real file layouts, for the tests, the benchmarks and the main job.

A product is a `.SAFE` folder like the ones ESA distributes: `manifest.safe`,
`annotation/<name>.xml`, `annotation/calibration/calibration-<name>.xml` and
`noise-<name>.xml`, and `measurement/<name>.tiff` (uint16 DNs), for each
polarisation. The annotation starts from a shrunk copy of a real IW GRD
annotation (package data `data/s1-iw-grd-annotation-template.xml`, Copernicus Sentinel
data 2021, from the test data of xarray-sentinel's source distribution); the
image size, times, spacings, heading and the geolocation grid are replaced.

The default geometry is chosen so that a reader that interpolates
bilinearly in line/pixel is exact: latitude and longitude are affine in
(line, pixel), the incidence angle is linear in pixel, the sigmaNought LUT is affine, the noise
range LUT affine and the azimuth noise LUT of each sub-swath block linear in
line. The wind direction comes from ERA5 files whose u10 and v10 are affine
in latitude, longitude and time near the scene, so their bilinear and linear
interpolation is exact too. The DNs are

    DN = round(sqrt((sigma0 * speckle) * A^2 + noise))

with sigma0 from the CMOD5.N forward model (`cmod5n_forward`) for the true
speed, the ERA5 direction relative to the look direction and the incidence
angle (for HH divided by the polarisation ratio `vv_hh_ratio`); speckle is 1
for a noise-free product.

The look direction of the truth is the azimuth of the ground direction of
increasing pixel at each pixel, as on real products (`pixel_look=False`
gives heading + 90 degrees everywhere, for a reader that ignores it). The sphere geometry
places the lines along a great-circle track and the pixels of each line
along the great circle across it, so the look direction turns across the
swath as on real products (most at high latitude); its lat/lon are not
bilinear, and the geolocation grid should be dense enough for the accuracy
a test asks.

Product and ERA5 writers share one file (about 850 lines, most of it the
XML layouts) because they are made from one configuration and one wind
field, which must agree in area, times and geometry.

Every file and folder is written under a temporary name and renamed when
complete.
"""

import os
import shutil
import uuid
import zipfile
import zlib
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from importlib import resources
from pathlib import Path
from typing import Literal, TypeAlias, overload
from xml.etree import ElementTree as ET

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .cmod5n_forward import sigma0_cmod5n
from .sar_scene import wind_from_direction_deg

Float64Array: TypeAlias = NDArray[np.float64]
StrPath: TypeAlias = str | os.PathLike[str]

# Package data: read through importlib.resources, so that it is found
# wherever the package is installed.
ANNOTATION_TEMPLATE = resources.files(__package__) / "data" / "s1-iw-grd-annotation-template.xml"
KM_PER_DEG = 111.195
SPEED_OF_LIGHT = 299792458.0


@dataclass(frozen=True)
class GrdConfig:
    """A synthetic GRD product. Directions in degrees clockwise from north."""

    lines: int = 240
    samples: int = 300
    azimuth_spacing_m: float = 400.0
    range_spacing_m: float = 400.0
    mission: str = "S1A"
    mode: str = "IW"                      # IW (3 sub-swaths) or EW (5)
    polarisations: tuple[str, ...] = ("VV", "VH")
    start: str = "2021-04-01T05:26:23.794457"
    duration_s: float = 25.0
    heading_deg: float = -165.65          # descending, as the template's product
    centre_lat: float = 52.0
    centre_lon: float = -20.0
    incidence_near: float = 30.7
    incidence_far: float = 46.0
    calibration_constant: float = 640.0   # sigmaNought LUT level (real IW: about 600-700)
    nesz_db: float = -24.0                # noise-equivalent sigma0 of the noise LUTs
    looks: float = 0.0                    # speckle looks; 0: no speckle
    seed: int = 11
    gcp_lines: int = 10
    gcp_pixels: int = 21
    geometry: str = "affine"              # "affine" or "sphere"
    track_offset_km: float = 0.0          # sphere: middle pixel this far right of the track
    pixel_look: bool = True               # per-pixel look direction in the truth (always for "sphere")
    noise_layout: str = "range_azimuth"   # "range_azimuth"; "range": older noiseVector XML; "none"
    absolute_orbit: int = 37258
    datatake: int = 0x04638E
    # Speckle on signal and thermal noise alike, as on real products:
    # DN^2 = (sigma0 A^2 + noise) x speckle, so that pixels near the noise
    # floor come out negative after noise removal. False: the signal alone.
    speckle_noise: bool = False
    ipf_version: str = "003.31"           # the manifest's Sentinel-1 IPF version
    # Border noise of products before IPF 2.90: strips of very low, non-zero
    # DNs (pixels), (near range, far range, first lines, last lines); the
    # near- and far-range strips change width along azimuth (see
    # `border_noise_pixels`).
    border_noise: tuple[int, int, int, int] = (0, 0, 0, 0)
    # Errors of what the product is told, for checking its uncertainty, as
    # standard deviations drawn independently for each cell of
    # `error_cell` x `error_cell` pixels (each cell one realisation of what
    # is one error per scene or per weather system in real data): the true
    # wind blows from ERA5's direction plus `direction_error_deg`; the DNs
    # hold sigma0 off by `calibration_error_db` and the thermal noise off by
    # `nesz_error_db` from what the annotated LUTs say.
    direction_error_deg: float = 0.0
    calibration_error_db: float = 0.0
    nesz_error_db: float = 0.0
    error_cell: int = 1

    def errors(self, rows: ArrayLike, cols: ArrayLike) -> tuple[Float64Array, Float64Array, Float64Array]:
        """The direction offset (degrees) and the calibration and noise
        factors at the rows x cols grid (zeros and ones without errors)."""
        r = np.asarray(rows) // self.error_cell
        c = np.asarray(cols) // self.error_cell
        cells = (-(-self.lines // self.error_cell), -(-self.samples // self.error_cell))
        draws = np.random.default_rng([self.seed, 2718]).standard_normal((3, *cells))[:, r][:, :, c]
        return (self.direction_error_deg * draws[0], 10.0 ** (self.calibration_error_db * draws[1] / 10.0),
                10.0 ** (self.nesz_error_db * draws[2] / 10.0))

    @property
    def shape(self) -> tuple[int, int]:
        return (self.lines, self.samples)

    @property
    def start_time(self) -> np.datetime64:
        return np.datetime64(self.start, "us")

    @property
    def stop_time(self) -> np.datetime64:
        return self.start_time + np.timedelta64(int(round(self.duration_s * 1e6)), "us")

    @property
    def mid_time(self) -> np.datetime64:
        return self.start_time + (self.stop_time - self.start_time) / 2

    @property
    def look_azimuth(self) -> float:
        return (self.heading_deg + 90.0) % 360.0

    @property
    def sub_swaths(self) -> int:
        return 3 if self.mode == "IW" else 5

    def _identity(self) -> str:
        """The configuration as text for the name's checksum; the fields added
        last are left out at their defaults, so that the products of
        earlier configurations keep their names."""
        text = repr(self)
        for name in ("speckle_noise", "ipf_version", "border_noise", "direction_error_deg",
                     "calibration_error_db", "nesz_error_db", "error_cell"):
            default = GrdConfig.__dataclass_fields__[name].default
            if getattr(self, name) == default:
                text = text.replace(f", {name}={default!r}", "")
        return text

    def name(self) -> str:
        pol = self.polarisations
        kind = ("D" if len(pol) == 2 else "S") + pol[0][0]
        t0 = _compact(self.start_time)
        t1 = _compact(self.stop_time)
        return (f"{self.mission}_{self.mode}_GRDH_1S{kind}_{t0}_{t1}_{self.absolute_orbit:06d}_"
                f"{self.datatake:06X}_{zlib.crc32(self._identity().encode()) & 0xFFFF:04X}")


def _compact(t: np.datetime64) -> str:
    return str(np.datetime_as_string(t, "s")).replace("-", "").replace(":", "")


def _iso(t: np.datetime64 | str) -> str:
    return str(np.datetime_as_string(np.datetime64(t, "us"), "us"))


# ---------------------------------------------------------------- geometry

EARTH_RADIUS_KM = KM_PER_DEG * 180.0 / np.pi


def _sphere(cfg: GrdConfig, rows: ArrayLike, cols: ArrayLike
            ) -> tuple[Float64Array, Float64Array, Float64Array]:
    """Latitude, longitude and look azimuth (degrees) of the sphere
    geometry: the track is the great circle through the centre with the
    configured heading there (the centre is the track point of the middle
    line); pixel p of a line lies on the great circle through the line's
    track point, perpendicular to the track to its right, at
    `track_offset_km` + (p - middle) x range spacing (a right-looking
    swath); the look azimuth is the bearing of that great circle at the
    pixel, towards increasing pixel."""
    rows = np.asarray(rows, dtype=np.float64)[:, None, None]
    cols = np.asarray(cols, dtype=np.float64)[None, :, None]
    lat0, lon0, h = np.radians(cfg.centre_lat), np.radians(cfg.centre_lon), np.radians(cfg.heading_deg)
    p0 = np.array([np.cos(lat0) * np.cos(lon0), np.cos(lat0) * np.sin(lon0), np.sin(lat0)])
    east0 = np.array([-np.sin(lon0), np.cos(lon0), 0.0])
    north0 = np.array([-np.sin(lat0) * np.cos(lon0), -np.sin(lat0) * np.sin(lon0), np.cos(lat0)])
    d0 = np.cos(h) * north0 + np.sin(h) * east0
    offset = cfg.track_offset_km / EARTH_RADIUS_KM
    a = (rows - (cfg.lines - 1) / 2.0) * cfg.azimuth_spacing_m / 1000.0 / EARTH_RADIUS_KM
    b = (cols - (cfg.samples - 1) / 2.0) * cfg.range_spacing_m / 1000.0 / EARTH_RADIUS_KM + offset
    track = p0 * np.cos(a) + d0 * np.sin(a)
    forward = -p0 * np.sin(a) + d0 * np.cos(a)
    right = np.cross(forward, track)
    x = track * np.cos(b) + right * np.sin(b)
    tangent = -track * np.sin(b) + right * np.cos(b)
    lat = np.arcsin(np.clip(x[..., 2], -1.0, 1.0))
    lon = np.arctan2(x[..., 1], x[..., 0])
    east = tangent[..., 0] * -np.sin(lon) + tangent[..., 1] * np.cos(lon)
    north = (tangent[..., 0] * -np.sin(lat) * np.cos(lon) + tangent[..., 1] * -np.sin(lat) * np.sin(lon)
             + tangent[..., 2] * np.cos(lat))
    return np.degrees(lat), np.degrees(lon), np.degrees(np.arctan2(east, north)) % 360.0


def look_azimuth_truth(cfg: GrdConfig, rows: ArrayLike, cols: ArrayLike) -> Float64Array:
    """The look direction of the truth at rows x cols (degrees from north)."""
    shape = (np.size(rows), np.size(cols))
    if cfg.geometry == "sphere":
        return _sphere(cfg, rows, cols)[2]
    if not cfg.pixel_look:
        return np.full(shape, cfg.look_azimuth)
    # Affine lat/lon: the direction of increasing pixel has constant rates
    # of latitude and longitude; its bearing depends on the latitude.
    lat = geometry(cfg, rows, cols)[0]
    across = np.radians(cfg.heading_deg) + np.pi / 2
    dlat = np.cos(across)
    dlon = np.sin(across) / np.cos(np.radians(cfg.centre_lat))
    bearing: Float64Array = np.degrees(np.arctan2(dlon * np.cos(np.radians(lat)), dlat)) % 360.0
    return bearing


def geometry(cfg: GrdConfig, rows: ArrayLike, cols: ArrayLike
             ) -> tuple[Float64Array, Float64Array, Float64Array]:
    """Latitude, longitude and incidence angle (float64) at line positions
    `rows` x pixel positions `cols`: affine in both (exact under bilinear
    interpolation), or on the sphere for `geometry="sphere"`."""
    rows = np.asarray(rows, dtype=np.float64)[:, None]
    cols = np.asarray(cols, dtype=np.float64)[None, :]
    inc = cfg.incidence_near + (cfg.incidence_far - cfg.incidence_near) * cols / (cfg.samples - 1)
    shape = (rows.shape[0], cols.shape[1])
    if cfg.geometry == "sphere":
        lat, lon, _ = _sphere(cfg, rows.ravel(), cols.ravel())
        return lat, (lon + 180.0) % 360.0 - 180.0, np.broadcast_to(inc, shape).copy()
    h = np.radians(cfg.heading_deg)
    along_km = (rows - (cfg.lines - 1) / 2.0) * cfg.azimuth_spacing_m / 1000.0
    across_km = (cols - (cfg.samples - 1) / 2.0) * cfg.range_spacing_m / 1000.0
    # Lines advance along the track, pixels away from it to the right.
    north = along_km * np.cos(h) + across_km * np.cos(h + np.pi / 2)
    east = along_km * np.sin(h) + across_km * np.sin(h + np.pi / 2)
    lat = cfg.centre_lat + north / KM_PER_DEG
    lon = cfg.centre_lon + east / (KM_PER_DEG * np.cos(np.radians(cfg.centre_lat)))
    lon = (lon + 180.0) % 360.0 - 180.0
    return np.broadcast_to(lat, shape).copy(), np.broadcast_to(lon, shape).copy(), \
        np.broadcast_to(inc, shape).copy()


def calibration_lut(cfg: GrdConfig, rows: ArrayLike, cols: ArrayLike) -> Float64Array:
    """sigmaNought LUT A(line, pixel): affine, rising a few per cent across
    the swath as on real products."""
    rows = np.asarray(rows, dtype=np.float64)[:, None]
    cols = np.asarray(cols, dtype=np.float64)[None, :]
    lut: Float64Array = cfg.calibration_constant * (0.95 + 0.08 * cols / cfg.samples + 0.01 * rows / cfg.lines)
    return lut


def noise_range_lut(cfg: GrdConfig, rows: ArrayLike, cols: ArrayLike) -> Float64Array:
    rows = np.asarray(rows, dtype=np.float64)[:, None]
    cols = np.asarray(cols, dtype=np.float64)[None, :]
    level: float = cfg.calibration_constant ** 2 * 10.0 ** (cfg.nesz_db / 10.0)
    return level * (0.7 + 0.6 * cols / cfg.samples + 0.05 * rows / cfg.lines)


def sub_swath_bounds(cfg: GrdConfig) -> list[tuple[int, int]]:
    """(first sample, last sample) of each sub-swath's noise block."""
    edges = np.linspace(0, cfg.samples, cfg.sub_swaths + 1).round().astype(int)
    return [(int(edges[k]), int(edges[k + 1] - 1)) for k in range(cfg.sub_swaths)]


def noise_azimuth_lut(cfg: GrdConfig, block: int, rows: ArrayLike) -> Float64Array:
    """Azimuth noise factor of sub-swath `block` along lines: each block its
    own level and slope, so a reader that applies one block everywhere is
    visibly wrong."""
    rows = np.asarray(rows, dtype=np.float64)
    level = (0.8, 1.25, 0.95, 1.1, 0.9)[block]
    slope = (0.3, -0.4, 0.2, -0.1, 0.25)[block]
    return level + slope * rows / cfg.lines


HH_RATIO_ALPHA = 0.6


def vv_hh_ratio(incidence_deg: ArrayLike) -> Float64Array:
    """sigma0_VV / sigma0_HH of Thompson, Elfouhaily and Chapron (1998) with
    alpha = 0.6: HH images are the truth's VV sigma0 divided by it."""
    tan2 = np.tan(np.deg2rad(incidence_deg)) ** 2
    return ((1.0 + 2.0 * tan2) / (1.0 + HH_RATIO_ALPHA * tan2)) ** 2


def noise_at_pixels(cfg: GrdConfig, rows: ArrayLike, cols: ArrayLike) -> Float64Array:
    """The noise in the DNs. Products of the older layout have no azimuth
    factor; a product without noise vectors still carries noise."""
    eta = noise_range_lut(cfg, rows, cols)
    if cfg.noise_layout != "range_azimuth":
        return eta
    cols = np.asarray(cols)
    for k, (s0, s1) in enumerate(sub_swath_bounds(cfg)):
        sel = (cols >= s0) & (cols <= s1)
        eta[:, sel] *= noise_azimuth_lut(cfg, k, rows)[:, None]
    return eta


def border_noise_pixels(cfg: GrdConfig, rows: ArrayLike, cols: ArrayLike) -> NDArray[np.bool_]:
    """The pixels (rows x cols) of the border-noise strips of `cfg`. The
    near-range strip narrows from its full width at the first line to half
    of it at the last, the far-range strip widens the other way (the strips
    of real products follow the sampling start time changes along the
    data-take); the strips of the first and last lines have constant
    widths."""
    rows = np.asarray(rows, dtype=np.float64)[:, None]
    cols = np.asarray(cols, dtype=np.float64)[None, :]
    near, far, first, last = cfg.border_noise
    along = rows / max(cfg.lines - 1, 1)
    near_width = np.round(near * (1.0 - 0.5 * along))
    far_width = np.round(far * (0.5 + 0.5 * along))
    strips: NDArray[np.bool_] = ((cols < near_width) | (cols >= cfg.samples - far_width)
                                 | (rows < first) | (rows >= cfg.lines - last))
    return strips


# ---------------------------------------------------------------- wind

@dataclass(frozen=True)
class Era5Field:
    """ERA5-like 10 m wind, affine in latitude, longitude (relative to a
    reference meridian, wrapped to +-180) and time near the reference."""

    lat0: float = 52.0
    lon0: float = -20.0
    time0: str = "2021-04-01T05:00"
    u0: float = -4.0
    v0: float = 6.0
    du_dlat: float = 0.8
    du_dlon: float = -0.5
    dv_dlat: float = -0.4
    dv_dlon: float = 0.6
    du_dhour: float = 0.6
    dv_dhour: float = -0.9

    def uv(self, lat: ArrayLike, lon: ArrayLike, time: np.datetime64 | str
           ) -> tuple[Float64Array, Float64Array]:
        hours = (np.datetime64(time, "us") - np.datetime64(self.time0, "us")) / np.timedelta64(3600, "s")
        dlat = np.asarray(lat, dtype=np.float64) - self.lat0
        dlon = (np.asarray(lon, dtype=np.float64) - self.lon0 + 180.0) % 360.0 - 180.0
        u = self.u0 + self.du_dlat * dlat + self.du_dlon * dlon + self.du_dhour * hours
        v = self.v0 + self.dv_dlat * dlat + self.dv_dlon * dlon + self.dv_dhour * hours
        return u, v


def truth_speed(cfg: GrdConfig, rows: ArrayLike, cols: ArrayLike, low: float = 3.0,
                high: float = 19.0) -> Float64Array:
    """A known wind speed on the image: smooth swirls between `low` and
    `high` m/s, on the 0.01 m/s ladder of the retrieval."""
    r = np.asarray(rows, dtype=np.float64)[:, None] / cfg.lines
    c = np.asarray(cols, dtype=np.float64)[None, :] / cfg.samples
    s = 0.5 + 0.25 * np.sin(2 * np.pi * (1.3 * r + 0.4 * c)) + 0.25 * np.cos(2 * np.pi * (0.7 * c - 0.9 * r * c))
    return np.round((low + (high - low) * s) * 100.0) / 100.0


@dataclass
class Truth:
    """What the retrieval should find, on the native pixel grid."""

    speed: Float64Array
    direction: Float64Array      # wind from, degrees clockwise from north
    incidence: Float64Array
    latitude: Float64Array
    longitude: Float64Array
    sigma0: Float64Array         # linear, before speckle and quantisation
    look_azimuth: Float64Array | None = None   # degrees from north, per pixel


def scene_truth(cfg: GrdConfig, wind: "Era5Field", speed: Float64Array | None = None,
                rows: ArrayLike | None = None) -> Truth:
    """The truth on the native grid, or on the lines `rows` only (then
    `speed`, if given, is for those lines)."""
    rows = np.arange(cfg.lines) if rows is None else np.asarray(rows)
    cols = np.arange(cfg.samples)
    lat, lon, inc = geometry(cfg, rows, cols)
    u, v = wind.uv(lat, lon, cfg.mid_time)
    direction = wind_from_direction_deg(u, v)
    if cfg.direction_error_deg:
        direction = (direction + cfg.errors(rows, cols)[0]) % 360.0
    if speed is None:
        speed = truth_speed(cfg, rows, cols)
    look = look_azimuth_truth(cfg, rows, cols)
    relative = direction - look
    sigma0 = 10.0 ** (sigma0_cmod5n(speed, relative, inc.astype(np.float32)) / 10.0)
    return Truth(speed, direction, inc, lat, lon, sigma0, look)


# ---------------------------------------------------------------- XML

def _sub(parent: ET.Element, tag: str, text: object = None, **attrs: object) -> ET.Element:
    e = ET.SubElement(parent, tag, {k: str(v) for k, v in attrs.items()})
    if text is not None:
        e.text = str(text)
    return e


def _numbers(values: Iterable[float], fmt: str = "{:.6e}") -> str:
    return " ".join(fmt.format(v) for v in values)


def _ads_header(root: ET.Element, cfg: GrdConfig, pol: str, image_number: int) -> None:
    h = _sub(root, "adsHeader")
    for tag, text in (("missionId", cfg.mission), ("productType", "GRD"), ("polarisation", pol),
                      ("mode", cfg.mode), ("swath", cfg.mode),
                      ("startTime", _iso(cfg.start_time)), ("stopTime", _iso(cfg.stop_time)),
                      ("absoluteOrbitNumber", cfg.absolute_orbit), ("missionDataTakeId", cfg.datatake),
                      ("imageNumber", f"{image_number:03d}")):
        _sub(h, tag, text)


def _line_time(cfg: GrdConfig, line: int | np.integer) -> np.datetime64:
    interval = cfg.duration_s / (cfg.lines - 1)
    return cfg.start_time + np.timedelta64(int(round(line * interval * 1e6)), "us")


def _vector_lines(cfg: GrdConfig, count: int) -> NDArray[np.int_]:
    """Lines of LUT vectors: a little beyond both ends, as on real products."""
    return np.linspace(-cfg.lines // 10, cfg.lines - 1 + cfg.lines // 10, count).round().astype(int)


def calibration_xml(cfg: GrdConfig, pol: str, image_number: int) -> "ET.ElementTree[ET.Element]":
    root = ET.Element("calibration")
    _ads_header(root, cfg, pol, image_number)
    info = _sub(root, "calibrationInformation")
    _sub(info, "absoluteCalibrationConstant", "1.000000e+00")
    pixels = np.unique(np.append(np.arange(0, cfg.samples, 40), cfg.samples - 1))
    lines = _vector_lines(cfg, 8)
    vectors = _sub(root, "calibrationVectorList", count=len(lines))
    for line in lines:
        a = calibration_lut(cfg, [line], pixels)[0]
        vec = _sub(vectors, "calibrationVector")
        _sub(vec, "azimuthTime", _iso(_line_time(cfg, line)))
        _sub(vec, "line", line)
        _sub(vec, "pixel", " ".join(map(str, pixels)), count=len(pixels))
        _sub(vec, "sigmaNought", _numbers(a), count=len(pixels))
        _sub(vec, "betaNought", _numbers(np.full_like(a, cfg.calibration_constant)), count=len(pixels))
        _sub(vec, "gamma", _numbers(a * 0.9), count=len(pixels))
        _sub(vec, "dn", _numbers(np.full_like(a, cfg.calibration_constant)), count=len(pixels))
    return ET.ElementTree(root)


def noise_xml(cfg: GrdConfig, pol: str, image_number: int) -> "ET.ElementTree[ET.Element]":
    root = ET.Element("noise")
    _ads_header(root, cfg, pol, image_number)
    lines = _vector_lines(cfg, 6)
    if cfg.noise_layout == "none":
        return ET.ElementTree(root)
    # The older layout: noiseVector/noiseLut, range only.
    old = cfg.noise_layout == "range"
    vectors = _sub(root, "noiseVectorList" if old else "noiseRangeVectorList", count=len(lines))
    for k, line in enumerate(lines):
        # Each vector has its own pixel grid, as on older IW products.
        step = 37 + 3 * (k % 2)
        pixels = np.unique(np.append(np.arange(0, cfg.samples, step), cfg.samples - 1))
        vec = _sub(vectors, "noiseVector" if old else "noiseRangeVector")
        _sub(vec, "azimuthTime", _iso(_line_time(cfg, line)))
        _sub(vec, "line", line)
        _sub(vec, "pixel", " ".join(map(str, pixels)), count=len(pixels))
        _sub(vec, "noiseLut" if old else "noiseRangeLut",
             _numbers(noise_range_lut(cfg, [line], pixels)[0]), count=len(pixels))
    if old:
        return ET.ElementTree(root)
    blocks = _sub(root, "noiseAzimuthVectorList", count=cfg.sub_swaths)
    az_lines = np.unique(np.append(np.arange(0, cfg.lines, 10), cfg.lines - 1))
    for k, (s0, s1) in enumerate(sub_swath_bounds(cfg)):
        vec = _sub(blocks, "noiseAzimuthVector")
        _sub(vec, "swath", f"{cfg.mode}{k + 1}")
        _sub(vec, "firstAzimuthLine", 0)
        _sub(vec, "firstRangeSample", s0)
        _sub(vec, "lastAzimuthLine", cfg.lines - 1)
        _sub(vec, "lastRangeSample", s1)
        _sub(vec, "line", " ".join(map(str, az_lines)), count=len(az_lines))
        _sub(vec, "noiseAzimuthLut", _numbers(noise_azimuth_lut(cfg, k, az_lines)), count=len(az_lines))
    return ET.ElementTree(root)


def _find(parent: ET.Element, path: str) -> ET.Element:
    """The element at `path`, which the template must have."""
    found = parent.find(path)
    if found is None:
        raise ValueError(f"the annotation template has no {path}")
    return found


def annotation_xml(cfg: GrdConfig, pol: str, image_number: int) -> "ET.ElementTree[ET.Element]":
    with ANNOTATION_TEMPLATE.open("rb") as template:
        tree = ET.parse(template)
    root = tree.getroot()
    root.remove(_find(root, "adsHeader"))
    _ads_header(root, cfg, pol, image_number)
    header = root[-1]                  # first, as in real annotations
    root.remove(header)
    root.insert(0, header)
    info = _find(root, "generalAnnotation/productInformation")
    _find(info, "pass").text = "Ascending" if -90 < ((cfg.heading_deg + 180) % 360 - 180) < 90 else "Descending"
    _find(info, "platformHeading").text = f"{cfg.heading_deg:.15e}"
    image = _find(root, "imageAnnotation/imageInformation")
    for tag, text in (("productFirstLineUtcTime", _iso(cfg.start_time)),
                      ("productLastLineUtcTime", _iso(cfg.stop_time)),
                      ("azimuthTimeInterval", f"{cfg.duration_s / (cfg.lines - 1):.15e}"),
                      ("rangePixelSpacing", f"{cfg.range_spacing_m:.6e}"),
                      ("azimuthPixelSpacing", f"{cfg.azimuth_spacing_m:.6e}"),
                      ("numberOfSamples", cfg.samples), ("numberOfLines", cfg.lines),
                      ("incidenceAngleMidSwath", f"{(cfg.incidence_near + cfg.incidence_far) / 2:.15e}")):
        _find(image, tag).text = str(text)
    grid = _find(root, "geolocationGrid/geolocationGridPointList")
    for point in list(grid):
        grid.remove(point)
    g_lines = np.linspace(0, cfg.lines - 1, cfg.gcp_lines).round().astype(int)
    g_pixels = np.linspace(0, cfg.samples - 1, cfg.gcp_pixels).round().astype(int)
    lat, lon, inc = geometry(cfg, g_lines, g_pixels)
    slant0 = 5.343315555380221e-03
    for i, line in enumerate(g_lines):
        for j, pixel in enumerate(g_pixels):
            p = _sub(grid, "geolocationGridPoint")
            _sub(p, "azimuthTime", _iso(_line_time(cfg, line)))
            srt = slant0 + 2.0 * pixel * cfg.range_spacing_m * np.sin(np.radians(inc[i, j])) / SPEED_OF_LIGHT
            _sub(p, "slantRangeTime", f"{srt:.15e}")
            _sub(p, "line", line)
            _sub(p, "pixel", pixel)
            _sub(p, "latitude", f"{lat[i, j]:.15e}")
            _sub(p, "longitude", f"{lon[i, j]:.15e}")
            _sub(p, "height", "0.000000000000000e+00")
            _sub(p, "incidenceAngle", f"{inc[i, j]:.15e}")
            _sub(p, "elevationAngle", f"{inc[i, j] - 3.5:.15e}")
    grid.set("count", str(len(g_lines) * len(g_pixels)))
    return tree


MANIFEST = """<?xml version="1.0" encoding="UTF-8"?>
<xfdu:XFDU xmlns:xfdu="urn:ccsds:schema:xfdu:1" xmlns:gml="http://www.opengis.net/gml" xmlns:safe="http://www.esa.int/safe/sentinel-1.0" xmlns:s1="http://www.esa.int/safe/sentinel-1.0/sentinel-1" xmlns:s1sar="http://www.esa.int/safe/sentinel-1.0/sentinel-1/sar" xmlns:s1sarl1="http://www.esa.int/safe/sentinel-1.0/sentinel-1/sar/level-1" version="esa/safe/sentinel-1.0/sentinel-1/sar/level-1/grd/standard/{mode_lower}dp">
  <informationPackageMap>
    <xfdu:contentUnit unitType="SAFE Archive Information Package" textInfo="Sentinel-1 {mode} Level-1 GRD Product" dmdID="acquisitionPeriod platform generalProductInformation measurementOrbitReference measurementFrameSet">
{content_units}
    </xfdu:contentUnit>
  </informationPackageMap>
  <metadataSection>
    <metadataObject ID="processing" classification="PROVENANCE" category="PDI">
      <metadataWrap mimeType="text/xml" vocabularyName="SAFE" textInfo="Processing">
        <xmlData>
          <safe:processing name="GRD Post Processing" start="{stop}" stop="{stop}">
            <safe:facility country="Germany" name="Copernicus S1 Core Ground Segment - DPA" organisation="ESA" site="DLR-Oberpfaffenhofen">
              <safe:software name="Sentinel-1 IPF" version="{ipf_version}"/>
            </safe:facility>
          </safe:processing>
        </xmlData>
      </metadataWrap>
    </metadataObject>
    <metadataObject ID="platform" classification="DESCRIPTION" category="DMD">
      <metadataWrap mimeType="text/xml" vocabularyName="SAFE" textInfo="Platform Description">
        <xmlData>
          <safe:platform>
            <safe:nssdcIdentifier>2014-016A</safe:nssdcIdentifier>
            <safe:familyName>SENTINEL-1</safe:familyName>
            <safe:number>{unit}</safe:number>
            <safe:instrument>
              <safe:familyName abbreviation="SAR">Synthetic Aperture Radar</safe:familyName>
              <safe:extension>
                <s1sarl1:instrumentMode>
                  <s1sarl1:mode>{mode}</s1sarl1:mode>
                  <s1sarl1:swath>{mode}</s1sarl1:swath>
                </s1sarl1:instrumentMode>
              </safe:extension>
            </safe:instrument>
          </safe:platform>
        </xmlData>
      </metadataWrap>
    </metadataObject>
    <metadataObject ID="measurementOrbitReference" classification="DESCRIPTION" category="DMD">
      <metadataWrap mimeType="text/xml" vocabularyName="SAFE" textInfo="Orbit Reference">
        <xmlData>
          <safe:orbitReference>
            <safe:orbitNumber type="start">{orbit}</safe:orbitNumber>
            <safe:orbitNumber type="stop">{orbit}</safe:orbitNumber>
            <safe:relativeOrbitNumber type="start">{relative_orbit}</safe:relativeOrbitNumber>
            <safe:relativeOrbitNumber type="stop">{relative_orbit}</safe:relativeOrbitNumber>
            <safe:cycleNumber>230</safe:cycleNumber>
            <safe:phaseIdentifier>1</safe:phaseIdentifier>
            <safe:extension>
              <s1:orbitProperties>
                <s1:pass>{orbit_pass}</s1:pass>
                <s1:ascendingNodeTime>{anx}</s1:ascendingNodeTime>
              </s1:orbitProperties>
            </safe:extension>
          </safe:orbitReference>
        </xmlData>
      </metadataWrap>
    </metadataObject>
    <metadataObject ID="generalProductInformation" classification="DESCRIPTION" category="DMD">
      <metadataWrap mimeType="text/xml" vocabularyName="SAFE" textInfo="General Product Information">
        <xmlData>
          <s1sarl1:standAloneProductInformation>
            <s1sarl1:instrumentConfigurationID>7</s1sarl1:instrumentConfigurationID>
            <s1sarl1:missionDataTakeID>{datatake}</s1sarl1:missionDataTakeID>
{polarisations}
            <s1sarl1:productClass>S</s1sarl1:productClass>
            <s1sarl1:productClassDescription>SAR Standard L1 Product</s1sarl1:productClassDescription>
            <s1sarl1:productComposition>Slice</s1sarl1:productComposition>
            <s1sarl1:productType>GRD</s1sarl1:productType>
            <s1sarl1:productTimelinessCategory>NRT-3h</s1sarl1:productTimelinessCategory>
          </s1sarl1:standAloneProductInformation>
        </xmlData>
      </metadataWrap>
    </metadataObject>
    <metadataObject ID="acquisitionPeriod" classification="DESCRIPTION" category="DMD">
      <metadataWrap mimeType="text/xml" vocabularyName="SAFE" textInfo="Acquisition Period">
        <xmlData>
          <safe:acquisitionPeriod>
            <safe:startTime>{start}</safe:startTime>
            <safe:stopTime>{stop}</safe:stopTime>
          </safe:acquisitionPeriod>
        </xmlData>
      </metadataWrap>
    </metadataObject>
    <metadataObject ID="measurementFrameSet" classification="DESCRIPTION" category="DMD">
      <metadataWrap mimeType="text/xml" vocabularyName="SAFE" textInfo="Frame Set">
        <xmlData>
          <safe:frameSet>
            <safe:frame>
              <safe:footPrint srsName="http://www.opengis.net/gml/srs/epsg.xml#4326">
                <gml:coordinates>{footprint}</gml:coordinates>
              </safe:footPrint>
            </safe:frame>
          </safe:frameSet>
        </xmlData>
      </metadataWrap>
    </metadataObject>
  </metadataSection>
  <dataObjectSection>
{data_objects}
  </dataObjectSection>
</xfdu:XFDU>
"""

REP_IDS = {"annotation": "s1Level1ProductSchema", "calibration": "s1Level1CalibrationSchema",
           "noise": "s1Level1NoiseSchema", "measurement": "s1Level1MeasurementSchema"}


def manifest_text(cfg: GrdConfig, files: list[tuple[str, str, int]]) -> str:
    """The manifest for `files`: a list of (kind, href, size)."""
    units, objects = [], []
    for kind, href, size in files:
        object_id = kind + Path(href).stem.replace("-", "")
        units.append(f'      <xfdu:contentUnit unitType="Metadata Unit" repID="{REP_IDS[kind]}">\n'
                     f'        <dataObjectPointer dataObjectID="{object_id}"/>\n'
                     f'      </xfdu:contentUnit>')
        mime = "application/octet-stream" if kind == "measurement" else "text/xml"
        objects.append(f'    <dataObject ID="{object_id}" repID="{REP_IDS[kind]}">\n'
                       f'      <byteStream mimeType="{mime}" size="{size}">\n'
                       f'        <fileLocation locatorType="URL" href="./{href}"/>\n'
                       f'      </byteStream>\n'
                       f'    </dataObject>')
    lat, lon, _ = geometry(cfg, [0, cfg.lines - 1], [0, cfg.samples - 1])
    footprint = " ".join(f"{lat[i, j]:.6f},{lon[i, j]:.6f}" for i, j in ((0, 0), (0, 1), (1, 1), (1, 0)))
    pols = "\n".join(f"            <s1sarl1:transmitterReceiverPolarisation>{p}"
                     f"</s1sarl1:transmitterReceiverPolarisation>" for p in cfg.polarisations)
    ascending = -90 < ((cfg.heading_deg + 180) % 360 - 180) < 90
    return MANIFEST.format(
        mode=cfg.mode, mode_lower=cfg.mode.lower(), unit=cfg.mission[-1], orbit=cfg.absolute_orbit,
        relative_orbit=(cfg.absolute_orbit - 73) % 175 + 1, orbit_pass="ASCENDING" if ascending else "DESCENDING",
        anx=_iso(cfg.start_time - np.timedelta64(30, "m")), datatake=cfg.datatake, polarisations=pols,
        start=_iso(cfg.start_time), stop=_iso(cfg.stop_time), footprint=footprint, ipf_version=cfg.ipf_version,
        content_units="\n".join(units), data_objects="\n".join(objects))


# ---------------------------------------------------------------- writers

def _temporary(path: StrPath) -> Path:
    path = Path(path)
    return path.with_name(f".{path.name}.{uuid.uuid4().hex[:8]}.part")


# Lines of DNs made at a time: whole-scene float64 arrays of the truth need
# hundreds of bytes per pixel; strips of about 2 million pixels keep a full
# scene within a few hundred MB.
STRIP_PIXELS = 2_000_000


@overload
def write_grd_product(folder: StrPath, cfg: GrdConfig = ..., wind: Era5Field = ...,
                      speed: Float64Array | None = ..., with_truth: Literal[True] = ...
                      ) -> tuple[Path, Truth]: ...
@overload
def write_grd_product(folder: StrPath, cfg: GrdConfig = ..., wind: Era5Field = ...,
                      speed: Float64Array | None = ..., *, with_truth: bool
                      ) -> tuple[Path, Truth | None]: ...
def write_grd_product(folder: StrPath, cfg: GrdConfig = GrdConfig(), wind: Era5Field = Era5Field(),
                      speed: Float64Array | None = None, with_truth: bool = True
                      ) -> tuple[Path, Truth | None]:
    """Writes the product of `cfg` into `folder` (as <name>.SAFE) and returns
    (path, Truth). `speed` overrides the true speed field (native grid).
    The measurements are made and written in strips of lines; with
    `with_truth=False` no whole-scene array is kept (the Truth is None), so
    full-size scenes fit in memory."""
    import rasterio
    from rasterio.control import GroundControlPoint
    from rasterio.crs import CRS
    from rasterio.windows import Window

    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    final = folder / f"{cfg.name()}.SAFE"
    work = _temporary(final)
    (work / "annotation" / "calibration").mkdir(parents=True)
    (work / "measurement").mkdir()

    truth = scene_truth(cfg, wind, speed) if with_truth else None
    cols = np.arange(cfg.samples)
    strip = max(1, STRIP_PIXELS // cfg.samples)
    # One generator drawn line after line, polarisation after polarisation:
    # the same speckle as drawing each whole image at once.
    rng = np.random.default_rng(cfg.seed)
    t0 = _compact(cfg.start_time).lower()
    t1 = _compact(cfg.stop_time).lower()
    files = []
    for number, pol in enumerate(cfg.polarisations, start=1):
        stem = (f"{cfg.mission.lower()}-{cfg.mode.lower()}-grd-{pol.lower()}-{t0}-{t1}-"
                f"{cfg.absolute_orbit:06d}-{cfg.datatake:06x}-{number:03d}")
        for kind, tree, href in (
                ("annotation", annotation_xml(cfg, pol, number), f"annotation/{stem}.xml"),
                ("calibration", calibration_xml(cfg, pol, number), f"annotation/calibration/calibration-{stem}.xml"),
                ("noise", noise_xml(cfg, pol, number), f"annotation/calibration/noise-{stem}.xml")):
            ET.indent(tree)
            tree.write(work / href, encoding="UTF-8", xml_declaration=True)
            files.append((kind, href, (work / href).stat().st_size))

        href = f"measurement/{stem}.tiff"
        g_lines = np.linspace(0, cfg.lines - 1, 5).round().astype(int)
        g_pixels = np.linspace(0, cfg.samples - 1, 5).round().astype(int)
        glat, glon, _ = geometry(cfg, g_lines, g_pixels)
        gcps = [GroundControlPoint(row=float(r), col=float(c), x=float(glon[i, j]), y=float(glat[i, j]), z=0.0)
                for i, r in enumerate(g_lines) for j, c in enumerate(g_pixels)]
        with rasterio.open(work / href, "w", driver="GTiff", width=cfg.samples, height=cfg.lines,
                           count=1, dtype="uint16", gcps=gcps, crs=CRS.from_epsg(4326)) as dst:
            for first in range(0, cfg.lines, strip):
                rows = np.arange(first, min(first + strip, cfg.lines))
                part = truth if truth is not None else scene_truth(
                    cfg, wind, None if speed is None else speed[rows], rows)
                sigma0 = part.sigma0[rows] if truth is not None else part.sigma0
                incidence = part.incidence[rows] if truth is not None else part.incidence
                intensity = sigma0 if pol[0] == pol[1] else sigma0 * 0.03   # cross-pol weaker
                if pol == "HH":
                    intensity = intensity / vv_hh_ratio(incidence)
                if cfg.looks > 0 and not cfg.speckle_noise:
                    intensity = intensity * rng.gamma(cfg.looks, 1.0 / cfg.looks, size=intensity.shape)
                a = calibration_lut(cfg, rows, cols)
                noise = noise_at_pixels(cfg, rows, cols)
                if cfg.calibration_error_db or cfg.nesz_error_db:
                    _, calibration_off, noise_off = cfg.errors(rows, cols)
                    intensity = intensity * calibration_off
                    noise = noise * noise_off
                power = intensity * a * a + noise
                if cfg.looks > 0 and cfg.speckle_noise:
                    power *= rng.gamma(cfg.looks, 1.0 / cfg.looks, size=power.shape)
                dn = np.clip(np.rint(np.sqrt(power)), 0, 65535).astype(np.uint16)
                if any(cfg.border_noise):
                    # Very low DNs, 1 to a quarter of the noise's DN: after
                    # noise removal far below zero, as the border noise of
                    # older products is; drawn apart, so the speckle of the
                    # rest of the image does not depend on the strips.
                    strips = border_noise_pixels(cfg, rows, cols)
                    top = max(2, int(np.sqrt(noise_at_pixels(cfg, rows, cols).min()) / 4))
                    low = np.random.default_rng([cfg.seed, number, int(first)]).integers(
                        1, top, size=dn.shape, endpoint=True)
                    dn[strips] = low[strips].astype(np.uint16)
                dst.write(dn, 1, window=Window(0, int(first), cfg.samples, rows.size))
        files.append(("measurement", href, (work / href).stat().st_size))

    (work / "manifest.safe").write_text(manifest_text(cfg, files), encoding="UTF-8")
    if final.exists():
        shutil.rmtree(final)
    os.rename(work, final)
    return final, truth


def zip_product(safe_path: StrPath, zip_path: StrPath | None = None, compression: int = zipfile.ZIP_DEFLATED,
                rename: Callable[[str], str] = str) -> Path:
    """A zipped copy of a .SAFE folder, as ESA distributes them: the zip
    holds the <name>.SAFE/ folder. `compression` applies to every member;
    `rename` maps each member name (as other tools rename them)."""
    safe_path = Path(safe_path)
    zip_path = Path(zip_path) if zip_path else safe_path.with_suffix(".zip")
    tmp = _temporary(zip_path)
    with zipfile.ZipFile(tmp, "w", compression=compression) as archive:
        for path in sorted(safe_path.rglob("*")):
            if path.is_file():
                archive.write(path, rename(str(Path(safe_path.name) / path.relative_to(safe_path))))
    os.replace(tmp, zip_path)
    return zip_path


def era5_times(start: str = "2021-04-01T03:00", hours: int = 5) -> NDArray[np.datetime64]:
    return np.datetime64(start, "s") + np.arange(hours) * np.timedelta64(3600, "s")


def _era5_grid(step: float, lat_range: tuple[float, float], lon_range: tuple[float, float]
               ) -> tuple[Float64Array, Float64Array]:
    lat = np.arange(lat_range[1], lat_range[0] - step / 2, -step)            # north to south
    lon = np.arange(lon_range[0], lon_range[1] - step / 2, step)
    return lat, lon


def era5_fields(wind: Era5Field, times: NDArray[np.datetime64], lat: Float64Array, lon: Float64Array
                ) -> tuple[NDArray[np.float32], NDArray[np.float32]]:
    la, lo = np.meshgrid(lat, lon, indexing="ij")
    u, v = zip(*(wind.uv(la, lo, t) for t in times))
    return np.stack(u).astype(np.float32), np.stack(v).astype(np.float32)


# A sea-ice area fraction (0..1, NaN over land) at latitudes, longitudes
# (2-D, the grid's) and a time.
SeaIce: TypeAlias = Callable[[Float64Array, Float64Array, np.datetime64], ArrayLike]


def open_water(lat: Float64Array, lon: Float64Array, time: np.datetime64) -> Float64Array:
    """No sea ice anywhere: the fraction ERA5 files requested with the winds
    and sea_ice_cover (as the README asks) give over open sea."""
    return np.zeros(np.shape(lat))


def era5_sea_ice(siconc: SeaIce, times: NDArray[np.datetime64], lat: Float64Array, lon: Float64Array
                 ) -> NDArray[np.float32]:
    la, lo = np.meshgrid(lat, lon, indexing="ij")
    return np.stack([np.broadcast_to(np.asarray(siconc(la, lo, t), dtype=np.float64), la.shape)
                     for t in times]).astype(np.float32)


def write_era5_cds(path: StrPath, wind: Era5Field = Era5Field(), times: NDArray[np.datetime64] | None = None,
                   step: float = 0.25, lat_range: tuple[float, float] = (-90.0, 90.0),
                   lon_range: tuple[float, float] = (0.0, 360.0), chunked: bool = True,
                   siconc: SeaIce | None = open_water) -> Path:
    """ERA5 in the current CDS NetCDF layout: `valid_time` (seconds since
    1970), scalar `number`, `expver` strings along time, latitude north to
    south, longitude from 0 (a global grid by default), float32 u10/v10,
    compressed in chunks or (`chunked=False`) stored contiguous, and
    `siconc`, the sea-ice fraction `siconc` gives (float32, NaN, the fill
    value, over land; open water by default, none with `siconc=None`)."""
    import netCDF4

    times = era5_times() if times is None else times
    lat, lon = _era5_grid(step, lat_range, lon_range)
    u, v = era5_fields(wind, times, lat, lon)
    fields = [("u10", u, "10 metre U wind component", "m s**-1"),
              ("v10", v, "10 metre V wind component", "m s**-1")]
    if siconc is not None:
        fields.append(("siconc", era5_sea_ice(siconc, times, lat, lon), "Sea ice area fraction", "(0 - 1)"))
    tmp = _temporary(path)
    with netCDF4.Dataset(tmp, "w", format="NETCDF4") as nc:
        nc.createDimension("valid_time", len(times))
        nc.createDimension("latitude", len(lat))
        nc.createDimension("longitude", len(lon))
        number = nc.createVariable("number", "i8")
        number.long_name = "ensemble member numerical id"
        number.assignValue(0)
        t = nc.createVariable("valid_time", "i8", ("valid_time",))
        t.units = "seconds since 1970-01-01"
        t.calendar = "proleptic_gregorian"
        t.standard_name = "time"
        t[:] = (times - np.datetime64("1970-01-01T00:00:00", "s")).astype(np.int64)
        y = nc.createVariable("latitude", "f8", ("latitude",))
        y.units, y.standard_name = "degrees_north", "latitude"
        y[:] = lat
        x = nc.createVariable("longitude", "f8", ("longitude",))
        x.units, x.standard_name = "degrees_east", "longitude"
        x[:] = lon
        e = nc.createVariable("expver", str, ("valid_time",))
        e.long_name = "model experiment version"
        for k in range(len(times)):
            e[k] = "0001"
        for name, data, long_name, units in fields:
            var = nc.createVariable(name, "f4", ("valid_time", "latitude", "longitude"),
                                    zlib=chunked, contiguous=not chunked, fill_value=np.float32(np.nan))
            var.units, var.long_name = units, long_name
            var.coordinates = "number valid_time latitude longitude expver"
            var[:] = data
        nc.Conventions = "CF-1.7"
        nc.institution = "European Centre for Medium-Range Weather Forecasts"
    os.replace(tmp, path)
    return Path(path)


def write_era5_legacy(path: StrPath, wind: Era5Field = Era5Field(), times: NDArray[np.datetime64] | None = None,
                      step: float = 0.25, lat_range: tuple[float, float] = (-90.0, 90.0),
                      lon_range: tuple[float, float] = (0.0, 360.0), era5t_hours: int = 0,
                      siconc: SeaIce | None = open_water) -> Path:
    """ERA5 in the legacy CDS layout of grib_to_netcdf: NetCDF3 64-bit
    offset, `time` in hours since 1900, u10/v10 as shorts packed with
    scale_factor/add_offset (fill -32767). With `era5t_hours` > 0 the file
    has an `expver` dimension (1, 5): the last hours only as ERA5T (5), the
    others only as ERA5 (1), as when a request mixes the two. `siconc` is the
    sea-ice fraction `siconc` gives, packed alike (NaN, over land, as the
    fill value; open water by default, none with `siconc=None`)."""
    import netCDF4

    times = era5_times() if times is None else times
    lat, lon = _era5_grid(step, lat_range, lon_range)
    u, v = era5_fields(wind, times, lat, lon)
    fields = [("u10", u, "10 metre U wind component", "m s**-1"),
              ("v10", v, "10 metre V wind component", "m s**-1")]
    if siconc is not None:
        fields.append(("siconc", era5_sea_ice(siconc, times, lat, lon), "Sea ice area fraction", "(0 - 1)"))
    tmp = _temporary(path)
    with netCDF4.Dataset(tmp, "w", format="NETCDF3_64BIT_OFFSET") as nc:
        nc.createDimension("longitude", len(lon))
        nc.createDimension("latitude", len(lat))
        if era5t_hours:
            nc.createDimension("expver", 2)
        nc.createDimension("time", len(times))
        x = nc.createVariable("longitude", "f4", ("longitude",))
        x.units, x.long_name = "degrees_east", "longitude"
        x[:] = lon
        y = nc.createVariable("latitude", "f4", ("latitude",))
        y.units, y.long_name = "degrees_north", "latitude"
        y[:] = lat
        if era5t_hours:
            ev = nc.createVariable("expver", "i4", ("expver",))
            ev.long_name = "expver"
            ev[:] = [1, 5]
        t = nc.createVariable("time", "i4", ("time",))
        t.units = "hours since 1900-01-01 00:00:00.0"
        t.long_name = "time"
        t.calendar = "gregorian"
        t[:] = ((times - np.datetime64("1900-01-01T00:00:00", "s")) / np.timedelta64(3600, "s")).astype(np.int32)
        dims = ("time", "expver", "latitude", "longitude") if era5t_hours else ("time", "latitude", "longitude")
        for name, data, long_name, units in fields:
            lo, hi = float(np.nanmin(data)), float(np.nanmax(data))
            scale = (hi - lo) / (2 ** 16 - 2) if hi > lo else 1.0
            offset = (hi + lo) / 2.0
            var = nc.createVariable(name, "i2", dims, fill_value=np.int16(-32767))
            var.scale_factor = scale
            var.add_offset = offset
            var.missing_value = np.int16(-32767)
            var.units, var.long_name = units, long_name
            var.set_auto_maskandscale(False)
            packed = np.where(np.isnan(data), -32767, np.rint((data - offset) / scale)).astype(np.int16)
            if era5t_hours:
                full = np.full((len(times), 2) + packed.shape[1:], -32767, dtype=np.int16)
                n = len(times) - era5t_hours
                full[:n, 0] = packed[:n]
                full[n:, 1] = packed[n:]
                packed = full
            var[:] = packed
        nc.Conventions = "CF-1.6"
        nc.history = "grib_to_netcdf"
    os.replace(tmp, path)
    return Path(path)


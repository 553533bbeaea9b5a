"""What a GRD product tells about one polarisation before any pixel is
read (`GrdScene`), decoded from its XML files by one small opener per
group of files: the manifest, then the annotation, calibration and noise
files it lists for the polarisation."""

import logging
import warnings
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import IO, Any, NamedTuple
from xml.etree import ElementTree

import numpy as np
import xarray as xr
from numpy.typing import ArrayLike, NDArray

from ..errors import InputError, ProcessingWarning
from ..options import check_polarisation
from .border import BorderNoise, has_border_noise
from .calibration import AzimuthNoise, AzimuthNoiseBlock, LineVectorLut
from .geolocation import Geolocation, geolocation_from_gcp
from .measurement import Measurement, TiffWindows, check_measurement
from .safe import (PathLike, SafeFiles, child_texts, decode, first, ipf_version, manifest_attributes,
                   manifest_files, numbers, old_noise_vectors, product_name, text_of)

log = logging.getLogger(__name__)

# The equivalent number of looks of GRD pixels by mode and resolution class
# (the product name's GRDH, GRDM): ESA's table of Level-1 GRD products
# (Sentinel-1 User Guide, "Resolutions: Level-1 Ground Range Detected", from
# the Sentinel-1 Product Definition, S1-RS-MDA-52-7440); "for GRD IW/EW
# products, the equivalent number of looks corresponds to an average over
# all swaths" (Sentinel-1 SAR Technical Guide, Level-1 products). IW GRDH
# pixels are 10 m (20 m x 22 m resolution), IW GRDM 40 m (88 m x 87 m), EW
# GRDH 25 m, EW GRDM 40 m. Other modes (SM, WV) have no figure here.
GRD_LOOKS = {("IW", "H"): 4.4, ("IW", "M"): 81.8, ("EW", "H"): 2.7, ("EW", "M"): 10.7}
# The pixel spacing (m) of each class, for products whose name was changed.
GRD_PIXEL_SPACING = {("IW", "H"): 10.0, ("IW", "M"): 40.0, ("EW", "H"): 25.0, ("EW", "M"): 40.0}


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
    looks: float | None = None       # equivalent number of looks of a pixel (GRD_LOOKS); None: unknown
    ipf_version: str | None = None   # of the Sentinel-1 IPF that made the product, as the manifest writes it

    @property
    def look_azimuth(self) -> float:
        """Azimuth the beam points to: Sentinel-1 looks right of its track."""
        return float((self.heading + 90.0) % 360.0)

    @property
    def mid_time(self) -> np.datetime64:
        return self.first_line_time + (self.last_line_time - self.first_line_time) / 2

    def open_measurement(self) -> tuple[Measurement, tuple[int, int]]:
        """The checked measurement and its internal block shape (see
        `check_measurement`)."""
        measurement = self.files.measurement(self.measurement)
        return measurement, check_measurement(measurement, self.shape)

    def border_noise(self, measurement: Measurement) -> BorderNoise | None:
        """The border-noise finder of a product older than IPF 2.90 (see
        `border`), None for later products and unknown versions."""
        if not has_border_noise(self.ipf_version):
            return None
        return BorderNoise(TiffWindows(measurement, self.shape), self.noise_range, self.noise_azimuth,
                           (self.azimuth_pixel_spacing, self.range_pixel_spacing))


def resolution_class(name: str, mode: str, range_pixel_spacing: float) -> str | None:
    """The GRD resolution class ("F", "H", "M") from the product name's
    third part (S1A_IW_GRDH_...), or for a renamed product from its pixel
    spacing; None when neither tells."""
    parts = name.upper().split("_")
    if len(parts) > 2 and len(parts[2]) == 4 and parts[2].startswith("GRD") and parts[2][3] in "FHM":
        return parts[2][3]
    for (kind, resolution), spacing in GRD_PIXEL_SPACING.items():
        if kind == mode and abs(range_pixel_spacing - spacing) < 0.05 * spacing:
            return resolution
    return None


def equivalent_looks(name: str, mode: str, range_pixel_spacing: float) -> float | None:
    """The equivalent number of looks of the product's pixels (GRD_LOOKS),
    None for a mode or class without a figure."""
    resolution = resolution_class(name, mode, range_pixel_spacing)
    return None if resolution is None else GRD_LOOKS.get((mode, resolution))


def azimuth_times(scene: GrdScene, line_coords: ArrayLike) -> NDArray[np.datetime64]:
    """Zero-Doppler time of (possibly fractional) lines."""
    interval = np.timedelta64(int(round(scene.azimuth_time_interval * 1e9)), "ns")
    times: NDArray[np.datetime64] = scene.first_line_time + (
        np.asarray(line_coords, dtype=np.float64) * interval.astype(np.float64)).astype("timedelta64[ns]")
    return times


# ---------------------------------------------------------------- openers
#
# Each returns what its files say, as the scene's own types; what an
# opener's files lack or contradict raises ValueError, KeyError, TypeError or
# IndexError, which `read_grd_metadata` turns into one InputError line.

class Manifest(NamedTuple):
    common: dict[str, Any]                  # the product's attributes (`manifest_attributes`)
    data_files: list[tuple[str, str, str]]  # (href, kind, polarisation)
    ipf_version: str | None = None          # "002.72"; None when the manifest names none


class Annotation(NamedTuple):
    info: dict[str, str]                    # productInformation: text by name
    image: dict[str, str]                   # imageInformation
    geolocation: Geolocation


class Noise(NamedTuple):
    range_lut: LineVectorLut | None
    azimuth: AzimuthNoise
    layout: str                             # "range x azimuth", "range only" or "none"


def open_manifest(files: SafeFiles) -> Manifest:
    def read(stream: IO[bytes]) -> Manifest:
        root = ElementTree.parse(stream).getroot()
        return Manifest(manifest_attributes(root), manifest_files(root), ipf_version(root))

    return decode(files, "manifest.safe", "manifest", read)


def open_annotation(files: SafeFiles, href: str) -> Annotation:
    def read(stream: IO[bytes]) -> Annotation:
        root = ElementTree.parse(stream).getroot()
        return Annotation(child_texts(first(root, "productInformation")),
                          child_texts(first(root, "imageInformation")), geolocation_grid(root))

    return decode(files, href, "annotation", read)


def geolocation_grid(root: ElementTree.Element) -> Geolocation:
    """The geolocationGridPoint elements as a line x pixel grid, laid out as
    xarray-sentinel's `open_gcp_dataset` does: sorted lines and pixels, a
    point given twice the later one, a point missing NaN (which
    `geolocation_from_gcp` refuses)."""
    points = [(int(text_of(p, "line")), int(text_of(p, "pixel")),
               [float(text_of(p, name)) for name in ("latitude", "longitude", "incidenceAngle")])
              for p in root.iter("geolocationGridPoint")]
    if not points:
        raise ValueError("no geolocation grid")
    lines = sorted({line for line, _, _ in points})
    pixels = sorted({pixel for _, pixel, _ in points})
    row, col = {line: i for i, line in enumerate(lines)}, {pixel: j for j, pixel in enumerate(pixels)}
    grid = np.full((3, len(lines), len(pixels)), np.nan)
    for line, pixel, values in points:
        grid[:, row[line], col[pixel]] = values
    dims = ("line", "pixel")
    return geolocation_from_gcp(xr.Dataset(
        {"latitude": (dims, grid[0]), "longitude": (dims, grid[1]), "incidenceAngle": (dims, grid[2])},
        coords={"line": lines, "pixel": pixels}))


def open_calibration(files: SafeFiles, href: str) -> LineVectorLut:
    def read(stream: IO[bytes]) -> tuple[list[int], NDArray[Any], list[NDArray[np.float32]]]:
        vectors = list(ElementTree.parse(stream).getroot().iter("calibrationVector"))
        # As xarray-sentinel's open_calibration_dataset: integer pixels, the
        # same for every vector, and sigma0 parsed as float32.
        pixels = np.array([np.fromstring(text_of(v, "pixel"), dtype=int, sep=" ") for v in vectors])
        if (pixels - pixels[0]).any():
            raise ValueError("Unable to organise calibration vectors in a regular line-pixel grid")
        sigma = [np.fromstring(text_of(v, "sigmaNought"), dtype=np.float32, sep=" ") for v in vectors]
        if any(s.shape != pixels[0].shape for s in sigma):
            raise ValueError("calibration vectors with mismatched pixel and sigmaNought counts")
        return [int(text_of(v, "line")) for v in vectors], pixels[0], sigma

    lines, pixels, sigma = decode(files, href, "calibration", read)
    return LineVectorLut(np.array(lines), [pixels] * len(lines), sigma)


def open_noise(files: SafeFiles, href: str) -> Noise:
    root = decode(files, href, "noise", lambda f: ElementTree.parse(f).getroot())
    blocks = [AzimuthNoiseBlock(
        first_line=int(text_of(v, "firstAzimuthLine")), last_line=int(text_of(v, "lastAzimuthLine")),
        first_sample=int(text_of(v, "firstRangeSample")), last_sample=int(text_of(v, "lastRangeSample")),
        lines=numbers(text_of(v, "line")), lut=numbers(text_of(v, "noiseAzimuthLut")))
        for v in root.iter("noiseAzimuthVector")]
    ranges = list(root.iter("noiseRangeVector"))
    if ranges:
        lut = LineVectorLut([int(text_of(v, "line")) for v in ranges],
                            [numbers(text_of(v, "pixel")) for v in ranges],
                            [numbers(text_of(v, "noiseRangeLut")) for v in ranges])
        return Noise(lut, AzimuthNoise(blocks), "range x azimuth")
    # Products older than the noise XML with range and azimuth vectors have
    # range vectors only, under other names.
    old = decode(files, href, "noise", lambda _: old_noise_vectors(root))
    if old:
        return Noise(LineVectorLut(*zip(*old)), AzimuthNoise(blocks), "range only")
    return Noise(None, AzimuthNoise(blocks), "none")


# The XML files of one polarisation by the manifest's kind of data object,
# each with its opener (the measurement is opened by the pixel readers).
OPENERS: dict[str, Callable[[SafeFiles, str], Any]] = {
    "annotation": open_annotation,
    "calibration": open_calibration,
    "noise": open_noise,
}
DATA_OBJECT_KINDS = {"s1Level1ProductSchema": "annotation", "s1Level1CalibrationSchema": "calibration",
                     "s1Level1NoiseSchema": "noise", "s1Level1MeasurementSchema": "measurement"}

NOISE_TEXTS = {
    "range x azimuth": "range x azimuth LUT",
    "range only": "range LUT of the older noise vectors (no azimuth LUT in the product)",
    "none": "none: the product has no noise vectors",
}


def choose_polarisation(asked: str, available: list[str]) -> str:
    """The polarisation to read of those the product has ("auto": VV, else
    HH); InputError when it has not got it."""
    polarisation = check_polarisation(asked)
    if polarisation == "auto":
        found = next((p for p in ("VV", "HH") if p in available), None)
        if found is None:
            raise InputError(f"no VV or HH polarisation in the product (it has "
                             f"{', '.join(available) or 'none'}); CMOD5.N needs co-polarised sigma0")
        return found
    if polarisation not in available:
        hint = ("; CMOD5.N is a model for VV polarisation (HH is converted with polarisation HH "
                "or auto)" if polarisation == "VV" else "")
        raise InputError(f"no {polarisation} polarisation in the product "
                         f"(it has {', '.join(available) or 'none'}){hint}")
    return polarisation


def data_files(files: SafeFiles, manifest: Manifest, polarisation: str) -> dict[str, str]:
    """The href of each kind of file of the polarisation; InputError when
    the manifest lists none or the file is missing."""
    hrefs = {}
    for href, kind, pol in manifest.data_files:
        if pol.upper() == polarisation and kind in DATA_OBJECT_KINDS:
            hrefs[DATA_OBJECT_KINDS[kind]] = href
    for what in ("annotation", "calibration", "noise", "measurement"):
        if what not in hrefs:
            raise InputError(f"the manifest lists no {what} file for {polarisation}")
        if not files.exists(hrefs[what]):
            raise InputError(f"{what} file {hrefs[what]} is missing")
    return hrefs


def read_grd_metadata(path: PathLike, polarisation: str = "VV") -> GrdScene:
    """Parses manifest, annotation, calibration and noise of one polarisation
    of a GRD product ("auto": VV when the product has it, else HH). Raises
    InputError with a one-line reason."""
    check_polarisation(polarisation)
    files = SafeFiles(path)
    manifest = open_manifest(files)
    if manifest.common.get("product_type") != "GRD":
        raise InputError(f"not a GRD product (product type {manifest.common.get('product_type')})")
    available = [p.upper() for p in manifest.common.get("transmitter_receiver_polarisations", [])]
    polarisation = choose_polarisation(polarisation, available)
    hrefs = data_files(files, manifest, polarisation)
    try:
        parts = {kind: opener(files, hrefs[kind]) for kind, opener in OPENERS.items()}
        scene = _scene(path, files, manifest, hrefs["measurement"], polarisation, parts["annotation"],
                       parts["calibration"], parts["noise"])
    except (ValueError, KeyError, TypeError, IndexError) as exc:
        raise InputError(f"annotation, calibration or noise XML of {polarisation} is inconsistent "
                         f"({type(exc).__name__}: {exc})") from None
    noise: Noise = parts["noise"]
    if noise.layout == "none":
        warnings.warn(f"{scene.name}: the {polarisation} noise XML has no noise vectors; sigma0 is not "
                      f"corrected for thermal noise", ProcessingWarning, stacklevel=2)
    elif noise.layout == "range only":
        warnings.warn(f"{scene.name}: the {polarisation} noise XML has the older layout (range vectors "
                      "only, products before IPF 2.9); sigma0 is corrected for the range noise alone, "
                      "without its variation along azimuth", ProcessingWarning, stacklevel=2)
    log.info("%s: metadata read: %s %s %s, %d x %d pixels of %g m x %g m, %s to %s, IPF %s%s", scene.name,
             scene.mission, scene.mode, polarisation, *scene.shape, scene.azimuth_pixel_spacing,
             scene.range_pixel_spacing, scene.first_line_time, scene.last_line_time,
             scene.ipf_version or "unknown",
             " (border noise masked)" if has_border_noise(scene.ipf_version) else "")
    return scene


def _scene(path: PathLike, files: SafeFiles, manifest: Manifest, measurement: str, polarisation: str,
           annotation: Annotation, calibration: LineVectorLut, noise: Noise) -> GrdScene:
    info, image, common = annotation.info, annotation.image, manifest.common
    if info.get("projection") != "Ground Range":
        raise ValueError(f"projection {info.get('projection')!r}, not ground range")
    name, mode = product_name(path), common.get("mode", "")
    range_pixel_spacing = float(image["rangePixelSpacing"])
    return GrdScene(
        name=name, files=files, measurement=measurement,
        polarisation=polarisation, mission=f"S1{common.get('number', '')}",
        mode=mode,
        orbit_pass=str(common.get("pass", info.get("pass", ""))).upper(),
        heading=float(info["platformHeading"]),
        shape=(int(image["numberOfLines"]), int(image["numberOfSamples"])),
        first_line_time=np.datetime64(image["productFirstLineUtcTime"], "ns"),
        last_line_time=np.datetime64(image["productLastLineUtcTime"], "ns"),
        azimuth_time_interval=float(image["azimuthTimeInterval"]),
        range_pixel_spacing=range_pixel_spacing,
        azimuth_pixel_spacing=float(image["azimuthPixelSpacing"]),
        calibration=calibration, noise_range=noise.range_lut, noise_azimuth=noise.azimuth,
        geolocation=annotation.geolocation,
        attrs={"absolute_orbit": common.get("orbit_number"),
               "relative_orbit": common.get("relative_orbit_number"),
               "thermal_noise_removal": NOISE_TEXTS[noise.layout]},
        looks=equivalent_looks(name, mode, range_pixel_spacing),
        ipf_version=manifest.ipf_version,
    )

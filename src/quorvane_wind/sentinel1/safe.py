"""The files of a SAFE product: its name, the folder or zip that holds it,
the manifest's list of files, and the decoding of its XML files.

The XML is read with the standard library's ElementTree, finding the few
elements the reader needs. xarray-sentinel's readers decode the same files
through xmlschema schemas, built on first use in each process, and search
the whole annotation by XPath for a few small tags: about 1.2 s of CPU per
process on a full IW scene, against 0.01 s here. The values are the same:
the schemas give numbers as Python's float() and int() of the text, and
xarray-sentinel the calibration vectors as NumPy's parse of it into
float32, as here."""

import io
import os
import posixpath
import re
import zipfile
import zlib
from collections.abc import Callable
from typing import IO, Any, TypeAlias, TypeVar
from xml.etree import ElementTree

import numpy as np
from numpy.typing import NDArray

from ..errors import InputError, reason
from .measurement import Measurement

PathLike: TypeAlias = "str | os.PathLike[str]"
T = TypeVar("T")


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
            # Folders the user linked in (a measurement/ kept elsewhere) are
            # followed, each real folder once, so that a link to a parent
            # does not loop. References are still checked against the
            # product's own paths (`_find`).
            seen: set[str] = set()
            for folder, dirs, names in os.walk(self.path, followlinks=True):
                real = os.path.realpath(folder)
                if real in seen:
                    dirs[:] = []
                    continue
                seen.add(real)
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

    def measurement(self, href: str) -> Measurement:
        """The measurement `href` as a `Measurement` the window reads use."""
        found = self._find(href)
        label = posixpath.basename(href)
        if found is None:
            raise InputError(f"measurement file {href} is missing")
        if self.zip_prefix is None:
            return Measurement(os.path.abspath(found), None, label)
        return Measurement(os.path.abspath(self.path), found, label)


# ---------------------------------------------------------------- measurement access

def decode(files: SafeFiles, href: str, what: str, reader: Callable[[Any], T]) -> T:
    """Runs a reader on one XML file of the product (given as a bytes
    stream) and turns whatever a damaged file makes it raise into an
    InputError naming the file."""
    try:
        return reader(io.BytesIO(files.read(href)))
    except InputError:
        raise
    except Exception as exc:   # ParseError, missing tags, text that is no number
        raise InputError(f"{what} {posixpath.basename(href)} is corrupt or incomplete ({reason(exc)})") from None


def numbers(tag: Any, dtype: type[np.generic] = np.float64) -> NDArray[Any]:
    """The numbers of a space-separated list element: its text, or the
    element ({"$": "1 2 3", "@count": 3}) as xarray-sentinel decodes it."""
    text = tag["$"] if isinstance(tag, dict) else tag
    return np.array(str(text).split(), dtype=dtype)


def child_texts(element: ElementTree.Element) -> dict[str, str]:
    """The text of each child element by its name (the last of a repeated
    one), for the leaf records of the annotation (productInformation)."""
    return {child.tag: (child.text or "").strip() for child in element}


def first(root: ElementTree.Element, tag: str) -> ElementTree.Element:
    """The first element of this name anywhere in the tree; ValueError when
    there is none."""
    found = next(root.iter(tag), None)
    if found is None:
        raise ValueError(f"no {tag}")
    return found


def text_of(element: ElementTree.Element, tag: str) -> str:
    """The text of a child element; ValueError when it is missing."""
    text = element.findtext(tag)
    if text is None:
        raise ValueError(f"{element.tag} has no {tag}")
    return text


# The parts of a Sentinel-1 file name (s1a-iw-grd-vv-20210401t052623-...):
# prefix (calibration-, noise-), swath, polarisation, start time.
FILE_NAME = re.compile(r"([a-z-]*)s1[abcd]-([^-]*)-[^-]*-([^-]*)-([\dt]*)-")

SAFE_NAMESPACES = {
    "safe": "http://www.esa.int/safe/sentinel-1.0",
    "s1": "http://www.esa.int/safe/sentinel-1.0/sentinel-1",
    "s1sarl1": "http://www.esa.int/safe/sentinel-1.0/sentinel-1/sar/level-1",
}


def manifest_attributes(root: ElementTree.Element) -> dict[str, Any]:
    """The product's attributes from the manifest, named and checked as
    xarray-sentinel's `parse_manifest_sentinel1` does (a Sentinel-1 product,
    one orbit, an ascending or descending pass)."""
    def texts(query: str) -> list[str]:
        found = [tag.text for tag in root.findall(query, SAFE_NAMESPACES)]
        if any(text is None for text in found):
            raise ValueError(f"{query=} returned None")
        return [text for text in found if text is not None]

    def text(query: str) -> str:
        found = root.findtext(query, namespaces=SAFE_NAMESPACES)
        if found is None:
            raise ValueError(f"{query=} returned None")
        return found

    family_name = text(".//safe:platform/safe:familyName")
    if family_name != "SENTINEL-1":
        raise ValueError(f"{family_name=} not supported")
    number = text(".//safe:platform/safe:number")
    mode = text(".//s1sarl1:instrumentMode/s1sarl1:mode")
    swaths = texts(".//s1sarl1:instrumentMode/s1sarl1:swath")
    orbit_number = texts(".//safe:orbitNumber")
    if len(orbit_number) != 2 or orbit_number[0] != orbit_number[1]:
        raise ValueError(f"{orbit_number=} not supported")
    relative_orbit_number = texts(".//safe:relativeOrbitNumber")
    if len(relative_orbit_number) != 2 or relative_orbit_number[0] != relative_orbit_number[1]:
        raise ValueError(f"{relative_orbit_number=} not supported")
    orbit_pass = text(".//s1:pass")
    if orbit_pass not in {"ASCENDING", "DESCENDING"}:
        raise ValueError(f"pass={orbit_pass} not supported")
    return {
        "family_name": family_name,
        "number": number,
        "mode": mode,
        "swaths": swaths,
        "orbit_number": int(orbit_number[0]),
        "relative_orbit_number": int(relative_orbit_number[0]),
        "pass": orbit_pass,
        "ascending_node_time": text(".//s1:ascendingNodeTime"),
        "mission_data_take_id": int(text(".//s1sarl1:missionDataTakeID")),
        "transmitter_receiver_polarisations": texts(".//s1sarl1:transmitterReceiverPolarisation"),
        "product_type": text(".//s1sarl1:productType"),
        "start_time": text(".//safe:startTime"),
        "stop_time": text(".//safe:stopTime"),
    }


def manifest_files(manifest: IO[bytes] | ElementTree.Element) -> list[tuple[str, str, str]]:
    """(href, kind, polarisation) of the manifest's data objects whose file
    names parse as Sentinel-1 file names, in any case."""
    root = manifest if isinstance(manifest, ElementTree.Element) else ElementTree.parse(manifest).getroot()
    files = []
    for data_object in root.iter("dataObject"):
        location = data_object.find(".//fileLocation")
        if location is None or "href" not in location.attrib:
            continue
        href = location.attrib["href"]
        parts = FILE_NAME.match(posixpath.basename(href).lower())
        if parts is None:
            continue
        files.append((href, data_object.attrib.get("repID", ""), parts.group(3)))
    return files


def ipf_version(manifest: IO[bytes] | ElementTree.Element) -> str | None:
    """The version of the Sentinel-1 IPF that made the product, from the
    manifest's processing history (safe:software name="Sentinel-1 IPF"
    version="002.72"): the first one in the document, the Level-1
    processing that holds the others as its resources. None when the
    manifest names none."""
    root = manifest if isinstance(manifest, ElementTree.Element) else ElementTree.parse(manifest).getroot()
    for element in root.iter():
        if (element.tag == "software" or element.tag.endswith("}software")) \
                and element.attrib.get("name") == "Sentinel-1 IPF" and element.attrib.get("version"):
            return element.attrib["version"].strip()
    return None


def old_noise_vectors(noise: IO[bytes] | ElementTree.Element) -> list[tuple[int, NDArray[Any], NDArray[Any]]]:
    """(line, pixels, values) of each noiseVector of an older noise XML."""
    root = noise if isinstance(noise, ElementTree.Element) else ElementTree.parse(noise).getroot()
    vectors = []
    for v in root.iter("noiseVector"):
        vectors.append((int(v.findtext("line", "")), numbers(v.findtext("pixel")),
                        numbers(v.findtext("noiseLut"))))
    return vectors


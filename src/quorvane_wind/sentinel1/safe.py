"""The files of a SAFE product: its name, the folder or zip that holds it,
the manifest's list of files, and the decoding of its XML files through
xarray-sentinel's readers (with the older noise vectors its schema does
not know)."""

import io
import os
import posixpath
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


def numbers(tag: Any, dtype: type[np.generic] = np.float64) -> NDArray[Any]:
    """The numbers of a space-separated list element as decoded by
    xarray-sentinel ({"$": "1 2 3", "@count": 3})."""
    text = tag["$"] if isinstance(tag, dict) else tag
    return np.array(str(text).split(), dtype=dtype)


def manifest_files(manifest: IO[bytes]) -> list[tuple[str, str, str]]:
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


def ipf_version(manifest: IO[bytes]) -> str | None:
    """The version of the Sentinel-1 IPF that made the product, from the
    manifest's processing history (safe:software name="Sentinel-1 IPF"
    version="002.72"): the first one in the document, the Level-1
    processing that holds the others as its resources. None when the
    manifest names none."""
    for element in ElementTree.parse(manifest).getroot().iter():
        if (element.tag == "software" or element.tag.endswith("}software")) \
                and element.attrib.get("name") == "Sentinel-1 IPF" and element.attrib.get("version"):
            return element.attrib["version"].strip()
    return None


def old_noise_vectors(noise: IO[bytes]) -> list[tuple[int, NDArray[Any], NDArray[Any]]]:
    """(line, pixels, values) of each noiseVector of an older noise XML."""
    vectors = []
    for v in ElementTree.parse(noise).getroot().iter("noiseVector"):
        vectors.append((int(v.findtext("line", "")), numbers(v.findtext("pixel")),
                        numbers(v.findtext("noiseLut"))))
    return vectors


"""Inputs, ERA5 files and outputs named by URLs (s3://, https://, any
protocol fsspec knows), next to local paths, which keep working as before.

The readers and writers of the products layer work on local files: an
input URL is fetched into a local temporary folder where its task runs
and removed after it; the ERA5 URLs of a run are fetched once into a local
cache folder of the run; an output is written locally, then uploaded so
that it appears only when complete.

Credentials and endpoints are the libraries' own: for s3:// the AWS
variables (AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_PROFILE,
AWS_ENDPOINT_URL or AWS_ENDPOINT_URL_S3 for another S3 service, such as
the Copernicus Data Space's https://eodata.dataspace.copernicus.eu), or
fsspec's configuration (FSSPEC_S3_ENDPOINT_URL, ~/.config/fsspec/).
"""

import contextlib
import json
import os
import re
import shutil
import tempfile
import uuid
from collections.abc import Iterator, Sequence
from typing import Any

from .errors import InputError, OutputError, reason

_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*://")

# Object stores: an object appears whole when its upload completes (a
# multipart upload too), so an output is uploaded under its final key.
OBJECT_STORES = ("s3", "s3a", "gs", "gcs", "az", "abfs", "abfss")

# The consolidated metadata of a Zarr store (format 2); uploaded last.
ZARR_METADATA = ".zmetadata"


def is_url(path: str) -> bool:
    """Whether `path` names a URL (a protocol such as s3:// or https://)
    rather than a local path; file:// URLs count as local."""
    return bool(_URL.match(path)) and not path.startswith("file://")


def local_path(path: str) -> str:
    """A local path or file:// URL as a plain local path."""
    return path[len("file://"):] if path.startswith("file://") else path


def absolute(path: str) -> str:
    """A local path made absolute (workers may run in another folder); a
    URL as it is."""
    return path if is_url(path) else os.path.abspath(local_path(path))


def join(folder: str, name: str) -> str:
    """`name` in the folder or prefix `folder`."""
    if is_url(folder):
        return folder.rstrip("/") + "/" + name
    return os.path.join(local_path(folder), name)


def _filesystem(url: str) -> tuple[Any, str]:
    """The fsspec file system of `url` and the path in it; InputError when
    the protocol's library is missing."""
    import fsspec.core

    try:
        fs, path = fsspec.core.url_to_fs(url)
    except (ImportError, ValueError) as exc:
        raise InputError(f"cannot open {url}: {reason(exc)}") from None
    return fs, path


def _why(exc: BaseException, missing: str = "no such object") -> str:
    """The one-line reason a storage operation failed, in words users know
    (`missing` for what is not there)."""
    names = {type(link).__name__ for link in _chain(exc)}
    if isinstance(exc, FileNotFoundError):
        return missing
    if "NoCredentialsError" in names or "PartialCredentialsError" in names:
        return ("no credentials (set AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, or AWS_PROFILE)")
    if isinstance(exc, PermissionError):
        return f"access denied ({reason(exc)})"
    return reason(exc)


def _chain(exc: BaseException) -> Iterator[BaseException]:
    seen: set[int] = set()
    link: BaseException | None = exc
    while link is not None and id(link) not in seen:
        seen.add(id(link))
        yield link
        link = link.__cause__ or link.__context__


def exists(path: str) -> bool:
    """Whether an output is there: a local file or folder, an object, or a
    Zarr store whose consolidated metadata is there (a store without it is
    being written, or its writer died)."""
    if not is_url(path):
        return os.path.exists(local_path(path))
    fs, inner = _filesystem(path)
    try:
        # A listing cached by this process may predate another's upload.
        fs.invalidate_cache()
        if path.rstrip("/").endswith(".zarr"):
            return bool(fs.exists(inner.rstrip("/") + "/" + ZARR_METADATA))
        return bool(fs.exists(inner))
    except Exception as exc:
        raise OutputError(f"cannot look for {path}: {_why(exc)}") from exc


def fetch(url: str, folder: str) -> str:
    """Copies the product (a zip object, or the objects under a .SAFE/
    prefix) or file at `url` into `folder`; returns its local path.
    InputError with the one-line reason when it cannot."""
    fs, inner = _filesystem(url)
    inner = inner.rstrip("/")
    name = os.path.basename(inner)
    if not name:
        raise InputError(f"{url}: names no file or folder")
    target = os.path.join(folder, name)
    try:
        # Its kind from one look-up (HTTP's isdir would read a whole zip
        # looking for links in it).
        if fs.info(inner).get("type") == "directory":
            os.makedirs(target)
            for source in fs.find(inner):
                relative = source[len(inner):].lstrip("/")
                destination = os.path.join(target, *relative.split("/"))
                os.makedirs(os.path.dirname(destination), exist_ok=True)
                fs.get_file(source, destination)
        else:
            fs.get_file(inner, target)
            if not os.path.exists(target):
                raise FileNotFoundError(url)
    except InputError:
        raise
    except Exception as exc:
        raise InputError(f"cannot fetch {url}: {_why(exc)}") from exc
    return target


@contextlib.contextmanager
def fetched_input(path: str, tmpdir: str | None = None) -> Iterator[str]:
    """The local path of an input: a local path as it is, a URL fetched
    into a temporary folder (in `tmpdir` if given) that is removed after."""
    if not is_url(path):
        yield local_path(path)
        return
    folder = tempfile.mkdtemp(prefix="quorvane-input-", dir=tmpdir)
    try:
        yield fetch(path, folder)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


@contextlib.contextmanager
def era5_cache(paths: Sequence[str], tmpdir: str | None = None) -> Iterator[list[str]]:
    """The ERA5 files of a run as local paths: the URLs among them fetched
    once into a cache folder of the run (in `tmpdir` if given), removed
    when the run ends. InputError naming the URL that cannot be fetched."""
    if not any(is_url(p) for p in paths):
        yield [local_path(p) for p in paths]
        return
    folder = tempfile.mkdtemp(prefix="quorvane-era5-", dir=tmpdir)
    try:
        local: list[str] = []
        for number, path in enumerate(paths):
            if is_url(path):
                # A folder each: two URLs may end with the same name.
                own = os.path.join(folder, str(number))
                os.mkdir(own)
                local.append(fetch(path, own))
            else:
                local.append(local_path(path))
        yield local
    finally:
        shutil.rmtree(folder, ignore_errors=True)


@contextlib.contextmanager
def staged_output(path: str, tmpdir: str | None = None) -> Iterator[str]:
    """Where a task writes an output: a local path as it is; for a URL, a
    path in a local temporary folder (in `tmpdir` if given), removed after
    (`upload` puts the written output at the URL)."""
    if not is_url(path):
        yield local_path(path)
        return
    folder = tempfile.mkdtemp(prefix="quorvane-output-", dir=tmpdir)
    try:
        yield os.path.join(folder, path.rstrip("/").rsplit("/", 1)[-1])
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def upload(local: str, url: str) -> None:
    """Puts a complete local output (a file, or a Zarr store folder) at
    `url` so that readers never see part of it.

    A file goes to an object store under its final key (the object appears
    when its upload completes); elsewhere under a temporary name, then
    moved. A Zarr store's objects are uploaded with its consolidated
    metadata (.zmetadata) last: a store opened with consolidated metadata
    is not there until every chunk is. An existing store at `url` is
    removed first, its metadata before the rest. OutputError naming `url`
    when it fails."""
    fs, inner = _filesystem(url)
    inner = inner.rstrip("/")
    try:
        if os.path.isdir(local):
            _upload_store(fs, local, inner)
        elif fs.protocol and set(_protocols(fs)) & set(OBJECT_STORES):
            fs.put_file(local, inner)
        else:
            temporary = f"{inner}.{uuid.uuid4().hex[:12]}.part"
            fs.put_file(local, temporary)
            fs.mv(temporary, inner)
    except Exception as exc:
        raise OutputError(f"cannot upload {url}: {_why(exc, 'no such bucket or folder')}") from exc


def _protocols(fs: Any) -> tuple[str, ...]:
    protocol = fs.protocol
    return (protocol,) if isinstance(protocol, str) else tuple(protocol)


def _upload_store(fs: Any, local: str, inner: str) -> None:
    metadata = inner + "/" + ZARR_METADATA
    if fs.exists(inner):
        if fs.exists(metadata):
            fs.rm_file(metadata)
        fs.rm(inner, recursive=True)
    last: tuple[str, str] | None = None
    for folder, _, names in os.walk(local):
        for name in sorted(names):
            source = os.path.join(folder, name)
            relative = os.path.relpath(source, local).replace(os.sep, "/")
            if relative == ZARR_METADATA:
                last = (source, metadata)
                continue
            fs.put_file(source, inner + "/" + relative)
    if last is None:
        raise OutputError(f"{local}: a Zarr store without consolidated metadata")
    fs.put_file(*last)


def read_zarr_attributes(path: str) -> dict[str, Any] | None:
    """The global attributes of a Zarr store (format 2, consolidated) at a
    local path or URL, or None when it has none or cannot be read."""
    try:
        if is_url(path):
            fs, inner = _filesystem(path)
            text = fs.cat_file(inner.rstrip("/") + "/" + ZARR_METADATA)
        else:
            with open(os.path.join(local_path(path), ZARR_METADATA), "rb") as file:
                text = file.read()
        attributes = json.loads(text)["metadata"][".zattrs"]
    except (Exception, KeyError):
        return None
    return attributes if isinstance(attributes, dict) else None


@contextlib.contextmanager
def local_copy(path: str, tmpdir: str | None = None) -> Iterator[str]:
    """A written output as a local path: itself, or a URL's object fetched
    into a temporary folder removed after. OutputError when it cannot be
    fetched."""
    if not is_url(path):
        yield local_path(path)
        return
    folder = tempfile.mkdtemp(prefix="quorvane-output-", dir=tmpdir)
    try:
        try:
            local = fetch(path, folder)
        except InputError as exc:
            raise OutputError(str(exc)) from exc
        yield local
    finally:
        shutil.rmtree(folder, ignore_errors=True)


# A Zarr store being written in a local folder: `.<name>.<token>.zpart`
# beside its final name, with the writer's lock file `.<name>.<token>.lock`
# (the lock scheme of `atomic`); a store being replaced is moved aside to
# `.<name>.<token>.old.zpart` for the moment of the swap.
STORE_PART_SUFFIX = ".zpart"


def write_store_atomically(final_path: str, write: Any) -> None:
    """Calls `write(temporary_folder)` and renames the folder to
    `final_path` once complete (an existing store there is replaced),
    holding the writer's lock throughout; on any failure the temporary
    folder is removed and `final_path` left as it was."""
    from .atomic import _sync_folder, claimed, raise_if_out_of_space

    with claimed(final_path, STORE_PART_SUFFIX) as claim:
        part = claim.part
        old = os.path.join(claim.folder, f".{claim.name}.{claim.token}.old{STORE_PART_SUFFIX}")
        try:
            write(part)
            _sync_tree(part)
            try:
                os.rename(final_path, old)
            except FileNotFoundError:
                pass
            os.rename(part, final_path)
            _sync_folder(claim.folder)
        except BaseException as exc:
            shutil.rmtree(part, ignore_errors=True)
            if os.path.exists(old) and not os.path.exists(final_path):
                os.rename(old, final_path)
            raise_if_out_of_space(exc, claim.folder, final_path)
            raise
        finally:
            shutil.rmtree(old, ignore_errors=True)


def _sync_tree(folder: str) -> None:
    """Puts the files of a written store on disk before it is renamed."""
    for root, _, names in os.walk(folder):
        for name in names:
            with open(os.path.join(root, name), "rb") as file:
                os.fsync(file.fileno())


def remove_partial_stores(final_path: str) -> None:
    """Deletes the temporary store folders for `final_path` whose writer
    is gone (its lock file free or removed), leaving those a live writer
    holds."""
    import glob

    from .atomic import LOCK_SUFFIX, TOKEN_DIGITS, _writer_alive

    if is_url(final_path):
        return
    folder, name = os.path.split(local_path(final_path))
    folder = folder or "."
    prefix = f".{name}."
    for part in glob.glob(os.path.join(glob.escape(folder), glob.escape(prefix) + "*" + STORE_PART_SUFFIX)):
        token = os.path.basename(part)[len(prefix):][:TOKEN_DIGITS]
        if not _writer_alive(os.path.join(folder, f"{prefix}{token}{LOCK_SUFFIX}")):
            shutil.rmtree(part, ignore_errors=True)

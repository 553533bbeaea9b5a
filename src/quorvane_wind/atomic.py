"""Atomic output files: each output is written under a temporary name in its
own folder and renamed when complete, so that a reader never sees half a
file and an interrupted or killed writer leaves at most its temporary file.

Several writers may share an output folder (two commands, the workers of a
cluster). A writer holds an exclusive `flock` on a lock file beside its
temporary file for as long as it writes; the kernel drops the lock when the
writer's process ends, however it ends. Leftovers are therefore told apart
from live work by trying the lock: only temporary files whose writer is gone
are removed. The lock is on a separate file because HDF5 (under NetCDF-4)
takes its own `flock` on the file it writes, and a POSIX lock on that file
would be released when HDF5 closes it.
"""

import fcntl
import glob
import os
import shutil
import uuid
from collections.abc import Callable
from typing import Any

from .errors import OutputError

PART_SUFFIX = ".part"
LOCK_SUFFIX = ".lock"


def _names(final_path: str) -> tuple[str, str]:
    folder, name = os.path.split(os.fspath(final_path))
    return folder or ".", name


def _lock_of(part: str) -> str:
    return part[: -len(PART_SUFFIX)] + LOCK_SUFFIX


def _writer_alive(lock_path: str) -> bool:
    """Whether a writer still holds the lock file. Taking the lock proves
    that it does not; the caller then owns the leftovers."""
    try:
        descriptor = os.open(lock_path, os.O_RDWR)
    except FileNotFoundError:
        return False
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return True
    finally:
        os.close(descriptor)
    return False


def _remove(path: str) -> None:
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


def remove_partial_files(final_path: str | os.PathLike[str]) -> None:
    """Deletes the temporary files (and lock files) for `final_path` whose
    writer is gone, leaving those that a live writer holds."""
    folder, name = _names(os.fspath(final_path))
    stem = os.path.join(glob.escape(folder), f".{glob.escape(name)}.*")
    for part in glob.glob(stem + PART_SUFFIX):
        if not _writer_alive(_lock_of(part)):
            _remove(part)
            _remove(_lock_of(part))
    for lock in glob.glob(stem + LOCK_SUFFIX):
        if not os.path.exists(lock[: -len(LOCK_SUFFIX)] + PART_SUFFIX) and not _writer_alive(lock):
            _remove(lock)


def _release(part: str) -> None:
    """Removes a failed temporary file and frees its space. A write that
    failed inside HDF5 (a full disk) can leave the library holding the file
    open; the descriptor stays HDF5's (closing it could let HDF5 write into
    whatever file reuses the number), but the deleted file is emptied so
    that its blocks return to the file system."""
    try:
        written = os.stat(part)
    except FileNotFoundError:
        return
    _remove(part)
    for name in os.listdir("/proc/self/fd") if os.path.isdir("/proc/self/fd") else ():
        try:
            held = os.stat(f"/proc/self/fd/{name}")
            if (held.st_dev, held.st_ino) == (written.st_dev, written.st_ino):
                os.ftruncate(int(name), 0)
        except OSError:
            continue


def _sync_folder(folder: str) -> None:
    """Puts a rename in `folder` on disk (where the file system allows it)."""
    try:
        descriptor = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(descriptor)
    except OSError:
        pass
    finally:
        os.close(descriptor)


def out_of_space(folder: str) -> bool:
    """Whether the file system of `folder` is (nearly) full: HDF5 reports a
    full disk only as "HDF error", so a failed write is checked here."""
    try:
        return shutil.disk_usage(folder).free < 1 << 20
    except OSError:
        return False


def write_atomically(final_path: str | os.PathLike[str], write: Callable[[str], Any]) -> None:
    """Calls `write(temporary_path)` and renames the file to `final_path`
    once it is complete, holding the writer's lock throughout. On any failure
    or interruption the temporary file is removed and `final_path` is left as
    it was; a full file system raises OutputError naming `final_path`."""
    final_path = os.fspath(final_path)
    folder, name = _names(final_path)
    token = uuid.uuid4().hex[:12]
    lock_path = os.path.join(folder, f".{name}.{token}{LOCK_SUFFIX}")
    part = os.path.join(folder, f".{name}.{token}{PART_SUFFIX}")
    lock = os.open(lock_path, os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o644)
    try:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            write(part)
            # On disk before the rename, so that a crash of the machine
            # cannot leave the final name on a file whose data never arrived.
            with open(part, "rb") as written:
                os.fsync(written.fileno())
            os.replace(part, final_path)
            _sync_folder(folder)
        except BaseException as exc:
            _release(part)
            if isinstance(exc, Exception) and out_of_space(folder):
                raise OutputError(f"cannot write {final_path}: no space left on the device") from exc
            raise
    finally:
        _remove(lock_path)
        os.close(lock)

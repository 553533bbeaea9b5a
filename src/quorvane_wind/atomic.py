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

Some file systems have no `flock` (Lustre mounted without it, NFS without
its lock daemon: ENOSYS, ENOLCK, EOPNOTSUPP). There the lock file still
names its writer, "host pid": a writer is taken for gone when it ran on
this host and its process is not there; a writer on another host is left
alone (its leftovers go when a run on its host, or one with flock, meets
them).
"""

import contextlib
import errno
import fcntl
import glob
import os
import shutil
import socket
import uuid
from collections.abc import Callable, Iterator
from typing import Any, NamedTuple

from .errors import OutputError

PART_SUFFIX = ".part"
LOCK_SUFFIX = ".lock"


def _names(final_path: str) -> tuple[str, str]:
    folder, name = os.path.split(os.fspath(final_path))
    return folder or ".", name


def _lock_of(part: str) -> str:
    return part[: -len(PART_SUFFIX)] + LOCK_SUFFIX


# What flock fails with on a file system that does not support it.
NO_FLOCK = (errno.ENOSYS, errno.ENOLCK, errno.EOPNOTSUPP, errno.EINVAL)


def _flock(descriptor: int, operation: int) -> bool:
    """flock, or False when the file system has none (see the module's
    text); BlockingIOError when another holds a lock asked without
    waiting."""
    try:
        fcntl.flock(descriptor, operation)
    except BlockingIOError:
        raise
    except OSError as exc:
        if exc.errno in NO_FLOCK:
            return False
        raise
    return True


def _writer_named_alive(descriptor: int) -> bool:
    """Without flock: whether the writer the lock file names may still run."""
    text = os.pread(descriptor, 256, 0).decode("utf-8", "replace").split()
    if len(text) != 2 or not text[1].isdigit():
        return True                 # being written, or not ours: leave it
    host, pid = text[0], int(text[1])
    if host != socket.gethostname():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _writer_alive(lock_path: str) -> bool:
    """Whether a writer still holds the lock file. Taking the lock proves
    that it does not; the caller then owns the leftovers."""
    try:
        descriptor = os.open(lock_path, os.O_RDWR)
    except FileNotFoundError:
        return False
    try:
        if not _flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB):
            return _writer_named_alive(descriptor)
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


class Claim(NamedTuple):
    """A writer's claim on an output: its folder and name, the token of its
    temporary names and its temporary path."""

    folder: str
    name: str
    token: str
    part: str


# Hex digits of a writer's token in its temporary names.
TOKEN_DIGITS = 12


@contextlib.contextmanager
def claimed(final_path: str, part_suffix: str = PART_SUFFIX) -> Iterator[Claim]:
    """The lock of a new writer of `final_path`, held (and its file, which
    names the writer's host and process, removed) for the duration; the
    writer writes `Claim.part`."""
    folder, name = _names(final_path)
    token = uuid.uuid4().hex[:TOKEN_DIGITS]
    lock_path = os.path.join(folder, f".{name}.{token}{LOCK_SUFFIX}")
    lock = os.open(lock_path, os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o644)
    try:
        os.write(lock, f"{socket.gethostname()} {os.getpid()}\n".encode())
        _flock(lock, fcntl.LOCK_EX)
        yield Claim(folder, name, token, os.path.join(folder, f".{name}.{token}{part_suffix}"))
    finally:
        _remove(lock_path)
        os.close(lock)


def raise_if_out_of_space(exc: BaseException, folder: str, final_path: str) -> None:
    """OutputError naming `final_path` when a failed write `exc` came from a
    full file system (said by its errno, as h5py's errors say it, or seen on
    the file system)."""
    if isinstance(exc, Exception) and (getattr(exc, "errno", None) == errno.ENOSPC or out_of_space(folder)):
        raise OutputError(f"cannot write {final_path}: no space left on the device") from exc


def write_atomically(final_path: str | os.PathLike[str], write: Callable[[str], Any]) -> None:
    """Calls `write(temporary_path)` and renames the file to `final_path`
    once it is complete, holding the writer's lock throughout. On any failure
    or interruption the temporary file is removed and `final_path` is left as
    it was; a full file system raises OutputError naming `final_path`."""
    final_path = os.fspath(final_path)
    with claimed(final_path) as claim:
        try:
            write(claim.part)
            # On disk before the rename, so that a crash of the machine
            # cannot leave the final name on a file whose data never arrived.
            with open(claim.part, "rb") as written:
                os.fsync(written.fileno())
            os.replace(claim.part, final_path)
            _sync_folder(claim.folder)
        except BaseException as exc:
            _release(claim.part)
            raise_if_out_of_space(exc, claim.folder, final_path)
            raise

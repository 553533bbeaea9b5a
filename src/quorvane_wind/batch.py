"""One input of a command: its product and extra outputs made where it
runs (`process_input`, an `Outcome` whatever happens), with the
interrupts, progress bars and stage messages it shares with the run.
Running many inputs, serially or on a cluster, is `runs`; the command
(`cli`) parses the arguments and reports; each imports the ones before it,
never the reverse.

Interrupts: SIGINT only sets a flag, which the run checks between dask
tasks, between inputs and while it waits for a cluster. A KeyboardInterrupt
raised at an arbitrary point can land inside the NetCDF/HDF5 libraries,
where it is swallowed or leaves them in a state that crashes the process
at exit; at those checks it unwinds ordinary Python code, which removes the
temporary files on its way out.
"""

import contextlib
import dataclasses
import logging
import os
import sys
import tempfile
import threading
import traceback
from collections.abc import Callable, Iterator, Sequence
from types import FrameType
from typing import TYPE_CHECKING, Any, NamedTuple, Protocol, TextIO

from .defaults import COAST_DISTANCE_KM
from .errors import reason

if TYPE_CHECKING:
    from tqdm import tqdm

    from .era5 import Era5Files

Job = tuple[str, str]      # (input path, output path)


@dataclasses.dataclass(frozen=True)
class ExtraOutputs:
    """The outputs drawn from a written product besides it; false when none
    is asked for."""

    quicklook: bool = False
    quicklook_range: tuple[float, float] = (0.0, 25.0)
    geotiff: bool = False

    def __bool__(self) -> bool:
        return self.quicklook or self.geotiff


# The logger of the products layer; its modules log to children of it.
LOGGER = "quorvane_wind"


class _StageHandler(logging.StreamHandler[TextIO]):
    """The handler of --verbose (one per process, however runs nest)."""


@contextlib.contextmanager
def stage_messages(verbose: bool) -> Iterator[None]:
    """With `verbose`, the INFO messages of the products layer on stderr for
    the duration (as `quorvane-wind: message`)."""
    logger = logging.getLogger(LOGGER)
    if not verbose or any(isinstance(h, _StageHandler) for h in logger.handlers):
        yield
        return
    handler = _StageHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("quorvane-wind: %(message)s"))
    level = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    try:
        yield
    finally:
        logger.removeHandler(handler)
        logger.setLevel(level)


def quicklook_path(output_path: str) -> str:
    return os.path.splitext(output_path)[0] + ".png"


def geotiff_path(output_path: str) -> str:
    return os.path.splitext(output_path)[0] + ".tif"


def remove_leftovers(output_path: str) -> None:
    """Removes the temporary files of writers that are gone, for an output
    and its extras."""
    from .atomic import remove_partial_files
    from .storage import is_url, remove_partial_stores

    if is_url(output_path):
        return              # uploads are whole or absent (`storage.upload`)
    remove_partial_stores(output_path)
    for path in (output_path, quicklook_path(output_path), geotiff_path(output_path)):
        remove_partial_files(path)


def one_line(text: object) -> str:
    return " ".join(str(text).split())


class Interrupts:
    """The SIGINT flag of a run (see the module's text)."""

    def __init__(self) -> None:
        self.requested = False

    def handler(self, signum: int, frame: FrameType | None) -> None:
        self.requested = True

    def check(self) -> None:
        if self.requested:
            raise KeyboardInterrupt


INTERRUPTS = Interrupts()
# How often a wait looks at the flag (its setter cannot wake a wait on a
# cluster or on worker processes).
POLL_SECONDS = 0.05


def _chunk_key(key: object) -> bool:
    """Whether a dask key is one of the product's chunks (one task computes
    every field of a chunk)."""
    from .chunk import CHUNK_TASK_PREFIX

    name = key[0] if isinstance(key, tuple) else key
    return isinstance(name, str) and name.startswith(CHUNK_TASK_PREFIX)


class TaskCallbacks(Protocol):
    """A dask callback (a context manager) with resources to close."""

    def __enter__(self) -> object: ...

    def __exit__(self, *exc: object) -> object: ...

    def close(self) -> None: ...


def _task_callbacks(show_progress: bool) -> TaskCallbacks:
    """A dask callback that stops a computation at the next task boundary
    once an interrupt was asked for and, on a terminal, shows the chunks of
    the scene done (dask runs callbacks in the thread that waits for the
    result)."""
    from dask.callbacks import Callback

    class SceneChunks(Callback):
        bar: "tqdm[Any] | None" = None

        def _start_state(self, dsk: dict[Any, Any], state: dict[str, Any]) -> None:
            chunks = sum(1 for key in dsk if _chunk_key(key))
            if show_progress and chunks and self.bar is None:
                from tqdm import tqdm

                self.bar = tqdm(total=chunks, unit="chunk", desc="scene", disable=None,
                                file=sys.stderr, leave=False, position=1)

        def _pretask(self, key: object, dsk: dict[Any, Any], state: dict[str, Any]) -> None:
            INTERRUPTS.check()

        def _posttask(self, key: object, result: object, dsk: dict[Any, Any], state: dict[str, Any],
                      worker_id: object) -> None:
            if self.bar is not None and _chunk_key(key):
                self.bar.update()
            INTERRUPTS.check()

        def close(self) -> None:
            if self.bar is not None:
                self.bar.close()

    return SceneChunks()  # type: ignore[no-untyped-call]  # dask's Callback.__init__ is unannotated


class Outcome(NamedTuple):
    """What became of one input: `status` "written" or "failed", `text` the
    output path or the one-line reason, `trace` the traceback of a failure,
    `notes` one-line warnings (degraded processing, a failed extra output),
    whether a requested extra output failed, and `stages` the stage
    messages of a verbose task that ran where the user's stderr is not."""

    status: str
    text: str
    trace: str | None = None
    notes: tuple[str, ...] = ()
    extras_failed: bool = False
    stages: tuple[str, ...] = ()


class Reporter(Protocol):
    """What the run tells the command of each input (`cli.Run`)."""

    def fail(self, input_path: str, text: str, trace: str | None = None) -> None: ...

    def skip(self, input_path: str, output_path: str) -> None: ...

    def report(self, input_path: str, outcome: Outcome) -> None: ...

    def wrote(self, path: str) -> None: ...


def draw_quicklook(output_path: str,
                   speed_range: tuple[float, float] = ExtraOutputs.quicklook_range) -> str | None:
    """Draws the quicklook of a written product; returns the one-line
    reason of a failure, or None."""
    from .quicklook import write_quicklook

    try:
        write_quicklook(output_path, quicklook_path(output_path), speed_range=speed_range)
    except Exception as exc:
        return f"quicklook {quicklook_path(output_path)} not written ({reason(exc)})"
    return None


def draw_geotiff(output_path: str) -> str | None:
    """Writes the GeoTIFF of a written product; returns the one-line reason
    of a failure, or None."""
    from .geotiff import write_geotiff

    try:
        write_geotiff(output_path, geotiff_path(output_path))
    except Exception as exc:
        return f"GeoTIFF {geotiff_path(output_path)} not written ({reason(exc)})"
    return None


def draw_extras(output_path: str, extras: ExtraOutputs,
                missing_only: bool = False) -> list[tuple[str, str | None]]:
    """Draws the extra outputs asked for from a written product (only those
    not on disk with `missing_only`); returns (path, failure or None) for
    each one drawn."""
    drawn: list[tuple[str, str | None]] = []
    draws: list[tuple[bool, str, Callable[[], str | None]]] = [
        (extras.quicklook, quicklook_path(output_path),
         lambda: draw_quicklook(output_path, extras.quicklook_range)),
        (extras.geotiff, geotiff_path(output_path), lambda: draw_geotiff(output_path))]
    for wanted, path, draw in draws:
        if wanted and not (missing_only and os.path.exists(path)):
            drawn.append((path, draw()))
    return drawn


def place_extras(written: str, output_path: str, extras: ExtraOutputs,
                 missing_only: bool = False) -> list[tuple[str, str | None]]:
    """`draw_extras` for a product written at `written` whose place is
    `output_path`: the same path, or a URL where the extras drawn locally
    are uploaded beside it (only those not there with `missing_only`).
    Returns (path or URL, failure or None) for each one drawn."""
    from .errors import InputError
    from .storage import exists, is_url, upload

    if not is_url(output_path):
        return draw_extras(written, extras, missing_only)
    wanted: list[tuple[bool, Callable[[str], str]]] = [(extras.quicklook, quicklook_path),
                                                       (extras.geotiff, geotiff_path)]
    missing: list[bool] = []
    for asked, place in wanted:
        try:
            missing.append(asked and not (missing_only and exists(place(output_path))))
        except InputError as exc:
            return [(place(output_path), one_line(exc))]
    todo = dataclasses.replace(extras, quicklook=missing[0], geotiff=missing[1])
    placed: list[tuple[str, str | None]] = []
    for local, failure in draw_extras(written, todo):
        place = quicklook_path if local == quicklook_path(written) else geotiff_path
        target = place(output_path)
        if failure is None:
            try:
                upload(local, target)
            except InputError as exc:
                failure = one_line(exc)
        else:
            failure = failure.replace(local, target)
        placed.append((target, failure))
    return placed


def reuse_extras(output_path: str, extras: ExtraOutputs,
                 tmpdir: str | None = None) -> list[tuple[str, str | None]]:
    """The extra outputs missing beside an existing product drawn from it;
    a product at a URL is fetched only when one of them is missing."""
    from .errors import InputError
    from .storage import is_url, local_copy

    if not extras or not is_url(output_path):
        return draw_extras(output_path, extras, missing_only=True)
    if not _any_missing(output_path, extras):
        return []
    try:
        with local_copy(output_path, tmpdir) as local:
            return place_extras(local, output_path, extras, missing_only=True)
    except InputError as exc:
        return [(output_path, one_line(exc))]


def _any_missing(output_path: str, extras: ExtraOutputs) -> bool:
    from .storage import exists

    try:
        return (extras.quicklook and not exists(quicklook_path(output_path))) or \
            (extras.geotiff and not exists(geotiff_path(output_path)))
    except Exception:
        return True


def keep_freed_memory() -> None:
    """Lets glibc's allocator keep freed chunk arrays for reuse. By default
    each array of more than a few MB is a fresh mmap returned to the system
    when freed, so every temporary of every chunk pays its page faults anew
    (about half of a 1 km run's time); the process's memory is bounded by
    the chunks in flight either way."""
    import ctypes

    try:
        libc = ctypes.CDLL("libc.so.6")
    except OSError:
        return                      # not glibc: nothing to tune
    m_trim_threshold, m_mmap_threshold = -1, -3
    libc.mallopt(m_mmap_threshold, 512 << 20)
    libc.mallopt(m_trim_threshold, 1 << 30)


class SharedSetting:
    """A process-wide setting that the tasks running in a process change
    for their duration (tempfile's folder, the logger's level): the first
    task in saves the value it finds, the last one out puts it back. Tasks
    that overlap in one process all set the same value (they are the same
    run's)."""

    def __init__(self, get: Callable[[], Any], put: Callable[[Any], None]) -> None:
        self._get, self._put = get, put
        self._lock = threading.Lock()
        self._users = 0
        self._saved: Any = None

    @contextlib.contextmanager
    def held(self, value: Any) -> Iterator[None]:
        with self._lock:
            if self._users == 0:
                self._saved = self._get()
            self._users += 1
            self._put(value)
        try:
            yield
        finally:
            with self._lock:
                self._users -= 1
                if self._users == 0:
                    self._put(self._saved)


# The zip reader inflates the measurement with tempfile.mkstemp, which
# takes tempfile.tempdir (else TMPDIR) of the process it runs in.
TEMPORARY_FOLDER = SharedSetting(lambda: tempfile.tempdir, lambda value: setattr(tempfile, "tempdir", value))
LOGGER_LEVEL = SharedSetting(lambda: logging.getLogger(LOGGER).level,
                             lambda value: logging.getLogger(LOGGER).setLevel(value))


class _ThreadStages(logging.Handler):
    """Keeps the stage messages logged by one thread (a task's: the tasks
    of a product run in the thread of its input's task)."""

    def __init__(self) -> None:
        super().__init__(logging.INFO)
        self.thread = threading.get_ident()
        self.lines: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        if record.thread == self.thread:
            self.lines.append(f"{one_line(record.getMessage())}")


@contextlib.contextmanager
def collected_stages(verbose: bool) -> Iterator[list[str]]:
    """With `verbose`, the stage messages of this thread for the duration,
    unless this process already prints them (a serial run of the command):
    a worker's stderr is not the user's, so the command prints them."""
    logger = logging.getLogger(LOGGER)
    if not verbose or any(isinstance(h, _StageHandler) for h in logger.handlers):
        yield []
        return
    handler = _ThreadStages()
    with LOGGER_LEVEL.held(logging.INFO):
        logger.addHandler(handler)
        try:
            yield handler.lines
        finally:
            logger.removeHandler(handler)


def _own_era5(era5: "Era5Files | Sequence[str]") -> "Era5Files | Sequence[str]":
    """A task's own copy of the run's ERA5 index, without open files: the
    files it opens are its own and closed with it (a worker keeps one
    deserialised argument for the tasks that share it)."""
    import pickle

    from .era5 import Era5Files

    if isinstance(era5, Era5Files):
        copy: Era5Files = pickle.loads(pickle.dumps(era5))
        return copy
    return era5


def _close_era5(era5: "Era5Files | Sequence[str]") -> None:
    from .era5 import Era5Files

    if isinstance(era5, Era5Files):
        for grid in era5.grids:
            for source in grid.sources:
                # Only the files this copy opened (a Dataset given by the
                # caller is the caller's to close).
                if source.path is not None and source._ds is not None:
                    source._ds.close()
                    source._ds = None


def process_input(input_path: str, era5: "Era5Files | Sequence[str]", output_path: str,
                  resolution: float | str, land_mask: bool, extras: ExtraOutputs, history: str,
                  one_thread: bool = False, in_worker: bool = False, polarisation: str = "auto",
                  coast_distance: float = COAST_DISTANCE_KM, attributes: dict[str, str] | None = None,
                  verbose: bool = False, tmpdir: str | None = None,
                  output_format: str = "netcdf") -> "Outcome":
    """Makes and writes the product of one input, then the `extras`.
    `era5` is the run's index (`index_era5`) or the ERA5 paths. Returns an
    `Outcome`; never raises for a bad input, so that it can run as a task
    anywhere; an interruption (KeyboardInterrupt) propagates after the
    temporary files are gone. Its chunks run on every core, or with
    `one_thread` on this thread alone. `in_worker` is for a process that
    does not hold the command's stderr: no progress bar, and with `verbose`
    the stage messages go into the Outcome (else to stderr). `tmpdir` is the folder of temporary files (a zip's inflated
    measurement) in the process it runs in.

    `input_path` and `output_path` may be URLs (`storage`): the input is
    fetched into a temporary folder (in `tmpdir`) and removed after; the
    output and its extras are written in a temporary folder and uploaded
    when complete. `output_format` is "netcdf" or "zarr"."""
    import warnings

    import dask

    from .errors import InputError, ProcessingWarning
    from .netcdf import write_product_as
    from .product import make_wind_product
    from .sentinel1 import product_name
    from .storage import fetched_input, is_url, staged_output, upload

    keep_freed_memory()
    limits: contextlib.AbstractContextManager[object] = contextlib.nullcontext()
    scheduler: dict[str, Any] = {"scheduler": "threads", "num_workers": os.cpu_count() or 1}
    if one_thread:
        # One thread per task: the parallelism comes from the workers.
        import Quorvane  # noqa: F401  (loads the OpenMP runtime for threadpoolctl)
        from threadpoolctl import threadpool_limits
        limits = threadpool_limits(limits=1, user_api="openmp")
        scheduler = {"scheduler": "synchronous"}
    callbacks = _task_callbacks(show_progress=not in_worker)
    folder: contextlib.AbstractContextManager[None] = (
        contextlib.nullcontext() if tmpdir is None else TEMPORARY_FOLDER.held(tmpdir))
    era5 = _own_era5(era5)
    stages: list[str] = []
    # The local place of the output (itself, or a temporary folder's file
    # for a URL) lasts until its extras are drawn.
    with contextlib.ExitStack() as staging:
        try:
            written = staging.enter_context(staged_output(output_path, tmpdir))
            with (limits, dask.config.set(scheduler), callbacks, contextlib.closing(callbacks), folder,
                  stage_messages(verbose and not in_worker), collected_stages(verbose) as stages,
                  warnings.catch_warnings(record=True) as caught,
                  fetched_input(input_path, tmpdir) as local_input):
                warnings.simplefilter("always", ProcessingWarning)
                # A dead writer's temporary files, of the extras too (asked for
                # or not this time).
                remove_leftovers(output_path)
                # Chunks on one thread per core, each chunk's kernel on one
                # OpenMP thread: every core busy, none oversubscribed.
                ds = make_wind_product(local_input, era5, resolution=resolution,
                                       land=land_mask, history=history, kernel_threads=1,
                                       polarisation=polarisation, coast_distance_km=coast_distance,
                                       attributes=attributes)
                write_product_as(ds, written, output_format)
                if is_url(output_path):
                    upload(written, output_path)
        except InputError as exc:
            return Outcome("failed", one_line(exc), traceback.format_exc(), stages=tuple(stages))
        except Exception as exc:
            # Anything else a damaged input makes a library raise still ends
            # as one line for this input, so that the other inputs go on.
            return Outcome("failed", f"{type(exc).__name__}: {reason(exc)}", traceback.format_exc(),
                           stages=tuple(stages))
        finally:
            _close_era5(era5)
        # The command names the input on each line: the product's name that
        # begins a library warning would say it twice.
        name = f"{product_name(input_path)}: "
        notes = tuple(f"warning: {one_line(w.message).removeprefix(name)}" for w in caught
                      if issubclass(w.category, ProcessingWarning))
        failures = tuple(failure for _, failure in place_extras(written, output_path, extras) if failure)
    return Outcome("written", output_path, None, notes + failures, bool(failures), tuple(stages))

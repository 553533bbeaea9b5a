"""Running the inputs of a command: each input's product and extra
outputs made where it runs (`process_input`, an `Outcome` whatever
happens), one after another or on a dask.distributed cluster, with the
interrupts, progress bars and stage messages of a run. The command
(`cli`) parses the arguments and reports; it imports this module, never
the reverse.

Interrupts: SIGINT only sets a flag, which the run checks between dask
tasks, between inputs and while it waits for a cluster. A KeyboardInterrupt
raised at an arbitrary point can land inside the NetCDF/HDF5 libraries,
where it is swallowed or leaves them in a state that crashes the process
at exit; at those checks it unwinds ordinary Python code, which removes the
temporary files on its way out.

On a cluster the client keeps a bounded window of inputs in flight (a few
per worker thread) and feeds it from one `as_completed`: its memory and
its work per input do not grow with the number of inputs (waiting on every
pending future once per completion left one asyncio task per pending
future behind: 981 after the first wait on 1,000 inputs, 49,414 at the
most, bench/ARCHIVES.md). The ERA5 files are indexed
once, in the client; every task gets the small index (about 14 kB).
"""

import contextlib
import dataclasses
import itertools
import logging
import os
import signal
import sys
import tempfile
import threading
import traceback
import uuid
from collections.abc import Callable, Iterator, Sequence
from types import FrameType
from typing import TYPE_CHECKING, Any, NamedTuple, Protocol, TextIO

from .defaults import COAST_DISTANCE_KM
from .errors import reason

if TYPE_CHECKING:
    from distributed import Client
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
                  one_thread: bool = False, polarisation: str = "auto",
                  coast_distance: float = COAST_DISTANCE_KM, attributes: dict[str, str] | None = None,
                  verbose: bool = False, tmpdir: str | None = None) -> "Outcome":
    """Makes and writes the product of one input, then the `extras`.
    `era5` is the run's index (`index_era5`) or the ERA5 paths. Returns an
    `Outcome`; never raises for a bad input, so that it can run as a task
    anywhere; an interruption (KeyboardInterrupt) propagates after the
    temporary files are gone. With `verbose`, its stage messages go to
    this process's stderr when the command prints them here, else into the
    Outcome. `tmpdir` is the folder of temporary files (a zip's inflated
    measurement) in the process it runs in."""
    import warnings

    import dask

    from .errors import InputError, ProcessingWarning
    from .netcdf import write_product
    from .product import make_wind_product
    from .sentinel1 import product_name

    keep_freed_memory()
    limits: contextlib.AbstractContextManager[object] = contextlib.nullcontext()
    scheduler: dict[str, Any] = {"scheduler": "threads", "num_workers": os.cpu_count() or 1}
    if one_thread:
        # One thread per task: the parallelism comes from the workers.
        import Quorvane  # noqa: F401  (loads the OpenMP runtime for threadpoolctl)
        from threadpoolctl import threadpool_limits
        limits = threadpool_limits(limits=1, user_api="openmp")
        scheduler = {"scheduler": "synchronous"}
    callbacks = _task_callbacks(show_progress=not one_thread)
    folder: contextlib.AbstractContextManager[None] = (
        contextlib.nullcontext() if tmpdir is None else TEMPORARY_FOLDER.held(tmpdir))
    era5 = _own_era5(era5)
    stages: list[str] = []
    try:
        with (limits, dask.config.set(scheduler), callbacks, contextlib.closing(callbacks), folder,
              stage_messages(verbose and not one_thread), collected_stages(verbose) as stages,
              warnings.catch_warnings(record=True) as caught):
            warnings.simplefilter("always", ProcessingWarning)
            # A dead writer's temporary files, of the extras too (asked for
            # or not this time).
            remove_leftovers(output_path)
            # Chunks on one thread per core, each chunk's kernel on one
            # OpenMP thread: every core busy, none oversubscribed.
            ds = make_wind_product(input_path, era5, resolution=resolution,
                                   land=land_mask, history=history, kernel_threads=1,
                                   polarisation=polarisation, coast_distance_km=coast_distance,
                                   attributes=attributes)
            write_product(ds, output_path)
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
    failures = tuple(failure for _, failure in draw_extras(output_path, extras) if failure)
    return Outcome("written", output_path, None, notes + failures, bool(failures), tuple(stages))


def _progress(total: int) -> "tqdm[Any]":
    from tqdm import tqdm

    # A bar on terminals only: scripts reading stderr get the messages alone.
    return tqdm(total=total, unit="scene", disable=None, file=sys.stderr, leave=False)


@dataclasses.dataclass(frozen=True)
class RunSettings:
    """What a run makes of its inputs: the command's arguments, checked.
    `era5` is the run's index (`index_era5_files`) or the paths, indexed
    by the run then."""

    inputs: Sequence[str]
    era5: "Sequence[str] | Era5Files"
    output_dir: str
    resolution: float | str
    land_mask: bool = True
    coast_distance: float = COAST_DISTANCE_KM
    polarisation: str = "auto"
    overwrite: bool = False
    extras: ExtraOutputs = ExtraOutputs()
    attributes: tuple[tuple[str, str], ...] = ()
    history: str = "quorvane-wind"
    verbose: bool = False
    workers: int | None = None
    scheduler: str | None = None
    scheduler_file: str | None = None
    tmpdir: str | None = None

    @property
    def distributed(self) -> bool:
        return bool(self.workers or self.scheduler or self.scheduler_file)


class Reporter(Protocol):
    """What the run tells the command of each input (`cli.Run`)."""

    def fail(self, input_path: str, text: str, trace: str | None = None) -> None: ...

    def skip(self, input_path: str, output_path: str) -> None: ...

    def report(self, input_path: str, outcome: Outcome) -> None: ...

    def wrote(self, path: str) -> None: ...


def index_era5_files(paths: Sequence[str]) -> "Era5Files":
    """The ERA5 files of a run indexed once, by absolute path (workers may
    run in another folder). InputError with a one-line reason for a file
    that cannot be indexed."""
    from .era5 import index_era5

    return index_era5([os.path.abspath(p) for p in paths])


def run_inputs(settings: RunSettings, run: Reporter) -> None:
    """Makes the product of every input whose output is not there yet (or
    every one with `overwrite`), serially or on a cluster, and tells `run`
    what became of each. An interruption (KeyboardInterrupt) propagates
    once the temporary files of the outputs are gone."""
    from .netcdf import output_name, product_options

    wanted = product_options(settings.resolution, settings.land_mask, settings.polarisation,
                             settings.coast_distance)
    jobs: list[Job] = []
    claimed: dict[str, str] = {}
    try:
        for input_path in settings.inputs:
            INTERRUPTS.check()
            output_path = os.path.join(settings.output_dir, output_name(input_path))
            if output_path in claimed:
                run.fail(input_path, f"same output name as {claimed[output_path]}")
                continue
            claimed[output_path] = input_path
            if os.path.exists(output_path) and not settings.overwrite:
                _reuse_existing(run, input_path, output_path, wanted, settings.extras)
                continue
            jobs.append((input_path, output_path))
        if not jobs:
            return
        era5 = settings.era5
        if isinstance(era5, (str, list, tuple)):
            era5 = index_era5_files([era5] if isinstance(era5, str) else era5)
        task_args: dict[str, Any] = dict(
            era5=era5, resolution=settings.resolution, land_mask=settings.land_mask,
            extras=settings.extras, history=settings.history, polarisation=settings.polarisation,
            coast_distance=settings.coast_distance, attributes=dict(settings.attributes),
            verbose=settings.verbose, tmpdir=settings.tmpdir)
        if settings.distributed:
            _run_distributed(settings, jobs, task_args, run)
        else:
            with _progress(len(jobs)) as bar:
                for input_path, output_path in jobs:
                    INTERRUPTS.check()
                    run.report(input_path, process_input(input_path, output_path=output_path, **task_args))
                    bar.update()
        INTERRUPTS.check()
    except KeyboardInterrupt:
        for _, output_path in jobs:
            remove_leftovers(output_path)
        raise


def describe_options(options: dict[str, str]) -> str:
    return ", ".join(f"{k.replace('_', ' ')} {v}" for k, v in options.items())


def _reuse_existing(run: Reporter, input_path: str, output_path: str, wanted: dict[str, str],
                    extras: ExtraOutputs) -> None:
    """An existing output: skipped when its recorded options are the ones
    asked for (its missing extra outputs drawn from it), failed otherwise. Leftover
    temporary files of a writer that is gone are removed either way."""
    from .netcdf import recorded_options, same_options

    remove_leftovers(output_path)
    recorded = recorded_options(output_path)
    if not same_options(recorded, wanted):
        made = ("records no options (made by another program or an older version)" if recorded is None
                else f"was made with {describe_options({k: v for k, v in recorded.items() if k != 'made_from'})}")
        run.fail(input_path, f"{output_path} exists and {made}, not {describe_options(wanted)}; "
                             "--overwrite replaces it")
        return
    run.skip(input_path, output_path)
    for path, failure in draw_extras(output_path, extras, missing_only=True):
        if failure:
            run.fail(input_path, failure)
        else:
            run.wrote(path)


DEFAULT_SCHEDULER_PORT = 8786


def scheduler_address(text: str) -> str:
    """`text` as a full scheduler address: tcp:// when it names no
    protocol, dask's port 8786 when it names no port. ValueError (with
    the reason) when it is not an address."""
    from distributed.comm.addressing import parse_address, parse_host_port, unparse_host_port
    from distributed.comm.registry import get_backend

    scheme, location = parse_address(text, strict=False)
    get_backend(scheme)
    if scheme not in ("tcp", "tls", "ws", "wss"):
        return f"{scheme}://{location}"
    host, port = parse_host_port(location, DEFAULT_SCHEDULER_PORT)
    if not host or "/" in host:
        raise ValueError("no host")
    return f"{scheme}://{unparse_host_port(host, port)}"


def tls_problem(address: str) -> str | None:
    """For a tls:// (or wss://) address, what dask's TLS configuration
    lacks to reach it, or None."""
    if not address.startswith(("tls://", "wss://")):
        return None
    from distributed.security import Security

    security = Security()
    if getattr(security, "tls_ca_file", None) and getattr(security, "tls_client_cert", None):
        return None
    return ("a TLS scheduler needs dask's TLS configuration: distributed.comm.tls.ca-file and "
            "distributed.comm.tls.client.cert (and .key unless in the cert file), e.g. "
            "DASK_DISTRIBUTED__COMM__TLS__CA_FILE=ca.pem DASK_DISTRIBUTED__COMM__TLS__CLIENT__CERT=me.pem")


def read_scheduler_file(path: str) -> str:
    """The address a scheduler wrote into its --scheduler-file (JSON with
    "address"); ValueError with the reason otherwise."""
    import json

    try:
        with open(path, encoding="utf-8") as file:
            info = json.load(file)
        address = info["address"]
    except OSError as exc:
        raise ValueError(exc.strerror or reason(exc)) from None
    except (ValueError, KeyError, TypeError):
        raise ValueError("not a scheduler file (JSON with an \"address\", as `dask scheduler "
                         "--scheduler-file` writes)") from None
    if not isinstance(address, str):
        raise ValueError("not a scheduler file (its \"address\" is not text)")
    return address


@contextlib.contextmanager
def _sigint_ignored() -> Iterator[None]:
    """SIGINT ignored, for a process started meanwhile to inherit, and
    blocked in this thread: Linux keeps a signal blocked in the main thread
    pending even while it is ignored, so a Ctrl-C meanwhile reaches the
    handler once it is back and the mask restored."""
    if threading.current_thread() is not threading.main_thread() or \
            signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
        yield           # the command's process ignores it all along (`cli`)
        return
    mask = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        signal.pthread_sigmask(signal.SIG_SETMASK, mask)


# The workers of --workers hold no data between tasks (each task writes its
# product and returns a small Outcome): no memory limit (so no spilling or
# pausing checks against it) and no statistical profiler sampling their
# stacks every 10 ms. They are forked from one server process that has
# imported the products layer once: spawned, each worker imported it on its
# first task (about 1.3 s of CPU each, measured on 2 loaded cores; the
# command with --workers 2 and nothing to do took 3.4 s instead of 4.2-4.5 s).
LOCAL_WORKER_CONFIG = {"distributed.worker.multiprocessing-method": "forkserver",
                       "distributed.worker.profile.enabled": False}
WORKER_PRELOAD = ["distributed", "quorvane_wind.product", "quorvane_wind.netcdf", "quorvane_wind.batch"]


def start_fork_server() -> None:
    """Starts the server the workers of --workers are forked from (once per
    process; the command calls it as soon as it has its arguments, so that
    the server imports the products layer while the command indexes the
    ERA5 files), with SIGINT ignored: it keeps the disposition it started
    with for the workers it forks, so that a Ctrl-C on the terminal (it
    reaches the whole process group) is acted on by this process only (it
    cancels the tasks and stops the workers)."""
    import multiprocessing
    from multiprocessing import forkserver, resource_tracker

    # distributed sets its own list when it first needs the server, which
    # then runs already.
    multiprocessing.get_context("forkserver").set_forkserver_preload(WORKER_PRELOAD)
    # The tracker unblocks SIGINT in the thread that starts it: the mask is
    # put back (the command blocks it in every thread but its own, `cli`).
    mask = signal.pthread_sigmask(signal.SIG_BLOCK, set())
    resource_tracker.ensure_running()
    signal.pthread_sigmask(signal.SIG_SETMASK, mask)
    with _sigint_ignored():
        forkserver.ensure_running()


def _start_local_cluster(workers: int) -> Any:
    import dask
    from distributed import LocalCluster

    with dask.config.set(LOCAL_WORKER_CONFIG):
        start_fork_server()
        # Its own log lines (a worker slow to stop at shutdown is killed and
        # says so) would mix with the one-line messages of the inputs.
        return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                            host="127.0.0.1", dashboard_address=":0", silence_logs=logging.CRITICAL,
                            memory_limit=0)


# Inputs in flight on a cluster per worker thread, and at least: enough
# for every thread to find its next input queued when it finishes one,
# few enough that the client's futures, their arguments and as_completed's
# asyncio tasks stay a bounded set however many inputs the run has.
IN_FLIGHT_PER_THREAD = 4
MIN_IN_FLIGHT = 64


def _in_flight(client: "Client") -> int:
    threads = int(sum(client.nthreads().values()))
    return max(MIN_IN_FLIGHT, IN_FLIGHT_PER_THREAD * threads)


def _wait_for_scheduler_file(path: str) -> str:
    """The address in a scheduler file, waiting (dask's connect timeout)
    for a scheduler that starts meanwhile to write it; distributed's own
    wait has no end and no interrupt."""
    import time

    import dask
    from dask.utils import parse_timedelta

    timeout = parse_timedelta(dask.config.get("distributed.comm.timeouts.connect"), default="s")
    deadline = time.monotonic() + timeout
    while True:
        INTERRUPTS.check()
        try:
            return read_scheduler_file(path)
        except ValueError as exc:
            # Missing, or written but not flushed yet.
            if time.monotonic() > deadline:
                raise TimeoutError(f"{exc} after {timeout:g} s") from None
        time.sleep(POLL_SECONDS)


def _connect(settings: RunSettings, jobs: list[Job], run: Reporter) -> tuple[Any, "Client | None"]:
    """The local cluster and its client, or the client of an existing
    cluster; (None, None) once every input has failed with the reason it
    could not be reached."""
    from distributed import Client

    if settings.workers:
        cluster = _start_local_cluster(settings.workers)
        try:
            return cluster, Client(cluster)
        except BaseException:
            cluster.close()
            raise
    where = settings.scheduler or f"in {settings.scheduler_file}"
    try:
        # dask's connect timeout (30 s unless configured otherwise); a
        # scheduler file that is not there yet is waited for as long.
        address = settings.scheduler
        if settings.scheduler_file:
            address = scheduler_address(_wait_for_scheduler_file(settings.scheduler_file))
            problem = tls_problem(address)
            if problem:
                raise ValueError(f"{address}: {problem}")
        return None, Client(address)
    except (OSError, TimeoutError, TypeError, ValueError) as exc:
        # TypeError: a tls:// scheduler without a TLS configuration.
        for input_path, _ in jobs:
            run.fail(input_path, f"cannot reach the scheduler {where} ({reason(exc)})")
        return None, None


# How often the client looks at the interrupt flag while it waits (the
# flag's setter cannot wake a wait on the cluster).
POLL_SECONDS = 0.05


def _completed(completions: Any) -> list[Any]:
    """The futures completed so far, at least one; KeyboardInterrupt when
    an interrupt is asked for meanwhile."""
    import time

    while True:
        INTERRUPTS.check()
        ready: list[Any] = completions.next_batch(block=False)
        if ready:
            return ready
        time.sleep(POLL_SECONDS)


def _run_distributed(settings: RunSettings, jobs: list[Job], task_args: dict[str, Any],
                     run: Reporter) -> None:
    from distributed import as_completed

    cluster: Any = None
    client: "Client | None" = None
    in_flight: dict[Any, Job] = {}
    prefix = f"quorvane-wind-{uuid.uuid4().hex[:8]}"
    try:
        cluster, client = _connect(settings, jobs, run)
        if client is None:
            return
        INTERRUPTS.check()
        queue = iter(jobs)
        numbers = itertools.count()
        completions = as_completed()
        window = _in_flight(client)

        def submit(count: int) -> None:
            assert client is not None
            for _ in range(count):
                job = next(queue, None)
                if job is None:
                    return
                input_path, output_path = job
                # Workers may run elsewhere, in another current folder.
                future = client.submit(process_input, os.path.abspath(input_path),
                                       output_path=os.path.abspath(output_path), one_thread=True,
                                       key=f"{prefix}-{next(numbers)}-{os.path.basename(output_path)}",
                                       pure=False, **task_args)
                in_flight[future] = job
                completions.add(future)

        submit(window)
        done = 0
        with _progress(len(jobs)) as bar:
            while in_flight:
                for future in _completed(completions):
                    input_path, output_path = in_flight.pop(future)
                    try:
                        run.report(input_path, future.result())
                    except Exception as exc:   # a worker died, or the task could not be run
                        remove_leftovers(output_path)
                        run.fail(input_path, f"{type(exc).__name__}: {reason(exc)}",
                                 traceback.format_exc())
                    future.release()
                    bar.update()
                    done += 1
                    if done % MIN_IN_FLIGHT == 0:
                        # Workers come and go (an adaptive cluster): the window follows.
                        window = _in_flight(client)
                    INTERRUPTS.check()
                submit(window - len(in_flight))
    finally:
        # On an interruption the tasks still queued or running on a cluster
        # that outlives this run are cancelled.
        if client is not None:
            if in_flight:
                client.cancel(list(in_flight))
            client.close()
        if cluster is not None:
            cluster.close()

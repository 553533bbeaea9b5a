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
"""

import contextlib
import dataclasses
import logging
import os
import signal
import sys
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
    """The SIGINT flag of a run (see the module's text). While `waiting`,
    the main thread is only blocked on a cluster, and the signal raises at
    once."""

    def __init__(self) -> None:
        self.requested = False
        self.waiting = False

    def handler(self, signum: int, frame: FrameType | None) -> None:
        self.requested = True
        if self.waiting:
            raise KeyboardInterrupt

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
    `notes` one-line warnings (degraded processing, a failed extra output)
    and whether a requested extra output failed."""

    status: str
    text: str
    trace: str | None = None
    notes: tuple[str, ...] = ()
    extras_failed: bool = False


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


def process_input(input_path: str, era5_paths: list[str], output_path: str, resolution: float | str,
                  land_mask: bool, extras: ExtraOutputs, history: str, one_thread: bool = False,
                  polarisation: str = "auto", coast_distance: float = COAST_DISTANCE_KM,
                  attributes: dict[str, str] | None = None, verbose: bool = False) -> "Outcome":
    """Makes and writes the product of one input, then the `extras`.
    Returns an `Outcome`; never raises for a bad input, so that it can run
    as a task anywhere; an interruption (KeyboardInterrupt) propagates after
    the temporary files are gone. With `verbose`, its stage messages go to
    the stderr of the process it runs in (a worker's, on a cluster)."""
    import warnings

    import dask

    from .atomic import remove_partial_files
    from .errors import InputError, ProcessingWarning
    from .netcdf import write_product
    from .product import make_wind_product

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
    try:
        with (limits, dask.config.set(scheduler), callbacks, contextlib.closing(callbacks),
              stage_messages(verbose), warnings.catch_warnings(record=True) as caught):
            warnings.simplefilter("always", ProcessingWarning)
            remove_partial_files(output_path)
            # Chunks on one thread per core, each chunk's kernel on one
            # OpenMP thread: every core busy, none oversubscribed.
            ds = make_wind_product(input_path, era5_paths, resolution=resolution,
                                   land=land_mask, history=history, kernel_threads=1,
                                   polarisation=polarisation, coast_distance_km=coast_distance,
                                   attributes=attributes)
            write_product(ds, output_path)
    except InputError as exc:
        return Outcome("failed", one_line(exc), traceback.format_exc())
    except Exception as exc:
        # Anything else a damaged input makes a library raise still ends
        # as one line for this input, so that the other inputs go on.
        return Outcome("failed", f"{type(exc).__name__}: {reason(exc)}", traceback.format_exc())
    notes = tuple(f"warning: {one_line(w.message)}" for w in caught
                  if issubclass(w.category, ProcessingWarning))
    failures = tuple(failure for _, failure in draw_extras(output_path, extras) if failure)
    return Outcome("written", output_path, None, notes + failures, bool(failures))


def _progress(total: int) -> "tqdm[Any]":
    from tqdm import tqdm

    # A bar on terminals only: scripts reading stderr get the messages alone.
    return tqdm(total=total, unit="scene", disable=None, file=sys.stderr, leave=False)


@dataclasses.dataclass(frozen=True)
class RunSettings:
    """What a run makes of its inputs: the command's arguments, checked."""

    inputs: Sequence[str]
    era5: Sequence[str]
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


class Reporter(Protocol):
    """What the run tells the command of each input (`cli.Run`)."""

    def fail(self, input_path: str, text: str, trace: str | None = None) -> None: ...

    def skip(self, input_path: str, output_path: str) -> None: ...

    def report(self, input_path: str, outcome: Outcome) -> None: ...

    def wrote(self, path: str) -> None: ...


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

        task_args: dict[str, Any] = dict(era5_paths=[os.path.abspath(p) for p in settings.era5],
                         resolution=settings.resolution, land_mask=settings.land_mask,
                         extras=settings.extras, history=settings.history,
                         polarisation=settings.polarisation, coast_distance=settings.coast_distance,
                         attributes=dict(settings.attributes), verbose=settings.verbose)
        if settings.workers or settings.scheduler:
            _run_distributed(settings, jobs, task_args, run)
        else:
            with _progress(len(jobs)) as bar:
                for input_path, output_path in jobs:
                    INTERRUPTS.check()
                    run.report(input_path, process_input(input_path, output_path=output_path, **task_args))
                    bar.update()
        INTERRUPTS.check()
    except KeyboardInterrupt:
        INTERRUPTS.waiting = False
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
    from .netcdf import recorded_options

    remove_leftovers(output_path)
    recorded = recorded_options(output_path)
    if recorded != wanted:
        made = ("records no options (made by another program or an older version)" if recorded is None
                else f"was made with {describe_options(recorded)}")
        run.fail(input_path, f"{output_path} exists and {made}, not {describe_options(wanted)}; "
                             "--overwrite replaces it")
        return
    run.skip(input_path, output_path)
    for path, failure in draw_extras(output_path, extras, missing_only=True):
        if failure:
            run.fail(input_path, failure)
        else:
            run.wrote(path)


def _start_local_cluster(workers: int) -> Any:
    from distributed import LocalCluster

    # The worker processes inherit an ignored SIGINT: a Ctrl-C on the
    # terminal reaches the whole process group, and only this process should
    # act on it (it cancels the tasks and stops the workers).
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        # Its own log lines (a worker slow to stop at shutdown is killed and
        # says so) would mix with the one-line messages of the inputs.
        return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                            host="127.0.0.1", dashboard_address=":0", silence_logs=logging.CRITICAL)
    finally:
        signal.signal(signal.SIGINT, previous)


def _run_distributed(settings: RunSettings, jobs: list[Job], task_args: dict[str, Any],
                     run: Reporter) -> None:
    from distributed import Client, wait

    cluster: Any = None
    client: "Client | None" = None
    futures: dict[Any, Job] = {}
    try:
        if settings.workers:
            cluster = _start_local_cluster(settings.workers)
            client = Client(cluster)
        else:
            try:
                # dask's connect timeout (30 s unless configured otherwise)
                client = Client(settings.scheduler)
            except (OSError, TimeoutError) as exc:
                for input_path, _ in jobs:
                    run.fail(input_path, f"cannot reach the scheduler {settings.scheduler} ({reason(exc)})")
                return
        INTERRUPTS.check()
        for input_path, output_path in jobs:
            # Workers may run elsewhere, in another current folder.
            future = client.submit(process_input, os.path.abspath(input_path),
                                   output_path=os.path.abspath(output_path), one_thread=True,
                                   key=f"quorvane-wind-{uuid.uuid4().hex[:8]}-{os.path.basename(output_path)}",
                                   **task_args)
            futures[future] = (input_path, output_path)
        pending = set(futures)
        with _progress(len(jobs)) as bar:
            while pending:
                INTERRUPTS.waiting = True
                INTERRUPTS.check()
                done, pending = wait(pending, return_when="FIRST_COMPLETED")
                INTERRUPTS.waiting = False
                for future in done:
                    input_path, output_path = futures[future]
                    try:
                        run.report(input_path, future.result())
                    except Exception as exc:   # a worker died, or the task could not be run
                        remove_leftovers(output_path)
                        run.fail(input_path, f"{type(exc).__name__}: {reason(exc)}",
                                 traceback.format_exc())
                    bar.update()
    finally:
        INTERRUPTS.waiting = False
        # On an interruption the tasks still queued or running on a cluster
        # that outlives this run are cancelled.
        if client is not None:
            client.cancel([f for f in futures if not f.done()])
            client.close()
        if cluster is not None:
            cluster.close()

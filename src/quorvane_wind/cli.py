"""The `quorvane-wind` command: Sentinel-1 GRD products and ERA5 files in,
one CF wind product per input out.

    quorvane-wind INPUT [INPUT ...] --era5 FILE [--era5 FILE ...] --output-dir DIR
                  [--resolution METRES|native] [--no-land-mask] [--coast-distance KM]
                  [--polarisation auto|VV|HH] [--overwrite]
                  [--scheduler ADDRESS | --workers N] [--quicklook]
                  [--quicklook-range MIN,MAX] [--geotiff] [--verbose] [--version]

The rules users rely on live here: outputs are written under a temporary
name in the output folder and renamed when complete; an existing output is
skipped unless --overwrite; a failed input gets one line on stderr and the
others still run; exit status 0 when every input was written or skipped, 1
when any failed, 2 for usage errors (argparse), 130 when interrupted.

Interrupts: SIGINT only sets a flag, which the run checks between dask
tasks, between inputs and while it waits for a cluster. A KeyboardInterrupt
raised at an arbitrary point can land inside the NetCDF/HDF5 libraries,
where it is swallowed or leaves them in a state that crashes the process
at exit; at those checks it unwinds ordinary Python code, which removes the
temporary files on its way out.
"""

import argparse
import contextlib
import dataclasses
import importlib.util
import logging
import math
import os
import shlex
import signal
import sys
import traceback
import uuid
from collections.abc import Callable, Iterator, Sequence
from types import FrameType
from typing import TYPE_CHECKING, Any, NamedTuple, Protocol, TextIO

from . import __version__
from .errors import reason
# Light imports only: the command must install its SIGINT handler and check
# for the products extra before xarray and dask are loaded.
from .defaults import COAST_DISTANCE_KM, POLARISATIONS, RESOLUTION_M
from .options import check_resolution

if TYPE_CHECKING:
    from distributed import Client
    from tqdm import tqdm

Job = tuple[str, str]      # (input path, output path)

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130


def _resolution(text: str) -> float | str:
    if text == "native":
        return "native"
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected metres or 'native', got {text!r}") from None
    try:
        return check_resolution(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"the resolution must be a positive number of metres, "
                                         f"got {text!r}") from None


def _coast_distance(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected kilometres, got {text!r}") from None
    if not (value >= 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"the coast distance must be 0 or more kilometres, got {text!r}")
    return value


def _polarisation(text: str) -> str:
    value = text.lower() if text.lower() == "auto" else text.upper()
    if value not in POLARISATIONS:
        raise argparse.ArgumentTypeError(f"expected {', '.join(POLARISATIONS)}, got {text!r}")
    return value


def _attribute(text: str) -> tuple[str, str]:
    name, sep, value = text.partition("=")
    if not sep or not name.strip() or not name.strip().replace("_", "").isalnum():
        raise argparse.ArgumentTypeError(f"expected NAME=VALUE with a NetCDF attribute name, got {text!r}")
    return name.strip(), value


def _workers(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of worker processes, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"--workers must be at least 1, got {value}")
    return value


def _speed_range(text: str) -> tuple[float, float]:
    try:
        low, high = (float(part) for part in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected MIN,MAX in m/s, got {text!r}") from None
    if not (math.isfinite(low) and math.isfinite(high) and low < high):
        raise argparse.ArgumentTypeError(f"expected finite MIN < MAX, got {text!r}")
    return low, high


@dataclasses.dataclass(frozen=True)
class ExtraOutputs:
    """The outputs drawn from a written product besides it (`args.extras`);
    false when none is asked for."""

    quicklook: bool = False
    quicklook_range: tuple[float, float] = (0.0, 25.0)
    geotiff: bool = False

    def __bool__(self) -> bool:
        return self.quicklook or self.geotiff


class _ExtraOutput(argparse.Action):
    """Sets one field of `args.extras` (a colour range asks for the
    quicklook too)."""

    def __init__(self, option_strings: Sequence[str], dest: str, field: str, **kwargs: Any) -> None:
        self.field = field
        super().__init__(option_strings, "extras", default=ExtraOutputs(), **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        changes: dict[str, Any] = {"quicklook_range": values, "quicklook": True} if self.field == "quicklook_range" \
            else {self.field: True}
        setattr(namespace, "extras", dataclasses.replace(namespace.extras, **changes))


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quorvane-wind",
        usage="quorvane-wind INPUT [INPUT ...] --era5 FILE [--era5 FILE ...] --output-dir DIR\n"
              "                     [--resolution METRES|native] [--no-land-mask] [--coast-distance KM]\n"
              "                     [--polarisation auto|VV|HH] [--overwrite]\n"
              "                     [--scheduler ADDRESS | --workers N] [--quicklook]\n"
              "                     [--quicklook-range MIN,MAX] [--geotiff]\n"
              "                     [--attribute NAME=VALUE ...] [--debug] [--verbose] [--version]",
        description="Ocean wind speed products (CF NetCDF) from Sentinel-1 GRD products (.SAFE "
                    "folders or .zip, VV, or HH converted to VV) and ERA5 10 m wind (NetCDF, either CDS layout).")
    parser.add_argument("inputs", metavar="INPUT", nargs="+",
                        help="Sentinel-1 Level-1 GRD product: .SAFE folder or .zip")
    parser.add_argument("--era5", metavar="FILE", action="append", required=True,
                        help="ERA5 single-level NetCDF with u10 and v10 covering the scenes (repeatable)")
    parser.add_argument("--output-dir", metavar="DIR", required=True,
                        help="folder for DIR/<input name>_wind.nc (created if missing)")
    parser.add_argument("--resolution", metavar="METRES|native", type=_resolution, default=RESOLUTION_M,
                        help="average sigma0 over blocks of about this size (default 1000); "
                             "'native' keeps the product's pixels")
    parser.add_argument("--no-land-mask", dest="land_mask", action="store_false",
                        help="do not mask land (GLOBE 1 km land mask otherwise)")
    parser.add_argument("--coast-distance", metavar="KM", type=_coast_distance,
                        default=COAST_DISTANCE_KM,
                        help="flag sea pixels within this distance of the land mask as coastal "
                             f"(default {COAST_DISTANCE_KM:g}; 0: none)")
    parser.add_argument("--polarisation", metavar="auto|VV|HH", type=_polarisation, default="auto",
                        help="image to invert: VV, or HH converted to VV with a polarisation ratio; "
                             "auto (default): VV when the product has it, else HH")
    parser.add_argument("--overwrite", action="store_true",
                        help="replace existing outputs (they are skipped otherwise)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on an existing dask.distributed scheduler, e.g. tcp://host:8786")
    where.add_argument("--workers", metavar="N", type=_workers,
                       help="run on a local cluster of N worker processes")
    parser.add_argument("--quicklook", action=_ExtraOutput, field="quicklook", nargs=0,
                        help="also write DIR/<input name>_wind.png, a map of the wind speed")
    parser.add_argument("--quicklook-range", metavar="MIN,MAX", action=_ExtraOutput,
                        field="quicklook_range", type=_speed_range,
                        help="colour scale of the quicklook in m/s (default 0,25; implies --quicklook)")
    parser.add_argument("--geotiff", action=_ExtraOutput, field="geotiff", nargs=0,
                        help="also write DIR/<input name>_wind.tif, wind speed and mask as a "
                             "Cloud-Optimized GeoTIFF in the scene's UTM zone")
    parser.add_argument("--attribute", metavar="NAME=VALUE", action="append", type=_attribute,
                        default=[], dest="attributes",
                        help="a global attribute of the products (repeatable), e.g. "
                             "institution=..., creator_name=..., publisher_name=..., project=...")
    parser.add_argument("--debug", action="store_true",
                        help="print tracebacks of failures")
    parser.add_argument("--verbose", action="store_true",
                        help="print the stages of each input (metadata read, ERA5 grid chosen, chunks "
                             "planned, product written) on stderr")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    return parser


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


# Top-level modules of the `products` extra that the command needs.
PRODUCTS_MODULES = ("xarray", "dask", "distributed", "netCDF4", "rasterio", "xarray_sentinel",
                    "global_land_mask", "tqdm", "matplotlib", "threadpoolctl")


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
    from .product import CHUNK_TASK_PREFIX

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
    from .product import make_wind_product, write_product

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


class Run:
    """Counts and reports the outcome of each input."""

    def __init__(self, debug: bool) -> None:
        self.debug = debug
        self.written = self.skipped = self.failed = 0

    def fail(self, input_path: str, text: str, trace: str | None = None) -> None:
        self.failed += 1
        if self.debug and trace:
            sys.stderr.write(trace)
        print(f"quorvane-wind: {input_path}: {text}", file=sys.stderr, flush=True)

    def skip(self, input_path: str, output_path: str) -> None:
        self.skipped += 1
        print(f"skipped {input_path}: {output_path} exists (use --overwrite to replace it)", flush=True)

    def report(self, input_path: str, outcome: Outcome) -> None:
        if outcome.status != "written":
            self.fail(input_path, outcome.text, outcome.trace)
            return
        self.written += 1
        print(f"written {outcome.text}", flush=True)
        for note in outcome.notes:
            print(f"quorvane-wind: {input_path}: {note}", file=sys.stderr, flush=True)
        if outcome.extras_failed:
            # The product stands; the run still reports what it could not do.
            self.failed += 1


def _progress(total: int) -> "tqdm[Any]":
    from tqdm import tqdm

    # A bar on terminals only: scripts reading stderr get the messages alone.
    return tqdm(total=total, unit="scene", disable=None, file=sys.stderr, leave=False)


def _missing_products_modules() -> list[str]:
    missing: list[str] = []
    for name in PRODUCTS_MODULES:
        try:
            found = importlib.util.find_spec(name) is not None
        except (ImportError, ValueError):
            found = False
        if not found:
            missing.append(name)
    return missing


def _check_scheduler_address(address: str) -> str | None:
    """A one-line reason when `address` is not a scheduler address, or None."""
    from distributed.comm.addressing import parse_address, parse_host_port
    from distributed.comm.registry import get_backend

    try:
        scheme, location = parse_address(address)
        get_backend(scheme)
        if scheme in ("tcp", "tls", "ws", "wss"):
            host, _port = parse_host_port(location, 8786)
            if not host or "/" in host:
                raise ValueError("no host")
    except (ValueError, TypeError) as exc:
        return f"not a scheduler address ({reason(exc)}); expected for example tcp://host:8786"
    return None


def _describe_options(options: dict[str, str]) -> str:
    return ", ".join(f"{k.replace('_', ' ')} {v}" for k, v in options.items())


def main(argv: Sequence[str] | None = None) -> int:
    INTERRUPTS.requested = INTERRUPTS.waiting = False
    previous_handler = signal.signal(signal.SIGINT, INTERRUPTS.handler)
    try:
        return _main(argv)
    except KeyboardInterrupt:
        print("quorvane-wind: interrupted; complete outputs are kept, rerun to finish the rest",
              file=sys.stderr, flush=True)
        return EXIT_INTERRUPTED
    finally:
        signal.signal(signal.SIGINT, previous_handler)


def _main(argv: Sequence[str] | None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    with stage_messages(args.verbose):
        return _run(parser, args, argv)


def _run(parser: argparse.ArgumentParser, args: argparse.Namespace, argv: Sequence[str] | None) -> int:
    run = Run(args.debug)
    history = "quorvane-wind " + " ".join(shlex.quote(a) for a in (sys.argv[1:] if argv is None else argv))

    missing = _missing_products_modules()
    if missing:
        parser.exit(EXIT_USAGE, f"quorvane-wind: the products extra is not installed (missing: "
                                f"{', '.join(missing)}); install it with: pip install 'quorvane[products]'\n")
    for path in args.era5:
        if not os.path.isfile(path):
            parser.exit(EXIT_USAGE, f"quorvane-wind: --era5 {path}: no such file\n")
    if args.scheduler:
        reason = _check_scheduler_address(args.scheduler)
        if reason:
            parser.exit(EXIT_USAGE, f"quorvane-wind: --scheduler {args.scheduler}: {reason}\n")
    try:
        os.makedirs(args.output_dir, exist_ok=True)
    except OSError as exc:
        parser.exit(EXIT_USAGE, f"quorvane-wind: --output-dir {args.output_dir}: {exc.strerror}\n")
    if not os.access(args.output_dir, os.W_OK):
        parser.exit(EXIT_USAGE, f"quorvane-wind: --output-dir {args.output_dir}: not writable\n")

    from .product import output_name, product_options

    wanted = product_options(args.resolution, args.land_mask, args.polarisation, args.coast_distance)
    jobs: list[Job] = []
    claimed: dict[str, str] = {}
    try:
        for input_path in args.inputs:
            INTERRUPTS.check()
            output_path = os.path.join(args.output_dir, output_name(input_path))
            if output_path in claimed:
                run.fail(input_path, f"same output name as {claimed[output_path]}")
                continue
            claimed[output_path] = input_path
            if os.path.exists(output_path) and not args.overwrite:
                _reuse_existing(run, input_path, output_path, wanted, args.extras)
                continue
            jobs.append((input_path, output_path))

        task_args = dict(era5_paths=[os.path.abspath(p) for p in args.era5], resolution=args.resolution,
                         land_mask=args.land_mask, extras=args.extras, history=history,
                         polarisation=args.polarisation, coast_distance=args.coast_distance,
                         attributes=dict(args.attributes), verbose=args.verbose)
        if args.workers or args.scheduler:
            _run_distributed(args, jobs, task_args, run)
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

    print(f"{run.written} written, {run.skipped} skipped, {run.failed} failed", flush=True)
    return EXIT_FAILED if run.failed else EXIT_OK


def _reuse_existing(run: Run, input_path: str, output_path: str, wanted: dict[str, str],
                    extras: ExtraOutputs) -> None:
    """An existing output: skipped when its recorded options are the ones
    asked for (its missing extra outputs drawn from it), failed otherwise. Leftover
    temporary files of a writer that is gone are removed either way."""
    from .product import recorded_options

    remove_leftovers(output_path)
    recorded = recorded_options(output_path)
    if recorded != wanted:
        made = ("records no options (made by another program or an older version)" if recorded is None
                else f"was made with {_describe_options(recorded)}")
        run.fail(input_path, f"{output_path} exists and {made}, not {_describe_options(wanted)}; "
                             "--overwrite replaces it")
        return
    run.skip(input_path, output_path)
    for path, failure in draw_extras(output_path, extras, missing_only=True):
        if failure:
            run.fail(input_path, failure)
        else:
            print(f"written {path}", flush=True)


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


def _run_distributed(args: argparse.Namespace, jobs: list[Job], task_args: dict[str, Any], run: Run) -> None:
    from distributed import Client, wait


    cluster: Any = None
    client: "Client | None" = None
    futures: dict[Any, Job] = {}
    try:
        if args.workers:
            cluster = _start_local_cluster(args.workers)
            client = Client(cluster)
        else:
            try:
                # dask's connect timeout (30 s unless configured otherwise)
                client = Client(args.scheduler)
            except (OSError, TimeoutError) as exc:
                for input_path, _ in jobs:
                    run.fail(input_path, f"cannot reach the scheduler {args.scheduler} ({reason(exc)})")
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


if __name__ == "__main__":
    sys.exit(main())

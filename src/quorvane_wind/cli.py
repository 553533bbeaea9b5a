"""The `quorvane-wind` command: Sentinel-1 GRD products and ERA5 files in,
one CF wind product per input out.

    quorvane-wind INPUT [INPUT ...] --era5 FILE [--era5 FILE ...] --output-dir DIR
                  [--format netcdf|zarr] [--resolution METRES|native] [--no-land-mask]
                  [--coast-distance KM] [--polarisation auto|VV|HH] [--overwrite]
                  [--scheduler ADDRESS | --scheduler-file FILE | --workers N] [--tmpdir DIR]
                  [--quicklook] [--quicklook-range MIN,MAX] [--geotiff] [--verbose] [--version]

The rules users rely on live here: outputs are written under a temporary
name in the output folder and renamed when complete (uploaded when
complete to a URL, `storage`); an existing output is skipped unless
--overwrite; a failed input gets one line on stderr and the
others still run; exit status 0 when every input was written or skipped, 1
when any failed, 2 for usage errors (argparse), 130 when interrupted.

This module is the parser, the messages and the exit codes; running the
inputs (serially, on worker processes or on a cluster, with interrupts and
progress) is `runs`.

Run as the command, the process takes SIGINT from the moment this module
is loaded (before the imports of the run) to its exit, in one thread of
its own: every other thread, the ones libraries start included, has it
blocked (they inherit the mask of the main thread), and its disposition is
"ignore", which the fork server of --workers, and so its workers, inherit.
The thread sets the run's flag; a Ctrl-C at any point of the run, or after
its summary line, ends it with one line and status 130. A handler instead
of the thread would lose a Ctrl-C that the kernel hands to a library's
thread while the signal is ignored for a process start. Only the
interpreter's own start-up, its site packages and the package's
`__init__` come before (70 to 90 ms on 2 loaded cores, against 0.13 s and
more up to the handler the command installed in `main`).
"""

import signal
import sys
import threading

# The Ctrl-Cs the command's process received (see the module's text).
_INTERRUPTS_RECEIVED: list[int] = []


def _running_as_the_command() -> bool:
    """Whether this process is `quorvane-wind` or `python -m quorvane_wind`
    (and not a program that imports the module, whose SIGINT is its own)."""
    main = sys.modules.get("__main__")
    spec = getattr(main, "__spec__", None)
    if getattr(spec, "name", None) == "quorvane_wind.__main__":
        return True
    import os.path

    return bool(sys.argv) and os.path.basename(sys.argv[0]) == "quorvane-wind"


def _take_interrupts() -> None:
    while True:
        signal.sigwait({signal.SIGINT})
        _INTERRUPTS_RECEIVED.append(signal.SIGINT)
        batch = sys.modules.get("quorvane_wind.batch")
        if batch is not None:
            batch.INTERRUPTS.requested = True


_TAKING_INTERRUPTS = False
if _running_as_the_command() and threading.current_thread() is threading.main_thread():
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    threading.Thread(target=_take_interrupts, name="quorvane-wind SIGINT", daemon=True).start()
    _TAKING_INTERRUPTS = True

import argparse
import contextlib
import dataclasses
import importlib.util
import math
import os
import shlex
from collections.abc import Callable, Sequence
from typing import Any, TypeVar

# Light imports only: the command must install its SIGINT handler and check
# for the products extra before xarray and dask are loaded.
from ._version import __version__
from .batch import INTERRUPTS, ExtraOutputs, Outcome, stage_messages
from .runs import RunSettings, index_era5_files, read_scheduler_file, run_inputs, scheduler_address, tls_problem
from .workers import start_fork_server
from .defaults import COAST_DISTANCE_KM, POLARISATIONS, RESOLUTION_M
from .errors import reason
from .options import check_coast_distance, check_polarisation, check_resolution, check_workers

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130

T = TypeVar("T")


def _argument_type(check: Callable[[Any], T], convert: Callable[[str], Any], expected: str,
                   refused: str) -> Callable[[str], T]:
    """A parser type function: `convert` the text (else "expected ..."),
    then the API's own check (else the message `refused`, formatted with
    the text)."""
    def parse(text: str) -> T:
        try:
            value = convert(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected {expected}, got {text!r}") from None
        try:
            return check(value)
        except (TypeError, ValueError):
            raise argparse.ArgumentTypeError(refused.format(text=text)) from None
    return parse


_resolution = _argument_type(check_resolution, lambda t: t if t == "native" else float(t),
                             "metres or 'native'",
                             "the resolution must be a positive number of metres, got {text!r}")
_coast_distance = _argument_type(check_coast_distance, float, "kilometres",
                                 "the coast distance must be 0 or more kilometres, got {text!r}")
_polarisation = _argument_type(check_polarisation, str, ", ".join(POLARISATIONS),
                               f"expected {', '.join(POLARISATIONS)}, got {{text!r}}")
_workers = _argument_type(check_workers, int, "a number of worker processes",
                          "--workers must be at least 1, got {text}")


def _attribute(text: str) -> tuple[str, str]:
    name, sep, value = text.partition("=")
    if not sep or not name.strip() or not name.strip().replace("_", "").isalnum():
        raise argparse.ArgumentTypeError(f"expected NAME=VALUE with a NetCDF attribute name, got {text!r}")
    return name.strip(), value


def _speed_range(text: str) -> tuple[float, float]:
    try:
        low, high = (float(part) for part in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected MIN,MAX in m/s, got {text!r}") from None
    if not (math.isfinite(low) and math.isfinite(high) and low < high):
        raise argparse.ArgumentTypeError(f"expected finite MIN < MAX, got {text!r}")
    return low, high


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
              "                     [--format netcdf|zarr] [--resolution METRES|native] [--no-land-mask]\n"
              "                     [--coast-distance KM] [--polarisation auto|VV|HH] [--overwrite]\n"
              "                     [--scheduler ADDRESS | --scheduler-file FILE | --workers N]\n"
              "                     [--tmpdir DIR] [--quicklook] [--quicklook-range MIN,MAX] [--geotiff]\n"
              "                     [--attribute NAME=VALUE ...] [--debug] [--verbose] [--version]",
        description="Ocean wind speed products (CF NetCDF or Zarr) from Sentinel-1 GRD products (.SAFE "
                    "folders or .zip, VV, or HH converted to VV) and ERA5 10 m wind (NetCDF, either CDS "
                    "layout). Inputs, ERA5 files and the output folder may be URLs (s3://bucket/key, https://...; "
                    "AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY and AWS_ENDPOINT_URL_S3 for S3).")
    parser.add_argument("inputs", metavar="INPUT", nargs="+",
                        help="Sentinel-1 Level-1 GRD product: .SAFE folder or .zip, a path or a URL "
                             "(s3://bucket/.../NAME.SAFE/, s3://.../NAME.zip, https://.../NAME.zip)")
    parser.add_argument("--era5", metavar="FILE", action="append", required=True,
                        help="ERA5 single-level NetCDF with u10 and v10 covering the scenes, a path or a "
                             "URL fetched once for the run (repeatable)")
    parser.add_argument("--output-dir", metavar="DIR", required=True,
                        help="folder for DIR/<input name>_wind.nc (created if missing), or a URL prefix "
                             "(s3://bucket/prefix) the outputs are uploaded to when complete")
    parser.add_argument("--format", dest="output_format", choices=("netcdf", "zarr"), default="netcdf",
                        help="netcdf (default): DIR/<input name>_wind.nc; zarr: a Zarr store "
                             "DIR/<input name>_wind.zarr with consolidated metadata")
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
                       help="run on an existing dask.distributed scheduler, e.g. tcp://host:8786 "
                            "(port 8786 when none is given; tls:// with dask's TLS configuration)")
    where.add_argument("--scheduler-file", metavar="FILE",
                       help="run on the scheduler whose address is in FILE, as written by "
                            "`dask scheduler --scheduler-file FILE` (dask-jobqueue, SLURM scripts)")
    where.add_argument("--workers", metavar="N", type=_workers,
                       help="run the inputs on N worker processes of this machine, one input each "
                            "at a time (one input, or N=1: made here, on every core)")
    parser.add_argument("--tmpdir", metavar="DIR",
                        help="folder of the temporary files (a zipped product's inflated image) "
                             "where the inputs run, workers included (default: their TMPDIR)")
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


# Top-level modules of the `products` extra that the command needs.
PRODUCTS_MODULES = ("xarray", "dask", "distributed", "netCDF4", "rasterio", "xarray_sentinel",
                    "global_land_mask", "tqdm", "matplotlib", "threadpoolctl", "fsspec", "s3fs", "zarr")


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

    def wrote(self, path: str) -> None:
        print(f"written {path}", flush=True)

    def report(self, input_path: str, outcome: Outcome) -> None:
        for stage in outcome.stages:
            print(f"quorvane-wind: {stage}", file=sys.stderr, flush=True)
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


def _scheduler(option: str, address: str) -> tuple[str | None, str | None]:
    """The full address of a scheduler (`runs.scheduler_address`) and
    None, or None and the one-line reason it cannot be used."""
    try:
        full = scheduler_address(address)
    except (ValueError, TypeError) as exc:
        return None, (f"{option}: not a scheduler address ({reason(exc)}); expected for example "
                      "tcp://host:8786")
    problem = tls_problem(full)
    return (None, f"{option}: {problem}") if problem else (full, None)


def main(argv: Sequence[str] | None = None) -> int:
    """The command: its exit status. In the command's own process SIGINT
    is taken by a thread of its own (see the module's text); called from a
    program, a handler sets the flag while the run lasts."""
    own_process = _TAKING_INTERRUPTS and threading.current_thread() is threading.main_thread()
    INTERRUPTS.requested = own_process and bool(_INTERRUPTS_RECEIVED)
    previous_handler = None if own_process else signal.signal(signal.SIGINT, INTERRUPTS.handler)
    try:
        INTERRUPTS.check()
        status = _main(argv)
        # Also a Ctrl-C after the summary line.
        INTERRUPTS.check()
        return status
    except KeyboardInterrupt:
        print("quorvane-wind: interrupted; complete outputs are kept, rerun to finish the rest",
              file=sys.stderr, flush=True)
        return EXIT_INTERRUPTED
    finally:
        if previous_handler is not None:
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
    from .storage import era5_cache, is_url, local_path

    if args.output_format == "zarr" and args.extras:
        parser.exit(EXIT_USAGE, "quorvane-wind: --quicklook and --geotiff are drawn from NetCDF products "
                                "only, not with --format zarr\n")
    for path in args.era5:
        if not is_url(path) and not os.path.isfile(local_path(path)):
            parser.exit(EXIT_USAGE, f"quorvane-wind: --era5 {path}: no such file\n")
    if args.workers and args.workers > 1 and len(args.inputs) > 1:
        start_fork_server()
    scheduler = None
    if args.scheduler:
        scheduler, problem = _scheduler(f"--scheduler {args.scheduler}", args.scheduler)
        if problem:
            parser.exit(EXIT_USAGE, f"quorvane-wind: {problem}\n")
    if args.scheduler_file and os.path.exists(args.scheduler_file):
        # A file not there yet is waited for (a scheduler starting in the same job).
        try:
            address = read_scheduler_file(args.scheduler_file)
        except ValueError as exc:
            parser.exit(EXIT_USAGE, f"quorvane-wind: --scheduler-file {args.scheduler_file}: {exc}\n")
        _, problem = _scheduler(f"--scheduler-file {args.scheduler_file}: address {address}", address)
        if problem:
            parser.exit(EXIT_USAGE, f"quorvane-wind: {problem}\n")
    if args.tmpdir is not None and not (args.scheduler or args.scheduler_file):
        # Checked where the inputs run; a cluster's workers may see other folders.
        if not os.path.isdir(args.tmpdir):
            parser.exit(EXIT_USAGE, f"quorvane-wind: --tmpdir {args.tmpdir}: no such folder\n")
        if not os.access(args.tmpdir, os.W_OK | os.X_OK):
            parser.exit(EXIT_USAGE, f"quorvane-wind: --tmpdir {args.tmpdir}: not writable\n")
    if not is_url(args.output_dir):
        # A URL prefix needs no folder; what is wrong with it (a missing
        # bucket, no credentials) is told for each input.
        args.output_dir = local_path(args.output_dir)
        try:
            os.makedirs(args.output_dir, exist_ok=True)
        except OSError as exc:
            parser.exit(EXIT_USAGE, f"quorvane-wind: --output-dir {args.output_dir}: {exc.strerror}\n")
        if not os.access(args.output_dir, os.W_OK):
            parser.exit(EXIT_USAGE, f"quorvane-wind: --output-dir {args.output_dir}: not writable\n")

    # Indexed once for the run, here: a bad file stops it before any input.
    from .errors import InputError

    tmpdir = None if args.tmpdir is None else os.path.abspath(args.tmpdir)
    with contextlib.ExitStack() as cache:
        # ERA5 URLs fetched once into a cache folder of the run (in --tmpdir
        # if given), removed when the run ends.
        try:
            era5_paths = cache.enter_context(era5_cache(args.era5, tmpdir))
            era5 = index_era5_files(era5_paths)
        except InputError as exc:
            parser.exit(EXIT_USAGE, f"quorvane-wind: --era5: {' '.join(str(exc).split())}\n")
        return _run_settings(args, run, history, era5, tmpdir, scheduler)


def _run_settings(args: argparse.Namespace, run: Run, history: str, era5: Any, tmpdir: str | None,
                  scheduler: str | None) -> int:
    settings = RunSettings(
        inputs=args.inputs, era5=era5, output_dir=args.output_dir, resolution=args.resolution,
        land_mask=args.land_mask, coast_distance=args.coast_distance, polarisation=args.polarisation,
        overwrite=args.overwrite, extras=args.extras, attributes=tuple(args.attributes), history=history,
        verbose=args.verbose, workers=args.workers, scheduler=scheduler,
        scheduler_file=args.scheduler_file, tmpdir=tmpdir, output_format=args.output_format)
    run_inputs(settings, run)
    print(f"{run.written} written, {run.skipped} skipped, {run.failed} failed", flush=True)
    return EXIT_FAILED if run.failed else EXIT_OK


if __name__ == "__main__":
    sys.exit(main())

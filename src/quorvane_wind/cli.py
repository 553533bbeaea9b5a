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

This module is the parser, the messages and the exit codes; running the
inputs (serially or on a cluster, with interrupts and progress) is `batch`.
"""

import argparse
import dataclasses
import importlib.util
import math
import os
import shlex
import signal
import sys
from collections.abc import Callable, Sequence
from typing import Any, TypeVar

# Light imports only: the command must install its SIGINT handler and check
# for the products extra before xarray and dask are loaded.
from ._version import __version__
from .batch import INTERRUPTS, ExtraOutputs, Outcome, RunSettings, run_inputs, stage_messages
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


# Top-level modules of the `products` extra that the command needs.
PRODUCTS_MODULES = ("xarray", "dask", "distributed", "netCDF4", "rasterio", "xarray_sentinel",
                    "global_land_mask", "tqdm", "matplotlib", "threadpoolctl")


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

    settings = RunSettings(
        inputs=args.inputs, era5=args.era5, output_dir=args.output_dir, resolution=args.resolution,
        land_mask=args.land_mask, coast_distance=args.coast_distance, polarisation=args.polarisation,
        overwrite=args.overwrite, extras=args.extras, attributes=tuple(args.attributes), history=history,
        verbose=args.verbose, workers=args.workers, scheduler=args.scheduler)
    run_inputs(settings, run)
    print(f"{run.written} written, {run.skipped} skipped, {run.failed} failed", flush=True)
    return EXIT_FAILED if run.failed else EXIT_OK


if __name__ == "__main__":
    sys.exit(main())

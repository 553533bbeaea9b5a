"""The `quorvane-wind` command: Sentinel-1 GRD products and ERA5 files in,
one CF wind product per input out.

    quorvane-wind INPUT [INPUT ...] --era5 FILE [--era5 FILE ...] --output-dir DIR
                  [--resolution METRES|native] [--no-land-mask] [--overwrite]
                  [--scheduler ADDRESS | --workers N] [--quicklook]

The rules users rely on live here: outputs are written under a temporary
name in the output folder and renamed when complete; an existing output is
skipped unless --overwrite; a failed input gets one line on stderr and the
others still run; exit status 0 when every input was written or skipped, 1
when any failed, 2 for usage errors (argparse), 130 when interrupted.
"""

import argparse
import os
import shlex
import sys
import traceback
import uuid

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130


def _resolution(text):
    if text == "native":
        return "native"
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected metres or 'native', got {text!r}") from None
    if not value > 0 or value != value or value == float("inf"):
        raise argparse.ArgumentTypeError(f"the resolution must be a positive number of metres, got {text!r}")
    return value


def _workers(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of worker processes, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"--workers must be at least 1, got {value}")
    return value


def build_parser():
    parser = argparse.ArgumentParser(
        prog="quorvane-wind",
        usage="quorvane-wind INPUT [INPUT ...] --era5 FILE [--era5 FILE ...] --output-dir DIR\n"
              "                     [--resolution METRES|native] [--no-land-mask] [--overwrite]\n"
              "                     [--scheduler ADDRESS | --workers N] [--quicklook] [--debug]",
        description="Ocean wind speed products (CF NetCDF) from Sentinel-1 GRD products (.SAFE "
                    "folders or .zip, VV polarisation) and ERA5 10 m wind (NetCDF, either CDS layout).")
    parser.add_argument("inputs", metavar="INPUT", nargs="+",
                        help="Sentinel-1 Level-1 GRD product: .SAFE folder or .zip")
    parser.add_argument("--era5", metavar="FILE", action="append", required=True,
                        help="ERA5 single-level NetCDF with u10 and v10 covering the scenes (repeatable)")
    parser.add_argument("--output-dir", metavar="DIR", required=True,
                        help="folder for DIR/<input name>_wind.nc (created if missing)")
    parser.add_argument("--resolution", metavar="METRES|native", type=_resolution, default=1000.0,
                        help="average sigma0 over blocks of about this size (default 1000); "
                             "'native' keeps the product's pixels")
    parser.add_argument("--no-land-mask", dest="land_mask", action="store_false",
                        help="do not mask land (GLOBE 1 km land mask otherwise)")
    parser.add_argument("--overwrite", action="store_true",
                        help="replace existing outputs (they are skipped otherwise)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on an existing dask.distributed scheduler, e.g. tcp://host:8786")
    where.add_argument("--workers", metavar="N", type=_workers,
                       help="run on a local cluster of N worker processes")
    parser.add_argument("--quicklook", action="store_true",
                        help="also write DIR/<input name>_wind.png")
    parser.add_argument("--debug", action="store_true",
                        help="print tracebacks of failures")
    return parser


def quicklook_path(output_path):
    return os.path.splitext(output_path)[0] + ".png"


def _one_line(text):
    return " ".join(str(text).split())


def process_input(input_path, era5_paths, output_path, resolution, land_mask, quicklook,
                  history, one_thread=False):
    """Makes and writes the product of one input. Returns (status, text,
    traceback): ("written", output path, None) or ("failed", reason,
    traceback text). Never raises for a bad input, so that it can run as a
    task anywhere; an interruption (KeyboardInterrupt) propagates after the
    temporary files are gone."""
    import contextlib

    import dask

    from .errors import InputError
    from .product import make_wind_product, remove_partial_files, write_product

    limits = contextlib.nullcontext()
    if one_thread:
        # One OpenMP thread per task: the parallelism comes from the workers.
        import Quorvane  # noqa: F401  (loads the OpenMP runtime for threadpoolctl)
        from threadpoolctl import threadpool_limits
        limits = threadpool_limits(limits=1, user_api="openmp")
    try:
        with limits, dask.config.set(scheduler="synchronous"):
            remove_partial_files(output_path)
            ds = make_wind_product(input_path, era5_paths, resolution=resolution,
                                   land=land_mask, history=history)
            write_product(ds, output_path, quicklook_path(output_path) if quicklook else None)
        return ("written", output_path, None)
    except InputError as exc:
        return ("failed", _one_line(exc), traceback.format_exc())
    except Exception as exc:
        # Anything else a damaged input makes a library raise still ends
        # as one line for this input, so that the other inputs go on.
        return ("failed", _one_line(f"{type(exc).__name__}: {exc}"), traceback.format_exc())


class Run:
    """Counts and reports the outcome of each input."""

    def __init__(self, debug):
        self.debug = debug
        self.written = self.skipped = self.failed = 0

    def report(self, input_path, status, text, trace=None):
        if status == "written":
            self.written += 1
            print(f"written {text}", flush=True)
        elif status == "skipped":
            self.skipped += 1
            print(f"skipped {input_path}: {text} exists (use --overwrite to replace it)", flush=True)
        else:
            self.failed += 1
            if self.debug and trace:
                sys.stderr.write(trace)
            print(f"quorvane-wind: {input_path}: {text}", file=sys.stderr, flush=True)


def _progress(total):
    from tqdm import tqdm

    # A bar on terminals only: scripts reading stderr get the messages alone.
    return tqdm(total=total, unit="scene", disable=None, file=sys.stderr, leave=False)


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    run = Run(args.debug)
    history = "quorvane-wind " + " ".join(shlex.quote(a) for a in (sys.argv[1:] if argv is None else argv))

    try:
        os.makedirs(args.output_dir, exist_ok=True)
    except OSError as exc:
        parser.exit(EXIT_USAGE, f"quorvane-wind: --output-dir {args.output_dir}: {exc.strerror}\n")
    if not os.access(args.output_dir, os.W_OK):
        parser.exit(EXIT_USAGE, f"quorvane-wind: --output-dir {args.output_dir}: not writable\n")

    from .product import output_name, remove_partial_files

    jobs, claimed = [], {}
    for input_path in args.inputs:
        output_path = os.path.join(args.output_dir, output_name(input_path))
        if output_path in claimed:
            run.report(input_path, "failed", f"same output name as {claimed[output_path]}")
            continue
        claimed[output_path] = input_path
        if os.path.exists(output_path) and not args.overwrite:
            run.report(input_path, "skipped", output_path)
            continue
        jobs.append((input_path, output_path))

    task_args = dict(era5_paths=[os.path.abspath(p) for p in args.era5], resolution=args.resolution,
                     land_mask=args.land_mask, quicklook=args.quicklook, history=history)
    try:
        if args.workers or args.scheduler:
            _run_distributed(args, jobs, task_args, run)
        else:
            with _progress(len(jobs)) as bar:
                for input_path, output_path in jobs:
                    run.report(input_path, *process_input(input_path, output_path=output_path, **task_args))
                    bar.update()
    except KeyboardInterrupt:
        for _, output_path in jobs:
            remove_partial_files(output_path)
            remove_partial_files(quicklook_path(output_path))
        print("quorvane-wind: interrupted; complete outputs are kept, rerun to finish the rest",
              file=sys.stderr, flush=True)
        return EXIT_INTERRUPTED

    print(f"{run.written} written, {run.skipped} skipped, {run.failed} failed", flush=True)
    return EXIT_FAILED if run.failed else EXIT_OK


def _run_distributed(args, jobs, task_args, run):
    from distributed import Client, LocalCluster, as_completed

    from .product import remove_partial_files

    cluster = None
    if args.workers:
        import logging

        # Its own log lines (a worker slow to stop at shutdown is killed and
        # says so) would mix with the one-line messages of the inputs.
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               host="127.0.0.1", dashboard_address=":0",
                               silence_logs=logging.CRITICAL)
        client = Client(cluster)
    else:
        try:
            client = Client(args.scheduler, timeout="30s")
        except (OSError, TimeoutError) as exc:
            print(f"quorvane-wind: cannot reach the scheduler {args.scheduler}: {exc}",
                  file=sys.stderr, flush=True)
            run.failed += len(jobs)
            return
    futures = {}
    try:
        for input_path, output_path in jobs:
            future = client.submit(process_input, input_path, output_path=output_path, one_thread=True,
                                   key=f"quorvane-wind-{uuid.uuid4().hex[:8]}-{os.path.basename(output_path)}",
                                   **task_args)
            futures[future] = (input_path, output_path)
        with _progress(len(jobs)) as bar:
            for future in as_completed(futures):
                input_path, output_path = futures[future]
                try:
                    run.report(input_path, *future.result())
                except Exception as exc:   # a worker died, or the task could not be run
                    remove_partial_files(output_path)
                    remove_partial_files(quicklook_path(output_path))
                    run.report(input_path, "failed", _one_line(f"{type(exc).__name__}: {exc}"),
                               traceback.format_exc())
                bar.update()
    finally:
        # On an interruption the tasks still queued or running on a cluster
        # that outlives this run are cancelled.
        client.cancel([f for f in futures if not f.done()])
        client.close()
        if cluster is not None:
            cluster.close()


if __name__ == "__main__":
    sys.exit(main())

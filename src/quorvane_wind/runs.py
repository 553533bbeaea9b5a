"""Running the inputs of a command: those whose outputs are there
already reused or refused, the others made one after another, on local
worker processes (`workers`) or on a dask.distributed cluster (a
scheduler's address or a scheduler file), each by `batch.process_input`.

On a cluster the client keeps a bounded window of inputs in flight (a few
per worker thread) and feeds it from one `as_completed`: its memory and
its work per input do not grow with the number of inputs (waiting on every
pending future once per completion left one asyncio task per pending
future behind: 981 after the first wait on 1,000 inputs, 49,414 at the
most, bench/ARCHIVES.md). The ERA5 files are indexed once, in the client;
every task gets the small index (about 14 kB).
"""

import contextlib
import dataclasses
import itertools
import os
import sys
import traceback
import uuid
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from .batch import (INTERRUPTS, POLL_SECONDS, ExtraOutputs, Job, Reporter, process_input, remove_leftovers,
                    reuse_extras)
from .defaults import COAST_DISTANCE_KM
from .errors import reason

if TYPE_CHECKING:
    from distributed import Client
    from tqdm import tqdm

    from .era5 import Era5Files


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
    output_format: str = "netcdf"

    @property
    def distributed(self) -> bool:
        return bool(self.scheduler or self.scheduler_file)


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
    from .errors import InputError
    from .netcdf import output_name, product_options
    from .storage import era5_cache, exists, join

    wanted = product_options(settings.resolution, settings.land_mask, settings.polarisation,
                             settings.coast_distance)
    jobs: list[Job] = []
    claimed: dict[str, str] = {}
    try:
        for input_path in settings.inputs:
            INTERRUPTS.check()
            output_path = join(settings.output_dir, output_name(input_path, settings.output_format))
            if output_path in claimed:
                run.fail(input_path, f"same output name as {claimed[output_path]}")
                continue
            claimed[output_path] = input_path
            if not settings.overwrite:
                try:
                    there = exists(output_path)
                except InputError as exc:
                    run.fail(input_path, " ".join(str(exc).split()))
                    continue
                if there:
                    _reuse_existing(run, input_path, output_path, wanted, settings.extras, settings.tmpdir)
                    continue
            jobs.append((input_path, output_path))
        if not jobs:
            return
        era5 = settings.era5
        with contextlib.ExitStack() as cache:
            if isinstance(era5, (str, list, tuple)):
                # ERA5 URLs fetched once for the run, removed at its end.
                paths = cache.enter_context(era5_cache([era5] if isinstance(era5, str) else list(era5),
                                                       settings.tmpdir))
                era5 = index_era5_files(paths)
            task_args: dict[str, Any] = dict(
                era5=era5, resolution=settings.resolution, land_mask=settings.land_mask,
                extras=settings.extras, history=settings.history, polarisation=settings.polarisation,
                coast_distance=settings.coast_distance, attributes=dict(settings.attributes),
                verbose=settings.verbose, tmpdir=settings.tmpdir, output_format=settings.output_format)
            if settings.distributed:
                _run_distributed(settings, jobs, task_args, run)
            elif settings.workers and settings.workers > 1 and len(jobs) > 1:
                from .workers import run_on_workers

                with _progress(len(jobs)) as bar:
                    run_on_workers(settings.workers, jobs, task_args, run, bar.update)
            else:
                # One input (or one worker): made here, its chunks on every core.
                with _progress(len(jobs)) as bar:
                    for input_path, output_path in jobs:
                        INTERRUPTS.check()
                        run.report(input_path, process_input(input_path, output_path=output_path,
                                                             **task_args))
                        bar.update()
        INTERRUPTS.check()
    except KeyboardInterrupt:
        for _, output_path in jobs:
            remove_leftovers(output_path)
        raise


def describe_options(options: dict[str, str]) -> str:
    return ", ".join(f"{k.replace('_', ' ')} {v}" for k, v in options.items())


def _reuse_existing(run: Reporter, input_path: str, output_path: str, wanted: dict[str, str],
                    extras: ExtraOutputs, tmpdir: str | None = None) -> None:
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
    for path, failure in reuse_extras(output_path, extras, tmpdir):
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


def _connect(settings: RunSettings, jobs: list[Job], run: Reporter) -> "Client | None":
    """The client of the cluster; None once every input has failed with
    the reason it could not be reached."""
    from distributed import Client

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
        return Client(address)
    except (OSError, TimeoutError, TypeError, ValueError) as exc:
        # TypeError: a tls:// scheduler without a TLS configuration.
        for input_path, _ in jobs:
            run.fail(input_path, f"cannot reach the scheduler {where} ({reason(exc)})")
        return None


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

    from .storage import absolute

    client: "Client | None" = None
    in_flight: dict[Any, Job] = {}
    prefix = f"quorvane-wind-{uuid.uuid4().hex[:8]}"
    try:
        client = _connect(settings, jobs, run)
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
                future = client.submit(process_input, absolute(input_path),
                                       output_path=absolute(output_path), one_thread=True, in_worker=True,
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

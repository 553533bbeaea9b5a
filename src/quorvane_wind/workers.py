"""The local worker processes of --workers: N processes forked from the
fork server (`start_fork_server`, which has imported the products layer
once), each making one input at a time with `batch.process_input` (on one
thread, the last inputs of the run on every core), while this process
hands out the inputs and gathers what became of them.

On one machine this is what separate commands on parts of the inputs
would do, without their start-up: forked from the server, a worker
starts in milliseconds, against about 2 s of CPU for a local
dask.distributed cluster (its scheduler, a nanny per worker and their
messages), which made `--workers 2` slower than a serial run on a few 1 km
scenes (bench/ARCHIVES.md). The state here is one pipe and one input per
worker, whatever the number of inputs.

A worker that dies (killed, out of memory) is replaced; its input's
temporary files are removed and the input made once more by the new
worker, and fails with the worker's exit status if that one dies too.
The workers ignore SIGINT (they inherit it from the fork server): on an
interruption this process kills them, and its caller removes the
temporary files of the inputs.
"""

import collections
import contextlib
import multiprocessing
import signal
import threading
from collections.abc import Callable, Iterator, Sequence
from multiprocessing.connection import Connection, wait
from typing import TYPE_CHECKING, Any

from .batch import INTERRUPTS, POLL_SECONDS, Job, Outcome, Reporter, remove_leftovers

if TYPE_CHECKING:
    from multiprocessing.context import ForkServerProcess


# What the fork server imports once for every worker it forks.
WORKER_PRELOAD = ["quorvane_wind.worker_preload"]

# How many more times an input is made after its worker died making it.
REMAKES_AFTER_DEATH = 1
# How long a worker told to stop at the end of a run may take before it is killed.
STOP_SECONDS = 5.0


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


def start_fork_server() -> None:
    """Starts the server the workers are forked from (once per process; the
    command calls it as soon as it has its arguments, so that the server
    imports the products layer while the command indexes the ERA5 files),
    with SIGINT ignored: it keeps the disposition it started with for the
    workers it forks, so that a Ctrl-C on the terminal (it reaches the
    whole process group) is acted on by this process only."""
    from multiprocessing import forkserver, resource_tracker

    multiprocessing.get_context("forkserver").set_forkserver_preload(WORKER_PRELOAD)
    # The tracker unblocks SIGINT in the thread that starts it: the mask is
    # put back (the command blocks it in every thread but its own, `cli`).
    mask = signal.pthread_sigmask(signal.SIG_BLOCK, set())
    resource_tracker.ensure_running()
    signal.pthread_sigmask(signal.SIG_SETMASK, mask)
    with _sigint_ignored():
        forkserver.ensure_running()


def _serve(connection: Connection) -> None:
    """A worker: an input's arguments in, its Outcome out, until told to
    stop (None) or the pipe closes."""
    from .batch import process_input

    while True:
        try:
            message = connection.recv()
        except EOFError:
            return
        if message is None:
            return
        connection.send(process_input(*message[0], **message[1]))


def _death(exitcode: int | None) -> str:
    if exitcode is not None and exitcode < 0:
        try:
            return f"killed by {signal.Signals(-exitcode).name}"
        except ValueError:
            return f"killed by signal {-exitcode}"
    return f"exited with status {exitcode}"


class _Worker:
    def __init__(self, number: int) -> None:
        self.connection, child = multiprocessing.Pipe()
        context = multiprocessing.get_context("forkserver")
        self.process: "ForkServerProcess" = context.Process(
            target=_serve, args=(child,), daemon=True, name=f"quorvane-wind-worker-{number}")
        self.process.start()
        child.close()
        self.job: Job | None = None
        self.remakes = 0

    def give(self, job: Job, remakes: int, one_thread: bool, task_args: dict[str, Any]) -> None:
        input_path, output_path = job
        self.job, self.remakes = job, remakes
        try:
            self.connection.send(((input_path,), dict(task_args, output_path=output_path,
                                                      one_thread=one_thread, in_worker=True)))
        except OSError:
            pass      # it died meanwhile: the wait sees its end and the input is made again

    def end(self, kill: bool) -> None:
        if not kill and self.process.is_alive():
            try:
                self.connection.send(None)
            except OSError:
                pass
            self.process.join(STOP_SECONDS)
        if self.process.is_alive():
            self.process.kill()
            self.process.join()
        self.connection.close()


def run_on_workers(count: int, jobs: Sequence[Job], task_args: dict[str, Any], run: Reporter,
                   done: Callable[[], object]) -> None:
    """Makes the `jobs` ((input, output) pairs) on `count` worker processes
    (fewer for fewer jobs), reporting each to `run` and calling `done()`
    after each. KeyboardInterrupt, with the workers killed, when an
    interrupt is asked for meanwhile."""
    queue = collections.deque((job, 0) for job in jobs)
    workers: list[_Worker] = []
    numbers = iter(range(1 << 62))
    interrupted = True

    def hand_out(worker: _Worker) -> None:
        if queue:
            job, remakes = queue.popleft()
            # One thread each while every worker has inputs to come; the
            # last ones on every core, so that no core idles at the end
            # of the run (or of a run of fewer inputs than workers) while
            # an input is still being made.
            worker.give(job, remakes, len(queue) >= count, task_args)
        else:
            worker.job = None

    try:
        for _ in range(min(count, len(jobs))):
            INTERRUPTS.check()
            workers.append(_Worker(next(numbers)))
            hand_out(workers[-1])
        while any(w.job is not None for w in workers):
            INTERRUPTS.check()
            busy = [w for w in workers if w.job is not None]
            ready = set(wait([w.connection for w in busy] + [w.process.sentinel for w in busy],
                             timeout=POLL_SECONDS))
            for worker in busy:
                assert worker.job is not None
                input_path, output_path = worker.job
                if worker.connection in ready:
                    try:
                        outcome: Outcome = worker.connection.recv()
                    except EOFError:
                        pass              # died after its last words: handled below
                    else:
                        run.report(input_path, outcome)
                        done()
                        hand_out(worker)
                        continue
                elif worker.process.sentinel not in ready:
                    continue
                # The worker died making this input.
                worker.process.join()
                why = _death(worker.process.exitcode)
                remove_leftovers(output_path)
                if worker.remakes < REMAKES_AFTER_DEATH:
                    queue.appendleft((worker.job, worker.remakes + 1))
                else:
                    run.fail(input_path, f"its worker process died making it ({why}), twice")
                    done()
                worker.end(kill=True)
                workers[workers.index(worker)] = replacement = _Worker(next(numbers))
                hand_out(replacement)
        interrupted = False
    finally:
        for worker in workers:
            worker.end(kill=interrupted)

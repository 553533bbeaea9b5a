"""Both entries under concurrent use from Python threads.

- 8 threads call both entries at once, on inputs of their own and on inputs
  they share, and get, bit for bit, what serial calls give;
- a pure-Python thread keeps running while they compute (the interpreter lock
  is released during the loops);
- calls made while other threads import (or reload) the module, or import a
  module that computes with it at import time, finish: no deadlock.

QUORVANE_THREAD_ROUNDS sets the rounds each thread makes (default 20) and
QUORVANE_IMPORT_ROUNDS the fresh interpreters of the import test (default 3).
"""
import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import Quorvane

THREADS = 8
ROUNDS = int(os.environ.get("QUORVANE_THREAD_ROUNDS", "20"))
IMPORT_ROUNDS = int(os.environ.get("QUORVANE_IMPORT_ROUNDS", "3"))

speed = Quorvane.python_windspeedCmod5n
angle = Quorvane.python_ERA5_windAngle


def inputs(seed, shape=(5, 7)):
    rng = np.random.default_rng(seed)
    wind_dir = rng.uniform(-180, 180, shape).astype(np.float32)
    inc_angle = rng.uniform(20, 45, shape).astype(np.float32)
    sigma0 = rng.uniform(-30, -12, shape).astype(np.float32)
    u = rng.uniform(-20, 20, shape).astype(np.float32)
    v = rng.uniform(-20, 20, shape).astype(np.float32)
    return wind_dir, inc_angle, sigma0, u, v


def run_threads(target, count):
    """Runs target(index) on count threads started together; re-raises the
    first error of any of them."""
    barrier = threading.Barrier(count)
    errors = []

    def body(index):
        try:
            barrier.wait()
            target(index)
        except BaseException as error:  # reported in the main thread
            errors.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=600)
        assert not thread.is_alive(), "a calling thread did not finish"
    if errors:
        raise errors[0]


def test_eight_threads_get_the_serial_results():
    shared = inputs(0)
    # The shared inputs also in other layouts: transposed views and reversed rows.
    shared_views = [np.ascontiguousarray(a.T).T for a in shared]
    own = [inputs(1 + i) for i in range(THREADS)]
    serial_shared = (speed(*shared[:3]), angle(*shared[3:]))
    serial_views = (speed(*shared_views[:3]), angle(*shared_views[3:]))
    serial_own = [(speed(*own[i][:3]), angle(*own[i][3:])) for i in range(THREADS)]
    np.testing.assert_array_equal(serial_views[0], serial_shared[0])

    def work(index):
        for round_ in range(ROUNDS):
            # Alternate the order, so that the threads do not all run the same
            # entry at the same moment.
            if (index + round_) % 2:
                got = [("own", angle(*own[index][3:]), serial_own[index][1]),
                       ("own", speed(*own[index][:3]), serial_own[index][0])]
            else:
                got = [("own", speed(*own[index][:3]), serial_own[index][0]),
                       ("own", angle(*own[index][3:]), serial_own[index][1])]
            got += [("shared", speed(*shared[:3]), serial_shared[0]),
                    ("shared", angle(*shared[3:]), serial_shared[1]),
                    ("shared view", speed(*shared_views[:3]), serial_views[0]),
                    ("shared view", angle(wind_V10=shared_views[4], wind_U10=shared_views[3]), serial_views[1])]
            for label, result, expected in got:
                assert result.dtype == expected.dtype, label
                assert np.array_equal(result, expected, equal_nan=True), f"{label} inputs, thread {index}"

    run_threads(work, THREADS)


def slow_grid(rows=4096):
    """Speed inputs on which every pixel searches the whole ladder (sigma0 =
    50 dB: no candidate reaches it): 4096 x 64 pixels, about 0.1 s of one
    core per call on this project's machine. Sized by pixels, not by a
    timed call, which a loaded machine would shrink."""
    grid = np.full((rows, 64), 50.0, np.float32)
    return np.zeros_like(grid), np.full_like(grid, 30.0), grid


def test_python_threads_run_while_the_entries_compute():
    args = slow_grid()
    count = [0]
    stop = threading.Event()

    def count_up():
        while not stop.is_set():
            count[0] += 1

    counter = threading.Thread(target=count_up)
    counter.start()
    try:
        progress = []

        def compute(index):
            before = count[0]
            result = speed(*args)
            progress.append(count[0] - before)
            assert np.all(result == 26.0)

        run_threads(compute, THREADS)
    finally:
        stop.set()
        counter.join()
    # Had any call kept the interpreter lock through its loop, the counting
    # thread would have stood still during that call. Counted, not timed: a
    # loaded machine slows the calls and the counter alike.
    assert len(progress) == THREADS
    assert min(progress) > 1000, progress


IMPORT_SCRIPT = textwrap.dedent(
    """
    import importlib, sys, threading

    sys.path.insert(0, sys.argv[1])
    barrier = threading.Barrier(8)
    errors = []

    def grids():
        import numpy as np
        g = np.full((16, 16), -40.0, np.float32)
        return np.zeros_like(g), np.full_like(g, 60.0), g

    def caller():
        barrier.wait()
        import Quorvane  # waits for, or races with, the first import
        a = grids()
        for _ in range(30):
            assert (Quorvane.python_windspeedCmod5n(*a) == 0.0).all()
            Quorvane.python_ERA5_windAngle(a[1], a[2])

    def importer():
        barrier.wait()
        import computes_on_import  # its import runs both entries
        assert computes_on_import.DONE

    def reloader():
        barrier.wait()
        module = importlib.import_module("Quorvane")
        for _ in range(10):
            assert importlib.reload(module) is module

    def guard(target):
        def run():
            try:
                target()
            except BaseException as error:
                errors.append(repr(error))
        return run

    targets = [caller] * 4 + [importer] * 2 + [reloader] * 2
    threads = [threading.Thread(target=guard(t), daemon=True) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    if any(t.is_alive() for t in threads):
        print("deadlock: threads still running", flush=True)
        import os
        os._exit(3)
    print("errors:", errors if errors else "none", flush=True)
    sys.exit(1 if errors else 0)
    """
)

COMPUTING_MODULE = textwrap.dedent(
    """
    import numpy as np
    import Quorvane

    _g = np.full((64, 64), -40.0, np.float32)
    for _ in range(5):
        Quorvane.python_windspeedCmod5n(np.zeros_like(_g), np.full_like(_g, 60.0), _g)
        Quorvane.python_ERA5_windAngle(_g, _g)
    DONE = True
    """
)


@pytest.mark.parametrize("round_", range(IMPORT_ROUNDS))
def test_calls_during_imports_of_the_module_do_not_deadlock(round_, tmp_path):
    (tmp_path / "computes_on_import.py").write_text(COMPUTING_MODULE)
    script = tmp_path / "imports.py"
    script.write_text(IMPORT_SCRIPT)
    # A fresh interpreter, so that the module's first import is among the races.
    completed = subprocess.run(
        [sys.executable, str(script), str(tmp_path)],
        capture_output=True, text=True, timeout=300,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)},
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr
    assert "errors: none" in completed.stdout


RACE_SCRIPT = textwrap.dedent(
    """
    import threading

    barrier = threading.Barrier(2)
    errors = []

    def importing(name):
        def run():
            barrier.wait()
            try:
                __import__(name)
            except BaseException as error:
                errors.append(f"{name}: {error!r}")
        return run

    threads = [threading.Thread(target=importing(n), daemon=True) for n in ("numpy", "Quorvane")]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    print("hung" if any(t.is_alive() for t in threads) else errors or "ok", flush=True)
    """
)


def test_first_import_racing_with_the_first_numpy_import():
    """Regression: the module's first import took the lock of NumPy's core
    extension before the numpy package's, and a concurrent `import numpy` took
    them the other way round; importlib then failed one import or the other
    (a deadlock error, or a partially initialised numpy)."""
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    for _ in range(max(8, IMPORT_ROUNDS)):
        completed = subprocess.run([sys.executable, "-c", RACE_SCRIPT], capture_output=True,
                                   text=True, timeout=300, env=env)
        assert completed.stdout.strip() == "ok", completed.stdout + completed.stderr

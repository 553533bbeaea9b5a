"""Many calls of each entry, on success and on every kind of failure, leave no
trace: the process's resident memory and the memory tracemalloc sees grow by
less than 1 MB, and the arguments' reference counts are what they were.

The number of calls per case is QUORVANE_LEAK_CALLS (default 2000; the full
check is 100000: QUORVANE_LEAK_CALLS=100000 pytest tests/python/test_hardening_leaks.py).
The limit scales with the count: 1 MB at 100000 calls, 128 KB at 2000 or fewer.
Under the sanitizers (QUORVANE_SANITIZED=1) resident memory is not checked:
AddressSanitizer keeps freed memory in quarantine on purpose.
"""
import gc
import os
import resource
import sys
import tracemalloc
import types

import numpy as np
import pytest

import Quorvane
from conftest import SANITIZED, exporter

CALLS = int(os.environ.get("QUORVANE_LEAK_CALLS", "2000"))
# 1 MB for 100000 calls, about 10 bytes a call; shorter runs get the same
# budget per call, but never less than 128 KB, the noise of the measurements.
LIMIT = max(128 << 10, (1 << 20) * CALLS // 100000)

speed = Quorvane.python_windspeedCmod5n
angle = Quorvane.python_ERA5_windAngle


def grid(value, shape=(2, 3), dtype=np.float32):
    return np.full(shape, value, dtype=dtype)


# Direction 0, incidence 60, sigma0 -40 dB: the first candidate speed fits.
DIR, INC, SIG = grid(0.0), grid(60.0), grid(-40.0)
U, V = grid(-5.0), grid(3.0)
READ_ONLY = grid(-40.0)
READ_ONLY.flags.writeable = False
RECORD = np.zeros((2, 3), np.dtype({"names": ["x"], "formats": ["<f4"], "itemsize": 8}))
SMALL = grid(-40.0, shape=(1, 1))
# Arrays that hand a different buffer to the writable request than to the check.
SHRINKING = exporter(grid(-40.0), viewed=SMALL)
GROWING = exporter(grid(-5.0), viewed=grid(-5.0, shape=(3, 4)))
BAD = {
    "1-D": grid(0.0, shape=(6,)),
    "float64": grid(0.0, dtype=np.float64),
    "big-endian": grid(0.0, dtype=">f4"),
    "float16": grid(0.0, dtype=np.float16),
    "record": RECORD,
    "list": [[0.0]],
}


class Refusal(Exception):
    pass


def refuse(*args, **kwargs):
    raise Refusal


def stand_in(**changes):
    attributes = dict(empty=np.empty, asarray=np.asarray, float32=np.float32, float64=np.float64)
    attributes.update(changes)
    return types.SimpleNamespace(**attributes)


# name -> (entry, positional, keywords, expected exception or None, np to use)
CASES = {
    "speed returns": (speed, (DIR, INC, SIG), {}, None, np),
    "speed by keyword": (speed, (DIR,), {"sigma0": SIG, "inc_angle": INC}, None, np),
    "speed too few": (speed, (DIR, INC), {}, TypeError, np),
    "speed missing keyword": (speed, (DIR,), {"sigma0": SIG}, TypeError, np),
    "speed repeated keyword": (speed, (DIR, INC, SIG), {"wind_dir": DIR}, TypeError, np),
    "speed unknown keyword": (speed, (DIR, INC), {"sigma": SIG}, TypeError, np),
    "speed list": (speed, (DIR, BAD["list"], SIG), {}, TypeError, np),
    "speed 1-D": (speed, (DIR, INC, BAD["1-D"]), {}, ValueError, np),
    "speed float64": (speed, (DIR, BAD["float64"], SIG), {}, ValueError, np),
    "speed big-endian": (speed, (BAD["big-endian"], INC, SIG), {}, ValueError, np),
    "speed float16": (speed, (DIR, INC, BAD["float16"]), {}, ValueError, np),
    "speed record": (speed, (DIR, INC, BAD["record"]), {}, ValueError, np),
    "speed too small": (speed, (DIR, INC, SMALL), {}, ValueError, np),
    "speed read-only": (speed, (DIR, INC, READ_ONLY), {}, ValueError, np),
    "speed np missing": (speed, (DIR, INC, SIG), {}, NameError, None),
    "speed empty raises": (speed, (DIR, INC, SIG), {}, Refusal, stand_in(empty=refuse)),
    "speed asarray raises": (speed, (DIR, INC, SIG), {}, Refusal, stand_in(asarray=refuse)),
    "speed view shrinks": (speed, (DIR, SHRINKING, SIG), {}, ValueError, np),
    "speed result exported through Python": (
        speed, (DIR, INC, SIG), {}, None,
        stand_in(empty=lambda shape, dtype: exporter(np.empty(shape, dtype), viewed=np.empty(shape, dtype))),
    ),
    "angle returns": (angle, (U, V), {}, None, np),
    "angle by keyword": (angle, (), {"wind_V10": V, "wind_U10": U}, None, np),
    "angle too many": (angle, (U, V, V), {}, TypeError, np),
    "angle repeated keyword": (angle, (U,), {"wind_U10": U}, TypeError, np),
    "angle list": (angle, (BAD["list"], V), {}, TypeError, np),
    "angle 1-D": (angle, (U, BAD["1-D"]), {}, ValueError, np),
    "angle float64": (angle, (BAD["float64"], V), {}, ValueError, np),
    "angle big-endian": (angle, (U, BAD["big-endian"]), {}, ValueError, np),
    "angle record": (angle, (U, BAD["record"]), {}, ValueError, np),
    "angle too small": (angle, (U, SMALL), {}, ValueError, np),
    "angle read-only": (angle, (READ_ONLY, V), {}, ValueError, np),
    "angle np missing": (angle, (U, V), {}, NameError, None),
    "angle empty raises": (angle, (U, V), {}, Refusal, stand_in(empty=refuse)),
    "angle asarray raises": (angle, (U, V), {}, Refusal, stand_in(asarray=refuse)),
    "angle view grows": (angle, (GROWING, V), {}, None, np),
}


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


def repeat(entry, positional, keywords, expected, count):
    if expected is None:
        for _ in range(count):
            entry(*positional, **keywords)
    else:
        for _ in range(count):
            try:
                entry(*positional, **keywords)
            except expected:
                pass
            else:
                raise AssertionError(f"{expected.__name__} was not raised")


@pytest.fixture
def module_np():
    """Sets the module global np for a case (None removes it); restores numpy."""
    def use(value):
        if value is None:
            del Quorvane.np
        else:
            Quorvane.np = value
    yield use
    Quorvane.np = np


@pytest.mark.parametrize("case", list(CASES))
def test_repeated_calls_leak_nothing(case, module_np):
    entry, positional, keywords, expected, numpy_to_use = CASES[case]
    module_np(numpy_to_use)
    watched = list(positional) + list(keywords.values()) + list(BAD.values())
    repeat(entry, positional, keywords, expected, 200)  # caches and free lists settle
    gc.collect()
    references = [sys.getrefcount(obj) for obj in watched]

    tracemalloc.start()
    try:
        traced_before = tracemalloc.get_traced_memory()[0]
        resident_before = resident_bytes()
        repeat(entry, positional, keywords, expected, CALLS)
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
        resident_growth = resident_bytes() - resident_before
    finally:
        tracemalloc.stop()

    print(f"{case}: {CALLS} calls, traced growth {traced_growth} B, resident growth {resident_growth} B")
    assert traced_growth < LIMIT
    if not SANITIZED:
        assert resident_growth < LIMIT
    assert [sys.getrefcount(obj) for obj in watched] == references


def test_results_are_freed_with_their_last_reference():
    """The returned array keeps the array allocated for it alive, and nothing
    else does: dropping the result frees it."""
    import weakref

    for call in (lambda: speed(DIR, INC, SIG), lambda: angle(U, V)):
        result = call()
        exporter = result.base
        assert isinstance(exporter, memoryview)
        allocated = exporter.obj.obj  # memoryview -> the buffer written -> its array
        assert isinstance(allocated, np.ndarray) and allocated.flags.owndata
        alive = weakref.ref(allocated)
        del exporter, allocated
        gc.collect()
        assert alive() is not None
        del result
        gc.collect()
        assert alive() is None

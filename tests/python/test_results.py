"""What the entries compute and hand back."""
import math
import sys
import threading
import time

import numpy as np
import pytest

import Quorvane

speed = Quorvane.python_windspeedCmod5n
angle = Quorvane.python_ERA5_windAngle

inf, nan = math.inf, math.nan

# (direction, incidence, sigma0) -> speed, bit for bit.
WORKED_EXAMPLES = [
    (0, 30, -10, 8.15), (0, 40, -10, 14.19), (90, 35, -20, 3.92), (180, 25, -5, 10.58),
    (45, 16, 0, 3.61), (-45, 16, 0, 3.61), (0, 10, -5, 0.39), (0, 16, -5, 0.39),
    (0, 16.5, -5, 0.59), (0, 60, -15, 12.83), (0, 30, -25.25, 0.5700000000000001),
    (0, 60, -40, 0.0), (0, 30, -200, 0.01), (0, 30, 50, 26.0), (0, 90, -20, 26.0),
    (0, 30, nan, 26.0), (0, 30, -inf, 0.01), (0, 60, -inf, 0.0), (0, 30, inf, 26.0),
]

# (U10, V10) -> angle as float32.
LISTED_ANGLES = [
    (-5, 0, 1.57079637), (5, 0, -1.57079637), (3, 4, -2.49809146), (-3, -4, 0.643501103),
    (1, 1, -2.35619450), (0.0, 2, -3.14159274), (-0.0, 2, 3.14159274),
    (0.0, -2, -0.0), (-0.0, -2, 0.0),
]


def column(values):
    return np.array(values, dtype=np.float32).reshape(-1, 1)


def test_worked_examples_bit_for_bit():
    d, i, s, expected = zip(*WORKED_EXAMPLES)
    result = speed(column(d), column(i), column(s))
    assert result.shape == (len(expected), 1)
    assert result[:, 0].tobytes() == np.array(expected, dtype=np.float64).tobytes()


def test_listed_angles_bit_for_bit():
    u, v, expected = zip(*LISTED_ANGLES)
    result = angle(column(u), column(v))
    assert result.dtype == np.float32
    assert result[:, 0].tobytes() == np.array(expected, dtype=np.float32).tobytes()
    # Calm and infinite components give the default NaN; a NaN component's
    # payload passes through (its sign is the C library's atan2's choice).
    u_bits = [0x00000000, 0x80000000, 0x7F800000, 0x3F800000, 0x7FC00000, 0x3F800000, 0xFFC12345]
    v_bits = [0x00000000, 0x80000000, 0x3F800000, 0xFF800000, 0x3F800000, 0x7FC12345, 0x40000000]
    special = angle(*(np.array(b, np.uint32).view(np.float32).reshape(-1, 1) for b in (u_bits, v_bits)))
    special = special.view(np.uint32)[:, 0]
    assert [hex(b) for b in special[:4]] == ["0xffc00000"] * 4
    assert [hex(b & 0x7FFFFFFF) for b in special[4:]] == ["0x7fc00000", "0x7fc12345", "0x7fc12345"]


def scene(rows=9, columns=7, seed=0):
    rng = np.random.default_rng(seed)
    return (
        rng.uniform(-180, 180, (rows, columns)).astype(np.float32),
        rng.uniform(20, 50, (rows, columns)).astype(np.float32),
        rng.uniform(-25, -5, (rows, columns)).astype(np.float32),
    )


def layouts(a):
    """Same values in other memory layouts, each writable."""
    yield "fortran", np.asfortranarray(a)
    yield "transposed", np.ascontiguousarray(a.T).T
    reversed_rows = np.ascontiguousarray(a[::-1])[::-1]
    yield "reversed", reversed_rows
    wide = np.zeros((a.shape[0], 2 * a.shape[1]), np.float32)
    wide[:, ::2] = a
    yield "stepped", wide[:, ::2]
    raw = np.zeros(a.size * 4 + 1, np.uint8)
    unaligned = raw[1:].view(np.float32).reshape(a.shape)
    unaligned[...] = a
    yield "unaligned", unaligned


def test_every_layout_gives_the_contiguous_result():
    d, i, s = scene()
    expected_speed = speed(d, i, s)
    expected_angle = angle(d, s)
    seen = []
    for (name, dl), (_, il), (_, sl) in zip(layouts(d), layouts(i), layouts(s)):
        assert dl.flags.writeable and np.array_equal(dl, d)
        np.testing.assert_array_equal(speed(dl, il, sl), expected_speed, err_msg=name)
        np.testing.assert_array_equal(angle(dl, sl), expected_angle, err_msg=name)
        seen.append(name)
    assert len(seen) == 5


def test_larger_later_arguments_use_their_leading_block():
    d, i, s = scene(5, 4)
    big_i = np.full((8, 9), 99.0, np.float32)
    big_s = np.full((6, 5), 99.0, np.float32)
    big_i[:5, :4] = i
    big_s[:5, :4] = s
    result = speed(d, big_i, big_s)
    assert result.shape == (5, 4)
    np.testing.assert_array_equal(result, speed(d, i, s))
    np.testing.assert_array_equal(angle(d, big_s), angle(d, s))


@pytest.mark.parametrize("shape", [(0, 4), (3, 0), (0, 0)])
def test_empty_grids(shape):
    a = np.zeros(shape, np.float32)
    r = speed(a, a, a)
    assert r.shape == shape and r.dtype == np.float64
    r = angle(a, a)
    assert r.shape == shape and r.dtype == np.float32


def test_result_array_properties():
    d, i, s = scene()
    for result, dtype in ((speed(d, i, s), np.float64), (angle(d, i), np.float32)):
        assert type(result) is np.ndarray
        assert result.dtype == dtype and result.shape == d.shape
        assert result.flags.c_contiguous and result.flags.writeable
        assert not result.flags.owndata
        result[0, 0] = 1.0  # writable memory of its own, not the inputs'
    # The result stays valid once every other reference is gone.
    result = speed(d.copy(), i.copy(), s.copy())
    del d, i, s
    expected = result.copy()
    np.ones((2000, 2000)).sum()  # churn the allocator
    np.testing.assert_array_equal(result, expected)


def test_reference_counts_of_arguments_are_unchanged():
    d, i, s = scene(3, 3)
    ro = s.copy()
    ro.flags.writeable = False
    calls = [
        lambda: speed(d, i, s),
        lambda: speed(d, i, sigma0=s),
        lambda: speed(d, i),
        lambda: speed(d, i, s, x=1),
        lambda: speed(d, [[1.0]], s),
        lambda: speed(d, i, s.astype(np.float64)),
        lambda: speed(d, i, ro),
        lambda: angle(d, i),
        lambda: angle(d, ro),
    ]
    objects = (d, i, s, ro)
    before = [sys.getrefcount(o) for o in objects]
    for call in calls:
        for _ in range(3):
            try:
                call()
            except (TypeError, ValueError):
                pass
    assert [sys.getrefcount(o) for o in objects] == before


def test_interpreter_lock_is_released_while_computing():
    # Grow a realistic scene until one call takes a while.
    rows = 16
    while True:
        d, i, s = scene(rows, 64, seed=rows)
        start = time.perf_counter()
        speed(d, i, s)
        if time.perf_counter() - start > 0.1:
            break
        rows *= 2
    ticks = []
    done = threading.Event()

    def count():
        while not done.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    worker = threading.Thread(target=count)
    worker.start()
    time.sleep(0.01)
    start = time.perf_counter()
    result = speed(d, i, s)
    end = time.perf_counter()
    done.set()
    worker.join()
    assert result.shape == d.shape
    during = [t for t in ticks if start < t < end]
    # While the call ran the other thread kept ticking (holding the lock it could not).
    assert len(during) >= 3, (end - start, len(during))

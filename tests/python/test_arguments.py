"""Argument checks of both entries: types, buffers, shapes, views, `np`."""
import sys

import numpy as np
import pytest

import Quorvane
from conftest import quorvane_entries

speed = Quorvane.python_windspeedCmod5n
angle = Quorvane.python_ERA5_windAngle

SPEED = "Quorvane.python_windspeedCmod5n"
ANGLE = "Quorvane.python_ERA5_windAngle"


def grid(value=0.0, shape=(3, 4), dtype=np.float32):
    return np.full(shape, value, dtype=dtype)


def speed_args(**replace):
    args = {"wind_dir": grid(0.0), "inc_angle": grid(30.0), "sigma0": grid(-10.0)}
    args.update(replace)
    return args


def angle_args(**replace):
    args = {"wind_U10": grid(-5.0), "wind_V10": grid(0.0)}
    args.update(replace)
    return args


class Subclass(np.ndarray):
    pass


# --- type check ---------------------------------------------------------------

@pytest.mark.parametrize(
    "value, type_name",
    [([[1.0]], "list"), (1.5, "float"), (np.float32(1.0), "numpy.float32"), (None, "NoneType"), ("x", "str")],
)
def test_non_arrays_are_refused_without_a_traceback_entry(value, type_name):
    for entry, make, names in ((speed, speed_args, ("wind_dir", "inc_angle", "sigma0")),
                               (angle, angle_args, ("wind_U10", "wind_V10"))):
        for name in names:
            with pytest.raises(TypeError) as info:
                entry(**make(**{name: value}))
            assert str(info.value) == (
                f"Argument '{name}' has incorrect type (expected numpy.ndarray, got {type_name})"
            )
            assert quorvane_entries(info) == []


def test_first_failing_argument_in_binding_order_is_reported():
    with pytest.raises(TypeError, match="Argument 'wind_U10'"):
        angle([[1.0]], [[2.0]])
    with pytest.raises(TypeError, match="Argument 'inc_angle'"):
        speed(grid(), [[1.0]], None)


def test_none_is_refused_before_any_buffer_is_taken(stand_in_np):
    # A read-only first argument would fail only at its view; None fails first.
    ro = grid()
    ro.flags.writeable = False
    with pytest.raises(TypeError, match="got NoneType"):
        speed(ro, grid(), None)
    assert stand_in_np.calls["empty"] == 0


def test_ndarray_subclass_is_accepted_and_result_is_plain():
    args = {k: v.view(Subclass) for k, v in speed_args().items()}
    result = speed(**args)
    assert type(result) is np.ndarray
    np.testing.assert_array_equal(result, speed(**speed_args()))
    result = angle(*(v.view(Subclass) for v in angle_args().values()))
    assert type(result) is np.ndarray


# --- array buffer check ----------------------------------------------------------

def bad_arrays():
    record = np.dtype({"names": ["x"], "formats": ["<f4"], "itemsize": 8})
    yield np.zeros(4, np.float32), ValueError, "Buffer has wrong number of dimensions (expected 2, got 1)"
    yield np.zeros((2, 2, 2), np.float32), ValueError, "Buffer has wrong number of dimensions (expected 2, got 3)"
    yield np.zeros((2, 2)), ValueError, "Buffer dtype mismatch, expected 'float' but got 'double'"
    yield np.zeros((2, 2), np.dtype("l")), ValueError, "Buffer dtype mismatch, expected 'float' but got 'long'"
    yield np.zeros((2, 2), np.dtype("q")), ValueError, "Buffer dtype mismatch, expected 'float' but got 'long long'"
    yield np.zeros((2, 2), bool), ValueError, "Buffer dtype mismatch, expected 'float' but got 'bool'"
    yield np.zeros((2, 2), np.complex64), ValueError, "Buffer dtype mismatch, expected 'float' but got 'complex float'"
    yield np.zeros((2, 2), np.float16), ValueError, "Does not understand character buffer dtype format string ('e')"
    yield np.zeros((2, 2), object), ValueError, "Buffer dtype mismatch, expected 'float' but got Python object"
    yield np.zeros((2, 2), "S3"), ValueError, "Buffer dtype mismatch, expected 'float' but got a string"
    yield np.zeros((2, 2), "U3"), ValueError, "Does not understand character buffer dtype format string ('w')"
    yield np.zeros((2, 2), record), ValueError, "Item size of buffer (8 bytes) does not match size of 'float' (4 bytes)"
    yield np.zeros((2, 2), ">f4"), ValueError, "Big-endian buffer not supported on little-endian compiler"
    yield np.zeros((2, 2), "M8[s]"), ValueError, None  # NumPy's own refusal


@pytest.mark.parametrize("bad, error, message", list(bad_arrays()))
def test_array_buffer_check_refuses_before_allocating(bad, error, message, stand_in_np):
    for entry, make, names, line, name in (
        (speed, speed_args, ("wind_dir", "inc_angle", "sigma0"), 160, SPEED),
        (angle, angle_args, ("wind_U10", "wind_V10"), 150, ANGLE),
    ):
        for parameter in names:
            with pytest.raises(error) as info:
                entry(**make(**{parameter: bad}))
            if message is not None:
                assert str(info.value) == message
            assert quorvane_entries(info) == [(name, line)]
    assert stand_in_np.calls["empty"] == 0


@pytest.mark.parametrize("short", [(2, 4), (3, 3), (0, 0)])
def test_later_arguments_must_cover_the_first(short, stand_in_np):
    with pytest.raises(ValueError) as info:
        speed(**speed_args(sigma0=grid(shape=short)))
    assert str(info.value) == (
        f"Argument 'sigma0' has shape ({short[0]}, {short[1]}), smaller than the (3, 4) of 'wind_dir'"
    )
    assert quorvane_entries(info) == [(SPEED, 160)]
    with pytest.raises(ValueError) as info:
        angle(**angle_args(wind_V10=grid(shape=short)))
    assert str(info.value) == (
        f"Argument 'wind_V10' has shape ({short[0]}, {short[1]}), smaller than the (3, 4) of 'wind_U10'"
    )
    assert quorvane_entries(info) == [(ANGLE, 150)]
    assert stand_in_np.calls["empty"] == 0


# --- views ------------------------------------------------------------------------

def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


@pytest.mark.parametrize(
    "entry, make, parameter, line, name",
    [
        (speed, speed_args, "wind_dir", 165, SPEED),
        (speed, speed_args, "inc_angle", 166, SPEED),
        (speed, speed_args, "sigma0", 167, SPEED),
        (angle, angle_args, "wind_U10", 152, ANGLE),
        (angle, angle_args, "wind_V10", 153, ANGLE),
    ],
)
def test_read_only_arrays_are_refused_at_their_view(entry, make, parameter, line, name, stand_in_np):
    made = []

    def empty(*args, **kwargs):
        made.append(np.empty(*args, **kwargs))
        return made[-1]

    stand_in_np.empty = empty
    args = make()
    args[parameter] = read_only(args[parameter])
    with pytest.raises(ValueError, match="read-only") as info:
        entry(**args)
    assert quorvane_entries(info) == [(name, line)]
    # The allocated result was released: only our list refers to it.
    references = sys.getrefcount(made[0])  # the list's and the call argument's
    assert len(made) == 1 and references == 2


# --- the module global np ----------------------------------------------------------

class Without:
    def __init__(self, missing):
        self.missing = missing

    def __getattr__(self, attribute):
        if attribute == self.missing:
            raise AttributeError(attribute)
        return getattr(np, attribute)


@pytest.mark.parametrize(
    "missing, speed_line, angle_line",
    [("empty", 162, 151), ("float64", 162, None), ("float32", None, 151), ("asarray", 174, 156)],
)
def test_np_without_an_attribute_fails_at_its_line(missing, speed_line, angle_line):
    Quorvane.np = Without(missing)
    try:
        for entry, make, line, name in ((speed, speed_args, speed_line, SPEED), (angle, angle_args, angle_line, ANGLE)):
            if line is None:
                entry(**make())  # this entry does not use the attribute
                continue
            with pytest.raises(AttributeError) as info:
                entry(**make())
            assert quorvane_entries(info) == [(name, line)]
    finally:
        Quorvane.np = np


def test_np_missing_gives_name_error_and_rebinding_takes_effect():
    del Quorvane.np
    try:
        with pytest.raises(NameError, match="name 'np' is not defined") as info:
            speed(**speed_args())
        assert quorvane_entries(info) == [(SPEED, 162)]
        with pytest.raises(NameError, match="name 'np' is not defined") as info:
            angle(**angle_args())
        assert quorvane_entries(info) == [(ANGLE, 151)]
    finally:
        Quorvane.np = np
    np.testing.assert_array_equal(speed(**speed_args()), np.full((3, 4), 8.15))


@pytest.mark.parametrize("returned", [np.empty((2, 4)), np.empty((3, 3)), np.empty((4, 5)), np.empty((3, 4), np.float32)])
def test_result_from_empty_must_be_the_requested_grid(returned, stand_in_np):
    stand_in_np.empty = lambda *args, **kwargs: returned
    before = returned.copy()
    with pytest.raises(ValueError) as info:
        speed(**speed_args())
    assert quorvane_entries(info) == [(SPEED, 162)]
    assert returned.tobytes() == before.tobytes()  # nothing was written into it

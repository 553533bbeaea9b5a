"""Argument checks of both entries: types, buffers, shapes, views, `np`."""
import sys

import numpy as np
import pytest

import Quorvane
from conftest import quorvane_entries
from interface import (ANGLE, BIG_ENDIAN, ENTRY_NAME, LINES, PARAMETERS, SPEED, dtype_mismatch,
                       incorrect_type, item_size, not_defined, not_understood, smaller_shape,
                       wrong_dimensions)

speed = Quorvane.python_windspeedCmod5n
angle = Quorvane.python_ERA5_windAngle


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
            assert str(info.value) == incorrect_type(name, type_name)
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
    yield np.zeros(4, np.float32), ValueError, wrong_dimensions(1)
    yield np.zeros((2, 2, 2), np.float32), ValueError, wrong_dimensions(3)
    yield np.zeros((2, 2)), ValueError, dtype_mismatch("'double'")
    yield np.zeros((2, 2), np.dtype("l")), ValueError, dtype_mismatch("'long'")
    yield np.zeros((2, 2), np.dtype("q")), ValueError, dtype_mismatch("'long long'")
    yield np.zeros((2, 2), bool), ValueError, dtype_mismatch("'bool'")
    yield np.zeros((2, 2), np.complex64), ValueError, dtype_mismatch("'complex float'")
    yield np.zeros((2, 2), np.float16), ValueError, not_understood("e")
    yield np.zeros((2, 2), object), ValueError, dtype_mismatch("Python object")
    yield np.zeros((2, 2), "S3"), ValueError, dtype_mismatch("a string")
    yield np.zeros((2, 2), "U3"), ValueError, not_understood("w")
    yield np.zeros((2, 2), record), ValueError, item_size(8)
    yield np.zeros((2, 2), ">f4"), ValueError, BIG_ENDIAN
    yield np.zeros((2, 2), "M8[s]"), ValueError, None  # NumPy's own refusal


@pytest.mark.parametrize("bad, error, message", list(bad_arrays()))
def test_array_buffer_check_refuses_before_allocating(bad, error, message, stand_in_np):
    for entry, make, name in ((speed, speed_args, SPEED), (angle, angle_args, ANGLE)):
        for parameter in PARAMETERS[name]:
            with pytest.raises(error) as info:
                entry(**make(**{parameter: bad}))
            if message is not None:
                assert str(info.value) == message
            assert quorvane_entries(info) == [(ENTRY_NAME[name], LINES[name]["definition"])]
    assert stand_in_np.calls["empty"] == 0


@pytest.mark.parametrize("short", [(2, 4), (3, 3), (0, 0)])
def test_later_arguments_must_cover_the_first(short, stand_in_np):
    with pytest.raises(ValueError) as info:
        speed(**speed_args(sigma0=grid(shape=short)))
    assert str(info.value) == smaller_shape("sigma0", short, (3, 4), "wind_dir")
    assert quorvane_entries(info) == [(ENTRY_NAME[SPEED], LINES[SPEED]["definition"])]
    with pytest.raises(ValueError) as info:
        angle(**angle_args(wind_V10=grid(shape=short)))
    assert str(info.value) == smaller_shape("wind_V10", short, (3, 4), "wind_U10")
    assert quorvane_entries(info) == [(ENTRY_NAME[ANGLE], LINES[ANGLE]["definition"])]
    assert stand_in_np.calls["empty"] == 0


# --- views ------------------------------------------------------------------------

def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


@pytest.mark.parametrize(
    "entry, make, name, position",
    [(speed, speed_args, SPEED, 0), (speed, speed_args, SPEED, 1), (speed, speed_args, SPEED, 2),
     (angle, angle_args, ANGLE, 0), (angle, angle_args, ANGLE, 1)],
)
def test_read_only_arrays_are_refused_at_their_view(entry, make, name, position, stand_in_np):
    parameter = PARAMETERS[name][position]
    made = []

    def empty(*args, **kwargs):
        made.append(np.empty(*args, **kwargs))
        return made[-1]

    stand_in_np.empty = empty
    args = make()
    args[parameter] = read_only(args[parameter])
    with pytest.raises(ValueError, match="read-only") as info:
        entry(**args)
    assert quorvane_entries(info) == [(ENTRY_NAME[name], LINES[name]["views"][position])]
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
    "missing, speed_step, angle_step",
    [("empty", "allocate", "allocate"), ("float64", "allocate", None),
     ("float32", None, "allocate"), ("asarray", "wrap", "wrap")],
)
def test_np_without_an_attribute_fails_at_its_line(missing, speed_step, angle_step):
    Quorvane.np = Without(missing)
    try:
        for entry, make, step, name in ((speed, speed_args, speed_step, SPEED), (angle, angle_args, angle_step, ANGLE)):
            if step is None:
                entry(**make())  # this entry does not use the attribute
                continue
            with pytest.raises(AttributeError) as info:
                entry(**make())
            assert quorvane_entries(info) == [(ENTRY_NAME[name], LINES[name][step])]
    finally:
        Quorvane.np = np


def test_np_missing_gives_name_error_and_rebinding_takes_effect():
    del Quorvane.np
    try:
        for entry, make, name in ((speed, speed_args, SPEED), (angle, angle_args, ANGLE)):
            with pytest.raises(NameError) as info:
                entry(**make())
            assert str(info.value) == not_defined("np")
            assert quorvane_entries(info) == [(ENTRY_NAME[name], LINES[name]["allocate"])]
    finally:
        Quorvane.np = np
    np.testing.assert_array_equal(speed(**speed_args()), np.full((3, 4), 8.15))


@pytest.mark.parametrize("returned", [np.empty((2, 4)), np.empty((3, 3)), np.empty((4, 5)), np.empty((3, 4), np.float32)])
def test_result_from_empty_must_be_the_requested_grid(returned, stand_in_np):
    stand_in_np.empty = lambda *args, **kwargs: returned
    before = returned.copy()
    with pytest.raises(ValueError) as info:
        speed(**speed_args())
    assert quorvane_entries(info) == [(ENTRY_NAME[SPEED], LINES[SPEED]["allocate"])]
    assert returned.tobytes() == before.tobytes()  # nothing was written into it


def test_lookups_and_buffer_requests_come_in_a_fixed_order():
    """Read-only requests for every argument, np.empty and the dtype, writable
    requests for every argument, np.asarray: nothing more, in this order."""
    events = []

    class Recorded(np.ndarray):
        def __buffer__(self, flags):
            events.append((self.parameter, flags))
            return memoryview(self.view(np.ndarray))

    class RecordedNp:
        def __getattr__(self, attribute):
            events.append("np." + attribute)
            return getattr(np, attribute)

    read_only, writable = 0x1C, 0x1D  # format and strides, then also writable
    Quorvane.np = RecordedNp()
    try:
        for entry, make, name, dtype in ((speed, speed_args, SPEED, "float64"),
                                         (angle, angle_args, ANGLE, "float32")):
            arguments = make()
            for parameter in PARAMETERS[name]:
                arguments[parameter] = arguments[parameter].view(Recorded)
                arguments[parameter].parameter = parameter
            events.clear()
            entry(**arguments)
            assert events == (
                [(p, read_only) for p in PARAMETERS[name]] + ["np.empty", "np." + dtype]
                + [(p, writable) for p in PARAMETERS[name]] + ["np.asarray"]
            )
    finally:
        Quorvane.np = np

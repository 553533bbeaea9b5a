"""Property tests of both entries over what a caller can hand them.

Hypothesis draws whole calls: every argument an array of some dtype, byte
order, shape (empty ones included) and memory layout (C or Fortran order,
steps, reversed axes, zero strides, unaligned data, read-only) or some other
object, passed by position or by keyword under various spellings, sometimes
with one argument too many, too few or misnamed. A small model of the
argument rules predicts what each call must do: return the grid its inputs
give, or raise the documented exception with its exact message. Nothing may
crash, and the inputs must come back untouched.

The number of examples per test is QUORVANE_HYPOTHESIS_EXAMPLES (default 150).
"""
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from numpy.lib.stride_tricks import as_strided

import Quorvane
import interface
from interface import (BIG_ENDIAN, argument_count, dtype_mismatch, incorrect_type, item_size,
                       multiple_values, not_understood, smaller_shape, unexpected_keyword,
                       wrong_dimensions)

EXAMPLES = int(os.environ.get("QUORVANE_HYPOTHESIS_EXAMPLES", "150"))
property_settings = settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

SPEED = (interface.SPEED, interface.PARAMETERS[interface.SPEED])
ANGLE = (interface.ANGLE, interface.PARAMETERS[interface.ANGLE])

# Values per parameter: wide enough to reach many branches of the model, and
# a sigma0 range whose speed search ends well before the top of the ladder.
VALUES = {
    "wind_dir": st.floats(-360, 360, width=32),
    "inc_angle": st.floats(15, 60, width=32),
    "sigma0": st.floats(-32, -12, width=32),
    "wind_U10": st.floats(-40, 40, width=32),
    "wind_V10": st.floats(-40, 40, width=32),
}

# Element types refused by the array buffer check, with their message.
REFUSED_DTYPES = [
    (np.dtype(">f4"), BIG_ENDIAN),
    (np.dtype(np.float64), dtype_mismatch("'double'")),
    (np.dtype(">f8"), BIG_ENDIAN),
    (np.dtype(np.int32), dtype_mismatch("'int'")),
    (np.dtype(np.int64), dtype_mismatch("'long'")),
    (np.dtype(np.uint8), dtype_mismatch("'unsigned char'")),
    (np.dtype(np.int16), dtype_mismatch("'short'")),
    (np.dtype(bool), dtype_mismatch("'bool'")),
    (np.dtype(np.complex64), dtype_mismatch("'complex float'")),
    (np.dtype(np.float16), not_understood("e")),
    (np.dtype(object), dtype_mismatch("Python object")),
    (np.dtype("S4"), dtype_mismatch("a string")),
    (np.dtype("U1"), not_understood("w")),
    (np.dtype({"names": ["x"], "formats": ["<f4"], "itemsize": 8}),
     item_size(8)),
    (np.dtype({"names": ["x", "y"], "formats": ["<f4", "<f4"]}),
     dtype_mismatch("'float'", expected="end")),
]

# Objects refused by the array type check, with the type name the message gives.
NON_ARRAYS = [
    (None, "NoneType"), ([[1.0]], "list"), (1.5, "float"), (np.float32(1.0), "numpy.float32"),
    ("wind", "str"), ((1, 2), "tuple"), (memoryview(np.zeros((2, 2), np.float32)), "memoryview"),
]


class Subclass(np.ndarray):
    pass


class Name(str):
    pass


# --- arguments -------------------------------------------------------------------

LAYOUTS = ["C", "F", "stepped", "reversed", "transposed", "zero row stride", "zero strides",
           "unaligned", "subclass"]


def lay_out(data, layout):
    """A float32 array holding data (or, for zero strides, data's first row or
    element repeated) in the given memory layout, writable."""
    rows, columns = data.shape
    if layout == "C":
        return np.ascontiguousarray(data)
    if layout == "F":
        return np.asfortranarray(data)
    if layout == "stepped":
        big = np.zeros((2 * rows + 1, 3 * columns + 1), np.float32)
        big[1::2, ::3][:rows, :columns] = data
        return big[1::2, ::3][:rows, :columns]
    if layout == "reversed":
        return data[::-1, ::-1].copy()[::-1, ::-1]
    if layout == "transposed":
        return np.ascontiguousarray(data.T).T
    if layout == "zero row stride":
        base = np.ascontiguousarray(data[:1]) if rows else np.zeros((1, columns), np.float32)
        return as_strided(base, shape=data.shape, strides=(0, 4), writeable=True)
    if layout == "zero strides":
        base = np.ascontiguousarray(data[:1, :1]) if data.size else np.zeros((1, 1), np.float32)
        return as_strided(base, shape=data.shape, strides=(0, 0), writeable=True)
    if layout == "unaligned":
        raw = np.zeros(data.size * 4 + 1, np.uint8)
        out = raw[1:].view(np.float32).reshape(data.shape)
        out[...] = data
        return out
    if layout == "subclass":
        return np.ascontiguousarray(data).view(Subclass)
    raise AssertionError(layout)


class Argument:
    """An object to pass, and what the argument rules must make of it."""

    def __init__(self, value, refusal=None, read_only=False):
        self.value = value
        self.refusal = refusal      # (exception, message) of the type or buffer check
        self.read_only = read_only  # refused at the view, with NumPy's message

    def __repr__(self):
        v = self.value
        if isinstance(v, np.ndarray):
            return f"Argument({v.dtype}, {v.shape}, strides={v.strides}, read_only={self.read_only})"
        return f"Argument({v!r})"


@st.composite
def good_grid(draw, parameter, shape):
    data = draw(hnp.arrays(np.float32, shape, elements=VALUES[parameter]))
    array = lay_out(data, draw(st.sampled_from(LAYOUTS)))
    read_only = draw(st.integers(0, 15)) == 0
    if read_only:
        array.flags.writeable = False
    return Argument(array, read_only=read_only)


@st.composite
def bad_argument(draw):
    kind = draw(st.sampled_from(["dtype", "dimensions", "object"]))
    if kind == "dtype":
        dtype, message = draw(st.sampled_from(REFUSED_DTYPES))
        shape = draw(st.tuples(st.integers(0, 3), st.integers(0, 3)))
        return Argument(np.zeros(shape, dtype), (ValueError, message))
    if kind == "dimensions":
        ndim = draw(st.sampled_from([0, 1, 3, 4]))
        array = np.zeros((2,) * ndim, np.float32)
        return Argument(array, (ValueError, wrong_dimensions(ndim)))
    value, type_name = NON_ARRAYS[draw(st.integers(0, len(NON_ARRAYS) - 1))]
    return Argument(value, (TypeError, type_name))


@st.composite
def arguments_for(draw, parameters):
    """One Argument per parameter: mostly grids that cover the first one's
    shape, now and then a smaller grid or a refused object."""
    rows, columns = draw(st.integers(0, 4)), draw(st.integers(0, 4))
    out = []
    for index, parameter in enumerate(parameters):
        choice = draw(st.integers(0, 15))
        if choice == 0:
            out.append(draw(bad_argument()))
            continue
        shape = (rows, columns)
        if index > 0:
            extra = st.integers(-1 if choice == 1 else 0, 2)
            shape = (max(0, rows + draw(extra)), max(0, columns + draw(extra)))
        out.append(draw(good_grid(parameter, shape)))
    return out


# --- calls -----------------------------------------------------------------------

def spell(draw, name):
    """The keyword as the caller writes it: the literal, an equal string
    made at run time, or an instance of a str subclass."""
    how = draw(st.sampled_from(["literal", "fresh", "subclass"]))
    if how == "fresh":
        return "".join(list(name))
    if how == "subclass":
        return Name(name)
    return name


@st.composite
def calls(draw, entry):
    """(positional values, keyword dict, parameters, Arguments, mistake)."""
    name, parameters = entry
    count = len(parameters)
    arguments = draw(arguments_for(parameters))
    positional = draw(st.integers(0, count))
    order = draw(st.permutations(range(positional, count)))
    mistake = draw(st.sampled_from([None] * 6 + ["extra positional", "missing", "unknown", "repeated"]))
    pos = [a.value for a in arguments[:positional]]
    keywords = [(parameters[i], arguments[i].value) for i in order]
    if mistake == "extra positional":
        pos.append(np.zeros((1, 1), np.float32))
    elif mistake == "missing":
        if keywords:
            keywords.pop(draw(st.integers(0, len(keywords) - 1)))
        elif pos:
            pos.pop()
        else:
            mistake = None
    elif mistake == "unknown":
        keywords.insert(draw(st.integers(0, len(keywords))), ("wind_speed", np.zeros((1, 1), np.float32)))
    elif mistake == "repeated":
        if positional:
            keywords.insert(draw(st.integers(0, len(keywords))),
                            (parameters[draw(st.integers(0, positional - 1))], np.zeros((1, 1), np.float32)))
        else:
            mistake = None
    kwargs = {spell(draw, k): v for k, v in keywords}
    return pos, kwargs, arguments, mistake


def predicted_binding_error(name, parameters, positional, keywords):
    """The TypeError message of binding, or None when every parameter is bound."""
    count = len(parameters)
    if not keywords:
        return None if len(positional) == count else argument_count(name, len(positional))
    if len(positional) > count:
        return argument_count(name, len(positional))
    bound = set(range(len(positional)))
    for keyword in keywords:
        if keyword in parameters[len(positional):]:
            bound.add(parameters.index(keyword))
        elif keyword in parameters:
            return multiple_values(name, keyword)
        else:
            return unexpected_keyword(name, keyword)
    missing = [i for i in range(count) if i not in bound]
    return argument_count(name, missing[0]) if missing else None


def expected_outcome(entry, arguments):
    """For a call that binds: ("raises", exception, message) or ("returns", grid)."""
    name, parameters = entry
    for parameter, argument in zip(parameters, arguments):
        if argument.refusal and argument.refusal[0] is TypeError:
            return ("raises", TypeError, incorrect_type(parameter, argument.refusal[1]))
    for argument in arguments:
        if argument.refusal:
            return ("raises",) + argument.refusal
    rows, columns = arguments[0].value.shape
    for parameter, argument in zip(parameters[1:], arguments[1:]):
        r, c = argument.value.shape
        if r < rows or c < columns:
            return ("raises", ValueError,
                    smaller_shape(parameter, (r, c), (rows, columns), parameters[0]))
    if any(a.read_only for a in arguments):
        return ("raises", ValueError, "buffer source array is read-only")
    # The same values, copied to C-ordered arrays of exactly the grid's size.
    plain = [np.ascontiguousarray(a.value[:rows, :columns], dtype=np.float32) for a in arguments]
    return ("returns", getattr(Quorvane, name)(*plain), plain)


def check_call(entry, call):
    name, parameters = entry
    positional, kwargs, arguments, _ = call
    snapshots = [np.array(a.value, copy=True) for a in arguments if isinstance(a.value, np.ndarray)
                 and a.value.dtype.kind == "f"]
    function = getattr(Quorvane, name)
    binding = predicted_binding_error(name, parameters, positional, [str(k) for k in kwargs])
    expected = ("raises", TypeError, binding) if binding else expected_outcome(entry, arguments)

    if expected[0] == "raises":
        with pytest.raises(expected[1]) as info:
            function(*positional, **kwargs)
        assert str(info.value) == expected[2]
    else:
        result = function(*positional, **kwargs)
        reference = expected[1]
        assert type(result) is np.ndarray
        assert result.dtype == (np.float64 if name == SPEED[0] else np.float32)
        assert result.shape == reference.shape
        assert result.flags.c_contiguous and result.flags.writeable
        np.testing.assert_array_equal(result, reference)
        if name == ANGLE[0]:
            check_angles(result, *expected[2])

    remaining = [a.value for a in arguments if isinstance(a.value, np.ndarray) and a.value.dtype.kind == "f"]
    for before, after in zip(snapshots, remaining):
        np.testing.assert_array_equal(after, before)  # the inputs are only read


def check_angles(result, u, v):
    """The direction the wind blows from, computed by NumPy in double precision."""
    u, v = u.astype(np.float64), v.astype(np.float64)
    s = np.sqrt(u * u + v * v)
    with np.errstate(invalid="ignore", divide="ignore"):
        expected = np.arctan2(-u / s, -v / s).astype(np.float32)
    assert np.array_equal(np.isnan(result), np.isnan(expected))
    finite = ~np.isnan(expected)
    np.testing.assert_array_max_ulp(result[finite], expected[finite], maxulp=1)


@property_settings
@given(calls(SPEED))
def test_wind_speed_calls_return_the_grid_or_raise_as_documented(call):
    check_call(SPEED, call)


@property_settings
@given(calls(ANGLE))
def test_wind_angle_calls_return_the_grid_or_raise_as_documented(call):
    check_call(ANGLE, call)


@property_settings
@given(st.data())
def test_results_do_not_depend_on_the_layout_of_the_inputs(data):
    """Each input in its own layout gives, bit for bit, what C-ordered copies give."""
    for name, parameters in (SPEED, ANGLE):
        shape = data.draw(st.tuples(st.integers(0, 5), st.integers(0, 5)))
        values = [data.draw(hnp.arrays(np.float32, shape, elements=VALUES[p])) for p in parameters]
        laid_out = [lay_out(v, data.draw(st.sampled_from(LAYOUTS))) for v in values]
        copies = [np.ascontiguousarray(a) for a in laid_out]
        function = getattr(Quorvane, name)
        np.testing.assert_array_equal(function(*laid_out), function(*copies))

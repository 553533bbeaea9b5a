"""Binding of positional and keyword arguments to the entries' parameters."""
import numpy as np
import pytest

import Quorvane
from conftest import quorvane_entries
from interface import (ANGLE, ENTRY_NAME, LINES, SPEED, argument_count, keywords_not_strings,
                       multiple_values, unexpected_keyword)

speed = Quorvane.python_windspeedCmod5n
angle = Quorvane.python_ERA5_windAngle


def grid(value=0.0, shape=(2, 3)):
    return np.full(shape, value, dtype=np.float32)


DIR, INC, SIG = grid(0.0), grid(30.0), grid(-10.0)
U, V = grid(-5.0), grid(0.0)


@pytest.mark.parametrize(
    "call, message, entry",
    [
        (lambda: speed(DIR, INC), argument_count(SPEED, 2), SPEED),
        (lambda: speed(), argument_count(SPEED, 0), SPEED),
        (lambda: speed(DIR, INC, SIG, SIG), argument_count(SPEED, 4), SPEED),
        (lambda: speed(DIR, INC, SIG, SIG, sigma0=SIG), argument_count(SPEED, 4), SPEED),
        (lambda: speed(wind_dir=DIR, inc_angle=INC), argument_count(SPEED, 2), SPEED),
        (lambda: speed(DIR, sigma0=SIG), argument_count(SPEED, 1), SPEED),
        (lambda: speed(sigma0=SIG), argument_count(SPEED, 0), SPEED),
        (lambda: speed(DIR, INC, SIG, wind_dir=DIR), multiple_values(SPEED, "wind_dir"), SPEED),
        (lambda: speed(DIR, INC, sigma0=SIG, inc_angle=INC), multiple_values(SPEED, "inc_angle"), SPEED),
        (lambda: speed(DIR, INC, SIG, speed=1), unexpected_keyword(SPEED, "speed"), SPEED),
        (lambda: angle(), argument_count(ANGLE, 0), ANGLE),
        (lambda: angle(U), argument_count(ANGLE, 1), ANGLE),
        (lambda: angle(U, V, V), argument_count(ANGLE, 3), ANGLE),
        (lambda: angle(wind_V10=V), argument_count(ANGLE, 0), ANGLE),
        (lambda: angle(U, wind_U10=U), multiple_values(ANGLE, "wind_U10"), ANGLE),
        (lambda: angle(U, V, u=1), unexpected_keyword(ANGLE, "u"), ANGLE),
    ],
)
def test_binding_failures_raise_type_error_at_the_definition_line(call, message, entry):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert quorvane_entries(info) == [(ENTRY_NAME[entry], LINES[entry]["definition"])]


def test_keywords_in_any_order_bind_like_positions():
    expected = speed(DIR, INC, SIG)
    for result in (
        speed(DIR, INC, sigma0=SIG),
        speed(DIR, sigma0=SIG, inc_angle=INC),
        speed(sigma0=SIG, wind_dir=DIR, inc_angle=INC),
        speed(**{"inc_angle": INC, "sigma0": SIG, "wind_dir": DIR}),
    ):
        np.testing.assert_array_equal(result, expected)
    expected = angle(U, V)
    for result in (angle(U, wind_V10=V), angle(wind_V10=V, wind_U10=U), angle(**{"wind_U10": U, "wind_V10": V})):
        np.testing.assert_array_equal(result, expected)


def test_keyword_spelled_by_a_str_subclass_or_a_fresh_string_binds():
    class Name(str):
        pass

    fresh = "".join(["sig", "ma0"])  # equal to the parameter name, not the same object
    np.testing.assert_array_equal(speed(DIR, INC, **{fresh: SIG}), speed(DIR, INC, SIG))
    np.testing.assert_array_equal(speed(DIR, INC, **{Name("sigma0"): SIG}), speed(DIR, INC, SIG))


def test_non_string_keyword_is_refused_before_binding():
    with pytest.raises(TypeError, match="keywords must be strings"):
        speed(DIR, INC, **{1: SIG})


def test_non_string_keyword_name_in_a_vectorcall_is_refused():
    # Python syntax cannot pass such a call; the C calling convention can.
    import ctypes

    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    values = (ctypes.py_object * 3)(DIR, INC, SIG)
    with pytest.raises(TypeError) as info:
        vectorcall(speed, values, 2, (7,))
    assert str(info.value) == keywords_not_strings(SPEED)
    assert quorvane_entries(info) == [(ENTRY_NAME[SPEED], LINES[SPEED]["definition"])]
    # The same route with a proper name binds normally.
    np.testing.assert_array_equal(vectorcall(speed, values, 2, ("sigma0",)), speed(DIR, INC, SIG))

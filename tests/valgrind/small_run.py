"""A small run of both entries for valgrind's memcheck: results on grids in
several layouts, and each kind of failure once. Prints what it checked."""
import numpy as np

import Quorvane

speed = Quorvane.python_windspeedCmod5n
angle = Quorvane.python_ERA5_windAngle

d = np.array([[0.0, 45.0, 90.0], [180.0, -45.0, 0.0]], np.float32)
i = np.array([[30.0, 35.0, 40.0], [25.0, 60.0, 16.0]], np.float32)
s = np.array([[-10.0, -15.0, -20.0], [-5.0, -40.0, 0.0]], np.float32)
expected = speed(d, i, s)
assert expected.shape == (2, 3) and expected.dtype == np.float64
for layout in (np.asfortranarray, lambda a: a[::-1, ::-1].copy()[::-1, ::-1],
               lambda a: np.repeat(a, 2, axis=1)[:, ::2]):
    assert np.array_equal(speed(*(layout(a) for a in (d, i, s))), expected)
assert np.array_equal(speed(sigma0=s, wind_dir=d, inc_angle=i), expected)
assert speed(d[:0], i, s).shape == (0, 3)

u = np.array([[-5.0, 5.0, 3.0], [-3.0, 1.0, 0.0]], np.float32)
v = np.array([[0.0, 0.0, 4.0], [-4.0, 1.0, 0.0]], np.float32)
angles = angle(u, v)
assert angles.dtype == np.float32 and np.isnan(angles[1, 2])
assert np.array_equal(angle(wind_V10=v.T.copy().T, wind_U10=u), angles, equal_nan=True)

read_only = s.copy()
read_only.flags.writeable = False
failures = [
    lambda: speed(d, i), lambda: speed(d, i, s, wind_dir=d), lambda: speed(d, i, sigma=s),
    lambda: speed(d, [[1.0]], s), lambda: speed(d, i, s.astype(np.float64)),
    lambda: speed(d, i, s.astype(">f4")), lambda: speed(d, i, s.ravel()),
    lambda: speed(d, i, s[:1]), lambda: speed(d, i, read_only),
    lambda: angle(u), lambda: angle(u, v.astype(np.float16)), lambda: angle(read_only, v),
]
for failure in failures:
    try:
        failure()
    except (TypeError, ValueError):
        pass
    else:
        raise AssertionError("no exception")

saved = Quorvane.np
del Quorvane.np
try:
    speed(d, i, s)
except NameError:
    pass
Quorvane.np = saved
print(f"valgrind run: {4 + 3 + 1 + len(failures) + 1} calls checked")

"""Runs an installed Quorvane in another environment: `python wheel_probe.py DIR`
reads the inputs DIR/*.in.npy, writes the results DIR/*.out.npy and prints a
JSON report (NumPy version, where the module and the libraries it runs on came
from, whether the system's copies of those can be loaded, what its argument
checks raised). Uses only the module and NumPy."""
import ctypes
import json
import sys
from pathlib import Path

import numpy as np

import Quorvane

folder = Path(sys.argv[1])
load = {name: np.load(folder / f"{name}.in.npy") for name in ("dir", "inc", "sig", "u", "v")}

speed = Quorvane.python_windspeedCmod5n(load["dir"], load["inc"], load["sig"])
angle = Quorvane.python_ERA5_windAngle(load["u"], load["v"])
# The same values through strided views: column-major and reversed rows.
speed_strided = Quorvane.python_windspeedCmod5n(
    np.asfortranarray(load["dir"]), np.ascontiguousarray(load["inc"][::-1])[::-1], load["sig"])
angle_strided = Quorvane.python_ERA5_windAngle(np.asfortranarray(load["u"]), load["v"])
for name, result in (("speed", speed), ("angle", angle),
                     ("speed_strided", speed_strided), ("angle_strided", angle_strided)):
    np.save(folder / f"{name}.out.npy", result)


def raised(call):
    try:
        call()
    except Exception as exc:        # reported, judged by the test
        return [type(exc).__name__, str(exc)]
    return None


def mapped_libraries():
    """The files of SLEEF and of the OpenMP runtime mapped into this process."""
    paths = set()
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split(maxsplit=5)
            if len(fields) == 6 and Path(fields[5].strip()).name.startswith(("libsleef", "libgomp")):
                paths.add(fields[5].strip())
    return sorted(paths)


def load_error(soname):
    """The dynamic loader's error for a library of this name, None if it loads."""
    try:
        ctypes.CDLL(soname)
    except OSError as exc:
        return str(exc)
    return None


libraries = mapped_libraries()          # before load_error() below maps anything
frozen = load["sig"].copy()
frozen.flags.writeable = False
report = {
    "numpy": np.__version__,
    "module_file": Quorvane.__file__,
    "result_types": [str(speed.dtype), str(angle.dtype), list(speed.shape), list(angle.shape)],
    "read_only": raised(lambda: Quorvane.python_windspeedCmod5n(load["dir"], load["inc"], frozen)),
    "float64": raised(lambda: Quorvane.python_ERA5_windAngle(load["u"].astype(np.float64), load["v"])),
    "libraries": libraries,
    "system_load_errors": {name: load_error(name) for name in ("libsleef.so.3", "libgomp.so.1")},
}
print(json.dumps(report))

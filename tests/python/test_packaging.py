"""The wheel: built the way `pip install .` builds it, installed into fresh
virtual environments, and run there under NumPy 1.26 and the newest NumPy 2.x.

Environments and the build folder live under build/packaging/ and are reused
between runs: the NumPy 1.26 and 2.x environments get the new wheel and, for
the latter, the newest NumPy 2.x. The environment of the fresh-install test is
made anew each time. Needs the package index (or pip's cache) for NumPy and
the build requirements."""
import json
import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import numpy as np
import pytest

import Quorvane

ROOT = Path(__file__).resolve().parents[2]
WORK = ROOT / "build" / "packaging"
PROBE = Path(__file__).resolve().parent / "wheel_probe.py"


def clean_env():
    """The environment for child processes, without anything that would make
    them find this process's module or packages."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV", "PIP_REQUIRE_VIRTUALENV")}
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    return env


def run(*args, cwd=None):
    done = subprocess.run([str(a) for a in args], cwd=cwd, env=clean_env(),
                          capture_output=True, text=True)
    if done.returncode != 0:
        pytest.fail(f"{' '.join(map(str, args))} failed ({done.returncode}):\n"
                    f"{done.stdout[-3000:]}\n{done.stderr[-3000:]}")
    return done.stdout


def venv_python(folder):
    return folder / "bin" / "python"


def make_venv(folder):
    if not venv_python(folder).exists():
        shutil.rmtree(folder, ignore_errors=True)
        run(sys.executable, "-m", "venv", folder)
    return venv_python(folder)


@pytest.fixture(scope="module")
def wheel():
    """The wheel of this source tree, built with build isolation like
    `pip install .` (the build requirements come from pyproject.toml), in a
    build folder of its own that later runs reuse."""
    wheelhouse = WORK / "wheelhouse"
    shutil.rmtree(wheelhouse, ignore_errors=True)
    wheelhouse.mkdir(parents=True)
    run(sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "-w", wheelhouse,
        "-C", f"build-dir={WORK / 'wheel-build'}", ROOT)
    wheels = sorted(wheelhouse.glob("quorvane-*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


@pytest.fixture(scope="module")
def probe_inputs(tmp_path_factory):
    """Fixed inputs over the model's domain, with special values, and the
    results of this process's module for them."""
    folder = tmp_path_factory.mktemp("probe")
    rng = np.random.default_rng(2024)
    shape = (37, 23)
    arrays = {
        "dir": rng.uniform(-200, 200, shape),
        "inc": rng.uniform(10, 65, shape),
        "sig": rng.uniform(-35, 2, shape),
        "u": rng.normal(0, 8, shape),
        "v": rng.normal(0, 8, shape),
    }
    arrays = {k: a.astype(np.float32) for k, a in arrays.items()}
    arrays["sig"][0, :4] = [np.nan, np.inf, -np.inf, -200]
    arrays["u"][0, :4] = [0.0, -0.0, np.nan, np.inf]
    arrays["v"][0, :4] = [0.0, 2.0, 1.0, 1.0]
    for name, a in arrays.items():
        np.save(folder / f"{name}.in.npy", a)
    expected = {
        "speed": Quorvane.python_windspeedCmod5n(arrays["dir"], arrays["inc"], arrays["sig"]),
        "angle": Quorvane.python_ERA5_windAngle(arrays["u"], arrays["v"]),
    }
    return folder, expected


def run_probe(python, inputs):
    folder, _ = inputs
    for old in folder.glob("*.out.npy"):
        old.unlink()
    report = json.loads(run(python, PROBE, folder, cwd=folder).strip().splitlines()[-1])
    results = {name: np.load(folder / f"{name}.out.npy")
               for name in ("speed", "angle", "speed_strided", "angle_strided")}
    return report, results


def same_bits(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def same_values(a, b):
    """Equal bit for bit except inside NaNs, whose sign and payload a build of
    the same sources with other compiler or vector paths may set differently."""
    if a.dtype != b.dtype or a.shape != b.shape:
        return False
    nan_a, nan_b = np.isnan(a), np.isnan(b)
    return np.array_equal(nan_a, nan_b) and same_bits(a[~nan_a], b[~nan_b])


def check_probe(report, results, inputs, venv):
    """The installed wheel ran from `venv`, refused bad arguments as the module
    does, gave the same results through strided views as through contiguous
    arrays, and the same values as the module under test."""
    _, expected = inputs
    assert Path(report["module_file"]).resolve().is_relative_to(venv.resolve())
    assert report["result_types"] == ["float64", "float32", [37, 23], [37, 23]]
    assert same_bits(results["speed_strided"], results["speed"])
    assert same_bits(results["angle_strided"], results["angle"])
    assert same_values(results["speed"], expected["speed"])
    assert same_values(results["angle"], expected["angle"])
    assert report["read_only"][0] == "ValueError" and "read-only" in report["read_only"][1]
    assert report["float64"][0] == "ValueError"


def test_wheel_holds_the_module_and_depends_on_numpy_only(wheel):
    """The native module and the pure-Python products package; NumPy is the
    only dependency without the `products` extra."""
    with zipfile.ZipFile(wheel) as zf:
        names = zf.namelist()
        meta_name = next(n for n in names if n.endswith(".dist-info/METADATA"))
        meta = zf.read(meta_name).decode()
        entry_points = zf.read(meta_name.replace("METADATA", "entry_points.txt")).decode()
    modules = [n for n in names if not n.split("/")[0].endswith(".dist-info")]
    native = [n for n in modules if "/" not in n]
    assert len(native) == 1 and native[0].startswith("Quorvane.cpython-312-")
    assert native[0].endswith(".so")
    package = {n.split("/", 1)[1] for n in modules if n.startswith("quorvane_wind/")}
    assert {"__init__.py", "__main__.py", "cli.py", "sentinel1.py", "era5.py",
            "product.py"} <= package
    assert len(native) + len(package) == len(modules)
    requires = [line.split(":", 1)[1].strip() for line in meta.splitlines()
                if line.startswith("Requires-Dist:")]
    assert [r for r in requires if "extra ==" not in r] == ["numpy>=1.23"]
    extra = {r.split(";")[0].strip().split(">")[0].split("[")[0].lower() for r in requires if "extra ==" in r}
    assert {"xarray", "dask", "distributed", "xarray-sentinel", "rasterio", "netcdf4",
            "global-land-mask"} <= extra
    assert "quorvane-wind = quorvane_wind.cli:main" in entry_points
    assert "Requires-Python: <3.13,>=3.12" in meta or "Requires-Python: >=3.12,<3.13" in meta


def test_wheel_installs_and_runs_in_a_fresh_environment(wheel, probe_inputs, tmp_path):
    venv = tmp_path / "fresh"
    python = make_venv(venv)
    run(python, "-m", "pip", "install", "-q", wheel)          # NumPy comes from the index
    installed = {p["name"].lower() for p in json.loads(run(python, "-m", "pip", "list", "--format=json"))}
    assert installed - {"pip", "setuptools", "wheel"} == {"numpy", "quorvane"}
    report, results = run_probe(python, probe_inputs)
    check_probe(report, results, probe_inputs, venv)


def test_same_build_under_numpy_1_26_and_newest_2x(wheel, probe_inputs):
    """One wheel, two NumPy generations: identical results, bit for bit."""
    seen = {}
    for label, requirement, prefix in (("numpy-1.26", "numpy==1.26.*", "1.26."),
                                       ("numpy-2", "numpy>=2,<3", "2.")):
        venv = WORK / f"venv-{label}"
        python = make_venv(venv)
        run(python, "-m", "pip", "install", "-q", "--upgrade", requirement)
        run(python, "-m", "pip", "install", "-q", "--no-deps", "--force-reinstall", wheel)
        report, results = run_probe(python, probe_inputs)
        assert report["numpy"].startswith(prefix)
        check_probe(report, results, probe_inputs, venv)
        seen[label] = results
    for name in ("speed", "angle"):
        assert same_bits(seen["numpy-1.26"][name], seen["numpy-2"][name])

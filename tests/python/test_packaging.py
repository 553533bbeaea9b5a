"""The wheel to distribute: built from the sdist and repaired by
scripts/wheel.sh, checked with auditwheel, installed into fresh virtual
environments (one where the system's SLEEF and OpenMP runtime cannot be
loaded), and run there under NumPy 1.26 and the newest NumPy 2.x.

Everything lives under build/packaging/. The wheel is built anew each session;
the NumPy 1.26 and 2.x environments are reused between runs and get the new
wheel and, for the latter, the newest NumPy 2.x. The environment of the
fresh-install test is made anew each time. Needs the package index (or pip's
cache) for NumPy and the build requirements."""
import glob
import json
import os
import re
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
TEMPLATE = "testing/data/s1-iw-grd-annotation-template.xml"


def clean_env():
    """The environment for child processes, without anything that would make
    them find this process's module or packages."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV", "PIP_REQUIRE_VIRTUALENV")}
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    return env


def run(*args, cwd=None, env=None):
    done = subprocess.run([str(a) for a in args], cwd=cwd, env={**clean_env(), **(env or {})},
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


@pytest.fixture(scope="session")
def wheel():
    """The repaired wheel of this source tree, made by scripts/wheel.sh with
    the tools of this environment: built with build isolation from the sdist,
    then repaired by auditwheel. A fresh build each session: scikit-build-core
    clears its CMake cache whenever the isolated environment is a new one."""
    dist = WORK / "dist"
    run(ROOT / "scripts" / "wheel.sh", "--out", dist, env={"QUORVANE_VENV": sys.prefix})
    assert len(list(dist.glob("quorvane-*.tar.gz"))) == 1
    wheels = sorted(dist.glob("quorvane-*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


def auditwheel_report(wheel):
    return json.loads(run(sys.executable, "-m", "auditwheel", "show", "--json", wheel))


def system_copies(*stems):
    """The files of the named libraries in the system's library folders."""
    found = set()
    for folder in ("/lib", "/lib64", "/usr/lib", "/usr/lib64", "/usr/local/lib"):
        for stem in stems:
            for path in glob.glob(f"{folder}/{stem}.so*") + glob.glob(f"{folder}/*/{stem}.so*"):
                found.add(os.path.realpath(path))
    return sorted(found)


@pytest.fixture(scope="session")
def without_system_libraries():
    """A command prefix that runs a program in a mount namespace of its own
    where /dev/null covers every system copy of SLEEF and libgomp."""
    hidden = system_copies("libsleef", "libgomp")
    assert any("libsleef" in path for path in hidden), "the system SLEEF the build uses is not found"
    unshare = ["unshare", "--mount"] if os.geteuid() == 0 else ["unshare", "--map-root-user", "--mount"]
    cover = ('n=$1; shift; while [ "$n" -gt 0 ]; do mount --bind /dev/null "$1" || exit 97; '
             'shift; n=$((n - 1)); done; exec "$@"')
    prefix = [*unshare, "sh", "-c", cover, "sh", str(len(hidden)), *hidden]
    if shutil.which("unshare") is None or subprocess.run([*prefix, "true"]).returncode != 0:
        pytest.skip("cannot make a mount namespace here (unshare --mount)")
    return prefix


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


def run_probe(python, inputs, prefix=()):
    folder, _ = inputs
    for old in folder.glob("*.out.npy"):
        old.unlink()
    report = json.loads(run(*prefix, python, PROBE, folder, cwd=folder).strip().splitlines()[-1])
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


def check_probe(report, results, inputs, venv, same=same_values):
    """The installed wheel ran from `venv` on the SLEEF and libgomp copied into
    it, refused bad arguments as the module does, gave the same results through
    strided views as through contiguous arrays, and the same values as the
    module under test (`same` judges)."""
    _, expected = inputs
    module_file = Path(report["module_file"]).resolve()
    assert module_file.is_relative_to(venv.resolve())
    libs = module_file.parent / "quorvane.libs"
    assert [Path(p).parent for p in report["libraries"]] == [libs, libs], report["libraries"]
    assert [Path(p).name.split("-")[0] for p in report["libraries"]] == ["libgomp", "libsleef"]
    assert report["result_types"] == ["float64", "float32", [37, 23], [37, 23]]
    assert same_bits(results["speed_strided"], results["speed"])
    assert same_bits(results["angle_strided"], results["angle"])
    assert same(results["speed"], expected["speed"])
    assert same(results["angle"], expected["angle"])
    assert report["read_only"][0] == "ValueError" and "read-only" in report["read_only"][1]
    assert report["float64"][0] == "ValueError"


def test_wheel_contents_metadata_and_manylinux_tag(wheel):
    """The module, its stub (beside it and as Quorvane-stubs), SLEEF and libgomp
    copied in, the pure-Python products package with its py.typed marker and
    its testing subpackage with the annotation template as package data;
    NumPy the one dependency without the `products` extra; the wheel's tag is
    the manylinux tag that auditwheel finds it consistent with, and no newer
    than its symbols require."""
    with zipfile.ZipFile(wheel) as zf:
        names = zf.namelist()
        info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/METADATA"))
        meta = zf.read(f"{info}/METADATA").decode()
        wheel_info = zf.read(f"{info}/WHEEL").decode()
        entry_points = zf.read(f"{info}/entry_points.txt").decode()
        stubs = {n: zf.read(n) for n in ("Quorvane.pyi", "Quorvane-stubs/__init__.pyi")}
        template = zf.read(f"quorvane_wind/{TEMPLATE}")
    files = sorted(n for n in names if not n.startswith(info) and not n.endswith("/"))
    package = {n.split("/", 1)[1] for n in files if n.startswith("quorvane_wind/")}
    assert {"__init__.py", "__main__.py", "cli.py", "batch.py", "runs.py", "sentinel1/__init__.py",
            "sentinel1/scene.py", "grid.py", "era5.py", "product.py",
            "py.typed", "testing/__init__.py", "testing/s1_grd.py", "testing/sar_scene.py",
            "testing/cmod5n_forward.py", TEMPLATE, "_loops.cpython-312-x86_64-linux-gnu.so",
            "_loops.pyi"} <= package
    assert template == (ROOT / "src" / "quorvane_wind" / TEMPLATE).read_bytes()
    files = [n for n in files if not n.startswith("quorvane_wind/")]
    assert files[:3] == ["Quorvane-stubs/__init__.pyi", "Quorvane.cpython-312-x86_64-linux-gnu.so",
                         "Quorvane.pyi"]
    vendored = [re.fullmatch(r"quorvane\.libs/(lib\w+)-[0-9a-f]{8}\.so[.\d]*", n) for n in files[3:]]
    assert [m and m[1] for m in vendored] == ["libgomp", "libsleef"], files
    assert set(stubs.values()) == {(ROOT / "module" / "Quorvane.pyi").read_bytes()}
    requires = [line.split(":", 1)[1].strip() for line in meta.splitlines()
                if line.startswith("Requires-Dist:")]
    assert [r for r in requires if "extra ==" not in r] == ["numpy>=1.23"]
    extra = {r.split(";")[0].strip().split(">")[0].split("[")[0].lower() for r in requires if "extra ==" in r}
    assert {"xarray", "dask", "distributed", "xarray-sentinel", "rasterio", "netcdf4",
            "global-land-mask"} <= extra
    assert "quorvane-wind = quorvane_wind.cli:main" in entry_points
    assert "Requires-Python: <3.13,>=3.12" in meta or "Requires-Python: >=3.12,<3.13" in meta

    platform = wheel.name.removesuffix(".whl").split("-")[-1]
    assert re.fullmatch(r"manylinux_2_\d+_x86_64", platform), wheel.name
    assert f"Tag: cp312-cp312-{platform}" in wheel_info.splitlines()
    audit = auditwheel_report(wheel)
    assert (audit["overall_tag"], audit["sym_tag"], audit["external_libs"]) == (platform, platform, {})


# Imports quorvane_wind._loops (the package's __init__ needs none of the
# products extras), runs its pass on one block, and reports where it and
# libgomp were loaded from.
LOOPS_PROBE = """
import json, numpy as np
from quorvane_wind import _loops
lut = (np.full((1, 2), 500.0), np.zeros(2, np.int64), np.zeros(2, np.int64), np.zeros(2), False)
azimuth = (np.zeros((0, 2), np.int64), np.zeros((0, 2), np.int64), np.zeros((0, 2)))
blocks = _loops.block_pass(np.array([[100, 0], [200, 300]], np.uint16), (2, 2), lut, None, azimuth)
maps = {line.split()[-1] for line in open("/proc/self/maps") if "libgomp" in line}
print(json.dumps({"file": _loops.__file__, "count": blocks[3].tolist(), "libgomp": sorted(maps)}))
"""


def test_wheel_runs_without_the_system_sleef_and_openmp(wheel, probe_inputs, without_system_libraries,
                                                        tmp_path):
    """Installed into a fresh environment and run where the system's copies of
    SLEEF and libgomp cannot be loaded: the same bits as the module under test,
    from the libraries in the wheel, and still only PyInit_Quorvane exported."""
    venv = tmp_path / "fresh"
    python = make_venv(venv)
    run(python, "-m", "pip", "install", "-q", wheel)          # NumPy comes from the index
    installed = {p["name"].lower() for p in json.loads(run(python, "-m", "pip", "list", "--format=json"))}
    assert installed - {"pip", "setuptools", "wheel"} == {"numpy", "quorvane"}
    report, results = run_probe(python, probe_inputs, prefix=without_system_libraries)
    assert all(report["system_load_errors"].values()), report["system_load_errors"]
    check_probe(report, results, probe_inputs, venv, same=same_bits)
    listing = run("nm", "-D", "--defined-only", report["module_file"])
    assert [line.split()[-1] for line in listing.splitlines() if line.strip()] == ["PyInit_Quorvane"]
    # The products package's module too: its libgomp from the wheel, and
    # only its own init function exported.
    loops = json.loads(run(*without_system_libraries, python, "-c", LOOPS_PROBE).strip().splitlines()[-1])
    assert loops["count"] == [[3]] and Path(loops["file"]).parent.name == "quorvane_wind", loops
    assert loops["libgomp"] and all("/quorvane.libs/" in path for path in loops["libgomp"]), loops
    listing = run("nm", "-D", "--defined-only", loops["file"])
    assert [line.split()[-1] for line in listing.splitlines() if line.strip()] == ["PyInit__loops"]


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


def test_cmake_refuses_targets_other_than_x86_64(tmp_path):
    cmake = shutil.which("cmake", path=f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}")
    done = subprocess.run([cmake, "-S", ROOT, "-B", tmp_path, "-DCMAKE_SYSTEM_NAME=Linux",
                           "-DCMAKE_SYSTEM_PROCESSOR=aarch64"], capture_output=True, text=True)
    message = " ".join(done.stderr.split())
    assert done.returncode != 0
    assert "x86-64 only" in message and "SSE2" in message and "'aarch64'" in message, message

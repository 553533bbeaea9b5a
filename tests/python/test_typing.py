"""The type stub of the module: a typed use of the module passes
`mypy --strict` with the stub as installed (and does not with a stub that is
wrong), and the stub declares the names and parameters the module has; the
products layer passes `mypy --strict` too."""
import ast
import inspect
import os
import subprocess
import sys
from pathlib import Path

import Quorvane

ROOT = Path(__file__).resolve().parents[2]
USAGE = ROOT / "tests" / "typing" / "quorvane_usage.py"
STUB = ROOT / "module" / "Quorvane.pyi"


def test_typed_usage_passes_mypy_strict(tmp_path):
    # From an empty folder and without this process's preloads and paths, so
    # that mypy takes the stub from the installed package and nothing else;
    # its cache is kept between runs.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC", "PYTHONPATH")}
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", ROOT / "build" / "mypy-cache", USAGE],
        cwd=tmp_path, env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr


def test_stub_declares_the_module_names_and_parameters():
    stub = ast.parse(STUB.read_text())
    functions = {node.name: node for node in stub.body if isinstance(node, ast.FunctionDef)}
    assigned = {target.id for node in stub.body if isinstance(node, ast.Assign) for target in node.targets}
    public = {name for name in dir(Quorvane) if not name.startswith("_")}
    assert set(functions) | assigned == public
    for name, node in functions.items():
        parameters = inspect.signature(getattr(Quorvane, name)).parameters.values()
        assert {p.kind for p in parameters} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
        assert [a.arg for a in node.args.args] == [p.name for p in parameters], name
        assert not (node.args.posonlyargs or node.args.kwonlyargs or node.args.vararg or node.args.kwarg)
        assert ast.get_docstring(node), name


def test_products_layer_passes_mypy_strict(tmp_path):
    # The configuration in pyproject.toml names the libraries without types;
    # everything else, NumPy's and xarray's types included, is checked.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC", "PYTHONPATH")}
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--config-file", ROOT / "pyproject.toml",
         "--cache-dir", ROOT / "build" / "mypy-cache", ROOT / "src" / "quorvane_wind"],
        cwd=tmp_path, env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr


def test_a_users_products_script_passes_mypy_strict(tmp_path):
    # The public names of quorvane_wind, loaded lazily, are exported for
    # users' type checkers as the README uses them.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC", "PYTHONPATH")}
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", ROOT / "build" / "mypy-cache",
         ROOT / "tests" / "typing" / "products_usage.py"],
        cwd=tmp_path, env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr

"""Import of the Quorvane module: namespace, function objects, re-import,
interpreter and NumPy checks. Failing imports run in child processes."""

import builtins
import importlib
import inspect
import json
import os
import pickle
import shutil
import subprocess
import sys
import textwrap
import types

import numpy
import pytest

import Quorvane
from interface import (ALREADY_IMPORTED, ANGLE, IMPORT_NUMPY_LINE, INIT_LINE, INIT_NAME, LINES,
                       NUMPY_IMPORT_ERROR, SECOND_INTERPRETER, SPEED, argument_count, size_changed)

MODULE_FILE = Quorvane.__file__
MODULE_DIR = os.path.dirname(MODULE_FILE)

ENTRIES = {
    "python_ERA5_windAngle": dict(
        signature="(wind_U10, wind_V10)",
        argcount=2,
        varnames=("wind_U10", "wind_V10", "out_wind_angle", "wind_U10_view", "wind_V10_view"),
        line=LINES[ANGLE]["definition"],
    ),
    "python_windspeedCmod5n": dict(
        signature="(wind_dir, inc_angle, sigma0)",
        argcount=3,
        varnames=(
            "wind_dir", "inc_angle", "sigma0", "out_speed",
            "wind_dir_view", "inc_angle_view", "sigma0_view",
        ),
        line=LINES[SPEED]["definition"],
    ),
}

# Prepended to every child script: try_import() imports the module and
# describes the failure (type, message, the module's traceback entries).
CHILD_PRELUDE = """
import json, sys

def describe(exc):
    entries = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == "Quorvane":
            entries.append([code.co_name, tb.tb_lineno])
        tb = tb.tb_next
    return {"type": type(exc).__name__, "message": str(exc), "entries": entries}

def try_import(name="Quorvane"):
    try:
        __import__(name)
    except BaseException as exc:
        return describe(exc)
    return None

def emit(value):
    print(json.dumps(value))
"""


def run_child(script, path=(MODULE_DIR,)):
    """Runs the prelude plus script in a fresh interpreter; returns the JSON
    value of the last line it prints."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(path)
    env.pop("PYTHONWARNINGS", None)
    result = subprocess.run(
        [sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(script)],
        capture_output=True, text=True, env=env, timeout=120,
    )
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1])


def init_failure(exc_type, message, line=INIT_LINE):
    return {"type": exc_type, "message": message, "entries": [[INIT_NAME, line]]}


# --- module namespace -----------------------------------------------------


def test_namespace_after_import():
    spec = Quorvane.__spec__
    assert Quorvane.__name__ == "Quorvane"
    assert Quorvane.__doc__ is None
    assert Quorvane.__file__ == spec.origin
    assert Quorvane.__loader__ is spec.loader
    assert Quorvane.__package__ == ""
    assert not hasattr(Quorvane, "__path__")
    assert Quorvane.__builtins__ is builtins
    assert Quorvane.np is numpy
    assert type(Quorvane.__test__) is dict and Quorvane.__test__ == {}
    for name in ENTRIES:
        assert callable(getattr(Quorvane, name))
    # The function type is internal: not reachable from the namespace.
    function_type = type(Quorvane.python_windspeedCmod5n)
    assert function_type not in vars(Quorvane).values()
    with pytest.raises(TypeError):
        function_type()


# --- the two function objects ---------------------------------------------


@pytest.mark.parametrize("name", sorted(ENTRIES))
class TestEntryFunctions:
    def test_signature_and_attributes(self, name):
        function = getattr(Quorvane, name)
        assert str(inspect.signature(function)) == ENTRIES[name]["signature"]
        assert function.__name__ == name
        assert function.__qualname__ == name
        assert function.__module__ == "Quorvane"
        assert function.__doc__ is None
        assert function.__defaults__ is None
        assert function.__kwdefaults__ is None
        assert function.__annotations__ == {}
        assert function.__globals__ is vars(Quorvane)
        assert repr(function) == f"<function {name} at {id(function):#x}>"

    def test_code_object(self, name):
        code = getattr(Quorvane, name).__code__
        expected = ENTRIES[name]
        assert isinstance(code, types.CodeType)
        assert code.co_argcount == expected["argcount"]
        assert code.co_posonlyargcount == 0
        assert code.co_kwonlyargcount == 0
        assert code.co_varnames == expected["varnames"]
        assert code.co_nlocals == len(expected["varnames"])
        assert code.co_flags == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
        assert code.co_filename == "Quorvane"
        assert code.co_name == name
        assert code.co_firstlineno == expected["line"]

    def test_pickles_by_reference(self, name):
        function = getattr(Quorvane, name)
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(pickle.dumps(function, protocol)) is function

    def test_generic_call_binds_and_adds_entry(self, name):
        # A call through tp_call (argument tuple, no keywords) reaches the
        # same binding; its failure carries the function's traceback entry.
        function = getattr(Quorvane, name)
        with pytest.raises(TypeError) as info:
            type(function).__call__(function, 1)
        assert str(info.value) == argument_count(name, 1)
        tb = info.value.__traceback__
        while tb.tb_next is not None:
            tb = tb.tb_next
        assert tb.tb_frame.f_code.co_name == f"Quorvane.{name}"
        assert tb.tb_frame.f_code.co_filename == "Quorvane"
        assert tb.tb_lineno == ENTRIES[name]["line"]
        assert tb.tb_frame.f_globals is vars(Quorvane)


# --- importing again ------------------------------------------------------


def test_reload_and_reimport_give_the_same_module():
    before = dict(vars(Quorvane))
    assert importlib.reload(Quorvane) is Quorvane
    del sys.modules["Quorvane"]
    try:
        again = importlib.import_module("Quorvane")
    finally:
        sys.modules["Quorvane"] = Quorvane
    assert again is Quorvane
    for name in ("np", "__test__", *ENTRIES):
        assert vars(Quorvane)[name] is before[name], name


def test_second_exec_on_another_module_object_is_refused():
    result = run_child("""
        import _imp, importlib.util
        spec = importlib.util.find_spec("Quorvane")
        first = _imp.create_dynamic(spec)
        second = _imp.create_dynamic(spec)
        _imp.exec_dynamic(first)
        first.__test__["marker"] = 1
        try:
            _imp.exec_dynamic(second)
            refused = None
        except RuntimeError as exc:
            refused = str(exc)
        emit({
            "distinct": first is not second,
            "refused": refused,
            "reexec": _imp.exec_dynamic(first),
            "untouched": first.__test__ == {"marker": 1},
            "created_again": _imp.create_dynamic(spec) is first,
            "bare_name": sys.modules.get("Quorvane") is first,
        })
    """)
    assert result == {
        "distinct": True,
        "refused": ALREADY_IMPORTED,
        "reexec": 0,
        "untouched": True,
        "created_again": True,
        "bare_name": True,
    }


def test_create_copies_spec_attributes():
    result = run_child("""
        import _imp, types
        import importlib.util
        origin = importlib.util.find_spec("Quorvane").origin

        class FailingSpec:
            name = "Quorvane"
            @property
            def parent(self):
                raise ValueError("parent lookup failed")

        # Missing loader and parent are skipped; a None loader is copied; a
        # None search path is not.
        bare = _imp.create_dynamic(types.SimpleNamespace(name="Quorvane", origin=origin))
        with_none = _imp.create_dynamic(types.SimpleNamespace(
            name="Quorvane", origin=origin, loader=None, parent=None,
            submodule_search_locations=None))
        with_path = _imp.create_dynamic(types.SimpleNamespace(
            name="Quorvane", origin=origin, submodule_search_locations=["somewhere"]))
        failing = FailingSpec()
        failing.origin = origin
        try:
            _imp.create_dynamic(failing)
            failure = None
        except ValueError as exc:
            failure = str(exc)
        emit({
            "bare_file": bare.__file__ == origin,
            "bare_package": bare.__package__,
            "with_none": [with_none.__loader__, with_none.__package__,
                          hasattr(with_none, "__path__")],
            "path": with_path.__path__,
            "failure": failure,
        })
    """)
    assert result == {
        "bare_file": True,
        "bare_package": None,
        "with_none": [None, None, False],
        "path": ["somewhere"],
        "failure": "parent lookup failed",
    }


def test_import_in_second_interpreter_fails():
    result = run_child("""
        import os
        import _xxsubinterpreters as interpreters
        import Quorvane

        read_end, write_end = os.pipe()
        interpreter = interpreters.create(isolated=False)
        interpreters.run_string(interpreter, f'''if True:
            import os
            try:
                import Quorvane
                outcome = "imported"
            except ImportError as exc:
                outcome = type(exc).__name__ + ": " + str(exc)
            os.write({write_end}, outcome.encode())
        ''')
        interpreters.destroy(interpreter)
        os.close(write_end)
        try:
            Quorvane.python_windspeedCmod5n(1, 2)
        except TypeError as exc:
            refused = str(exc)
        emit([os.read(read_end, 1000).decode(), refused])
    """)
    assert result == [
        "ImportError: " + SECOND_INTERPRETER,
        argument_count(SPEED, 2),
    ]


# --- NumPy C-API import ---------------------------------------------------


def test_import_without_numpy_fails_with_c_api_error():
    result = run_child("""
        import importlib.abc

        class NoNumpy(importlib.abc.MetaPathFinder):
            def find_spec(self, name, path=None, target=None):
                if name == "numpy" or name.startswith("numpy."):
                    raise ModuleNotFoundError(f"No module named {name!r}", name=name)
                return None

        sys.meta_path.insert(0, NoNumpy())
        emit(try_import())
    """)
    assert result == init_failure("ImportError", NUMPY_IMPORT_ERROR)


# Fake `numpy` packages whose `_multiarray_umath` exports a C-API table made
# with ctypes: entry 0 is the ABI version, 210 the endianness, 211 the feature
# level.
FAKE_TABLE = """
import ctypes

_unsigned = ctypes.CFUNCTYPE(ctypes.c_uint)
_signed = ctypes.CFUNCTYPE(ctypes.c_int)
_functions = [_unsigned(lambda: {abi}), _signed(lambda: {endianness}),
              _unsigned(lambda: {feature})]
_table = (ctypes.c_void_p * 212)()
for _index, _function in zip((0, 210, 211), _functions):
    _table[_index] = ctypes.cast(_function, ctypes.c_void_p)
_new_capsule = ctypes.pythonapi.PyCapsule_New
_new_capsule.restype = ctypes.py_object
_new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_ARRAY_API = _new_capsule(ctypes.addressof(_table), None, None)
"""


def make_fake_numpy(root, core_source, location="_core"):
    package = root / "numpy"
    (package / location).mkdir(parents=True)
    (package / "__init__.py").write_text("")
    (package / location / "__init__.py").write_text("")
    (package / location / "_multiarray_umath.py").write_text(core_source)
    return str(root)


def fake_table(abi=0x02000000, feature=0x10, endianness=1):
    return FAKE_TABLE.format(abi=abi, feature=feature, endianness=endianness)


@pytest.mark.parametrize(
    "core_source",
    [
        pytest.param("_ARRAY_API = 42\n", id="not-a-capsule"),
        pytest.param("", id="no-table"),
        pytest.param(fake_table(abi=0x02000001), id="abi-too-new"),
        pytest.param(fake_table(feature=0x0F), id="feature-level-too-old"),
        pytest.param(fake_table(endianness=0), id="unknown-endianness"),
        pytest.param(fake_table(endianness=2), id="big-endian"),
        pytest.param("raise RuntimeError('broken numpy')\n", id="import-raises"),
    ],
)
def test_rejected_numpy_c_api(tmp_path, core_source):
    fake = make_fake_numpy(tmp_path, core_source)
    result = run_child("emit(try_import())", path=(fake, MODULE_DIR))
    assert result == init_failure("ImportError", NUMPY_IMPORT_ERROR)


@pytest.mark.parametrize(
    "table",
    [
        pytest.param(fake_table(), id="newest-abi-oldest-feature-level"),
        pytest.param(fake_table(abi=0x01000009, feature=0x11), id="numpy-1.x"),
    ],
)
def test_accepted_numpy_c_api_goes_on_to_type_import(tmp_path, table):
    # The fake numpy has no types, so initialisation stops at numpy.dtype.
    fake = make_fake_numpy(tmp_path, table)
    result = run_child("emit(try_import())", path=(fake, MODULE_DIR))
    assert result == init_failure(
        "AttributeError", "module 'numpy' has no attribute 'dtype'")


def test_numpy_1x_location_used_only_when_2x_location_is_missing(tmp_path):
    marker = "import sys; sys.imported_core = True\n"
    old_layout = make_fake_numpy(tmp_path / "old", marker + fake_table(), location="core")
    result = run_child("""
        emit([try_import(), getattr(sys, "imported_core", False)])
    """, path=(old_layout, MODULE_DIR))
    assert result == [
        init_failure("AttributeError", "module 'numpy' has no attribute 'dtype'"), True]

    # Any other failure of the 2.x location is final.
    broken = make_fake_numpy(tmp_path / "broken", "raise ImportError('broken')\n")
    (tmp_path / "broken" / "numpy" / "core").mkdir()
    (tmp_path / "broken" / "numpy" / "core" / "__init__.py").write_text("")
    (tmp_path / "broken" / "numpy" / "core" / "_multiarray_umath.py").write_text(
        marker + fake_table())
    result = run_child("""
        emit([try_import(), getattr(sys, "imported_core", False)])
    """, path=(broken, MODULE_DIR))
    assert result == [init_failure("ImportError", NUMPY_IMPORT_ERROR), False]


# --- type import ----------------------------------------------------------


def test_type_import_failures_and_retry():
    result = run_child("""
        import numpy

        class Small:
            __slots__ = ()

        outcomes = []
        saved = numpy.dtype
        numpy.dtype = 3
        outcomes.append(try_import())
        numpy.dtype = saved

        saved = numpy.ndarray
        numpy.ndarray = Small
        outcomes.append(try_import())
        # int: 24 bytes plus 4-byte digits, counted as 8 (the alignment unit).
        numpy.ndarray = int
        outcomes.append(try_import())
        numpy.ndarray = saved

        saved = numpy.ufunc
        del numpy.ufunc
        outcomes.append(try_import())
        numpy.ufunc = saved

        outcomes.append("Quorvane" in sys.modules)
        outcomes.append(try_import())
        import Quorvane
        outcomes.append(Quorvane.np is numpy)
        emit(outcomes)
    """)
    assert result == [
        init_failure("TypeError", "numpy.dtype is not a type object"),
        init_failure("ValueError", size_changed("ndarray", 96, 16)),
        init_failure("ValueError", size_changed("ndarray", 96, 32)),
        init_failure("AttributeError", "module 'numpy' has no attribute 'ufunc'"),
        False,
        None,
        True,
    ]


def test_type_sizes_at_or_above_expectation_pass():
    result = run_child("""
        import warnings
        import numpy

        # tuple: 24 bytes plus 8-byte items reach the 32 bytes of a descriptor.
        numpy.dtype = tuple
        # Larger than expected with the ignore policy: no warning.
        numpy.ndarray = type("Large", (), {"__slots__": tuple(f"s{i}" for i in range(20))})
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            failure = try_import()
        emit([failure, [str(w.message) for w in caught]])
    """)
    assert result == [None, []]


def test_larger_warn_policy_type_warns():
    script = """
        import warnings
        import numpy

        numpy.generic = type("Wide", (), {"__slots__": ("a", "b")})
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("%s", RuntimeWarning)
            failure = try_import()
        emit([failure, [[w.category.__name__, str(w.message)] for w in caught]])
    """
    assert run_child(script % "always") == [
        None, [["RuntimeWarning", size_changed("generic", 16, 32)]]]
    assert run_child(script % "error") == [
        init_failure("RuntimeWarning", size_changed("generic", 16, 32)), []]


# --- `import numpy as np` ---------------------------------------------------


IMPORT_HOOK = """
import builtins
import numpy

original_import = builtins.__import__
numpy_imports = []

def hooked_import(name, *args, **kwargs):
    if name == "numpy":
        numpy_imports.append(name)
        if len(numpy_imports) == 2:
            return SECOND_NUMPY_IMPORT()
    return original_import(name, *args, **kwargs)

numpy.__spec__._initializing = INITIALIZING
builtins.__import__ = hooked_import
failure = try_import()
builtins.__import__ = original_import
numpy.__spec__._initializing = False
"""


def hooked(initializing, second_import):
    return IMPORT_HOOK.replace("INITIALIZING", initializing).replace(
        "SECOND_NUMPY_IMPORT()", second_import)


def test_numpy_still_initialising_is_imported_again():
    # The type import is the first import of numpy; a second one, for the
    # module global, happens only while numpy reports itself initialising.
    result = run_child("""
import types
sys.modules["stand_in"] = types.ModuleType("stand_in")
""" + hooked("True", "sys.modules['stand_in']") + """
import Quorvane
emit([failure, len(numpy_imports), Quorvane.np is sys.modules["stand_in"]])
""")
    assert result == [None, 2, True]

    result = run_child(hooked("False", "None") + """
import Quorvane
emit([failure, len(numpy_imports), Quorvane.np is numpy])
""")
    assert result == [None, 1, True]


def test_failing_numpy_import_reports_line_6():
    result = run_child("""
def refuse():
    raise ImportError("numpy refused")
""" + hooked("True", "refuse()") + """
emit(failure)
""")
    assert result == init_failure("ImportError", "numpy refused", line=IMPORT_NUMPY_LINE)


# --- import under a package -----------------------------------------------


def test_import_as_package_submodule(tmp_path):
    package = tmp_path / "pkg"
    package.mkdir()
    (package / "__init__.py").write_text("")
    shutil.copy(MODULE_FILE, package)
    result = run_child("""
        import pickle
        import pkg.Quorvane as module
        function = module.python_windspeedCmod5n
        emit({
            "name": module.__name__,
            "package": module.__package__,
            "bare": sys.modules.get("Quorvane") is module,
            "function_module": function.__module__,
            "pickled": pickle.loads(pickle.dumps(function)) is function,
        })
    """, path=(str(tmp_path),))
    assert result == {
        "name": "pkg.Quorvane",
        "package": "pkg",
        "bare": True,
        "function_module": "Quorvane",
        "pickled": True,
    }

    # A bare name already taken stays as it is; a failed import leaves no
    # bare entry behind.
    result = run_child("""
        import numpy
        taken = object()
        sys.modules["Quorvane"] = taken
        import pkg.Quorvane as module
        kept = sys.modules["Quorvane"] is taken
        emit(kept)
    """, path=(str(tmp_path),))
    assert result is True
    result = run_child("""
        import numpy
        numpy.dtype = 3
        failure = try_import("pkg.Quorvane")
        emit([failure, "Quorvane" in sys.modules, "pkg.Quorvane" in sys.modules])
    """, path=(str(tmp_path),))
    assert result == [init_failure("TypeError", "numpy.dtype is not a type object"), False, False]


# --- shared library -------------------------------------------------------


def test_only_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not available")
    listing = subprocess.run([nm, "-D", "--defined-only", MODULE_FILE],
                             capture_output=True, text=True, check=True).stdout
    symbols = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert symbols == ["PyInit_Quorvane"]

"""Import of the Quorvane module: namespace, function objects, re-import,
one interpreter, import under a package, exported symbols. Imports that must
start afresh run in child interpreters (child_interpreter.py); the NumPy
checks of initialisation are in test_import_numpy.py."""

import builtins
import importlib
import inspect
import pickle
import shutil
import subprocess
import sys
import types

import numpy
import pytest

import Quorvane
from interface import (ALREADY_IMPORTED, ANGLE, LINES, PARAMETERS, SECOND_INTERPRETER, SPEED,
                       argument_count)

from child_interpreter import init_failure, run_child

MODULE_FILE = Quorvane.__file__

# Each entry's locals: its parameters, its result, the views of its parameters.
LOCALS = {
    ANGLE: ("out_wind_angle", "wind_U10_view", "wind_V10_view"),
    SPEED: ("out_speed", "wind_dir_view", "inc_angle_view", "sigma0_view"),
}
ENTRIES = {
    name: dict(
        signature=f"({', '.join(PARAMETERS[name])})",
        argcount=len(PARAMETERS[name]),
        varnames=PARAMETERS[name] + LOCALS[name],
        line=LINES[name]["definition"],
    )
    for name in (ANGLE, SPEED)
}

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

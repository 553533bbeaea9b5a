"""Initialisation's dealings with NumPy, each in a child interpreter: the
C-API import and its checks, the import of NumPy's types and their sizes,
and binding the module global `np`."""

import pytest

from child_interpreter import MODULE_DIR, init_failure, run_child
from interface import IMPORT_NUMPY_LINE, NUMPY_IMPORT_ERROR, size_changed


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

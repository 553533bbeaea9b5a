"""The module interface's fixed numbers and texts, as callers see them: the
source lines of the traceback entries and the exception messages. The tests
take them from here; module/interface.hpp is the module's own table, kept
apart on purpose so that a change on either side shows up as a failure."""

SPEED = "python_windspeedCmod5n"
ANGLE = "python_ERA5_windAngle"
PARAMETERS = {SPEED: ("wind_dir", "inc_angle", "sigma0"), ANGLE: ("wind_U10", "wind_V10")}

# Traceback entry names: the module name, a dot and the entry name.
ENTRY_NAME = {SPEED: "Quorvane." + SPEED, ANGLE: "Quorvane." + ANGLE}
INIT_NAME = "init Quorvane"
FILE_NAME = "Quorvane"

# Source lines: binding and array checks at the definition line, then the
# allocation of the result, each input's view, the hand-back of the result.
LINES = {
    SPEED: {"definition": 160, "allocate": 162, "views": (165, 166, 167), "wrap": 174},
    ANGLE: {"definition": 150, "allocate": 151, "views": (152, 153), "wrap": 156},
}
INIT_LINE = 1
IMPORT_NUMPY_LINE = 6


def argument_count(entry, given):
    count = len(PARAMETERS[entry])
    return f"{entry}() takes exactly {count} positional arguments ({given} given)"


def multiple_values(entry, keyword):
    return f"{entry}() got multiple values for keyword argument '{keyword}'"


def unexpected_keyword(entry, keyword):
    return f"{entry}() got an unexpected keyword argument '{keyword}'"


def keywords_not_strings(entry):
    return f"{entry}() keywords must be strings"


def incorrect_type(parameter, type_name):
    return f"Argument '{parameter}' has incorrect type (expected numpy.ndarray, got {type_name})"


def wrong_dimensions(ndim):
    return f"Buffer has wrong number of dimensions (expected 2, got {ndim})"


def dtype_mismatch(found, expected="'float'"):
    return f"Buffer dtype mismatch, expected {expected} but got {found}"


def not_understood(character):
    return f"Does not understand character buffer dtype format string ('{character}')"


def item_size(size, expected_name="float", expected_size=4):
    plural = "s" if size > 1 else ""
    return (f"Item size of buffer ({size} byte{plural}) does not match size of "
            f"'{expected_name}' ({expected_size} bytes)")


BIG_ENDIAN = "Big-endian buffer not supported on little-endian compiler"


def smaller_shape(parameter, shape, grid, first):
    return (f"Argument '{parameter}' has shape ({shape[0]}, {shape[1]}), smaller than the "
            f"({grid[0]}, {grid[1]}) of '{first}'")


def smaller_view_shape(parameter, shape, grid, first):
    return (f"Argument '{parameter}' has shape ({shape[0]}, {shape[1]}) when viewed for writing, "
            f"smaller than the ({grid[0]}, {grid[1]}) of '{first}'")


def result_shape(shape, grid):
    return (f"np.empty returned an array of shape ({shape[0]}, {shape[1]}) instead of "
            f"({grid[0]}, {grid[1]})")


def not_defined(name):
    return f"name '{name}' is not defined"


NUMPY_IMPORT_ERROR = (
    "numpy.core.multiarray failed to import (auto-generated because you didn't call "
    "'numpy.import_array()' after cimporting numpy; use '<void>numpy._import_array' to disable "
    "if you are certain you don't need it)."
)
ALREADY_IMPORTED = "Module 'Quorvane' has already been imported. Re-initialisation is not supported."
SECOND_INTERPRETER = (
    "Interpreter change detected - this module can only be loaded into one interpreter per process."
)


def size_changed(name, expected, got):
    return (f"numpy.{name} size changed, may indicate binary incompatibility. "
            f"Expected {expected} from C header, got {got} from PyObject")


ISA_VARIABLE = "QUORVANE_ISA"


def unknown_isa(text, runs):
    return f"QUORVANE_ISA='{text}' names no instruction set; use sse2, avx2 or avx512 (this CPU runs {runs})"


def unsupported_isa(isa, runs):
    return f"QUORVANE_ISA={isa}: this CPU cannot run the {isa} kernels (it runs {runs})"

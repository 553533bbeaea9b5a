// The fixed numbers and texts of the module's Python interface: the source
// lines its traceback entries report and the messages of the exceptions it
// raises. Callers match on them, so they live here and nowhere else in the
// C++ sources; tests/python/interface.py holds the same table for the tests,
// and module/README.md says which test pins each one.
//
// Plain data, no Python: the format-rule library includes it too.
#pragma once

namespace quorvane::interface {

inline constexpr const char* kModuleName = "Quorvane";
inline constexpr const char* kInitFunctionName = "init Quorvane";
inline constexpr const char* kTracebackFileName = "Quorvane";

// --- source lines of the traceback entries ---------------------------------

// Module execution: every step, and binding the global `np`.
inline constexpr int kInitLine = 1;
inline constexpr int kImportNumpyLine = 6;

struct EntryLines {
    int definition;   // binding, array buffer checks and shape agreement
    int allocate;     // np.empty and the result view
    int views[3];     // view conversion of each input, in parameter order
    int wrap;         // np.asarray of the result
};

inline constexpr EntryLines kWindAngleLines = {150, 151, {152, 153, 0}, 156};
inline constexpr EntryLines kWindspeedLines = {160, 162, {165, 166, 167}, 174};

// --- messages ----------------------------------------------------------------

// Argument binding.
inline constexpr const char* kArgumentCount =
    "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
inline constexpr const char* kKeywordNotString = "%.200s() keywords must be strings";
inline constexpr const char* kMultipleValues = "%s() got multiple values for keyword argument '%U'";
inline constexpr const char* kUnexpectedKeyword = "%s() got an unexpected keyword argument '%U'";

// Argument type check.
inline constexpr const char* kIncorrectType =
    "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
inline constexpr const char* kMissingTypeObject = "Missing type object";

// Buffers and views.
inline constexpr const char* kWrongDimensions =
    "Buffer has wrong number of dimensions (expected %d, got %d)";
inline constexpr const char* kItemSizeChecked =
    "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)";
inline constexpr const char* kItemSizeViewed =
    "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)";
inline constexpr const char* kSubOffsetInUse = "Buffer not compatible with direct access in dimension %d.";
inline constexpr const char* kSubOffsetsWithoutStrides = "Buffer exposes suboffsets but no strides";
inline constexpr const char* kNotWritable = "Object is not writable.";

// The buffer format rule.
inline constexpr const char* kBigEndian = "Big-endian buffer not supported on little-endian compiler";
inline constexpr const char* kDtypeMismatch = "Buffer dtype mismatch, expected %s%s%s but got %s";
inline constexpr const char* kUnknownFormatCharacter =
    "Does not understand character buffer dtype format string ('%c')";
inline constexpr const char* kUnexpectedFormatCharacter = "Unexpected format string character: '%c'";

// Shapes: arguments against the first one, the result against the grid.
inline constexpr const char* kSmallerShape =
    "Argument '%.200s' has shape (%zd, %zd), smaller than the (%zd, %zd) of '%.200s'";
inline constexpr const char* kSmallerViewShape =
    "Argument '%.200s' has shape (%zd, %zd) when viewed for writing, smaller than the (%zd, %zd) "
    "of '%.200s'";
inline constexpr const char* kResultShape =
    "np.empty returned an array of shape (%zd, %zd) instead of (%zd, %zd)";

// Name lookups.
inline constexpr const char* kNameNotDefined = "name '%U' is not defined";

// Module creation and execution.
inline constexpr const char* kSecondInterpreter =
    "Interpreter change detected - this module can only be loaded into one interpreter per "
    "process.";
inline constexpr const char* kAlreadyImported =
    "Module 'Quorvane' has already been imported. Re-initialisation is not supported.";
inline constexpr const char* kNumpyImportError =
    "numpy.core.multiarray failed to import (auto-generated because you didn't call "
    "'numpy.import_array()' after cimporting numpy; use '<void>numpy._import_array' to disable "
    "if you are certain you don't need it).";
inline constexpr const char* kSizeChanged =
    "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C "
    "header, got %zd from PyObject";
inline constexpr const char* kNotATypeObject = "%.200s.%.200s is not a type object";

// The instruction set pinned at import through the environment.
inline constexpr const char* kIsaVariable = "QUORVANE_ISA";
inline constexpr const char* kUnknownIsa =
    "QUORVANE_ISA='%.100s' names no instruction set; use sse2, avx2 or avx512 (this CPU runs %s)";
inline constexpr const char* kUnsupportedIsa =
    "QUORVANE_ISA=%s: this CPU cannot run the %s kernels (it runs %s)";

}  // namespace quorvane::interface

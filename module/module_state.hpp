// Process-wide state of the module, written once by module initialisation and
// read (with the interpreter lock held) by the entries afterwards.
//
// Why process-wide rather than per module object: NumPy's C-API table, which
// every NumPy call of the module goes through, is one global per shared
// library, filled once by the import of NumPy's C API; the entries reach their
// `np` and interned names without a module argument (their function objects
// carry only their definition); and a second interpreter would need its own
// NumPy and its own table. So the module allows one interpreter per process
// and one module object (a re-import gives back the same one), and this state
// belongs to that pair. Nothing here is ever freed: the module lives until the
// process ends.
#pragma once

#include <Python.h>

#include <cstdint>

namespace quorvane {

// Interned strings, created once at initialisation.
struct InternedNames {
    // Parameter names of the entries.
    PyObject* wind_U10 = nullptr;
    PyObject* wind_V10 = nullptr;
    PyObject* wind_dir = nullptr;
    PyObject* inc_angle = nullptr;
    PyObject* sigma0 = nullptr;
    // Names the entries look up at call time.
    PyObject* np = nullptr;
    PyObject* empty = nullptr;
    PyObject* dtype = nullptr;
    PyObject* float32 = nullptr;
    PyObject* float64 = nullptr;
    PyObject* asarray = nullptr;
};

struct ModuleState {
    std::int64_t interpreter_id = -1;       // the one interpreter the module may live in
    PyObject* module = nullptr;             // strong reference once exec has recorded it
    PyObject* dict = nullptr;               // the module's namespace (globals of the entries)
    PyTypeObject* ndarray_type = nullptr;   // numpy.ndarray, for the argument type check
    InternedNames names;
};

extern ModuleState moduleState;

}  // namespace quorvane

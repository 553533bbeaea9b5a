// Binding of vectorcall arguments to an entry's parameters.
#pragma once

#include <Python.h>

#include "module/entry_function.hpp"
#include "module/py_ref.hpp"

namespace quorvane {

// Binds positional arguments and keyword arguments (kwnames: a tuple of names
// or null; their values follow the positional ones in args) to the entry's
// parameters. On success fills bound[0 .. parameter_count) with strong
// references and returns true. On failure raises TypeError, adds the entry's
// traceback entry at its definition line, leaves nothing bound and returns false.
bool bindArguments(const EntryDefinition& definition, PyObject* const* parameter_names,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, py::Ref* bound);

}  // namespace quorvane

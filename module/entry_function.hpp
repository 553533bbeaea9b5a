// The function type of the module's two callables: a vectorcall function
// object that binds its arguments and hands them to a C++ body.
#pragma once

#include <Python.h>

#include "module/py_ref.hpp"

namespace quorvane {

// Receives the bound arguments (borrowed, in parameter order) and returns a
// new reference, or null with an exception set.
using EntryBody = PyObject* (*)(PyObject* const* arguments);

inline constexpr Py_ssize_t kMaxParameters = 3;

struct EntryDefinition {
    const char* name;               // "python_windspeedCmod5n"
    const char* traceback_name;     // "Quorvane.python_windspeedCmod5n"
    int first_line;                 // definition line, also the binding failure line
    Py_ssize_t parameter_count;     // at most kMaxParameters
    const char* const* local_names; // parameters first, then the other locals
    Py_ssize_t local_count;
    EntryBody body;
};

// Creates the function type (once). Returns 0, or -1 with an exception set.
int initEntryFunctionType();

// A code object describing the entry for introspection: argument count,
// local names, flags CO_OPTIMIZED | CO_NEWLOCALS, file "Quorvane", the entry's
// name and first line. Null with an exception set on failure.
py::Ref newEntryCode(const EntryDefinition& definition);

// A function object for the entry. parameter_names are the interned names of
// its parameters (borrowed; they live as long as the process). Null with an
// exception set on failure.
py::Ref newEntryFunction(const EntryDefinition& definition, PyObject* code, PyObject* globals,
                         PyObject* const* parameter_names);

}  // namespace quorvane

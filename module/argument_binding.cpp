#include "module/argument_binding.hpp"

#include "module/interface.hpp"
#include "module/traceback.hpp"

namespace quorvane {
namespace {

// Matches a keyword against the parameter names in [first, last): identity
// first, then by value (exact str compared by content, str subclasses with
// ==). Returns the position, -1 when there is no match, -2 on an error raised
// by the comparison.
Py_ssize_t findParameter(PyObject* keyword, PyObject* const* names, Py_ssize_t first,
                         Py_ssize_t last) {
    for (Py_ssize_t i = first; i < last; ++i) {
        if (names[i] == keyword) return i;
    }
    const bool exact = PyUnicode_CheckExact(keyword);
    for (Py_ssize_t i = first; i < last; ++i) {
        if (exact) {
            // Interned names are hashed already; a differing hash rules out a match cheaply.
            if (PyObject_Hash(keyword) != PyObject_Hash(names[i])) continue;
            if (PyUnicode_Compare(keyword, names[i]) == 0) return i;
        } else {
            const int equal = PyObject_RichCompareBool(keyword, names[i], Py_EQ);
            if (equal < 0) return -2;
            if (equal) return i;
        }
    }
    return -1;
}

void raiseArgumentCount(const EntryDefinition& definition, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, interface::kArgumentCount,
                 definition.name, "exactly", definition.parameter_count, "s", given);
}

bool bindOrFail(const EntryDefinition& definition, PyObject* const* names, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames, py::Ref* bound) {
    const Py_ssize_t count = definition.parameter_count;
    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (keyword_count == 0) {
        if (nargs != count) {
            raiseArgumentCount(definition, nargs);
            return false;
        }
    } else if (nargs > count) {
        raiseArgumentCount(definition, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = py::Ref::borrow(args[i]);

    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, interface::kKeywordNotString, definition.name);
            return false;
        }
        Py_ssize_t position = findParameter(keyword, names, nargs, count);
        if (position == -2) return false;
        if (position >= 0) {
            // A keyword repeated within the keyword arguments replaces the
            // earlier value; the interpreter refuses such calls before they arrive.
            bound[position] = py::Ref::borrow(args[nargs + k]);
            continue;
        }
        position = findParameter(keyword, names, 0, nargs);
        if (position == -2) return false;
        if (position >= 0) {
            PyErr_Format(PyExc_TypeError, interface::kMultipleValues,
                         definition.name, keyword);
        } else {
            PyErr_Format(PyExc_TypeError, interface::kUnexpectedKeyword,
                         definition.name, keyword);
        }
        return false;
    }
    for (Py_ssize_t i = nargs; i < count; ++i) {
        if (!bound[i]) {
            raiseArgumentCount(definition, i);
            return false;
        }
    }
    return true;
}

}  // namespace

bool bindArguments(const EntryDefinition& definition, PyObject* const* parameter_names,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, py::Ref* bound) {
    if (bindOrFail(definition, parameter_names, args, nargs, kwnames, bound)) return true;
    for (Py_ssize_t i = 0; i < definition.parameter_count; ++i) bound[i].reset();
    addTracebackEntry(definition.traceback_name, definition.first_line);
    return false;
}

}  // namespace quorvane

#include "module/traceback.hpp"

#include <Python.h>
#include <frameobject.h>

#include "module/interface.hpp"
#include "module/module_state.hpp"
#include "module/py_ref.hpp"

namespace quorvane {
namespace {

// A traceback object for a frame of function_name at line, placed in front
// of next (None or the exception's current traceback). The line is given to
// the traceback object explicitly, so it does not depend on how the frame
// reports its own position. Null with an exception set on failure.
py::Ref newTraceback(const char* function_name, int line, PyObject* next) {
    py::Ref code = py::Ref::steal(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(interface::kTracebackFileName, function_name, line)));
    if (!code) return {};

    py::Ref globals = py::Ref::borrow(moduleState.dict);
    if (!globals) globals = py::Ref::steal(PyDict_New());
    if (!globals) return {};

    py::Ref frame = py::Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                    globals.get(), nullptr)));
    if (!frame) return {};

    const int lasti = PyFrame_GetLasti(reinterpret_cast<PyFrameObject*>(frame.get()));
    return py::Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyTraceBack_Type),
                                                "OOii", next, frame.get(), lasti, line));
}

}  // namespace

void addTracebackEntry(const char* function_name, int line) {
    PyObject* exception = PyErr_GetRaisedException();
    if (exception == nullptr) return;

    py::Ref next = py::Ref::steal(PyException_GetTraceback(exception));
    py::Ref traceback =
        newTraceback(function_name, line, next ? next.get() : Py_None);
    if (traceback) {
        PyException_SetTraceback(exception, traceback.get());
    } else {
        // The entry is optional: drop whatever went wrong making it.
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exception);
}

}  // namespace quorvane

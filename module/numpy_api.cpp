#include "module/numpy_api.hpp"

#include "module/py_ref.hpp"

// The table and the runtime feature level that NumPy's header macros read.
// Declared by the header (extern "C", hidden visibility); defined here only.
extern "C" {
NPY_API_SYMBOL_ATTRIBUTE void** PyArray_API = nullptr;
NPY_API_SYMBOL_ATTRIBUTE int PyArray_RUNTIME_VERSION = 0;
}

namespace quorvane {

namespace {

int loadTable() {
    // The package first. Importing the extension submodule straight away takes
    // its module lock before the package's, the reverse of the order in which
    // `import numpy` takes them, so a first import of this module racing with a
    // first `import numpy` on another thread deadlocks: importlib detects the
    // cycle and fails one of the two imports. With the package imported first,
    // this thread only waits for the other one's import to finish. A failure
    // here is left to the submodule import below to report. Like the import
    // system's own import of a parent package, this one does not go through
    // builtins.__import__.
    if (!py::Ref::steal(PyImport_ImportModuleLevel("numpy", nullptr, nullptr, nullptr, 0))) {
        PyErr_Clear();
    }

    py::Ref core = py::Ref::steal(PyImport_ImportModule("numpy._core._multiarray_umath"));
    if (!core && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        PyErr_Clear();
        core = py::Ref::steal(PyImport_ImportModule("numpy.core._multiarray_umath"));
    }
    if (!core) return -1;

    py::Ref capsule = py::Ref::steal(PyObject_GetAttrString(core.get(), "_ARRAY_API"));
    if (!capsule) return -1;
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not PyCapsule object");
        return -1;
    }
    // The capsule carries no name, so the lookup is made with none.
    PyArray_API = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (PyArray_API == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is NULL pointer");
        return -1;
    }

    const unsigned int abi = PyArray_GetNDArrayCVersion();
    if (abi > NPY_VERSION) {
        PyErr_Format(PyExc_RuntimeError,
                     "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                     static_cast<int>(NPY_VERSION), static_cast<int>(abi));
        return -1;
    }
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    if (PyArray_RUNTIME_VERSION < NPY_FEATURE_VERSION) {
        PyErr_Format(PyExc_RuntimeError,
                     "module was compiled against NumPy C-API version 0x%x (NumPy "
                     NPY_FEATURE_VERSION_STRING ") but the running NumPy has C-API version "
                     "0x%x. Check the section C-API "
                     "incompatibility at the Troubleshooting ImportError section at "
                     "https://numpy.org/devdocs/user/troubleshooting-importerror.html"
                     "#c-api-incompatibility for indications on how to solve this problem.",
                     static_cast<int>(NPY_FEATURE_VERSION), PyArray_RUNTIME_VERSION);
        return -1;
    }

    const int endianness = PyArray_GetEndianness();
    if (endianness == NPY_CPU_UNKNOWN_ENDIAN) {
        PyErr_SetString(PyExc_RuntimeError, "FATAL: module compiled as unknown endian");
        return -1;
    }
    if (endianness != NPY_CPU_LITTLE) {
        PyErr_SetString(PyExc_RuntimeError,
                        "FATAL: module compiled as little endian, but detected different "
                        "endianness at runtime");
        return -1;
    }
    return 0;
}

}  // namespace

int importNumpyCApi() {
    if (loadTable() == 0) return 0;
    // A table that failed the checks is not to be used.
    PyArray_API = nullptr;
    PyArray_RUNTIME_VERSION = 0;
    return -1;
}

}  // namespace quorvane

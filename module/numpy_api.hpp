// NumPy's C API for the module's sources. Every source that needs NumPy's
// declarations includes this header (never numpy/arrayobject.h without
// NO_IMPORT_ARRAY): the function table PyArray_API is defined once, in
// numpy_api.cpp, and filled by importNumpyCApi() during module execution.
#pragma once

#include <Python.h>

#ifndef NO_IMPORT_ARRAY
#define NO_IMPORT_ARRAY
#endif
#ifndef NO_IMPORT_UFUNC
#define NO_IMPORT_UFUNC
#endif
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

namespace quorvane {

// Loads NumPy's C-API table from numpy._core._multiarray_umath (or, for
// NumPy 1.x, numpy.core._multiarray_umath) and checks that the running NumPy
// fits the headers built against: ABI version at most NPY_VERSION, C-API
// feature level at least NPY_FEATURE_VERSION, little-endian. Returns 0, or -1
// with the import's own exception or a RuntimeError set.
int importNumpyCApi();

}  // namespace quorvane

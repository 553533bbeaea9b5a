// NumPy arrays at the boundary of quorvane_wind._loops: each argument taken
// as an aligned C-ordered array of the type the loops read (converted only
// by safe casts, copied only when it is not so already), each result made
// new; every array owned by one py::Ref.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "module/numpy_api.hpp"
#include "module/py_ref.hpp"

namespace quorvane::loops {

// `object` as an array of NumPy type `type` and the given shape (-1: any
// extent). Null with TypeError (not an array of that type by a safe cast) or
// ValueError (another shape) naming `name`.
py::Ref asArray(PyObject* object, int type, std::initializer_list<npy_intp> shape, const char* name);

// A new C-ordered array of `type` and shape (rows, columns); null with MemoryError.
py::Ref newArray(int type, npy_intp rows, npy_intp columns);

template <class T>
T* data(const py::Ref& array) {
    return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

inline npy_intp extent(const py::Ref& array, int axis) {
    return PyArray_DIM(reinterpret_cast<PyArrayObject*>(array.get()), axis);
}

}  // namespace quorvane::loops

#include "products_module/arrays.hpp"

#include <string>

namespace quorvane::loops {

namespace {

std::string shapeText(const npy_intp* dims, int ndim) {
    std::string text = "(";
    for (int i = 0; i < ndim; ++i) {
        if (i > 0) text += ", ";
        text += dims[i] < 0 ? std::string("n") : std::to_string(dims[i]);
    }
    if (ndim == 1) text += ",";
    return text + ")";
}

const char* typeName(int type) {
    switch (type) {
        case NPY_BOOL: return "bool";
        case NPY_UINT16: return "uint16";
        case NPY_INT64: return "int64";
        case NPY_FLOAT64: return "float64";
        default: return "another type";
    }
}

}  // namespace

py::Ref asArray(PyObject* object, int type, std::initializer_list<npy_intp> shape, const char* name) {
    PyArray_Descr* descr = PyArray_DescrFromType(type);   // a new reference, taken by PyArray_FromAny
    if (descr == nullptr) return {};
    const int ndim = static_cast<int>(shape.size());
    py::Ref array = py::Ref::steal(
        PyArray_FromAny(object, descr, 0, 0, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr));
    if (!array) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            const char* got = PyArray_Check(object)
                                  ? PyArray_DESCR(reinterpret_cast<PyArrayObject*>(object))->typeobj->tp_name
                                  : Py_TYPE(object)->tp_name;
            PyErr_Format(PyExc_TypeError, "%s: expected an array of %s (or what casts to it safely), got %s",
                         name, typeName(type), got);
        }
        return {};
    }
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(array.get());
    bool fits = PyArray_NDIM(a) == ndim;
    int axis = 0;
    for (const npy_intp want : shape) {
        if (fits && want >= 0 && PyArray_DIM(a, axis) != want) fits = false;
        ++axis;
    }
    if (!fits) {
        const std::string want = shapeText(shape.begin(), ndim);
        const std::string got = shapeText(PyArray_DIMS(a), PyArray_NDIM(a));
        PyErr_Format(PyExc_ValueError, "%s: expected shape %s, got %s", name, want.c_str(), got.c_str());
        return {};
    }
    return array;
}

py::Ref newArray(int type, npy_intp rows, npy_intp columns) {
    npy_intp dims[2] = {rows, columns};
    return py::Ref::steal(PyArray_SimpleNew(2, dims, type));
}

}  // namespace quorvane::loops

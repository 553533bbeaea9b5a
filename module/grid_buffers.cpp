#include "module/grid_buffers.hpp"

#include "module/module_state.hpp"
#include "module/py_ref.hpp"

namespace quorvane {
namespace {

constexpr int kDimensions = 2;

bool checkFormat(const Py_buffer& buffer, const ElementDescriptor& descriptor) {
    if (auto message = checkBufferFormat(buffer.format, descriptor)) {
        PyErr_SetString(PyExc_ValueError, message->c_str());
        return false;
    }
    return true;
}

bool checkDimensions(const Py_buffer& buffer) {
    if (buffer.ndim != kDimensions) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)",
                     kDimensions, buffer.ndim);
        return false;
    }
    return true;
}

const char* plural(Py_ssize_t count) { return count > 1 ? "s" : ""; }

}  // namespace

void HeldBuffer::release() {
    if (held_) {
        held_ = false;
        PyBuffer_Release(&buffer_);
    }
}

bool HeldBuffer::acquire(PyObject* obj, int flags) {
    release();
    if (PyObject_GetBuffer(obj, &buffer_, flags) != 0) return false;
    held_ = true;
    return true;
}

bool checkArrayType(PyObject* obj, const char* parameter_name) {
    PyTypeObject* ndarray = moduleState.ndarray_type;
    if (!ndarray) {
        PyErr_SetString(PyExc_SystemError, "Missing type object");
        return false;
    }
    if (PyObject_TypeCheck(obj, ndarray)) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 parameter_name, ndarray->tp_name, Py_TYPE(obj)->tp_name);
    return false;
}

bool checkArrayBuffer(PyObject* obj, const ElementDescriptor& descriptor, HeldBuffer& out) {
    if (!out.acquire(obj, PyBUF_FORMAT | PyBUF_STRIDES)) return false;
    const Py_buffer& buffer = out.buffer();
    if (!checkDimensions(buffer) || !checkFormat(buffer, descriptor)) {
        out.release();
        return false;
    }
    if (static_cast<std::size_t>(buffer.itemsize) != descriptor.size) {
        PyErr_Format(PyExc_ValueError,
                     "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                     buffer.itemsize, plural(buffer.itemsize), descriptor.name,
                     static_cast<Py_ssize_t>(descriptor.size), "s");
        out.release();
        return false;
    }
    return true;
}

template <class T>
bool convertToGridView(PyObject* obj, const ElementDescriptor& descriptor, HeldGridView<T>& out) {
    HeldBuffer& held = out.buffer;
    if (!held.acquire(obj, PyBUF_RECORDS)) return false;
    const Py_buffer& buffer = held.buffer();
    bool ok = checkDimensions(buffer) && checkFormat(buffer, descriptor);
    if (ok && static_cast<std::size_t>(buffer.itemsize) != descriptor.size) {
        PyErr_Format(PyExc_ValueError,
                     "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)",
                     static_cast<std::size_t>(buffer.itemsize), plural(buffer.itemsize),
                     descriptor.name, descriptor.size, "s");
        ok = false;
    }
    if (ok && buffer.len > 0) {
        for (int d = 0; d < kDimensions && ok; ++d) {
            if (buffer.suboffsets && buffer.suboffsets[d] >= 0) {
                PyErr_Format(PyExc_ValueError, "Buffer not compatible with direct access in dimension %d.", d);
                ok = false;
            } else if (!buffer.strides && buffer.shape[d] > 1 && buffer.suboffsets) {
                PyErr_SetString(PyExc_ValueError, "Buffer exposes suboffsets but no strides");
                ok = false;
            }
        }
    }
    if (!ok) {
        held.release();
        return false;
    }
    grid::GridView<T>& view = out.view;
    view.data = static_cast<char*>(buffer.buf);
    view.extent[0] = buffer.shape[0];
    view.extent[1] = buffer.shape[1];
    if (buffer.strides) {
        view.stride[0] = buffer.strides[0];
        view.stride[1] = buffer.strides[1];
    } else {
        view.stride[1] = buffer.itemsize;
        view.stride[0] = buffer.itemsize * buffer.shape[1];
    }
    return true;
}

PyObject* lookupNumpy() {
    PyObject* name = moduleState.names.np;
    PyObject* found = moduleState.dict ? PyDict_GetItemWithError(moduleState.dict, name) : nullptr;
    if (!found && !PyErr_Occurred()) {
        found = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    }
    if (!found) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return nullptr;
    }
    return Py_NewRef(found);
}

template <class T>
PyObject* exportResult(const HeldGridView<T>& result) {
    py::Ref np = py::Ref::steal(lookupNumpy());
    if (!np) return nullptr;
    py::Ref asarray = py::Ref::steal(PyObject_GetAttr(np.get(), moduleState.names.asarray));
    if (!asarray) return nullptr;
    // The memoryview takes its own buffer of the allocated array and keeps it
    // alive; the array NumPy makes from it keeps the memoryview alive.
    py::Ref exporter = py::Ref::steal(PyMemoryView_FromObject(result.buffer.buffer().obj));
    if (!exporter) return nullptr;
    return PyObject_CallOneArg(asarray.get(), exporter.get());
}

template bool convertToGridView(PyObject*, const ElementDescriptor&, HeldGridView<float>&);
template bool convertToGridView(PyObject*, const ElementDescriptor&, HeldGridView<double>&);
template PyObject* exportResult(const HeldGridView<float>&);
template PyObject* exportResult(const HeldGridView<double>&);

}  // namespace quorvane

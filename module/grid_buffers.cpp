#include "module/grid_buffers.hpp"

#include "module/interface.hpp"
#include "module/module_state.hpp"
#include "module/py_ref.hpp"
#include "module/result_buffer.hpp"

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
        PyErr_Format(PyExc_ValueError, interface::kWrongDimensions,
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

void HeldBuffer::transferTo(Py_buffer& target) {
    target = buffer_;
    buffer_ = Py_buffer{};
    held_ = false;
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
        PyErr_SetString(PyExc_SystemError, interface::kMissingTypeObject);
        return false;
    }
    if (PyObject_TypeCheck(obj, ndarray)) return true;
    PyErr_Format(PyExc_TypeError, interface::kIncorrectType,
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
                     interface::kItemSizeChecked,
                     buffer.itemsize, plural(buffer.itemsize), descriptor.name,
                     static_cast<Py_ssize_t>(descriptor.size), "s");
        out.release();
        return false;
    }
    return true;
}

template <class T>
bool convertToGridView(PyObject* obj, HeldGridView<T>& out) {
    const ElementDescriptor& descriptor = kDescriptorOf<T>;
    HeldBuffer& held = out.buffer;
    if (!held.acquire(obj, PyBUF_RECORDS)) return false;
    const Py_buffer& buffer = held.buffer();
    if (buffer.readonly) {
        PyErr_SetString(PyExc_BufferError, interface::kNotWritable);
        held.release();
        return false;
    }
    bool ok = checkDimensions(buffer) && checkFormat(buffer, descriptor);
    if (ok && static_cast<std::size_t>(buffer.itemsize) != descriptor.size) {
        PyErr_Format(PyExc_ValueError,
                     interface::kItemSizeViewed,
                     static_cast<std::size_t>(buffer.itemsize), plural(buffer.itemsize),
                     descriptor.name, descriptor.size, "s");
        ok = false;
    }
    if (ok && buffer.len > 0) {
        for (int d = 0; d < kDimensions && ok; ++d) {
            if (buffer.suboffsets && buffer.suboffsets[d] >= 0) {
                PyErr_Format(PyExc_ValueError, interface::kSubOffsetInUse, d);
                ok = false;
            } else if (!buffer.strides && buffer.shape[d] > 1 && buffer.suboffsets) {
                PyErr_SetString(PyExc_ValueError, interface::kSubOffsetsWithoutStrides);
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

py::Ref lookupNumpy() {
    PyObject* name = moduleState.names.np;
    PyObject* found = moduleState.dict ? PyDict_GetItemWithError(moduleState.dict, name) : nullptr;
    if (!found && !PyErr_Occurred()) {
        found = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    }
    if (!found) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, interface::kNameNotDefined, name);
        return {};
    }
    return py::Ref::borrow(found);
}

template <class T>
PyObject* exportResult(HeldGridView<T>& result) {
    py::Ref np = lookupNumpy();
    if (!np) return nullptr;
    py::Ref asarray = py::Ref::steal(PyObject_GetAttr(np.get(), moduleState.names.asarray));
    if (!asarray) return nullptr;
    // Ownership runs result array -> memoryview -> result buffer -> the
    // buffer the loop wrote through -> the allocated array.
    py::Ref owner =
        newResultBuffer(result.buffer, result.view.extent, result.view.stride, kDescriptorOf<T>);
    if (!owner) return nullptr;
    py::Ref exporter = py::Ref::steal(PyMemoryView_FromObject(owner.get()));
    if (!exporter) return nullptr;
    return PyObject_CallOneArg(asarray.get(), exporter.get());
}

template bool convertToGridView(PyObject*, HeldGridView<float>&);
template bool convertToGridView(PyObject*, HeldGridView<double>&);
template PyObject* exportResult(HeldGridView<float>&);
template PyObject* exportResult(HeldGridView<double>&);

}  // namespace quorvane

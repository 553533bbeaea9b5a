#include "module/result_buffer.hpp"

#include "module/interface.hpp"

namespace quorvane {
namespace {

struct ResultBufferObject {
    PyObject_HEAD
    Py_buffer held;            // acquired from the allocated array; released on dealloc
    const char* format;        // "f" or "d": the element type the loop wrote
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
};

PyTypeObject* resultBufferType = nullptr;

ResultBufferObject* asResultBuffer(PyObject* object) {
    return reinterpret_cast<ResultBufferObject*>(object);
}

// Whether elements follow each other in memory in C (row-major) or Fortran
// (column-major) order; strides of an extent of 0 or 1 do not matter.
bool isContiguous(const ResultBufferObject& self, int inner) {
    if (self.shape[0] == 0 || self.shape[1] == 0) return true;
    const int outer = 1 - inner;
    const Py_ssize_t item = self.held.itemsize;
    return (self.shape[inner] == 1 || self.strides[inner] == item) &&
           (self.shape[outer] == 1 || self.strides[outer] == item * self.shape[inner]);
}

bool asks(int flags, int request) { return (flags & request) == request; }

int getBuffer(PyObject* object, Py_buffer* view, int flags) {
    ResultBufferObject& self = *asResultBuffer(object);
    if (asks(flags, PyBUF_WRITABLE) && self.held.readonly) {
        PyErr_SetString(PyExc_BufferError, interface::kNotWritable);
        return -1;
    }
    const bool with_strides = asks(flags, PyBUF_STRIDES);
    const bool c_order = isContiguous(self, 1);
    const bool fortran_order = isContiguous(self, 0);
    // A consumer that takes no strides reads the memory in C order.
    if ((asks(flags, PyBUF_C_CONTIGUOUS) && !c_order) ||
        (asks(flags, PyBUF_F_CONTIGUOUS) && !fortran_order) ||
        (asks(flags, PyBUF_ANY_CONTIGUOUS) && !c_order && !fortran_order) ||
        (!with_strides && !c_order)) {
        PyErr_SetString(PyExc_BufferError, "result grid is not contiguous in the order requested");
        return -1;
    }
    view->buf = self.held.buf;
    view->obj = Py_NewRef(object);
    view->len = self.held.itemsize * self.shape[0] * self.shape[1];
    view->itemsize = self.held.itemsize;
    view->readonly = self.held.readonly;
    view->ndim = asks(flags, PyBUF_ND) ? 2 : 1;
    view->format = asks(flags, PyBUF_FORMAT) ? const_cast<char*>(self.format) : nullptr;
    view->shape = asks(flags, PyBUF_ND) ? self.shape : nullptr;
    view->strides = with_strides ? self.strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

int traverse(PyObject* object, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(object));
    Py_VISIT(asResultBuffer(object)->held.obj);
    return 0;
}

void dealloc(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    PyObject_GC_UnTrack(object);
    PyBuffer_Release(&asResultBuffer(object)->held);
    type->tp_free(object);
    Py_DECREF(type);
}

PyObject* getSource(PyObject* object, void*) {
    PyObject* source = asResultBuffer(object)->held.obj;
    return Py_NewRef(source ? source : Py_None);
}

PyGetSetDef resultBufferGetSet[] = {
    {"obj", getSource, nullptr, "The object whose buffer the result lives on.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot resultBufferSlots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(getBuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_getset, resultBufferGetSet},
    {0, nullptr},
};

PyType_Spec resultBufferSpec = {
    "Quorvane.result_buffer",
    sizeof(ResultBufferObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    resultBufferSlots,
};

}  // namespace

int initResultBufferType() { return py::createTypeOnce(resultBufferSpec, resultBufferType); }

py::Ref newResultBuffer(HeldBuffer& held, const std::int64_t (&extent)[2],
                        const std::int64_t (&stride)[2], const ElementDescriptor& descriptor) {
    if (resultBufferType == nullptr) {
        PyErr_SetString(PyExc_SystemError, "result buffer type not initialised");
        return {};
    }
    py::Ref object = py::Ref::steal(PyType_GenericAlloc(resultBufferType, 0));
    if (!object) return {};
    ResultBufferObject& self = *asResultBuffer(object.get());
    self.format = descriptor.format;
    for (int d = 0; d < 2; ++d) {
        self.shape[d] = static_cast<Py_ssize_t>(extent[d]);
        self.strides[d] = static_cast<Py_ssize_t>(stride[d]);
    }
    held.transferTo(self.held);
    return object;
}

}  // namespace quorvane

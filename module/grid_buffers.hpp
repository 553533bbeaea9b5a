// Array arguments as buffers and grid views: the argument type check, the
// array buffer check, the conversion to GridView and the hand-back of a result
// view as a NumPy array.
#pragma once

#include <Python.h>

#include "grid/grid_view.hpp"
#include "module/buffer_format.hpp"
#include "module/py_ref.hpp"

namespace quorvane {

// An acquired buffer, released at the latest on destruction.
class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() { release(); }

    bool held() const { return held_; }
    const Py_buffer& buffer() const { return buffer_; }
    Py_ssize_t extent(int d) const { return buffer_.shape[d]; }
    void release();
    // Moves the held buffer into target, which the caller then releases;
    // nothing is held afterwards.
    void transferTo(Py_buffer& target);

    // Acquires obj's buffer with the given request flags; false with the
    // exporter's exception set when it refuses.
    bool acquire(PyObject* obj, int flags);

private:
    Py_buffer buffer_{};
    bool held_ = false;
};

// A GridView that holds the buffer it was made from.
template <class T>
struct HeldGridView {
    HeldBuffer buffer;
    grid::GridView<T> view;
    void release() { buffer.release(); }
};

// Accepts an instance of numpy.ndarray or of a subclass; otherwise raises
// TypeError naming the parameter. None is refused like any other non-array:
// it has no data to read.
bool checkArrayType(PyObject* obj, const char* parameter_name);

// Acquires obj's buffer (format and strides, read-only is fine) and checks
// two dimensions, the element format and the item size. On failure nothing is
// held and a ValueError (or the exporter's exception) is set.
bool checkArrayBuffer(PyObject* obj, const ElementDescriptor& descriptor, HeldBuffer& out);

// Acquires obj's buffer writable (format, strides) and fills a GridView of
// element type T. On failure nothing is held. An exporter that
// answers the writable request with a read-only buffer is refused.
template <class T>
bool convertToGridView(PyObject* obj, HeldGridView<T>& out);

// The module global `np`, looked up in the module namespace, then among the
// builtins. Null with NameError set when neither holds it.
py::Ref lookupNumpy();

// A new NumPy array over the memory the result view holds, made by np.asarray
// of a memoryview of that very buffer (no second request to the allocated
// array). On success the returned array owns the buffer through the
// memoryview and result holds nothing. New reference or null.
template <class T>
PyObject* exportResult(HeldGridView<T>& result);

}  // namespace quorvane

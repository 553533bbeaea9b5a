// Array arguments as buffers and grid views: the argument type check, the
// array buffer check, the conversion to GridView and the hand-back of a result
// view as a NumPy array.
#pragma once

#include <Python.h>

#include "grid/grid_view.hpp"
#include "module/buffer_format.hpp"

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
// the descriptor's element type. On failure nothing is held.
template <class T>
bool convertToGridView(PyObject* obj, const ElementDescriptor& descriptor, HeldGridView<T>& out);

// The module global `np`, looked up in the module namespace, then among the
// builtins. New reference, or null with NameError set.
PyObject* lookupNumpy();

// A new NumPy array over the memory of the array behind the view, made by
// np.asarray of a memoryview of that array. New reference or null.
template <class T>
PyObject* exportResult(const HeldGridView<T>& result);

}  // namespace quorvane

// The object a returned result array lives on.
//
// An entry writes its result through the buffer it acquired from the array
// that np.empty returned. Asking that array for its buffer a second time to
// hand the result back would trust it to export the same memory again; an
// exporter written in Python need not, and some (those whose buffer is kept
// by an internal wrapper) cannot be asked at all. So the acquired buffer
// itself is moved into a small object that exports it again, unchanged, and
// the result array is made from that object.
#pragma once

#include <Python.h>

#include <cstdint>

#include "module/buffer_format.hpp"
#include "module/grid_buffers.hpp"
#include "module/py_ref.hpp"

namespace quorvane {

// Creates the exporter type (once). Returns 0, or -1 with an exception set.
int initResultBufferType();

// A new object that takes over the buffer held and exports it with the
// descriptor's format and the given extents and strides (those of the view
// the loop wrote through), writable. The object keeps the allocated array
// alive until it is freed; its attribute `obj` is the object the buffer came
// from. On failure (null, an exception set) held still holds its buffer.
py::Ref newResultBuffer(HeldBuffer& held, const std::int64_t (&extent)[2],
                        const std::int64_t (&stride)[2], const ElementDescriptor& descriptor);

}  // namespace quorvane

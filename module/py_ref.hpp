// Small owners for Python references and for the pending exception, and the
// one-time creation of the module's heap types.
#pragma once

#include <Python.h>

#include <utility>

namespace quorvane::py {

// Owns one strong reference (or none). Releases it on destruction.
class Ref {
public:
    Ref() = default;
    // Takes over a new reference (the usual result of a C API call); null is allowed.
    static Ref steal(PyObject* object) { return Ref(object); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* object) {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) reset(std::exchange(other.object_, nullptr));
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Gives up ownership: the caller now owns the reference.
    PyObject* release() { return std::exchange(object_, nullptr); }
    void reset(PyObject* object = nullptr) {
        PyObject* old = std::exchange(object_, object);
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

// Takes the pending exception out of the error indicator for the lifetime of
// the object and puts it back, unchanged, on destruction.
class StashedError {
public:
    StashedError() : exception_(PyErr_GetRaisedException()) {}
    StashedError(const StashedError&) = delete;
    StashedError& operator=(const StashedError&) = delete;
    ~StashedError() { PyErr_SetRaisedException(exception_); }

private:
    PyObject* exception_;
};

// Makes the heap type of spec once per process and keeps it in slot for the
// life of the process. Returns 0, or -1 with an exception set.
inline int createTypeOnce(PyType_Spec& spec, PyTypeObject*& slot) {
    if (slot != nullptr) return 0;
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) return -1;
    slot = reinterpret_cast<PyTypeObject*>(type);
    return 0;
}

}  // namespace quorvane::py

// Releases the interpreter lock for a scope when the calling thread holds it.
#pragma once

#include <Python.h>

namespace quorvane {

class ReleasedInterpreterLock {
public:
    ReleasedInterpreterLock() : saved_(PyGILState_Check() ? PyEval_SaveThread() : nullptr) {}
    ReleasedInterpreterLock(const ReleasedInterpreterLock&) = delete;
    ReleasedInterpreterLock& operator=(const ReleasedInterpreterLock&) = delete;
    ~ReleasedInterpreterLock() {
        if (saved_) PyEval_RestoreThread(saved_);
    }

private:
    PyThreadState* saved_;
};

}  // namespace quorvane

// Attaching to and detaching from the interpreter, and per-object critical
// sections of the free-threaded build.
#pragma once

#include <Python.h>

#include "capi/ref.hpp"

namespace marovenda::py {

// Detaches the calling (attached) thread for the guard's lifetime: device
// calls, waits and first polls run inside one.
class Detached {
public:
    Detached() noexcept : saved_(PyEval_SaveThread()) {}
    ~Detached() {
        PyEval_RestoreThread(saved_);
        drain_deferred();
    }
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

private:
    PyThreadState* saved_;
};

// Attaches a thread that is outside the interpreter (a runtime worker) for
// the guard's lifetime. ok() is false, and nothing is attached, when the
// interpreter is not initialised or is finalising: the caller then gives its
// Python work up.
class Attached {
public:
    Attached() noexcept;
    ~Attached();
    Attached(const Attached&) = delete;
    Attached& operator=(const Attached&) = delete;
    bool ok() const noexcept { return ok_; }

private:
    bool ok_ = false;
    PyGILState_STATE state_{};
};

// Python's per-object lock; a no-op in builds with the GIL.
class CriticalSection {
public:
    explicit CriticalSection(PyObject* o) noexcept { PyCriticalSection_Begin(&cs_, o); }
    ~CriticalSection() { PyCriticalSection_End(&cs_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

private:
    PyCriticalSection cs_;
};

}  // namespace marovenda::py

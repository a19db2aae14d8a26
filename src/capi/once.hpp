// A process-wide Python object made once and kept for the life of the process.
#pragma once

#include <Python.h>

#include <atomic>

#include "capi/ref.hpp"

namespace marovenda::py {

// Making the object runs Python code, so no C++ lock is held while it is
// made: threads that race each make one, the first to publish wins and the
// others drop theirs, so every caller sees the same object. A failed make
// publishes nothing and the next call tries again.
class OnceObject {
public:
    // Borrowed; make() returns a Ref (or throws ErrorAlreadySet).
    template <class Make>
    PyObject* get(Make&& make) {
        if (PyObject* p = p_.load(std::memory_order_acquire)) return p;
        Ref made = make();
        PyObject* expected = nullptr;
        if (p_.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) return made.release();
        return expected;
    }

private:
    std::atomic<PyObject*> p_{nullptr};
};

}  // namespace marovenda::py

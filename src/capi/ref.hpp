// Owned references to Python objects. The only place in the project that
// touches reference counts; everything else holds a Ref.
#pragma once

#include <Python.h>

#include <utility>

namespace marovenda::py {

// Thrown after a Python exception has been set; entry points turn it back
// into a NULL or -1 return with the exception still pending.
struct ErrorAlreadySet {};

// True when the calling thread is attached to the interpreter.
inline bool attached() noexcept { return PyThreadState_GetUnchecked() != nullptr; }

// Releases a reference on any thread: at once when attached, otherwise kept
// until some thread attaches (drain_deferred), never without the interpreter.
void decref(PyObject* o) noexcept;
// Releases the references kept by decref; call while attached.
void drain_deferred() noexcept;

class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    // Takes over a new reference.
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    // Adds a reference to a borrowed one.
    static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    // A new reference that must not be NULL: a NULL result is the
    // interpreter's error, raised as ErrorAlreadySet.
    static Ref check(PyObject* o) {
        if (!o) throw ErrorAlreadySet{};
        return Ref(o);
    }

    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { reset(); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller (a C API "new reference" return).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept {
        if (PyObject* o = std::exchange(p_, nullptr)) decref(o);
    }

private:
    explicit Ref(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

// Raises ErrorAlreadySet when a C API status says an exception is set.
inline void check(int status) {
    if (status < 0) throw ErrorAlreadySet{};
}

}  // namespace marovenda::py

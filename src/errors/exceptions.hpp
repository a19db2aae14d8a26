// The Python side of SerialError: the module's exception classes, and the one
// place where an engine error becomes a Python exception.
#pragma once

#include <Python.h>

#include "errors/error.hpp"

namespace marovenda {

// The process-wide classes, made on first use (borrowed; throw ErrorAlreadySet).
PyObject* serial_exception_type();
PyObject* serial_timeout_exception_type();
PyObject* port_not_open_error_type();

// Sets the Python exception for error.
void raise(const SerialError& error) noexcept;
// raise(error), then throws py::ErrorAlreadySet.
[[noreturn]] void throw_py(const SerialError& error);

// Unwraps an engine result at the Python boundary.
template <class T>
T unwrap(Result<T> r) {
    if (!r) throw_py(r.error());
    return std::move(r).value();
}
inline void unwrap(Result<void> r) {
    if (!r) throw_py(r.error());
}

}  // namespace marovenda

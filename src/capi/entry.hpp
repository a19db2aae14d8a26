// Every function the interpreter calls into goes through one of these, so no
// C++ exception ever crosses into the interpreter: a pending Python error
// returns the failure value, any other exception becomes the fault exception
// "pyo3_runtime.PanicException".
#pragma once

#include <Python.h>

#include <exception>
#include <string_view>
#include <type_traits>

#include "capi/ref.hpp"

namespace marovenda::py {

// The fault exception class (created on first use, kept for the process).
PyObject* panic_exception_type() noexcept;
// Sets type(message) with the whole message: the C-string setters stop at
// a NUL, and messages carry caller text.
void set_error(PyObject* type, std::string_view message) noexcept;
// set_error, then throws ErrorAlreadySet.
[[noreturn]] void throw_error(PyObject* type, std::string_view message);
// Raises TypeError "'<type>' object is not an instance of '<expected>'" (or
// "'None' is not an instance of ..."): the text callers match for every
// argument of the wrong type.
[[noreturn]] void not_an_instance(PyObject* obj, const char* expected);

// Sets the fault exception with message as its argument.
void raise_panic(const char* message) noexcept;
// Sets the fault exception for the exception being handled.
void raise_current_as_panic() noexcept;

// Runs body; returns its result, or failure with a Python exception set.
template <class F>
auto guarded(F&& body, decltype(body()) failure) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_Occurred()) raise_panic("error return without exception set");
    } catch (...) {
        raise_current_as_panic();
    }
    return failure;
}

// The usual shapes: an object (NULL on failure) or a status (-1 on failure).
template <class F>
PyObject* entry(F&& body) noexcept {
    return guarded([&]() -> PyObject* { return body().release(); }, nullptr);
}
template <class F>
int entry_status(F&& body) noexcept {
    return guarded([&]() -> int { body(); return 0; }, -1);
}

}  // namespace marovenda::py

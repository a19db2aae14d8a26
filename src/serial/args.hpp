// Argument conversions shared by the I/O methods of both serial classes.
#pragma once

#include <Python.h>

#include <cstddef>

#include "capi/args.hpp"
#include "capi/call.hpp"
#include "capi/ref.hpp"

namespace marovenda::serial {

// Runs a conversion, adding the note "while processing '{name}'" to its error.
template <class F>
auto converting(const char* name, F&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const py::ErrorAlreadySet&) {
        py::add_processing_note(name);
        throw;
    }
}

// An int (or __index__) from 0 to SIZE_MAX; OverflowError or TypeError.
inline std::size_t unsigned_word(PyObject* obj) {
    py::Ref n = py::Ref::check(PyNumber_Index(obj));
    std::size_t v = PyLong_AsSize_t(n.get());
    if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw py::ErrorAlreadySet{};
    return v;
}

// An int (or __index__) in the Py_ssize_t range.
inline Py_ssize_t signed_word(PyObject* obj) {
    py::Ref n = py::Ref::check(PyNumber_Index(obj));
    Py_ssize_t v = PyLong_AsSsize_t(n.get());
    if (v == -1 && PyErr_Occurred()) throw py::ErrorAlreadySet{};
    return v;
}

// The interpreter's float conversion (no string parsing).
inline double float_arg(PyObject* obj) {
    double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) throw py::ErrorAlreadySet{};
    return d;
}

using Fastcall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <Fastcall F>
PyCFunction fastcall() {
    return py::as_cfunction(F);
}

}  // namespace marovenda::serial

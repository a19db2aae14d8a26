// The I/O methods both serial classes share, as builders that parse and
// convert the Python arguments into an operation. Each class supplies what
// runs the operation: the blocking drive, or the start of a future.
#pragma once

#include <Python.h>

#include "capi/call.hpp"
#include "capi/entry.hpp"
#include "future/cell.hpp"

namespace marovenda::serial::methods {

using Builder = Operation (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
using Runner = py::Ref (*)(Operation);

Operation read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Operation read_until(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Operation readline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Operation readlines(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Operation write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Operation send_break(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// A METH_FASTCALL | METH_KEYWORDS method: build, then run.
template <Builder Build, Runner Run>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::entry([&] { return Run(Build(self, args, nargs, kwnames)); });
}

template <Builder Build, Runner Run>
PyCFunction fastcall() {
    return py::as_cfunction(method<Build, Run>);
}

}  // namespace marovenda::serial::methods

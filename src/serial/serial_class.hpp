// The blocking Serial class and the root serial_for_url.
#pragma once

#include <Python.h>

namespace marovenda::serial {

// The class object marovenda.Serial (borrowed), made on first use.
PyObject* serial_type();
// The root module's serial_for_url (a new function object).
PyObject* new_serial_for_url_function();
// The shared body of both serial_for_url functions; cls_of gives the class.
PyObject* for_url(PyObject* (*cls_of)(), PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  const char* display) noexcept;

}  // namespace marovenda::serial

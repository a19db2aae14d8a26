// The serial objects' shared helpers.
#pragma once

#include <Python.h>

namespace marovenda::serial {

// The enum marovenda.Baudrate, built once per process (borrowed; throws
// py::ErrorAlreadySet when the build fails, leaving the cell empty).
PyObject* baudrate_enum();

}  // namespace marovenda::serial

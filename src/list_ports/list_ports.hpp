// marovenda.tools.list_ports: the ListPortInfo class and comports().
#pragma once

#include <Python.h>

namespace marovenda::list_ports {

// Adds ListPortInfo, then comports, to the module (and to its __all__).
void add_to(PyObject* module);

}  // namespace marovenda::list_ports

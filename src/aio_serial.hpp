// aio.Serial: the asyncio face of a port, whose I/O methods return futures.
#pragma once

#include <Python.h>

namespace marovenda::aio {

// The class object marovenda.aio.Serial (borrowed), made on first use.
PyObject* aio_serial_type();
// marovenda.aio.serial_for_url (a new function object).
PyObject* new_serial_for_url_function();

}  // namespace marovenda::aio

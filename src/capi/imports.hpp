// What the module uses of asyncio, contextvars and functools, each looked up
// once for the process, as CPython's own modules keep such objects in their
// module state. Borrowed; throw ErrorAlreadySet.
#pragma once

#include <Python.h>

#include "capi/ref.hpp"

namespace marovenda::py::imports {

PyObject* cancelled_error();      // asyncio.CancelledError
PyObject* invalid_state_error();  // asyncio.InvalidStateError
PyObject* get_running_loop();     // asyncio.get_running_loop
PyObject* running_loop();         // asyncio._get_running_loop: the loop or None
PyObject* copy_context();         // contextvars.copy_context

// module.name, looked up on each call: for what is used once.
Ref attr(const char* module, const char* name);

}  // namespace marovenda::py::imports

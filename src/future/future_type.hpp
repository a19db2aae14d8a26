// The Python class aio.Future over an OpFuture, and the asyncio bridge.
#pragma once

#include <Python.h>

#include "capi/ref.hpp"
#include "future/cell.hpp"

namespace marovenda::future {

// The class object marovenda.aio.Future (borrowed), made on first use.
PyObject* future_type();
// A new aio.Future object holding f.
py::Ref wrap(OpFuture f);
// Starts op and wraps it in an aio.Future; only a missing runtime raises here.
py::Ref start(Operation op);
// The OpFuture inside an aio.Future object.
const OpFuture& unwrap_future(PyObject* obj);

}  // namespace marovenda::future

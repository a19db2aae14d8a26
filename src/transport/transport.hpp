// The asyncio serial transport: _TransportCore (the state and behaviour of one
// transport over a SerialBase object), the SerialTransport class built over
// asyncio.Transport at run time, marovenda.aio's module __getattr__, and the
// connection functions with their one-step Deferred awaitable.
//
// Every step and protocol callback runs on the event loop's thread; engine
// operations complete on runtime workers and hop back with
// loop.call_soon_threadsafe.
#pragma once

#include <Python.h>

#include "capi/ref.hpp"

namespace marovenda::transport {

// marovenda.aio.SerialTransport, built on first use and kept for the process.
// A failed build is raised and tried again on the next use.
py::Ref serial_transport_class();

// A new SerialTransport over serial (a SerialBase) speaking to protocol on
// loop; connection_made and the first read are scheduled on the loop.
py::Ref create(PyObject* loop, PyObject* protocol, PyObject* serial);

// protocol_factory(), then create(): the tuple (transport, protocol).
py::Ref connect(PyObject* loop, PyObject* protocol_factory, PyObject* serial);

// marovenda.aio's module-level __getattr__ (a new function object).
py::Ref new_getattr_function();

// The connection functions of marovenda.aio (new function objects).
py::Ref new_create_serial_connection_function();
py::Ref new_connection_for_serial_function();
py::Ref new_open_serial_connection_function();

}  // namespace marovenda::transport

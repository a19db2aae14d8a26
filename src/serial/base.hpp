// SerialBase: the Python base class of Serial and aio.Serial. It holds the
// object's PortCore and everything that is not I/O: settings, properties,
// modem lines and the non-I/O methods.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <string>

#include "capi/ref.hpp"
#include "port/port.hpp"

namespace marovenda::serial {

struct SerialObject {
    PyObject_HEAD
    std::shared_ptr<port::PortCore> core;
};

inline port::PortCore& core_of(PyObject* self) { return *reinterpret_cast<SerialObject*>(self)->core; }
inline std::shared_ptr<port::PortCore> shared_core(PyObject* self) {
    return reinterpret_cast<SerialObject*>(self)->core;
}

// The class object (borrowed), made on first use.
PyObject* serial_base_type();
// True when obj is a SerialBase instance.
bool is_serial_base(PyObject* obj);

// tp_new for the subclasses: a closed object with default settings.
PyObject* new_unopened(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

// The converted constructor arguments shared by Serial and aio.Serial.
struct InitArgs {
    std::optional<std::string> port;
    std::uint32_t baudrate = 9600;
    std::uint8_t bytesize = 8;
    std::string parity = "N";
    double stopbits = 1.0;
    std::optional<Seconds> timeout;
    bool xonxoff = false;
    bool rtscts = false;
    std::optional<Seconds> write_timeout;
    std::optional<bool> dsrdtr = false;
    std::optional<Seconds> inter_byte_timeout;
    std::optional<bool> exclusive;
};
// Parses and converts __init__'s twelve parameters (display e.g. "Serial.__init__()").
InitArgs parse_init(const char* display, PyObject* args, PyObject* kwargs);
// Validates, stores and opens when a port is given.
void init(PyObject* self, InitArgs a);
// The first half of __enter__ and __aenter__: opens a named, closed port.
void enter(PyObject* self);

// What Serial and aio.Serial share: their __init__ slot, read_all (read of
// in_waiting bytes, through attribute lookup), and their class made from spec
// over SerialBase.
int init_slot(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
PyObject* read_all(PyObject* self, PyObject*) noexcept;
py::Ref subclass(PyType_Spec& spec);

// Seconds from a Python object: an int (within 64 bits) stays an int, else
// the float conversion; ValueError "Not a valid timeout: {}" otherwise.
Seconds extract_seconds(PyObject* obj);
py::Ref seconds_to_py(const std::optional<Seconds>& s);
// A str argument as UTF-8; TypeError for anything else.
std::string text_arg(PyObject* obj);

}  // namespace marovenda::serial

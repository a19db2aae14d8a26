// The serial objects' shared helpers: argument conversions and the Baudrate enum.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

namespace marovenda::serial {

// The enum marovenda.Baudrate, built once per process (borrowed; throws
// py::ErrorAlreadySet when the build fails, leaving the cell empty).
PyObject* baudrate_enum();

// repr(obj) for messages; "<unprintable>" when repr fails (the error is cleared).
std::string describe(PyObject* obj) noexcept;

// bytes, str (as UTF-8) or any buffer object, copied; TypeError otherwise.
std::string to_bytes(PyObject* obj);

// A baud rate: whatever int() makes of the value, from 0 to 4294967295.
struct Baudrate {
    std::uint32_t value;
    static Baudrate extract(PyObject* obj);
};

// A byte size: an integral float value from 5 to 8 (strings are not parsed).
struct Bytesize {
    std::uint8_t value;
    static Bytesize extract(PyObject* obj);
};

}  // namespace marovenda::serial

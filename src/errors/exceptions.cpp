#include "errors/exceptions.hpp"

#include <string>

#include "capi/entry.hpp"
#include "capi/imports.hpp"
#include "capi/once.hpp"

namespace marovenda {

namespace {

PyObject* make_class(py::OnceObject& cell, const char* qualified_name, PyObject* base) {
    return cell.get([&] {
        PyObject* t = PyErr_NewException(qualified_name, base, nullptr);
        if (!t) {
            PyErr_Clear();
            py::raise_panic("Failed to initialize new exception type.");
            throw py::ErrorAlreadySet{};
        }
        return py::Ref::steal(t);
    });
}

PyObject* cancelled_error_type() { return py::imports::cancelled_error(); }

}  // namespace

PyObject* serial_exception_type() {
    static py::OnceObject cell;
    return make_class(cell, "marovenda.SerialException", PyExc_OSError);
}

PyObject* serial_timeout_exception_type() {
    static py::OnceObject cell;
    return make_class(cell, "marovenda.SerialTimeoutException", serial_exception_type());
}

PyObject* port_not_open_error_type() {
    static py::OnceObject cell;
    return make_class(cell, "marovenda.PortNotOpenError", serial_exception_type());
}

void raise(const SerialError& error) noexcept {
    py::guarded(
        [&]() -> int {
            using K = SerialError::Kind;
            const std::string text = error.text();
            switch (error.kind()) {
                case K::Os:
                    if (auto code = error.os_errno()) {
                        py::Ref args = py::Ref::check(Py_BuildValue("(is#)", int(*code), text.data(), Py_ssize_t(text.size())));
                        PyErr_SetObject(serial_exception_type(), args.get());
                        return 0;
                    }
                    [[fallthrough]];
                case K::AlreadyOpen:
                case K::NotConfigured:
                case K::Forked: py::set_error(serial_exception_type(), text); return 0;
                case K::Timeout: py::set_error(serial_timeout_exception_type(), text); return 0;
                case K::PortNotOpen: py::set_error(port_not_open_error_type(), text); return 0;
                case K::Value: py::set_error(PyExc_ValueError, text); return 0;
                case K::Cancelled: PyErr_SetNone(cancelled_error_type()); return 0;
            }
            return 0;
        },
        -1);
}

void throw_py(const SerialError& error) {
    raise(error);
    throw py::ErrorAlreadySet{};
}

}  // namespace marovenda

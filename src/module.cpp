// The module entry: the definition the interpreter loads and the module body
// that fills the root module and builds its submodules.
#include <Python.h>

#include "capi/entry.hpp"
#include "capi/module.hpp"
#include "errors/exceptions.hpp"
#include "list_ports/list_ports.hpp"
#include "aio_serial.hpp"
#include "future/future_type.hpp"
#include "serial/convert.hpp"
#include "serial/base.hpp"
#include "serial/serial_class.hpp"
#include "transport/transport.hpp"

namespace marovenda {

namespace {

using py::Ref;

void add(PyObject* m, const char* name, Ref value) { py::add_to_module(m, name, value.get()); }

Ref str(const char* s) { return Ref::check(PyUnicode_FromString(s)); }
Ref integer(long v) { return Ref::check(PyLong_FromLong(v)); }
Ref byte(char c) { return Ref::check(PyBytes_FromStringAndSize(&c, 1)); }

void module_body(PyObject* m) {
    add(m, "__version__", str(MAROVENDA_VERSION));
    add(m, "PARITY_NONE", str("N"));
    add(m, "PARITY_EVEN", str("E"));
    add(m, "PARITY_ODD", str("O"));
    add(m, "PARITY_MARK", str("M"));
    add(m, "PARITY_SPACE", str("S"));

    Ref names = Ref::check(PyDict_New());
    for (auto [key, value] : {std::pair{"N", "None"}, {"E", "Even"}, {"O", "Odd"}, {"M", "Mark"}, {"S", "Space"}})
        py::check(PyDict_SetItemString(names.get(), key, str(value).get()));
    add(m, "PARITY_NAMES", names);

    add(m, "STOPBITS_ONE", integer(1));
    add(m, "STOPBITS_ONE_POINT_FIVE", Ref::check(PyFloat_FromDouble(1.5)));
    add(m, "STOPBITS_TWO", integer(2));
    add(m, "FIVEBITS", integer(5));
    add(m, "SIXBITS", integer(6));
    add(m, "SEVENBITS", integer(7));
    add(m, "EIGHTBITS", integer(8));
    add(m, "XON", byte('\x11'));
    add(m, "XOFF", byte('\x13'));
    add(m, "CR", byte('\r'));
    add(m, "LF", byte('\n'));

    add(m, "SerialException", Ref::borrow(serial_exception_type()));
    add(m, "SerialTimeoutException", Ref::borrow(serial_timeout_exception_type()));
    add(m, "PortNotOpenError", Ref::borrow(port_not_open_error_type()));
    add(m, "Baudrate", Ref::borrow(serial::baudrate_enum()));
    add(m, "SerialBase", Ref::borrow(serial::serial_base_type()));
    add(m, "Serial", Ref::borrow(serial::serial_type()));
    py::add_named(m, Ref::steal(serial::new_serial_for_url_function()).get());

    Ref aio = py::new_submodule("marovenda.aio");
    add(aio.get(), "Future", Ref::borrow(future::future_type()));
    add(aio.get(), "Serial", Ref::borrow(aio::aio_serial_type()));
    py::add_named(aio.get(), Ref::steal(aio::new_serial_for_url_function()).get());
    py::add_named(aio.get(), transport::new_getattr_function().get());
    // SerialTransport is made by __getattr__ on first access, yet listed.
    Ref aio_all = Ref::check(PyObject_GetAttrString(aio.get(), "__all__"));
    if (!PyList_Check(aio_all.get())) {
        py::throw_error(PyExc_TypeError, "`__all__` must be a list");
    }
    Ref::check(PyObject_CallMethod(aio_all.get(), "remove", "s", "__getattr__"));
    py::check(PyList_Append(aio_all.get(), str("SerialTransport").get()));
    py::add_named(aio.get(), transport::new_create_serial_connection_function().get());
    py::add_named(aio.get(), transport::new_connection_for_serial_function().get());
    py::add_named(aio.get(), transport::new_open_serial_connection_function().get());
    py::add_submodule(m, "aio", aio.get());

    Ref tools = py::new_submodule("marovenda.tools");
    Ref list_ports = py::new_submodule("marovenda.tools.list_ports");
    py::check(PyObject_SetAttrString(list_ports.get(), "__all__", Ref::check(PyList_New(0)).get()));
    list_ports::add_to(list_ports.get());
    py::add_submodule(tools.get(), "list_ports", list_ports.get());
    py::add_submodule(m, "tools", tools.get());
}

int exec_module(PyObject* m) noexcept {
    return py::entry_status([&] {
        if (!PyModule_Check(m)) {
            py::throw_error(PyExc_TypeError, "expected a module object");
        }
        module_body(m);
    });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    // Types, exception classes and the enum are process-wide; a second
    // interpreter would share them, so it is refused at import instead.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "_marovenda",
    "",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace marovenda

PyMODINIT_FUNC PyInit__marovenda() { return PyModuleDef_Init(&marovenda::definition); }

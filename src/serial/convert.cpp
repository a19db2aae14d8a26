#include "serial/convert.hpp"

#include <array>
#include <string>
#include <cmath>
#include <cstdint>
#include <limits>

#include "capi/entry.hpp"
#include "capi/once.hpp"
#include "capi/thread.hpp"

namespace marovenda::serial {

namespace {

constexpr std::array<std::uint32_t, 30> standard_rates = {
    50,     75,     110,    134,     150,     200,     300,     600,     1200,    1800,
    2400,   4800,   9600,   19200,   38400,   57600,   115200,  230400,  460800,  500000,
    576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000,
};

py::OnceObject baudrate_cell;

}  // namespace

PyObject* baudrate_enum() {
    return baudrate_cell.get([] {
        using py::Ref;
        Ref members = Ref::check(PyList_New(0));
        for (auto rate : standard_rates) {
            Ref name = Ref::check(PyUnicode_FromFormat("B%lu", static_cast<unsigned long>(rate)));
            Ref pair = Ref::check(Py_BuildValue("(Ok)", name.get(), static_cast<unsigned long>(rate)));
            py::check(PyList_Append(members.get(), pair.get()));
        }
        Ref kwargs = Ref::check(Py_BuildValue("{ss}", "module", "marovenda"));
        Ref enum_mod = Ref::check(PyImport_ImportModule("enum"));
        Ref int_enum = Ref::check(PyObject_GetAttrString(enum_mod.get(), "IntEnum"));
        Ref args = Ref::check(Py_BuildValue("(sO)", "Baudrate", members.get()));
        return Ref::check(PyObject_Call(int_enum.get(), args.get(), kwargs.get()));
    });
}

std::string describe(PyObject* obj) noexcept {
    py::Ref r = py::Ref::steal(PyObject_Repr(obj));
    if (r) {
        Py_ssize_t len = 0;
        if (const char* s = PyUnicode_AsUTF8AndSize(r.get(), &len)) return std::string(s, std::size_t(len));
    }
    PyErr_Clear();
    return "<unprintable>";
}

std::string to_bytes(PyObject* obj) {
    using py::Ref;
    if (PyBytes_Check(obj)) return std::string(PyBytes_AS_STRING(obj), std::size_t(PyBytes_GET_SIZE(obj)));
    if (PyUnicode_Check(obj)) {
        Py_ssize_t len = 0;
        const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
        if (!s) throw py::ErrorAlreadySet{};
        return std::string(s, std::size_t(len));
    }
    Ref view = Ref::steal(PyMemoryView_FromObject(obj));
    if (!view) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::ErrorAlreadySet{};
        PyErr_Clear();
        std::string name = "?";
        Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
        if (type_name) {
            if (const char* s = PyUnicode_AsUTF8(type_name.get())) name = s;
        }
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "a bytes-like object or str is required, not '%s'", name.c_str());
        throw py::ErrorAlreadySet{};
    }
    Ref copy = Ref::check(PyByteArray_FromObject(view.get()));
    py::CriticalSection cs(copy.get());
    return std::string(PyByteArray_AS_STRING(copy.get()), std::size_t(PyByteArray_GET_SIZE(copy.get())));
}

Baudrate Baudrate::extract(PyObject* obj) {
    py::Ref n = py::Ref::steal(PyNumber_Long(obj));
    long long v = 0;
    int overflow = 0;
    if (n) v = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
    if (!n || overflow != 0 || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        py::throw_error(PyExc_ValueError, "Not a valid baudrate: " + describe(obj));
    }
    if (v < 0 || v > 4294967295LL) {
        py::throw_error(PyExc_ValueError, "Not a valid baudrate: " + std::to_string(v));
    }
    return {static_cast<std::uint32_t>(v)};
}

Bytesize Bytesize::extract(PyObject* obj) {
    double d = PyFloat_AsDouble(obj);
    if ((d == -1.0 && PyErr_Occurred()) || !std::isfinite(d) || d != std::trunc(d)) {
        PyErr_Clear();
        py::throw_error(PyExc_ValueError, "Not a valid byte size: " + describe(obj));
    }
    constexpr double lo = -9223372036854775808.0, hi = 9223372036854775808.0;
    long long v = d <= lo ? std::numeric_limits<long long>::min()
                : d >= hi ? std::numeric_limits<long long>::max()
                          : static_cast<long long>(d);
    if (v < 5 || v > 8) {
        py::throw_error(PyExc_ValueError, "Not a valid byte size: " + std::to_string(v));
    }
    return {static_cast<std::uint8_t>(v)};
}

}  // namespace marovenda::serial

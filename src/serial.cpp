#include "serial.hpp"

#include <array>
#include <cstdint>

#include "capi/once.hpp"

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

}  // namespace marovenda::serial

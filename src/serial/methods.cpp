#include "serial/methods.hpp"

#include <string>

#include "serial/convert.hpp"
#include "serial/args.hpp"
#include "serial/base.hpp"
#include "serial/ops.hpp"

namespace marovenda::serial::methods {

Operation read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"Serial.read()", {{"size"}}};
    py::Arguments a;
    py::parse(sig, args, nargs, kwnames, a);
    std::size_t size = a.has(0) ? converting("size", [&] { return unsigned_word(a[0]); }) : 1;
    return ops::read(shared_core(self), size);
}

Operation read_until(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"Serial.read_until()", {{"expected"}, {"size"}}};
    py::Arguments a;
    py::parse(sig, args, nargs, kwnames, a);
    // size first: its error wins over an unusable terminator.
    std::optional<std::size_t> size;
    if (a.has(1) && a[1] != Py_None) size = converting("size", [&] { return unsigned_word(a[1]); });
    std::string expected = a.has(0) && a[0] != Py_None ? to_bytes(a[0]) : std::string("\n");
    return ops::read_until(shared_core(self), std::move(expected), size);
}

Operation readline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"Serial.readline()", {{"size"}}};
    py::Arguments a;
    py::parse(sig, args, nargs, kwnames, a);
    Py_ssize_t size = a.has(0) ? converting("size", [&] { return signed_word(a[0]); }) : -1;
    return ops::readline(shared_core(self), size);
}

Operation readlines(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"Serial.readlines()", {{"hint"}}};
    py::Arguments a;
    py::parse(sig, args, nargs, kwnames, a);
    Py_ssize_t hint = a.has(0) ? converting("hint", [&] { return signed_word(a[0]); }) : -1;
    return ops::readlines(shared_core(self), hint);
}

Operation write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"Serial.write()", {{"data", true}}};
    py::Arguments a;
    py::parse(sig, args, nargs, kwnames, a);
    return ops::write(shared_core(self), to_bytes(a[0]));
}

Operation send_break(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"Serial.send_break()", {{"duration"}}};
    py::Arguments a;
    py::parse(sig, args, nargs, kwnames, a);
    double duration = a.has(0) ? converting("duration", [&] { return float_arg(a[0]); }) : 0.25;
    return ops::send_break(shared_core(self), duration);
}

}  // namespace marovenda::serial::methods

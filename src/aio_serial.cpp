#include "aio_serial.hpp"

#include <string>

#include "capi/entry.hpp"
#include "capi/module.hpp"
#include "capi/once.hpp"
#include "errors/exceptions.hpp"
#include "future/future_type.hpp"
#include "serial/convert.hpp"
#include "serial/args.hpp"
#include "serial/base.hpp"
#include "serial/methods.hpp"
#include "serial/serial_class.hpp"
#include "serial/ops.hpp"

namespace marovenda::aio {

using py::Ref;
using namespace serial;

namespace {

using future::start;

PyObject* flush(PyObject* self, PyObject*) noexcept {
    return py::entry([&] { return start(ops::flush(shared_core(self))); });
}

PyObject* aenter(PyObject* self, PyObject*) noexcept {
    return py::entry([&] {
        enter(self);
        return future::wrap(OpFuture::resolved(Outcome::object(Ref::borrow(self))));
    });
}

const py::Signature aexit_sig{"Serial.__aexit__()", {}, true};
PyObject* aexit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
    return py::entry([&] {
        py::Arguments a;  // any positional arguments, no keywords
        py::parse(aexit_sig, args, nargs, kw, a);
        Ref::check(PyObject_CallMethod(self, "close", nullptr));
        return future::wrap(OpFuture::resolved(Outcome::unit()));
    });
}

PyMethodDef methods[] = {
    {"read", methods::fastcall<methods::read, start>(), METH_FASTCALL | METH_KEYWORDS, "read($self, size=1)\n--\n\n"},
    {"read_until", methods::fastcall<methods::read_until, start>(), METH_FASTCALL | METH_KEYWORDS,
     "read_until(self, /, expected=b'\\n', size=None)\n--\n\n"},
    {"readline", methods::fastcall<methods::readline, start>(), METH_FASTCALL | METH_KEYWORDS, "readline(self, /, size=-1)\n--\n\n"},
    {"readlines", methods::fastcall<methods::readlines, start>(), METH_FASTCALL | METH_KEYWORDS, "readlines(self, /, hint=-1)\n--\n\n"},
    {"write", methods::fastcall<methods::write, start>(), METH_FASTCALL | METH_KEYWORDS, "write($self, data)\n--\n\n"},
    {"flush", flush, METH_NOARGS, "flush($self)\n--\n\n"},
    {"send_break", methods::fastcall<methods::send_break, start>(), METH_FASTCALL | METH_KEYWORDS, "send_break($self, duration=0.25)\n--\n\n"},
    {"read_all", read_all, METH_NOARGS, "read_all($self)\n--\n\n"},
    {"__aenter__", aenter, METH_NOARGS, "__aenter__($self)\n--\n\n"},
    {"__aexit__", fastcall<aexit>(), METH_FASTCALL | METH_KEYWORDS, "__aexit__($self, *_args)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Serial(*_args, **_kwargs)\n--\n\nSerial port whose I/O methods return futures.")},
    {Py_tp_new, reinterpret_cast<void*>(new_unopened)},
    {Py_tp_init, reinterpret_cast<void*>(init_slot)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {"marovenda.aio.Serial", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};

py::OnceObject type_cell;

PyObject* aio_serial_for_url(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
    return for_url(aio_serial_type, args, nargs, kw, "serial_for_url()");
}

PyMethodDef serial_for_url_def = {
    "serial_for_url", fastcall<aio_serial_for_url>(), METH_FASTCALL | METH_KEYWORDS,
    "serial_for_url(url, *args, do_not_open=False, **kwargs)\n--\n\n"
    "Returns an `marovenda.aio.Serial` for `url`, which is a device name or `loop://`."};

}  // namespace

PyObject* aio_serial_type() {
    return type_cell.get([] { return subclass(spec); });
}

PyObject* new_serial_for_url_function() {
    return py::new_function(&serial_for_url_def, "marovenda.aio").release();
}

}  // namespace marovenda::aio

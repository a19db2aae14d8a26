#include "serial/serial_class.hpp"

#include <cstring>
#include <string>

#include "capi/args.hpp"
#include "capi/entry.hpp"
#include "capi/module.hpp"
#include "capi/once.hpp"
#include "capi/thread.hpp"
#include "serial/convert.hpp"
#include "serial/args.hpp"
#include "serial/base.hpp"
#include "serial/methods.hpp"
#include "serial/ops.hpp"

namespace marovenda::serial {

using py::Ref;

namespace {

PyObject* readable(PyObject*, PyObject*) noexcept { return Ref::borrow(Py_True).release(); }
PyObject* writable(PyObject*, PyObject*) noexcept { return Ref::borrow(Py_True).release(); }
PyObject* seekable(PyObject*, PyObject*) noexcept { return Ref::borrow(Py_False).release(); }

const py::Signature readinto_sig{"Serial.readinto()", {{"b", true}}};
PyObject* readinto(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
    return py::entry([&] {
        py::Arguments a;
        py::parse(readinto_sig, args, nargs, kw, a);
        PyObject* b = a[0];
        if (PyObject_CheckBuffer(b)) {
            // The target is checked before reading, so a read-only buffer
            // never costs the port its bytes.
            Py_buffer view;
            if (PyObject_GetBuffer(b, &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) {
                if (!PyErr_ExceptionMatches(PyExc_BufferError)) throw py::ErrorAlreadySet{};
                Ref cause = Ref::steal(PyErr_GetRaisedException());
                std::string name = "?";
                if (Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(b)))) {
                    if (const char* s = PyUnicode_AsUTF8(type_name.get())) name = s;
                }
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, "a writable contiguous bytes-like object is required, not '%s'",
                             name.c_str());
                Ref error = Ref::steal(PyErr_GetRaisedException());
                PyException_SetCause(error.get(), cause.release());
                PyErr_SetRaisedException(error.release());
                throw py::ErrorAlreadySet{};
            }
            struct Release {
                Py_buffer* v;
                ~Release() { PyBuffer_Release(v); }
            } release{&view};
            Ref got = run(ops::read(shared_core(self), std::size_t(view.len)));
            Py_ssize_t m = PyBytes_GET_SIZE(got.get());
            std::memcpy(view.buf, PyBytes_AS_STRING(got.get()), std::size_t(m));
            return Ref::check(PyLong_FromSsize_t(m));
        }
        Py_ssize_t n = PyObject_Length(b);
        if (n < 0) throw py::ErrorAlreadySet{};
        Ref got = run(ops::read(shared_core(self), std::size_t(n)));
        Py_ssize_t m = PyBytes_GET_SIZE(got.get());
        Ref slice = Ref::check(PySlice_New(Ref::check(PyLong_FromLong(0)).get(),
                                           Ref::check(PyLong_FromSsize_t(m)).get(),
                                           Ref::check(PyLong_FromLong(1)).get()));
        py::check(PyObject_SetItem(b, slice.get(), got.get()));
        return Ref::check(PyLong_FromSsize_t(m));
    });
}

PyObject* flush(PyObject* self, PyObject*) noexcept {
    return py::entry([&] { return run(ops::flush(shared_core(self))); });
}

PyObject* enter_method(PyObject* self, PyObject*) noexcept {
    return py::entry([&] {
        enter(self);
        return Ref::borrow(self);
    });
}

// Positional arguments are ignored; a keyword is refused in the parser's words.
const py::Signature exit_sig{"Serial.__exit__()", {}, true};
PyObject* exit_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
    return py::entry([&] {
        py::Arguments a;
        py::parse(exit_sig, args, nargs, kw, a);
        Ref::check(PyObject_CallMethod(self, "close", nullptr));
        return Ref::borrow(Py_None);
    });
}

PyObject* get_closed(PyObject* self, void*) noexcept {
    return py::entry([&] {
        bool open;
        {
            py::Detached d;
            open = core_of(self).is_open();
        }
        return Ref::borrow(open ? Py_False : Py_True);
    });
}

PyObject* iter(PyObject* self) noexcept { return Ref::borrow(self).release(); }

PyObject* next(PyObject* self) noexcept {
    return py::entry([&] {
        Ref line = run(ops::readline(shared_core(self), -1));
        if (PyBytes_GET_SIZE(line.get()) == 0) return Ref();  // NULL without an error ends the iteration
        return line;
    });
}

PyMethodDef methods[] = {
    {"read", methods::fastcall<methods::read, run>(), METH_FASTCALL | METH_KEYWORDS, "read($self, size=1)\n--\n\n"},
    {"read_until", methods::fastcall<methods::read_until, run>(), METH_FASTCALL | METH_KEYWORDS,
     "read_until(self, /, expected=b'\\n', size=None)\n--\n\n"},
    {"readline", methods::fastcall<methods::readline, run>(), METH_FASTCALL | METH_KEYWORDS, "readline(self, /, size=-1)\n--\n\n"},
    {"readlines", methods::fastcall<methods::readlines, run>(), METH_FASTCALL | METH_KEYWORDS, "readlines(self, /, hint=-1)\n--\n\n"},
    {"readable", readable, METH_NOARGS, "readable($self)\n--\n\n"},
    {"writable", writable, METH_NOARGS, "writable($self)\n--\n\n"},
    {"seekable", seekable, METH_NOARGS, "seekable($self)\n--\n\n"},
    {"readinto", fastcall<readinto>(), METH_FASTCALL | METH_KEYWORDS, "readinto($self, b)\n--\n\n"},
    {"write", methods::fastcall<methods::write, run>(), METH_FASTCALL | METH_KEYWORDS, "write($self, data)\n--\n\n"},
    {"flush", flush, METH_NOARGS, "flush($self)\n--\n\n"},
    {"send_break", methods::fastcall<methods::send_break, run>(), METH_FASTCALL | METH_KEYWORDS, "send_break($self, duration=0.25)\n--\n\n"},
    {"read_all", read_all, METH_NOARGS, "read_all($self)\n--\n\n"},
    {"__enter__", enter_method, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", fastcall<exit_method>(), METH_FASTCALL | METH_KEYWORDS, "__exit__($self, *_args)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"closed", get_closed, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Serial(*_args, **_kwargs)\n--\n\nA serial port whose I/O methods block the calling "
                                  "thread until they are done.")},
    {Py_tp_new, reinterpret_cast<void*>(new_unopened)},
    {Py_tp_init, reinterpret_cast<void*>(init_slot)},
    {Py_tp_iter, reinterpret_cast<void*>(iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(next)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {"marovenda.Serial", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};

py::OnceObject type_cell;

// The scheme check of serial_for_url: "://" splits off a scheme, and only
// loop is known.
void check_url(PyObject* url) {
    if (!PyUnicode_Check(url)) return;
    if (!PyUnicode_AsUTF8(url)) throw py::ErrorAlreadySet{};
    // str.lower itself: the check is on the text, whatever a subclass overrides.
    Ref lower = Ref::check(
        PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", url));
    Ref sep = Ref::check(PyUnicode_FromString("://"));
    Py_ssize_t at = PyUnicode_Find(lower.get(), sep.get(), 0, PY_SSIZE_T_MAX, 1);
    if (at == -2) throw py::ErrorAlreadySet{};
    if (at < 0) return;
    Ref scheme = Ref::check(PyUnicode_Substring(lower.get(), 0, at));
    if (PyUnicode_CompareWithASCIIString(scheme.get(), "loop") == 0) return;
    PyErr_Format(PyExc_ValueError, "invalid URL, protocol %R not known", scheme.get());
    throw py::ErrorAlreadySet{};
}

PyObject* root_serial_for_url(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
    return for_url(serial_type, args, nargs, kw, "serial_for_url()");
}

PyMethodDef serial_for_url_def = {
    "serial_for_url", fastcall<root_serial_for_url>(), METH_FASTCALL | METH_KEYWORDS,
    "serial_for_url(url, *args, do_not_open=False, **kwargs)\n--\n\n"
    "Returns a `Serial` for `url`, which is a device name or `loop://`."};

}  // namespace

PyObject* serial_type() {
    return type_cell.get([] { return subclass(spec); });
}

PyObject* new_serial_for_url_function() {
    return py::new_function(&serial_for_url_def, "marovenda").release();
}

PyObject* for_url(PyObject* (*cls_of)(), PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  const char* display) noexcept {
    return py::entry([&] {
        PyObject* cls = cls_of();  // made on first use; its failure is raised here
        const py::Signature sig{display, {{"url", true}, {"do_not_open", false, py::Param::KeywordOnly}}, true, true};
        py::Arguments a;
        py::parse(sig, args, nargs, kwnames, a);
        bool do_not_open = false;
        if (a.has(1)) {
            int t = PyObject_IsTrue(a[1]);
            if (t < 0) {
                py::add_processing_note("do_not_open");
                throw py::ErrorAlreadySet{};
            }
            do_not_open = t != 0;
        }
        PyObject* url = a[0];
        check_url(url);
        const PyObject* rest = a.varargs().get();
        Py_ssize_t n = PyTuple_GET_SIZE(rest);
        Ref positional = Ref::check(PyTuple_New(n + 1));
        PyTuple_SET_ITEM(positional.get(), 0, Py_NewRef(Py_None));
        for (Py_ssize_t i = 0; i < n; ++i)
            PyTuple_SET_ITEM(positional.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(rest, i)));
        Ref obj = Ref::check(PyObject_Call(cls, positional.get(), a.kwargs().get()));
        py::check(PyObject_SetAttrString(obj.get(), "port", url));
        if (!do_not_open) Ref::check(PyObject_CallMethod(obj.get(), "open", nullptr));
        return obj;
    });
}

}  // namespace marovenda::serial

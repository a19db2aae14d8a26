#include "transport/transport.hpp"

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "capi/entry.hpp"
#include "capi/imports.hpp"
#include "capi/once.hpp"
#include "capi/thread.hpp"
#include "serial/args.hpp"
#include "serial/base.hpp"
#include "transport/core.hpp"

namespace marovenda::transport {

namespace {

// f(self, *args, **kwargs) -> getattr(self._core, name)(*args, **kwargs), with
// the name as the function's own object.
PyObject* forwarder(PyObject* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::entry([&] {
        const Py_ssize_t n = PyVectorcall_NARGS(nargs);
        if (n < 1) {
            PyErr_Format(PyExc_TypeError, "%U() needs the transport as its first argument", name);
            throw py::ErrorAlreadySet{};
        }
        Ref core = Ref::check(PyObject_GetAttrString(args[0], "_core"));
        Ref bound = Ref::check(PyObject_GetAttr(core.get(), name));
        return Ref::check(PyObject_Vectorcall(bound.get(), args + 1, std::size_t(n - 1), kwnames));
    });
}

PyObject* getter(PyObject* name, PyObject* self) noexcept {
    return py::entry([&] {
        Ref core = Ref::check(PyObject_GetAttrString(self, "_core"));
        return Ref::check(PyObject_GetAttr(core.get(), name));
    });
}

#define FORWARD(n) {n, py::as_cfunction(forwarder), METH_FASTCALL | METH_KEYWORDS, nullptr}
PyMethodDef forwarded[] = {
    FORWARD("get_extra_info"),          FORWARD("is_closing"),          FORWARD("is_reading"),
    FORWARD("close"),                   FORWARD("abort"),               FORWARD("write"),
    FORWARD("writelines"),              FORWARD("can_write_eof"),       FORWARD("write_eof"),
    FORWARD("pause_reading"),           FORWARD("resume_reading"),      FORWARD("set_write_buffer_limits"),
    FORWARD("get_write_buffer_limits"), FORWARD("get_write_buffer_size"), FORWARD("flush"),
    FORWARD("get_protocol"),            FORWARD("set_protocol"),        FORWARD("__repr__"),
};
#undef FORWARD

PyMethodDef getters[] = {
    {"loop", getter, METH_O, nullptr},
    {"serial", getter, METH_O, nullptr},
};

Ref build_class() {
    Ref partialmethod = py::imports::attr("functools", "partialmethod");
    Ref property = py::imports::attr("builtins", "property");
    Ref ns = Ref::check(PyDict_New());
    auto set = [&](const char* key, const Ref& value) { py::check(PyDict_SetItemString(ns.get(), key, value.get())); };
    set("__module__", Ref::check(PyUnicode_FromString(kModule)));
    set("__qualname__", Ref::check(PyUnicode_FromString("SerialTransport")));
    set("__doc__", Ref::check(PyUnicode_FromString("An asyncio transport over a serial port.")));
    set("__slots__", Ref::check(Py_BuildValue("(ss)", "_core", "__weakref__")));
    for (PyMethodDef& def : forwarded) {
        Ref name = Ref::check(PyUnicode_InternFromString(def.ml_name));
        Ref f = new_function(&def, name.get());
        set(def.ml_name, Ref::check(PyObject_CallOneArg(partialmethod.get(), f.get())));
    }
    for (PyMethodDef& def : getters) {
        Ref name = Ref::check(PyUnicode_InternFromString(def.ml_name));
        Ref f = new_function(&def, name.get());
        set(def.ml_name, Ref::check(PyObject_CallOneArg(property.get(), f.get())));
    }
    Ref base = py::imports::attr("asyncio", "Transport");
    Ref type = py::imports::attr("builtins", "type");
    Ref name = Ref::check(PyUnicode_FromString("SerialTransport"));
    Ref bases = Ref::check(PyTuple_Pack(1, base.get()));
    Ref cls = Ref::check(PyObject_CallFunctionObjArgs(type.get(), name.get(), bases.get(), ns.get(), nullptr));
    if (!PyType_Check(cls.get())) {
        py::throw_error(PyExc_TypeError, "building SerialTransport did not make a class");
    }
    return cls;
}

// One build at a time: the build runs Python code, so no C++ lock is held
// while it runs; others wait (detached) for its end and then take its class,
// or build themselves when it failed.
struct ClassCell {
    std::mutex mu;
    std::condition_variable cv;
    bool building = false;
    std::atomic<PyObject*> cls{nullptr};
};

ClassCell& class_cell() {
    static ClassCell* cell = new ClassCell;  // kept for the life of the process
    return *cell;
}

}  // namespace

Ref serial_transport_class() {
    ClassCell& cell = class_cell();
    for (;;) {
        if (PyObject* cls = cell.cls.load(std::memory_order_acquire)) return Ref::borrow(cls);
        bool mine = false;
        {
            py::Detached detached;
            std::unique_lock lock(cell.mu);
            cell.cv.wait(lock, [&] { return !cell.building || cell.cls.load(std::memory_order_acquire); });
            if (!cell.cls.load(std::memory_order_acquire)) {
                cell.building = true;
                mine = true;
            }
        }
        if (!mine) continue;
        struct Done {
            ClassCell& cell;
            ~Done() {
                {
                    std::lock_guard lock(cell.mu);
                    cell.building = false;
                }
                cell.cv.notify_all();
            }
        } done{cell};
        Ref made = build_class();
        cell.cls.store(made.release(), std::memory_order_release);
    }
}

Ref create(PyObject* loop, PyObject* protocol, PyObject* serial) {
    if (!serial::is_serial_base(serial)) py::not_an_instance(serial, "SerialBase");
    Ref zero = Ref::check(PyLong_FromLong(0));
    py::check(PyObject_SetAttrString(serial, "timeout", zero.get()));
    py::check(PyObject_SetAttrString(serial, "write_timeout", zero.get()));
    Ref core = new_core(loop, protocol, serial);
    Ref cls = serial_transport_class();
    Ref make = Ref::check(PyObject_GetAttrString(cls.get(), "__new__"));
    Ref transport = Ref::check(PyObject_CallOneArg(make.get(), cls.get()));
    py::check(PyObject_SetAttrString(transport.get(), "_core", core.get()));
    Ref weak = Ref::check(PyWeakref_NewRef(transport.get(), nullptr));
    {
        TransportCore& tc = tc_of(core.get());
        Lock lock(tc.mu);
        tc.transport_ref = std::move(weak);
    }
    Ref made = Ref::check(PyObject_GetAttrString(protocol, "connection_made"));
    hop(loop, made.get(), transport.get());
    Ref on_start = new_function(&on_start_def, core.get());
    hop(loop, on_start.get());
    return transport;
}

Ref connect(PyObject* loop, PyObject* protocol_factory, PyObject* serial) {
    Ref protocol = Ref::check(PyObject_CallNoArgs(protocol_factory));
    Ref transport = create(loop, protocol.get(), serial);
    return Ref::check(PyTuple_Pack(2, transport.get(), protocol.get()));
}

namespace {

PyObject* module_getattr(PyObject*, PyObject* name) noexcept {
    return py::entry([&] {
        std::string s = serial::converting("name", [&] { return serial::text_arg(name); });
        if (s == "SerialTransport") return serial_transport_class();
        PyErr_Format(PyExc_AttributeError, "module 'marovenda.aio' has no attribute '%U'", name);
        throw py::ErrorAlreadySet{};
        return Ref();
    });
}

PyMethodDef getattr_def = {"__getattr__", module_getattr, METH_O, SIG("__getattr__(name, /)")};

}  // namespace

Ref new_getattr_function() { return new_function(&getattr_def, nullptr); }

}  // namespace marovenda::transport

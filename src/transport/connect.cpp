// The connection functions of marovenda.aio and Deferred, the one-step
// awaitable they return: the work runs on the thread that first steps it,
// which for an awaiting coroutine or a task is the event loop's thread, where
// a transport must be created.
#include <mutex>
#include <new>
#include <optional>
#include <utility>

#include "capi/args.hpp"
#include "capi/entry.hpp"
#include "capi/heap_type.hpp"
#include "capi/module.hpp"
#include "capi/once.hpp"
#include "transport/transport.hpp"

namespace marovenda::transport {

using py::Ref;

namespace {

constexpr const char* kModule = "marovenda.aio";

Ref attr_of(PyObject* object, const char* name) { return Ref::check(PyObject_GetAttrString(object, name)); }

Ref package_serial_for_url() {
    Ref package = Ref::check(PyImport_ImportModule("marovenda"));
    return attr_of(package.get(), "serial_for_url");
}

// What one function captured; empty references are absent values.
struct Work {
    enum class Kind { Create, ForSerial, Open };
    Kind kind;
    Ref loop;
    Ref factory;
    Ref target;  // the url, or the serial object
    Ref args;
    Ref kwargs;
    Ref limit;
};

Ref run_create(const Work& w) {
    const Py_ssize_t extra = PyTuple_GET_SIZE(w.args.get());
    Ref positional = Ref::check(PyTuple_New(extra + 1));
    PyTuple_SET_ITEM(positional.get(), 0, Py_NewRef(w.target.get()));
    for (Py_ssize_t i = 0; i < extra; ++i)
        PyTuple_SET_ITEM(positional.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(w.args.get(), i)));
    Ref open = package_serial_for_url();
    Ref serial = Ref::check(PyObject_Call(open.get(), positional.get(), w.kwargs.get()));
    return connect(w.loop.get(), w.factory.get(), serial.get());
}

Ref run_open(const Work& w) {
    Ref asyncio = Ref::check(PyImport_ImportModule("asyncio"));
    Ref loop = w.loop;
    if (!loop) {
        Ref running = attr_of(asyncio.get(), "get_running_loop");
        loop = Ref::check(PyObject_CallNoArgs(running.get()));
    }
    Ref limit = w.limit;
    if (!limit) {
        Ref streams = attr_of(asyncio.get(), "streams");
        limit = attr_of(streams.get(), "_DEFAULT_LIMIT");
    }
    Ref reader_kwargs = Ref::check(PyDict_New());
    py::check(PyDict_SetItemString(reader_kwargs.get(), "limit", limit.get()));
    py::check(PyDict_SetItemString(reader_kwargs.get(), "loop", loop.get()));
    Ref reader_class = attr_of(asyncio.get(), "StreamReader");
    Ref no_args = Ref::check(PyTuple_New(0));
    Ref reader = Ref::check(PyObject_Call(reader_class.get(), no_args.get(), reader_kwargs.get()));

    Ref protocol_kwargs = Ref::check(PyDict_New());
    py::check(PyDict_SetItemString(protocol_kwargs.get(), "loop", loop.get()));
    Ref protocol_class = attr_of(asyncio.get(), "StreamReaderProtocol");
    Ref protocol_args = Ref::check(PyTuple_Pack(1, reader.get()));
    Ref protocol = Ref::check(PyObject_Call(protocol_class.get(), protocol_args.get(), protocol_kwargs.get()));

    Ref open = package_serial_for_url();
    Ref serial = Ref::check(PyObject_Call(open.get(), no_args.get(), w.kwargs.get()));
    Ref transport = create(loop.get(), protocol.get(), serial.get());

    Ref writer_class = attr_of(asyncio.get(), "StreamWriter");
    Ref writer = Ref::check(PyObject_CallFunctionObjArgs(writer_class.get(), transport.get(), protocol.get(),
                                                         reader.get(), loop.get(), nullptr));
    return Ref::check(PyTuple_Pack(2, reader.get(), writer.get()));
}

Ref run(const Work& w) {
    switch (w.kind) {
        case Work::Kind::Create: return run_create(w);
        case Work::Kind::ForSerial: return connect(w.loop.get(), w.factory.get(), w.target.get());
        case Work::Kind::Open: return run_open(w);
    }
    return Ref::borrow(Py_None);
}

// ---- Deferred --------------------------------------------------------------

struct DeferredObject {
    PyObject_HEAD
    std::mutex mu;
    std::optional<Work> work;  // present until the first step, close() or throw()

    std::optional<Work> take() {
        std::optional<Work> w;
        std::lock_guard lock(mu);
        w.swap(work);
        return w;
    }
    int traverse(const py::Visit& visit) {
        // Never held across anything that can stop the world; see take.
        std::unique_lock lock(mu, std::try_to_lock);
        if (!lock || !work) return 0;
        for (const Ref* r : {&work->loop, &work->factory, &work->target, &work->args, &work->kwargs, &work->limit})
            if (int v = visit(*r)) return v;
        return 0;
    }
    void clear() noexcept { take().reset(); }
    void destroy() noexcept { this->~DeferredObject(); }
};

DeferredObject& deferred_of(PyObject* self) { return *reinterpret_cast<DeferredObject*>(self); }

std::optional<Work> take_work(PyObject* self) { return deferred_of(self).take(); }

// Runs the work (taken out first, so a second stepper finds none) and ends
// with StopIteration carrying its value, tuples intact.
Ref step(PyObject* self) {
    std::optional<Work> w = take_work(self);
    if (!w) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        throw py::ErrorAlreadySet{};
    }
    Ref value;
    try {
        value = run(*w);
    } catch (const py::ErrorAlreadySet&) {
        // Whoever steps this object would take a StopIteration from the work
        // for the end of the await, with its value as the result; a native
        // coroutine refuses it the same way.
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
            Ref cause = Ref::steal(PyErr_GetRaisedException());
            PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
            Ref error = Ref::steal(PyErr_GetRaisedException());
            PyException_SetCause(error.get(), Ref(cause).release());
            PyException_SetContext(error.get(), cause.release());
            PyErr_SetRaisedException(error.release());
        }
        throw;
    }
    w.reset();
    Ref stop = Ref::check(PyObject_CallOneArg(PyExc_StopIteration, value.get()));
    PyErr_SetRaisedException(stop.release());
    throw py::ErrorAlreadySet{};
}

PyObject* d_next(PyObject* self) noexcept {
    return py::entry([&] { return step(self); });
}

const py::Signature send_sig{"Deferred.send()", {{"_value", true}}};
PyObject* d_send(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
    return py::entry([&] {
        py::Arguments a;
        py::parse(send_sig, args, nargs, kw, a);
        return step(self);
    });
}

const py::Signature throw_sig{"Deferred.throw()", {{"exception", true}, {"_value"}, {"_traceback"}}};
PyObject* d_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
    return py::entry([&] {
        py::Arguments a;
        py::parse(throw_sig, args, nargs, kw, a);
        take_work(self).reset();
        Ref exc = Ref::borrow(a[0]);
        if (PyType_Check(exc.get())) exc = Ref::check(PyObject_CallNoArgs(exc.get()));
        if (!PyExceptionInstance_Check(exc.get())) {
            PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        } else {
            PyErr_SetRaisedException(exc.release());
        }
        throw py::ErrorAlreadySet{};
        return Ref();
    });
}

PyObject* d_close(PyObject* self, PyObject*) noexcept {
    return py::entry([&] {
        take_work(self).reset();
        return Ref::borrow(Py_None);
    });
}

PyObject* d_self(PyObject* self) noexcept { return Ref::borrow(self).release(); }


PyMethodDef d_methods[] = {
    {"send", py::as_cfunction(d_send), METH_FASTCALL | METH_KEYWORDS, SIG("send($self, _value)")},
    {"throw", py::as_cfunction(d_throw), METH_FASTCALL | METH_KEYWORDS,
     SIG("throw($self, exception, _value=None, _traceback=None)")},
    {"close", d_close, METH_NOARGS, SIG("close($self)")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot d_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "A coroutine that does its work on the first step and finishes with the result, so it can\n"
                    "be awaited or given to `asyncio.create_task` like the result of an `async def` call.")},
    py::Collected<DeferredObject>::dealloc_slot(),
    py::Collected<DeferredObject>::traverse_slot(),
    py::Collected<DeferredObject>::clear_slot(),
    {Py_am_await, reinterpret_cast<void*>(d_self)},
    {Py_tp_iter, reinterpret_cast<void*>(d_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(d_next)},
    {Py_tp_methods, d_methods},
    {0, nullptr},
};

PyType_Spec d_spec = {
    "marovenda.aio.Deferred", sizeof(DeferredObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, d_slots};

PyObject* deferred_type() {
    static py::OnceObject cell;
    return cell.get([] { return Ref::check(PyType_FromSpec(&d_spec)); });
}

Ref new_deferred(Work work) {
    auto* type = reinterpret_cast<PyTypeObject*>(deferred_type());
    Ref self = Ref::check(type->tp_alloc(type, 0));
    auto* d = reinterpret_cast<DeferredObject*>(self.get());
    new (&d->mu) std::mutex();
    new (&d->work) std::optional<Work>(std::move(work));
    return self;
}

Ref borrowed_or_absent(PyObject* o) { return o && o != Py_None ? Ref::borrow(o) : Ref(); }

// ---- the functions ---------------------------------------------------------

const py::Signature create_sig{"create_serial_connection()",
                               {{"loop", true}, {"protocol_factory", true}, {"url", true}},
                               true,
                               true};
PyObject* create_serial_connection(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
    return py::entry([&] {
        py::Arguments a;
        py::parse(create_sig, args, nargs, kw, a);
        return new_deferred(Work{Work::Kind::Create, Ref::borrow(a[0]), Ref::borrow(a[1]), Ref::borrow(a[2]),
                                 a.varargs(), a.kwargs(), Ref()});
    });
}

const py::Signature for_serial_sig{"connection_for_serial()",
                                   {{"loop", true}, {"protocol_factory", true}, {"serial_instance", true}}};
PyObject* connection_for_serial(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
    return py::entry([&] {
        py::Arguments a;
        py::parse(for_serial_sig, args, nargs, kw, a);
        return new_deferred(Work{Work::Kind::ForSerial, Ref::borrow(a[0]), Ref::borrow(a[1]), Ref::borrow(a[2]),
                                 Ref(), Ref(), Ref()});
    });
}

const py::Signature open_sig{"open_serial_connection()",
                             {{"loop", false, py::Param::KeywordOnly}, {"limit", false, py::Param::KeywordOnly}},
                             false,
                             true};
PyObject* open_serial_connection(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
    return py::entry([&] {
        py::Arguments a;
        py::parse(open_sig, args, nargs, kw, a);
        return new_deferred(Work{Work::Kind::Open, borrowed_or_absent(a[0]), Ref(), Ref(), Ref(), a.kwargs(),
                                 borrowed_or_absent(a[1])});
    });
}

PyMethodDef create_def = {
    "create_serial_connection", py::as_cfunction(create_serial_connection), METH_FASTCALL | METH_KEYWORDS,
    SIG("create_serial_connection(loop, protocol_factory, url, *args, **kwargs)")
        "Opens `url` like `marovenda.serial_for_url` and connects it to a new protocol."};

PyMethodDef for_serial_def = {"connection_for_serial", py::as_cfunction(connection_for_serial),
                              METH_FASTCALL | METH_KEYWORDS,
                              SIG("connection_for_serial(loop, protocol_factory, serial_instance)")
                                  "Connects an open port to a new protocol."};

PyMethodDef open_def = {
    "open_serial_connection", py::as_cfunction(open_serial_connection), METH_FASTCALL | METH_KEYWORDS,
    SIG("open_serial_connection(*, loop=None, limit=None, **kwargs)")
        "Opens a port and returns an asyncio `StreamReader` and `StreamWriter` for it."};

}  // namespace

Ref new_create_serial_connection_function() { return py::new_function(&create_def, kModule); }
Ref new_connection_for_serial_function() { return py::new_function(&for_serial_def, kModule); }
Ref new_open_serial_connection_function() { return py::new_function(&open_def, kModule); }

}  // namespace marovenda::transport

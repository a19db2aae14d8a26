#include "future/future_type.hpp"

#include <algorithm>
#include <atomic>
#include <new>
#include <utility>
#include <variant>

#include "capi/args.hpp"
#include "capi/entry.hpp"
#include "capi/heap_type.hpp"
#include "capi/imports.hpp"
#include "errors/exceptions.hpp"
#include "capi/once.hpp"

namespace marovenda::future {

using py::Ref;

namespace {

// The result object of a cell, if it holds one.
const Ref* result_object(const State& state) {
    if (!state.result_slot || !*state.result_slot) return nullptr;
    const auto* object = std::get_if<Outcome::Object>(&state.result_slot->value().get());
    return object ? object->get() : nullptr;
}

struct FutureObject {
    PyObject_HEAD
    OpFuture fut;

    // Each cell is wrapped by this one object, so only it visits the cell's
    // references. Waiters and callbacks of a pending cell are not visited:
    // the runtime roots them until it completes the cell, as a loop's
    // selector roots the callbacks of pending I/O, and completion empties both
    // lists. What is visited never goes away while a collection runs: the
    // exception is only made by attached threads, the result object is stored
    // with the result, and only clear() takes them out.
    int traverse(const py::Visit& visit) const {
        const auto& cell = fut.cell();
        if (!cell) return 0;
        // Workers complete cells while the world is stopped; none of them
        // attaches while holding the lock.
        auto lock = future::lock_cell(*cell);
        if (!lock.owns_lock()) return 0;  // stuck since a fork: nothing is visited
        if (int r = visit(cell->state.exception_cache)) return r;
        if (const Ref* object = result_object(cell->state)) return visit(*object);
        return 0;
    }
    void clear() noexcept {
        const auto& cell = fut.cell();
        if (!cell) return;
        Ref exception;
        std::optional<OpResult> result;
        {
            auto lock = future::lock_cell(*cell);
            if (!lock.owns_lock()) return;
            exception = std::move(cell->state.exception_cache);
            // The cell stays done, with None for its value; a copy of the
            // result that another thread holds keeps its own share.
            if (result_object(cell->state)) result = std::exchange(cell->state.result_slot, Outcome::unit());
        }
    }  // released here, outside the lock
    void destroy() noexcept { fut.~OpFuture(); }
};

struct ReadyObject {
    PyObject_HEAD
    py::Ref value;
    std::atomic<bool> yielded;

    int traverse(const py::Visit& visit) const { return visit(value); }
    void clear() noexcept { value.reset(); }
    void destroy() noexcept {
        value.~Ref();
        yielded.~atomic();
    }
};

OpFuture& fut_of(PyObject* self) { return reinterpret_cast<FutureObject*>(self)->fut; }
Shared& cell_of(PyObject* self) { return *fut_of(self).cell(); }

[[noreturn]] void raise_cancelled() {
    PyErr_SetNone(py::imports::cancelled_error());
    throw py::ErrorAlreadySet{};
}

std::optional<OpResult> stored(Shared& cell) {
    auto lock = future::lock_cell_or_raise(cell);
    return cell.state.result_slot;
}


// ---- Ready ---------------------------------------------------------------

PyObject* ready_type();

Ref new_ready(Ref value) {
    auto* type = reinterpret_cast<PyTypeObject*>(ready_type());
    Ref self = Ref::check(type->tp_alloc(type, 0));
    auto* r = reinterpret_cast<ReadyObject*>(self.get());
    new (&r->value) Ref(std::move(value));
    new (&r->yielded) std::atomic<bool>(false);
    return self;
}

// Every await of a finished future ends here, so the StopIteration is set
// directly: a C++ throw through the entry guard cost more than the rest of
// the await together.
PyObject* ready_step(PyObject* self) noexcept {
    auto* r = reinterpret_cast<ReadyObject*>(self);
    if (!r->yielded.exchange(true)) return Ref::borrow(Py_None).release();
    // StopIteration(value) with the value as its one argument, tuples included.
    Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, r->value.get()));
    if (exc) PyErr_SetObject(PyExc_StopIteration, exc.get());
    return nullptr;
}

const py::Signature send_sig{"Ready.send()", {{"_value", true}}};
PyObject* ready_send(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
    return py::entry([&] {
        py::Arguments a;
        py::parse(send_sig, args, nargs, kw, a);
        PyObject* r = ready_step(self);
        if (!r) throw py::ErrorAlreadySet{};
        return Ref::steal(r);
    });
}

const py::Signature throw_sig{"Ready.throw()", {{"exception", true}, {"_value"}, {"_traceback"}}};
PyObject* ready_throw(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
    return py::entry([&] {
        py::Arguments a;
        py::parse(throw_sig, args, nargs, kw, a);
        Ref exc = Ref::borrow(a[0]);
        if (PyType_Check(exc.get())) exc = Ref::check(PyObject_CallNoArgs(exc.get()));
        if (!PyExceptionInstance_Check(exc.get())) {
            PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        } else {
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
        }
        throw py::ErrorAlreadySet{};
        return Ref();
    });
}

PyObject* ready_close(PyObject*, PyObject*) noexcept { return Ref::borrow(Py_None).release(); }
PyObject* ready_iter(PyObject* self) noexcept { return Ref::borrow(self).release(); }

PyMethodDef ready_methods[] = {
    {"send", py::as_cfunction(ready_send), METH_FASTCALL | METH_KEYWORDS, "send($self, _value)\n--\n\n"},
    {"throw", py::as_cfunction(ready_throw), METH_FASTCALL | METH_KEYWORDS,
     "throw($self, exception, _value=None, _traceback=None)\n--\n\n"},
    {"close", ready_close, METH_NOARGS, "close($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot ready_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "What awaiting a finished future iterates: it yields once, so the event loop can run\n"
                    "other tasks and deliver a cancellation as it does for `asyncio.sleep(0)`, then stops\n"
                    "with the result, without creating an asyncio future or waking the loop from a worker.")},
    py::Collected<ReadyObject>::dealloc_slot(),
    py::Collected<ReadyObject>::traverse_slot(),
    py::Collected<ReadyObject>::clear_slot(),
    {Py_tp_iter, reinterpret_cast<void*>(ready_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(ready_step)},
    {Py_tp_methods, ready_methods},
    {0, nullptr},
};

PyType_Spec ready_spec = {
    "marovenda.aio.Ready", sizeof(ReadyObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    ready_slots};

PyObject* ready_type() {
    static py::OnceObject cell;
    return cell.get([] { return Ref::check(PyType_FromSpec(&ready_spec)); });
}

// ---- the cancel hook -----------------------------------------------------

// Holds no Python reference of its own, only the cell, whose references
// the Future object visits; so it needs no cycle-collector support.
struct HookObject {
    PyObject_HEAD
    std::shared_ptr<Shared> cell;
};

PyObject* hook_call(PyObject* self, PyObject* args, PyObject*) noexcept {
    return py::entry([&] {
        if (PyTuple_GET_SIZE(args) < 1) {
            py::throw_error(PyExc_TypeError, "the cancel hook takes the bridge future");
        }
        Ref cancelled = Ref::check(PyObject_CallMethod(PyTuple_GET_ITEM(args, 0), "cancelled", nullptr));
        int c = PyObject_IsTrue(cancelled.get());
        py::check(c);
        if (c) cancel_shared(*reinterpret_cast<HookObject*>(self)->cell);
        return Ref::borrow(Py_None);
    });
}

void hook_dealloc(PyObject* self) noexcept {
    Ref type = Ref::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    reinterpret_cast<HookObject*>(self)->cell.~shared_ptr();
    Py_TYPE(self)->tp_free(self);
}

PyType_Slot hook_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(hook_call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(hook_dealloc)},
    {0, nullptr},
};

PyType_Spec hook_spec = {"marovenda.aio._CancelHook", sizeof(HookObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                         hook_slots};

Ref new_hook(std::shared_ptr<Shared> cell) {
    static py::OnceObject type_cell;
    auto* type = reinterpret_cast<PyTypeObject*>(type_cell.get([] { return Ref::check(PyType_FromSpec(&hook_spec)); }));
    Ref self = Ref::check(type->tp_alloc(type, 0));
    new (&reinterpret_cast<HookObject*>(self.get())->cell) std::shared_ptr<Shared>(std::move(cell));
    return self;
}

// ---- Future ----------------------------------------------------------------

const py::Signature wait_sig{"Future.wait()", {{"timeout"}}};
PyObject* f_wait(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
    return py::entry([&] {
        py::Arguments a;
        py::parse(wait_sig, args, nargs, kw, a);
        std::optional<double> timeout;
        if (a.has(0) && a[0] != Py_None) {
            double d = PyFloat_AsDouble(a[0]);
            if (d == -1.0 && PyErr_Occurred()) {
                py::add_processing_note("timeout");
                throw py::ErrorAlreadySet{};
            }
            timeout = d;
        }
        return fut_of(self).wait(timeout);
    });
}

PyObject* f_class_getitem(PyObject* cls, PyObject* item) noexcept {
    return py::entry([&] { return Ref::check(Py_GenericAlias(cls, item)); });
}

const py::Signature add_cb_sig{"Future.add_done_callback()",
                               {{"fn", true, py::Param::PositionalOnly}, {"context", false, py::Param::KeywordOnly}}};
PyObject* f_add_done_callback(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
    return py::entry([&] {
        py::Arguments a;
        py::parse(add_cb_sig, args, nargs, kw, a);
        Ref context;
        if (a.has(1) && a[1] != Py_None) {
            context = Ref::borrow(a[1]);
        } else {
            context = Ref::check(PyObject_CallNoArgs(py::imports::copy_context()));
        }
        Ref loop = Ref::check(PyObject_CallNoArgs(py::imports::running_loop()));
        if (loop.get() == Py_None) loop.reset();
        fut_of(self).register_callback(Ref::borrow(a[0]), Ref::borrow(self), std::move(context), std::move(loop));
        return Ref::borrow(Py_None);
    });
}

PyObject* f_remove_done_callback(PyObject* self, PyObject* fn) noexcept {
    return py::entry([&] {
        Shared& cell = cell_of(self);
        std::vector<std::shared_ptr<Callback>> snapshot;
        {
            auto lock = future::lock_cell_or_raise(cell);
            snapshot = cell.state.callbacks;
        }
        std::vector<Callback*> matches;
        for (const auto& entry : snapshot) {
            // A real == (no identity shortcut), the entry's fn on the left.
            Ref cmp = Ref::check(PyObject_RichCompare(entry->fn.get(), fn, Py_EQ));
            int eq = PyObject_IsTrue(cmp.get());
            py::check(eq);
            if (eq) matches.push_back(entry.get());
        }
        std::vector<std::shared_ptr<Callback>> removed;
        {
            auto lock = future::lock_cell_or_raise(cell);
            auto& list = cell.state.callbacks;
            std::vector<std::shared_ptr<Callback>> rest;
            for (auto& entry : list) {
                bool match = std::find(matches.begin(), matches.end(), entry.get()) != matches.end();
                (match ? removed : rest).push_back(std::move(entry));
            }
            list.swap(rest);
        }
        return Ref::check(PyLong_FromSize_t(removed.size()));
    });
}

PyObject* f_cancelled(PyObject* self, PyObject*) noexcept {
    return py::entry([&] {
        auto r = stored(cell_of(self));
        bool c = r && !*r && r->error().kind() == SerialError::Kind::Cancelled;
        return Ref::borrow(c ? Py_True : Py_False);
    });
}

PyObject* f_exception(PyObject* self, PyObject*) noexcept {
    return py::entry([&] {
        auto r = stored(cell_of(self));
        if (!r) {
            PyErr_SetString(py::imports::invalid_state_error(), "Exception is not set.");
            throw py::ErrorAlreadySet{};
        }
        if (*r) return Ref::borrow(Py_None);
        if (r->error().kind() == SerialError::Kind::Cancelled) raise_cancelled();
        return exception_object(cell_of(self), r->error());
    });
}

PyObject* f_done(PyObject* self, PyObject*) noexcept {
    return py::entry([&] { return Ref::borrow(stored(cell_of(self)) ? Py_True : Py_False); });
}

PyObject* f_cancel(PyObject* self, PyObject*) noexcept {
    return py::entry([&] { return Ref::borrow(cancel_shared(cell_of(self)) ? Py_True : Py_False); });
}

PyObject* f_result(PyObject* self, PyObject*) noexcept {
    return py::entry([&] { return fut_of(self).result(); });
}

PyObject* f_await(PyObject* self) noexcept {
    return py::entry([&] {
        Ref loop = Ref::check(PyObject_CallNoArgs(py::imports::get_running_loop()));
        const auto& cell = fut_of(self).cell();
        if (auto r = stored(*cell)) return new_ready(to_python(*cell, *r));
        Ref bridge = Ref::check(PyObject_CallMethod(loop.get(), "create_future", nullptr));
        std::optional<OpResult> late;
        {
            auto lock = future::lock_cell_or_raise(*cell);
            if (cell->state.result_slot) {
                late = cell->state.result_slot;
            } else {
                cell->state.waiters.push_back(Waiter{loop, bridge});
            }
        }
        if (late) {
            Ref value, exc;
            try {
                value = to_python(*cell, *late);
            } catch (const py::ErrorAlreadySet&) {
                exc = Ref::steal(PyErr_GetRaisedException());
            }
            settle(bridge.get(), value.get(), exc.get());
        }
        Ref hook = new_hook(cell);
        Ref::check(PyObject_CallMethod(bridge.get(), "add_done_callback", "O", hook.get()));
        Ref await = Ref::check(PyObject_GetAttrString(bridge.get(), "__await__"));
        return Ref::check(PyObject_CallNoArgs(await.get()));
    });
}

PyMethodDef f_methods[] = {
    {"wait", py::as_cfunction(f_wait), METH_FASTCALL | METH_KEYWORDS, "wait($self, timeout=None)\n--\n\n"},
    {"__class_getitem__", f_class_getitem, METH_O | METH_CLASS, "__class_getitem__($cls, item, /)\n--\n\n"},
    {"add_done_callback", py::as_cfunction(f_add_done_callback), METH_FASTCALL | METH_KEYWORDS,
     "add_done_callback($self, fn, /, *, context=None)\n--\n\n"},
    {"remove_done_callback", f_remove_done_callback, METH_O, "remove_done_callback($self, fn, /)\n--\n\n"},
    {"cancelled", f_cancelled, METH_NOARGS, "cancelled($self)\n--\n\n"},
    {"exception", f_exception, METH_NOARGS, "exception($self)\n--\n\n"},
    {"done", f_done, METH_NOARGS, "done($self)\n--\n\n"},
    {"cancel", f_cancel, METH_NOARGS, "cancel($self)\n--\n\n"},
    {"result", f_result, METH_NOARGS, "result($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot f_slots[] = {
    {Py_tp_doc, const_cast<char*>("A port operation running on the runtime.")},
    py::Collected<FutureObject>::dealloc_slot(),
    py::Collected<FutureObject>::traverse_slot(),
    py::Collected<FutureObject>::clear_slot(),
    {Py_tp_methods, f_methods},
    {Py_am_await, reinterpret_cast<void*>(f_await)},
    {0, nullptr},
};

PyType_Spec f_spec = {
    "marovenda.aio.Future", sizeof(FutureObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, f_slots};

py::OnceObject future_type_cell;

}  // namespace

PyObject* future_type() {
    return future_type_cell.get([] { return Ref::check(PyType_FromSpec(&f_spec)); });
}

Ref start(Operation op) {
    auto f = OpFuture::start(std::move(op));
    if (!f) throw_py(f.error());
    return wrap(std::move(f).value());
}

Ref wrap(OpFuture f) {
    auto* type = reinterpret_cast<PyTypeObject*>(future_type());
    Ref self = Ref::check(type->tp_alloc(type, 0));
    new (&reinterpret_cast<FutureObject*>(self.get())->fut) OpFuture(std::move(f));
    return self;
}

const OpFuture& unwrap_future(PyObject* obj) { return fut_of(obj); }

}  // namespace marovenda::future

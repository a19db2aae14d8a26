#include "future/cell.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <thread>
#include <utility>

#include "capi/entry.hpp"
#include "capi/imports.hpp"
#include "capi/once.hpp"
#include "capi/thread.hpp"
#include "errors/exceptions.hpp"
#include "timeouts.hpp"

namespace marovenda {

using py::Ref;

namespace {

// Reports the pending exception through the unraisable hook.
void report_unraisable(PyObject* obj) noexcept {
    if (PyErr_Occurred()) PyErr_WriteUnraisable(obj);
}

// Free-threaded 3.13 reads and swaps an exception's __traceback__ without a
// lock (3.14 guards it), so threads raising one object at once corrupt its
// traceback chain and can crash the interpreter. There each raise gets a copy
// and the stored object is never raised or changed. The module's ABI tag ties
// it to the version of the headers it was built with, so the build decides.
constexpr bool kRaiseCopies = PY_VERSION_HEX < 0x030E0000;

// A new exception of e's type from e's args, with e's attributes (a notes
// list of its own), cause, context and context suppression, no traceback.
Ref exception_copy(PyObject* e) {
    Ref args = Ref::check(PyObject_GetAttrString(e, "args"));
    Ref copy = Ref::check(PyObject_Call(reinterpret_cast<PyObject*>(Py_TYPE(e)), args.get(), nullptr));
    if (!PyExceptionInstance_Check(copy.get())) {
        py::throw_error(PyExc_TypeError, "an exception's type made something that is not an exception");
    }
    Ref dict = Ref::check(PyObject_GetAttrString(e, "__dict__"));
    Ref items = Ref::check(PyDict_Items(dict.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        PyObject* key = PyTuple_GET_ITEM(item, 0);
        Ref value = Ref::borrow(PyTuple_GET_ITEM(item, 1));
        if (PyList_CheckExact(value.get())) value = Ref::check(PyList_GetSlice(value.get(), 0, PY_SSIZE_T_MAX));
        py::check(PyObject_SetAttr(copy.get(), key, value.get()));
    }
    Ref suppress = Ref::check(PyObject_GetAttrString(e, "__suppress_context__"));
    PyException_SetCause(copy.get(), PyException_GetCause(e));
    PyException_SetContext(copy.get(), PyException_GetContext(e));
    py::check(PyObject_SetAttrString(copy.get(), "__suppress_context__", suppress.get()));
    return copy;
}

// What a raise of the stored exception e raises: e itself with its traceback
// cleared, or on 3.13 a copy.
Ref raisable(PyObject* e) {
    if constexpr (kRaiseCopies) return exception_copy(e);
    py::check(PyException_SetTraceback(e, Py_None));
    return Ref::borrow(e);
}

// The one copy of a read's bytes: a single block (every small read) as from
// a string, so that one byte still comes from the interpreter's own objects.
Ref bytes_of(const Outcome::Bytes& g) {
    if (const auto one = g.one_block()) return Ref::check(PyBytes_FromStringAndSize(one->data(), Py_ssize_t(one->size())));
    Ref b = Ref::check(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(g.size())));
    char* at = PyBytes_AS_STRING(b.get());
    g.each_block([&](std::string_view block) {
        std::memcpy(at, block.data(), block.size());
        at += block.size();
    });
    return b;
}

}  // namespace

Ref Outcome::to_py() const {
    struct Visit {
        Ref operator()(std::monostate) const { return Ref::borrow(Py_None); }
        Ref operator()(std::size_t n) const { return Ref::check(PyLong_FromSize_t(n)); }
        Ref operator()(const Bytes& b) const { return bytes_of(b); }
        Ref operator()(const Lines& lines) const {
            Ref list = Ref::check(PyList_New(Py_ssize_t(lines.size())));
            for (std::size_t i = 0; i < lines.size(); ++i)
                PyList_SET_ITEM(list.get(), Py_ssize_t(i), bytes_of(lines[i]).release());
            return list;
        }
        Ref operator()(const Object& o) const { return *o; }
    };
    return std::visit(Visit{}, v_);
}

void Shared::complete(OpResult result) noexcept { future::complete(*this, std::move(result)); }

namespace future {

std::unique_lock<std::mutex> lock_cell(Shared& cell) noexcept {
    std::unique_lock lock(cell.mu, std::try_to_lock);
    if (lock.owns_lock()) return lock;
    if (!runtime::in_forked_child()) {
        lock.lock();
        return lock;
    }
    // A thread of the child holds a cell's lock for microseconds.
    for (int i = 0; i < 100 && !lock.try_lock(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return lock;
}

std::unique_lock<std::mutex> lock_cell_or_raise(Shared& cell) {
    auto lock = lock_cell(cell);
    if (!lock.owns_lock()) throw_py(SerialError::forked());
    return lock;
}

bool complete(Shared& cell, OpResult result) noexcept {
    std::vector<Waiter> waiters;
    std::vector<std::shared_ptr<Callback>> callbacks;
    runtime::AbortHandle handle;
    {
        auto lock = lock_cell(cell);
        if (!lock.owns_lock() || cell.state.result_slot) return false;
        handle = std::move(cell.state.abort_handle);
        cell.state.abort_handle = {};
        cell.state.result_slot.emplace(result);
        waiters.swap(cell.state.waiters);
        callbacks.swap(cell.state.callbacks);
    }
    cell.condvar.notify_all();
    if (waiters.empty() && callbacks.empty()) return true;

    py::Attached attached;
    if (!attached.ok()) {
        // Nothing may run Python now; the references go with the deferral.
        return true;
    }
    for (Waiter& entry : waiters) {
        // Each waiter's loop and bridge are released as soon as it is handled.
        const Waiter w = std::move(entry);
        Ref closed = Ref::steal(PyObject_CallMethod(w.loop.get(), "is_closed", nullptr));
        int is_closed = closed ? PyObject_IsTrue(closed.get()) : -1;
        if (is_closed < 0) {
            report_unraisable(nullptr);
            continue;
        }
        if (is_closed) continue;
        Ref value, exception;
        try {
            value = to_python(cell, result);
        } catch (const py::ErrorAlreadySet&) {
            exception = Ref::steal(PyErr_GetRaisedException());
        } catch (...) {
            py::raise_current_as_panic();
            exception = Ref::steal(PyErr_GetRaisedException());
        }
        schedule(w, std::move(value), std::move(exception));
    }
    for (auto& cb : callbacks) {
        run_or_report(*cb, "call_soon_threadsafe");
        cb.reset();
    }
    return true;
}

bool cancel_shared(Shared& cell) noexcept {
    runtime::AbortHandle handle;
    {
        auto lock = lock_cell(cell);
        if (!lock.owns_lock()) return false;
        handle = cell.state.abort_handle;
    }
    bool completed = complete(cell, SerialError::cancelled());
    if (completed && handle) {
        // abort() may wait for a poll in progress; never attached meanwhile.
        if (py::attached()) {
            py::Detached detached;
            handle.abort();
        } else {
            handle.abort();
        }
    }
    return completed;
}

Ref exception_object(Shared& cell, const SerialError& error) {
    {
        auto lock = lock_cell_or_raise(cell);
        if (cell.state.exception_cache) return cell.state.exception_cache;
    }
    raise(error);
    Ref made = Ref::steal(PyErr_GetRaisedException());
    if (!made) throw py::ErrorAlreadySet{};
    Ref kept;
    {
        auto lock = lock_cell_or_raise(cell);
        if (!cell.state.exception_cache) cell.state.exception_cache = made;
        kept = cell.state.exception_cache;
    }
    return kept;  // `made` is released here, outside the lock
}

Ref to_python(Shared& cell, const OpResult& result) {
    if (result) return result.value().to_py();
    const SerialError& error = result.error();
    if (error.kind() == SerialError::Kind::Cancelled) {
        PyErr_SetNone(py::imports::cancelled_error());
        throw py::ErrorAlreadySet{};
    }
    Ref exc = exception_object(cell, error);
    PyErr_SetRaisedException(raisable(exc.get()).release());
    throw py::ErrorAlreadySet{};
}

void run_or_report(const Callback& cb, const char* method) noexcept {
    bool ok;
    if (cb.loop) {
        Ref kwargs = Ref::steal(PyDict_New());
        ok = kwargs && PyDict_SetItemString(kwargs.get(), "context", cb.context.get()) == 0;
        Ref bound = ok ? Ref::steal(PyObject_GetAttrString(cb.loop.get(), method)) : Ref();
        Ref args = bound ? Ref::steal(PyTuple_Pack(2, cb.fn.get(), cb.future.get())) : Ref();
        Ref handle = args ? Ref::steal(PyObject_Call(bound.get(), args.get(), kwargs.get())) : Ref();
        ok = bool(handle);
    } else {
        Ref r = Ref::steal(PyObject_CallMethod(cb.context.get(), "run", "OO", cb.fn.get(), cb.future.get()));
        ok = bool(r);
    }
    if (!ok) report_unraisable(cb.fn.get());
}

void settle(PyObject* bridge, PyObject* value, PyObject* exception) {
    Ref done = Ref::check(PyObject_CallMethod(bridge, "done", nullptr));
    int is_done = PyObject_IsTrue(done.get());
    py::check(is_done);
    if (is_done) return;
    if (exception) {
        int cancelled = PyObject_IsInstance(exception, py::imports::cancelled_error());
        py::check(cancelled);
        if (cancelled) {
            Ref::check(PyObject_CallMethod(bridge, "cancel", nullptr));
        } else {
            Ref::check(PyObject_CallMethod(bridge, "set_exception", "O", exception));
        }
        return;
    }
    Ref::check(PyObject_CallMethod(bridge, "set_result", "O", value));
}

namespace {

PyObject* settle_closure(PyObject* self, PyObject*) noexcept {
    return py::entry([&] {
        PyObject* value = PyTuple_GET_ITEM(self, 1);
        PyObject* exception = PyTuple_GET_ITEM(self, 2);
        settle(PyTuple_GET_ITEM(self, 0), exception == Py_None ? value : nullptr,
               exception == Py_None ? nullptr : exception);
        return Ref::borrow(Py_None);
    });
}

PyMethodDef settle_def = {"settle", settle_closure, METH_NOARGS, nullptr};

}  // namespace

void schedule(const Waiter& waiter, Ref value, Ref exception) noexcept {
    Ref state = Ref::steal(PyTuple_Pack(3, waiter.future.get(), value ? value.get() : Py_None,
                                        exception ? exception.get() : Py_None));
    Ref closure = state ? Ref::steal(PyCFunction_New(&settle_def, state.get())) : Ref();
    Ref handle = closure ? Ref::steal(PyObject_CallMethod(waiter.loop.get(), "call_soon_threadsafe", "O",
                                                          closure.get()))
                         : Ref();
    if (!handle) report_unraisable(nullptr);
}

}  // namespace future

OpFuture OpFuture::resolved(OpResult result) {
    auto cell = std::make_shared<Shared>();
    cell->state.result_slot.emplace(std::move(result));
    return OpFuture(std::move(cell));
}

Result<OpFuture> OpFuture::start(Operation op) {
    auto rt = runtime::runtime();
    if (!rt) return std::move(rt).error();
    runtime::FirstPoll<Outcome> first;
    {
        py::Detached detached;
        first = runtime::first_poll<Outcome>(*rt.value(), std::move(op));
    }
    if (first.result) return resolved(std::move(*first.result));
    return spawn(std::move(first.pending));
}

Result<OpFuture> OpFuture::spawn(Operation op) {
    auto cell = std::make_shared<Shared>();
    auto rt = runtime::runtime();
    if (!rt) return std::move(rt).error();
    auto handle = rt.value()->spawn_operation<Outcome>(std::move(op), cell);
    {
        std::lock_guard lock(cell->mu);
        if (!cell->state.result_slot) cell->state.abort_handle = std::move(handle);
    }
    return OpFuture(std::move(cell));
}

Ref OpFuture::wait(std::optional<double> timeout) const {
    using clock = poll::Clock;
    // Negative, -0.0 and NaN wait 0; a span the clock cannot hold (2**64 s
    // and more, infinity) means no deadline.
    std::optional<poll::Instant> deadline;
    if (timeout) deadline = deadline_after(timeouts::duration(Seconds::of_float(*timeout > 0 ? *timeout : 0.0)));
    // A wait on a runtime worker must not stall the runtime while it blocks.
    runtime::HandOff hand_off;
    constexpr auto slice = std::chrono::milliseconds(50);
    for (;;) {
        bool done;
        {
            py::Detached detached;
            auto lock = future::lock_cell(*cell_);
            if (!lock.owns_lock()) break;
            auto start = clock::now();
            auto len = deadline ? std::min<clock::duration>(slice, std::max<clock::duration>(*deadline - start, {}))
                                : clock::duration(slice);
            cell_->condvar.wait_until(lock, start + len, [&] { return cell_->state.result_slot.has_value(); });
            done = cell_->state.result_slot.has_value();
        }
        if (done) return result();
        py::check(PyErr_CheckSignals());
        if (deadline && clock::now() >= *deadline) {
            PyErr_SetString(PyExc_TimeoutError, "the operation did not finish within the timeout");
            throw py::ErrorAlreadySet{};
        }
    }
    throw_py(SerialError::forked());
}

Ref OpFuture::result() const {
    std::optional<OpResult> copy;
    {
        auto lock = future::lock_cell_or_raise(*cell_);
        copy = cell_->state.result_slot;
    }
    if (!copy) {
        PyErr_SetString(py::imports::invalid_state_error(), "Result is not ready.");
        throw py::ErrorAlreadySet{};
    }
    return future::to_python(*cell_, *copy);
}

void OpFuture::register_callback(Ref fn, Ref future, Ref context, Ref loop) const {
    auto cb = std::make_shared<future::Callback>(
        future::Callback{std::move(fn), std::move(future), std::move(context), std::move(loop)});
    {
        auto lock = future::lock_cell_or_raise(*cell_);
        if (!cell_->state.result_slot) {
            cell_->state.callbacks.push_back(std::move(cb));
            return;
        }
    }
    future::run_or_report(*cb, "call_soon");
}

}  // namespace marovenda

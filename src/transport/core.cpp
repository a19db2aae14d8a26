#include "transport/core.hpp"

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "capi/entry.hpp"
#include "capi/imports.hpp"
#include "capi/once.hpp"
#include "errors/exceptions.hpp"
#include "future/cell.hpp"
#include "future/future_type.hpp"
#include "poll/combinators.hpp"
#include "poll/task.hpp"
#include "serial/convert.hpp"

namespace marovenda::transport {

py::Name n_call_soon{"call_soon"}, n_call_soon_threadsafe{"call_soon_threadsafe"};

namespace {

using py::Name;
using py::call_method;

Name n_call_exception_handler{"call_exception_handler"}, n_result{"result"}, n_cancel{"cancel"}, n_close{"close"},
    n_data_received{"data_received"}, n_connection_lost{"connection_lost"}, n_pause_writing{"pause_writing"},
    n_resume_writing{"resume_writing"};


using port::PortCore;

constexpr std::size_t kReadSize = 65536;
constexpr auto kReadWindow = std::chrono::seconds(1);

// The module name of the functions made here, kept for the process.
PyObject* module_name() {
    static py::OnceObject cell;
    return cell.get([] { return Ref::check(PyUnicode_InternFromString(kModule)); });
}

}  // namespace

Ref new_function(PyMethodDef* def, PyObject* self) {
    return Ref::check(PyCMethod_New(def, self, module_name(), nullptr));
}


bool on_loop_thread(PyObject* loop) {
    Ref running = Ref::check(PyObject_CallNoArgs(py::imports::running_loop()));
    return running.get() == loop;
}

namespace {

// ---- the engine operations -------------------------------------------------

// What arrived within the window, or nothing; the window also bounds the wait
// for the read lock.
poll::Task<OpResult> read_body(Core core) {
    auto read = PortCore::read_available(std::move(core), kReadSize);
    poll::Timeout bounded(read, poll::Clock::now() + kReadWindow);
    auto got = co_await bounded;
    if (!got) co_return Outcome::bytes(Outcome::Bytes());
    if (!*got) co_return std::move(*got).error();
    co_return Outcome::bytes(std::move(*got).value());
}

// The whole chunk or an error: a write that ends short would lose the rest of
// the chunk silently, so it fails like any other write error.
poll::Task<OpResult> write_body(Core core, std::string chunk) {
    const std::size_t size = chunk.size();
    auto write = PortCore::write(std::move(core), std::move(chunk), PortCore::WriteLimit::None);
    auto r = co_await write;
    if (!r) co_return std::move(r).error();
    if (r.value() < size)
        co_return SerialError::os(std::nullopt, "Write ended short: " + std::to_string(r.value()) + " of " +
                                                    std::to_string(size) + " bytes were written");
    co_return Outcome::count(r.value());
}

using future::start;

}  // namespace

// ---- TransportCore ---------------------------------------------------------

// Clears a starting flag on the paths that leave without storing a future.
// Paths that decide under the lock clear the flag there and disarm this.
struct Starting {
    TransportCore& tc;
    bool State::*flag;
    bool armed = true;
    void release() {
        if (!armed) return;
        armed = false;
        Lock lock(tc.mu);
        tc.state.*flag = false;
    }
    ~Starting() { release(); }
};

void start_writing(PyObject* self);
void finish(PyObject* self, bool drain);
void close_with(PyObject* self, Ref exception);
void abort_with(PyObject* self, Ref exception);
void on_read(PyObject* self, PyObject* future);
void on_write(PyObject* self, PyObject* future);
void connection_lost(PyObject* self);

// Step functions: builtin functions bound to one core, taking the first
// positional argument (None without one).
template <void (*Step)(PyObject*, PyObject*)>
PyObject* step_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return py::entry([&] {
        Step(self, py::first_or_none(args, nargs));
        return Ref::borrow(Py_None);
    });
}

void on_start_step(PyObject* self, PyObject*) { start_reading(self); }
void connection_lost_step(PyObject* self, PyObject*) { connection_lost(self); }

PyMethodDef on_start_def = {"on_start", py::as_cfunction(step_entry<on_start_step>), METH_FASTCALL, nullptr};
PyMethodDef on_read_def = {"on_read", py::as_cfunction(step_entry<on_read>), METH_FASTCALL, nullptr};
PyMethodDef on_write_def = {"on_write", py::as_cfunction(step_entry<on_write>), METH_FASTCALL, nullptr};
PyMethodDef connection_lost_def = {"connection_lost", py::as_cfunction(step_entry<connection_lost_step>),
                                   METH_FASTCALL, nullptr};

Ref step_function(PyObject* self, PyMethodDef* def) { return new_function(def, self); }

// The hop of a completed operation onto the loop; runs on the completing
// thread. A loop that refuses it (closed) gets no report: the serial object is
// closed instead, so the port does not stay open behind a dead loop.
PyObject* forward(PyObject* state, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return py::entry([&] {
        PyObject* self = PyTuple_GET_ITEM(state, 0);
        PyObject* step = PyTuple_GET_ITEM(state, 1);
        TransportCore& tc = tc_of(self);
        PyObject* fut = py::first_or_none(args, nargs);
        try {
            hop(tc.loop.get(), step, fut);
        } catch (const py::ErrorAlreadySet&) {
            PyErr_Clear();
            call_method(tc.serial.get(), n_close);
        }
        return Ref::borrow(Py_None);
    });
}

PyMethodDef forward_def = {"forward", py::as_cfunction(forward), METH_FASTCALL, nullptr};

Ref make_hop(PyObject* self, PyMethodDef* step_def) {
    Ref step = step_function(self, step_def);
    Ref state = Ref::check(PyTuple_Pack(2, self, step.get()));
    return new_function(&forward_def, state.get());
}

// The core's kept hop in slot, made on first need.
Ref kept_hop(PyObject* self, Ref TransportCore::*slot, PyMethodDef* step_def) {
    TransportCore& tc = tc_of(self);
    {
        Lock lock(tc.mu);
        if (tc.*slot) return tc.*slot;
    }
    Ref made = make_hop(self, step_def);
    Ref kept;
    {
        Lock lock(tc.mu);
        if (!(tc.*slot)) tc.*slot = made;
        kept = tc.*slot;
    }
    return kept;  // a losing `made` is released here, outside the lock
}

void when_done(const Ref& future, Ref hop) {
    Ref context = Ref::check(PyObject_CallNoArgs(py::imports::copy_context()));
    future::unwrap_future(future.get()).register_callback(std::move(hop), future, std::move(context), Ref());
}

void report(PyObject* self, PyObject* message, PyObject* exception) {
    TransportCore& tc = tc_of(self);
    Ref weak, protocol;
    {
        Lock lock(tc.mu);
        weak = tc.transport_ref;
    }
    Ref context = Ref::check(PyDict_New());
    py::check(PyDict_SetItemString(context.get(), "message", message));
    py::check(PyDict_SetItemString(context.get(), "exception", exception));
    Ref transport;
    if (weak) {
        PyObject* t = nullptr;
        py::check(PyWeakref_GetRef(weak.get(), &t));
        transport = Ref::steal(t);
    }
    py::check(PyDict_SetItemString(context.get(), "transport", transport ? transport.get() : Py_None));
    {
        Lock lock(tc.mu);
        protocol = tc.state.protocol;
    }
    py::check(PyDict_SetItemString(context.get(), "protocol", protocol ? protocol.get() : Py_None));
    call_method(tc.loop.get(), n_call_exception_handler, context.get());
}

void report(PyObject* self, const char* message, PyObject* exception) {
    Ref text = Ref::check(PyUnicode_FromString(message));
    report(self, text.get(), exception);
}

// A failing flow-control call is reported and otherwise ignored.
void notify(PyObject* self, const Ref& protocol, Name& method) {
    if (!protocol) return;
    try {
        call_method(protocol.get(), method);
    } catch (const py::ErrorAlreadySet&) {
        Ref e = py::take_error();
        Ref message = Ref::check(PyUnicode_FromFormat("protocol.%s() failed", method.text));
        report(self, message.get(), e.get());
    }
}

// Flow control is told on the loop's thread only: a stream writer's protocol
// completes asyncio futures there. The flag changes first, so a protocol that
// writes from inside pause_writing is not told twice; the protocol hears each
// change of what it was last told, and a pause undone before it could be told
// is never told at all.
void tell_flow(PyObject* self, bool queued) {
    TransportCore& tc = tc_of(self);
    for (;;) {
        Ref protocol;
        bool paused;
        {
            Lock lock(tc.mu);
            State& st = tc.state;
            if (queued) st.flow_queued = false;
            queued = false;
            if (st.told_paused == st.writing_paused) return;
            paused = st.told_paused = st.writing_paused;
            protocol = st.protocol;
        }
        notify(self, protocol, paused ? n_pause_writing : n_resume_writing);
    }
}

void flow_step(PyObject* self, PyObject*) { tell_flow(self, true); }
PyMethodDef flow_def = {"flow", py::as_cfunction(step_entry<flow_step>), METH_FASTCALL, nullptr};

// From another thread one step is queued at a time; it tells whatever the
// flag says when it runs.
void flow_changed(PyObject* self) {
    TransportCore& tc = tc_of(self);
    if (on_loop_thread(tc.loop.get())) return tell_flow(self, false);
    {
        Lock lock(tc.mu);
        if (std::exchange(tc.state.flow_queued, true)) return;
    }
    try {
        Ref step = step_function(self, &flow_def);
        call_method(tc.loop.get(), n_call_soon_threadsafe, step.get(), Py_None);
    } catch (const py::ErrorAlreadySet&) {
        Lock lock(tc.mu);
        tc.state.flow_queued = false;
        throw;
    }
}

void maybe_pause(PyObject* self) {
    TransportCore& tc = tc_of(self);
    {
        Lock lock(tc.mu);
        State& st = tc.state;
        if (st.writing_paused || st.in_flight + st.write_buffer.size() <= st.high_water) return;
        st.writing_paused = true;
    }
    flow_changed(self);
}

void maybe_resume(PyObject* self) {
    TransportCore& tc = tc_of(self);
    {
        Lock lock(tc.mu);
        State& st = tc.state;
        if (!st.writing_paused || st.in_flight + st.write_buffer.size() > st.low_water) return;
        st.writing_paused = false;
    }
    flow_changed(self);
}

// reserved: the caller is the completion step of the previous read, which
// took the start over when it cleared that read's future.
void start_reading(PyObject* self, bool reserved) {
    TransportCore& tc = tc_of(self);
    {
        Lock lock(tc.mu);
        State& st = tc.state;
        if (!reserved && (st.read_future || st.read_starting)) return;
        if (st.closing || st.reading_paused) {
            st.read_starting = false;
            return;
        }
        st.read_starting = true;
    }
    Starting starting{tc, &State::read_starting};
    Ref fut = start(poll::boxed(read_body(tc.core)));
    Ref replaced;
    {
        Lock lock(tc.mu);
        replaced = std::exchange(tc.state.read_future, fut);
        tc.state.read_starting = false;
        starting.armed = false;
    }
    when_done(fut, kept_hop(self, &TransportCore::read_hop, &on_read_def));
}

void on_read(PyObject* self, PyObject* future) {
    TransportCore& tc = tc_of(self);
    Ref taken;
    {
        Lock lock(tc.mu);
        State& st = tc.state;
        if (!st.read_future || st.read_future.get() != future) return;  // stale
        taken = std::move(st.read_future);
        // Until this step has held, dropped or delivered its data, no other
        // thread may start a read: that read's data could reach the protocol
        // before the data held here.
        st.read_starting = true;
    }
    Starting reservation{tc, &State::read_starting};
    Ref data;
    try {
        data = call_method(future, n_result);
    } catch (const py::ErrorAlreadySet&) {
        // A read error ends the connection gracefully; the protocol learns of
        // it through connection_lost only.
        Ref e = py::take_error();
        reservation.release();
        close_with(self, std::move(e));
        return;
    }
    if (!PyBytes_Check(data.get())) py::not_an_instance(data.get(), "bytes");
    Ref protocol;
    {
        Lock lock(tc.mu);
        State& st = tc.state;
        if (st.closing || st.reading_paused) {
            if (!st.closing)
                st.held_data.append(PyBytes_AS_STRING(data.get()), std::size_t(PyBytes_GET_SIZE(data.get())));
            st.read_starting = false;
            reservation.armed = false;
            return;
        }
        protocol = st.protocol;
    }
    // The device is read again while the protocol works on this data.
    reservation.armed = false;
    start_reading(self, true);
    if (protocol && PyBytes_GET_SIZE(data.get()) > 0) call_method(protocol.get(), n_data_received, data.get());
}

void write(PyObject* self, PyObject* data) {
    TransportCore& tc = tc_of(self);
    std::string bytes = serial::to_bytes(data);
    bool running;
    {
        Lock lock(tc.mu);
        State& st = tc.state;
        if (st.closing || bytes.empty()) return;
        if (st.write_buffer.empty()) {
            st.write_buffer = std::move(bytes);
        } else {
            st.write_buffer.append(bytes);
        }
        running = bool(st.write_future);
    }
    if (!running) start_writing(self);
    maybe_pause(self);
}

void start_writing(PyObject* self) {
    TransportCore& tc = tc_of(self);
    std::string chunk;
    {
        Lock lock(tc.mu);
        State& st = tc.state;
        if (st.write_future || st.write_starting || st.write_buffer.empty()) return;
        chunk.swap(st.write_buffer);
        st.in_flight = chunk.size();
        st.write_starting = true;
    }
    Starting starting{tc, &State::write_starting};
    Ref fut = start(poll::boxed(write_body(tc.core, std::move(chunk))));
    Ref replaced;
    {
        Lock lock(tc.mu);
        replaced = std::exchange(tc.state.write_future, fut);
        tc.state.write_starting = false;
        starting.armed = false;
    }
    when_done(fut, kept_hop(self, &TransportCore::write_hop, &on_write_def));
}

void on_write(PyObject* self, PyObject* future) {
    TransportCore& tc = tc_of(self);
    Ref taken;
    {
        Lock lock(tc.mu);
        State& st = tc.state;
        if (!st.write_future || st.write_future.get() != future) return;  // stale
        taken = std::move(st.write_future);
        st.in_flight = 0;
    }
    try {
        call_method(future, n_result);
    } catch (const py::ErrorAlreadySet&) {
        Ref e = py::take_error();
        bool already_failed;
        {
            Lock lock(tc.mu);
            already_failed = tc.state.closing && tc.state.close_exception;
        }
        if (already_failed) return abort_with(self, std::move(e));
        try {
            report(self, "Fatal write error on serial transport", e.get());
        } catch (const py::ErrorAlreadySet&) {
            // The transport must end even when nobody could be told why.
            Ref report_error = py::take_error();
            abort_with(self, std::move(e));
            py::rethrow(std::move(report_error));
        }
        return abort_with(self, std::move(e));
    }
    maybe_resume(self);
    bool more, drain_now;
    {
        Lock lock(tc.mu);
        const State& st = tc.state;
        more = !st.write_buffer.empty();
        drain_now = !more && st.closing && !st.write_future && !st.write_starting && !st.finished;
    }
    if (more) {
        start_writing(self);
    } else if (drain_now) {
        finish(self, true);
    }
}

void close_with(PyObject* self, Ref exception) {
    TransportCore& tc = tc_of(self);
    Ref read, replaced;
    bool drain_now;
    {
        Lock lock(tc.mu);
        State& st = tc.state;
        if (st.closing) {
            replaced = std::move(exception);
            return;
        }
        st.closing = true;
        replaced = std::exchange(st.close_exception, std::move(exception));
        read = std::move(st.read_future);
        drain_now = st.write_buffer.empty() && !st.write_future && !st.write_starting;
    }
    if (read) call_method(read.get(), n_cancel);
    if (drain_now) finish(self, true);
}

void abort_with(PyObject* self, Ref exception) {
    TransportCore& tc = tc_of(self);
    Ref futures[3], dropped;
    std::string discarded;
    {
        Lock lock(tc.mu);
        State& st = tc.state;
        st.closing = true;
        if (!st.close_exception) {
            st.close_exception = std::move(exception);
        } else {
            dropped = std::move(exception);
        }
        discarded.swap(st.write_buffer);
        st.in_flight = 0;
        futures[0] = std::move(st.read_future);
        futures[1] = std::move(st.write_future);
        futures[2] = std::move(st.finish_future);
    }
    for (const Ref& f : futures)
        if (f) call_method(f.get(), n_cancel);
    finish(self, false);
}

// A loop that refuses the step (closed) gets no report: the serial object is
// closed instead, so the port does not stay open behind a dead loop.
void schedule_connection_lost(PyObject* self) {
    TransportCore& tc = tc_of(self);
    Ref step = step_function(self, &connection_lost_def);
    try {
        hop(tc.loop.get(), step.get(), Py_None);
    } catch (const py::ErrorAlreadySet&) {
        PyErr_Clear();
        call_method(tc.serial.get(), n_close);
    }
}

void finish(PyObject* self, bool drain) {
    TransportCore& tc = tc_of(self);
    {
        Lock lock(tc.mu);
        if (tc.state.finished) return;
        tc.state.finished = true;
    }
    if (!drain) return schedule_connection_lost(self);
    try {
        Ref fut = start(future::operation(PortCore::flush(tc.core)));
        Ref replaced;
        {
            Lock lock(tc.mu);
            replaced = std::exchange(tc.state.finish_future, fut);
        }
        when_done(fut, make_hop(self, &connection_lost_def));
    } catch (const py::ErrorAlreadySet&) {
        // Without the drain nothing would ever end the connection: the
        // protocol still gets connection_lost and the port still closes.
        Ref e = py::take_error();
        schedule_connection_lost(self);
        py::rethrow(std::move(e));
    }
}

void connection_lost(PyObject* self) {
    TransportCore& tc = tc_of(self);
    Ref protocol, exception, drain, hops[2];
    {
        Lock lock(tc.mu);
        State& st = tc.state;
        protocol = std::move(st.protocol);
        exception = std::move(st.close_exception);
        drain = std::move(st.finish_future);
        // The hops refer back to this core: dropping them ends that cycle.
        hops[0] = std::move(tc.read_hop);
        hops[1] = std::move(tc.write_hop);
    }
    drain.reset();
    Ref lost_error;
    if (protocol) {
        try {
            call_method(protocol.get(), n_connection_lost, exception ? exception.get() : Py_None);
        } catch (const py::ErrorAlreadySet&) {
            lost_error = py::take_error();
        }
    }
    call_method(tc.serial.get(), n_close);
    if (lost_error) py::rethrow(std::move(lost_error));
}

}  // namespace marovenda::transport

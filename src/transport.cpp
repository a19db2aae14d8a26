#include "transport.hpp"

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "capi/args.hpp"
#include "capi/entry.hpp"
#include "capi/heap_type.hpp"
#include "capi/once.hpp"
#include "capi/thread.hpp"
#include "errors_py.hpp"
#include "future.hpp"
#include "future_py.hpp"
#include "poll/combinators.hpp"
#include "poll/task.hpp"
#include "port.hpp"
#include "serial.hpp"
#include "serial_args.hpp"
#include "serial_base.hpp"

namespace marovenda::transport {

using py::Ref;

namespace {

using Core = std::shared_ptr<port::PortCore>;
using port::PortCore;

constexpr const char* kModule = "marovenda.aio";
constexpr std::size_t kReadSize = 65536;
constexpr auto kReadWindow = std::chrono::seconds(1);

// ---- small Python helpers ---------------------------------------------------

// A method name, interned once: the read path calls several per read.
struct Name {
    const char* text;
    py::OnceObject cell{};
    PyObject* get() {
        return cell.get([&] { return Ref::check(PyUnicode_InternFromString(text)); });
    }
};

Name n_call_soon{"call_soon"}, n_call_soon_threadsafe{"call_soon_threadsafe"},
    n_call_exception_handler{"call_exception_handler"}, n_result{"result"}, n_cancel{"cancel"}, n_close{"close"},
    n_data_received{"data_received"}, n_connection_lost{"connection_lost"}, n_pause_writing{"pause_writing"},
    n_resume_writing{"resume_writing"};

template <class... A>
Ref call_method(PyObject* obj, Name& name, A*... args) {
    PyObject* argv[] = {obj, args...};
    return Ref::check(PyObject_VectorcallMethod(name.get(), argv, 1 + sizeof...(A), nullptr));
}

Ref import_attr(const char* module, const char* name) {
    Ref m = Ref::check(PyImport_ImportModule(module));
    return Ref::check(PyObject_GetAttrString(m.get(), name));
}

// The pending exception, taken out of the interpreter.
Ref take_error() {
    Ref e = Ref::steal(PyErr_GetRaisedException());
    if (!e) throw py::ErrorAlreadySet{};
    return e;
}

[[noreturn]] void rethrow(Ref e) {
    PyErr_SetRaisedException(e.release());
    throw py::ErrorAlreadySet{};
}

[[noreturn]] void not_an_instance(PyObject* obj, const char* type_name) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", type_name);
    } else {
        Ref name = Ref::check(PyType_GetQualName(Py_TYPE(obj)));
        PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), type_name);
    }
    throw py::ErrorAlreadySet{};
}

PyObject* first_or_none(PyObject* const* args, Py_ssize_t nargs) {
    return PyVectorcall_NARGS(nargs) > 0 ? args[0] : Py_None;
}

// The module name of the functions made here, kept for the process.
PyObject* module_name() {
    static py::OnceObject cell;
    return cell.get([] { return Ref::check(PyUnicode_InternFromString(kModule)); });
}

Ref new_function(PyMethodDef* def, PyObject* self) {
    return Ref::check(PyCMethod_New(def, self, module_name(), nullptr));
}

// ---- the engine operations -------------------------------------------------

// What arrived within the window, or nothing; the window also bounds the wait
// for the read lock.
poll::Task<OpResult> read_body(Core core) {
    auto read = PortCore::read_available(std::move(core), kReadSize);
    poll::Timeout bounded(read, poll::Clock::now() + kReadWindow);
    auto got = co_await bounded;
    if (!got) co_return Outcome::bytes({});
    if (!*got) co_return std::move(*got).error();
    co_return Outcome::bytes(std::move(*got).value());
}

// The whole chunk or an error: a write that ends short would lose the rest of
// the chunk silently, so it fails like any other write error.
poll::Task<OpResult> write_body(Core core, std::string chunk) {
    const std::size_t size = chunk.size();
    auto write = PortCore::write_with(std::move(core), std::move(chunk), true);
    auto r = co_await write;
    if (!r) co_return std::move(r).error();
    if (r.value() < size)
        co_return SerialError::os(std::nullopt, "Write ended short: " + std::to_string(r.value()) + " of " +
                                                    std::to_string(size) + " bytes were written");
    co_return Outcome::count(r.value());
}

poll::Task<OpResult> drain_body(Core core) {
    auto flush = PortCore::flush(std::move(core));
    auto r = co_await flush;
    if (!r) co_return std::move(r).error();
    co_return Outcome::unit();
}

Ref start(Operation op) {
    auto f = OpFuture::start(std::move(op));
    if (!f) throw_py(f.error());
    return future::wrap(std::move(f).value());
}

// ---- TransportCore ---------------------------------------------------------

struct State {
    std::string held_data;
    std::string write_buffer;
    Ref protocol;
    Ref read_future;
    std::size_t in_flight = 0;
    Ref write_future;
    std::size_t high_water = 65536;
    std::size_t low_water = 16384;
    Ref close_exception;
    Ref finish_future;
    bool closing = false;
    bool reading_paused = false;
    bool writing_paused = false;
    bool told_paused = false;  // what the protocol was last told
    bool flow_queued = false;  // a step from another thread will tell it
    bool finished = false;
    // A read or write between its check and the store of its future (for
    // reads, also a completion step until it has dealt with its data): a
    // second start in that gap would run beside it, and its completion, found
    // stale, would drop the bytes it read or the error it met.
    bool read_starting = false;
    bool write_starting = false;
};

// The lock is held only for short decisions: never across a Python call, an
// operation start or a release of a Python reference (which may run Python
// code), so references leave the state into locals declared before the lock.
struct TransportCore {
    Ref loop;
    Ref serial;
    Core core;
    std::mutex mu;
    State state;
    Ref transport_ref;  // a weak reference, set once by create
};

struct CoreObject {
    PyObject_HEAD
    TransportCore tc;
};

TransportCore& tc_of(PyObject* self) { return reinterpret_cast<CoreObject*>(self)->tc; }

using Lock = std::lock_guard<std::mutex>;

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

void start_reading(PyObject* self, bool reserved = false);
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
        Step(self, first_or_none(args, nargs));
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

bool on_loop_thread(PyObject* loop) {
    static py::OnceObject cell;
    PyObject* get_running = cell.get([] { return import_attr("asyncio", "_get_running_loop"); });
    Ref running = Ref::check(PyObject_CallNoArgs(get_running));
    return running.get() == loop;
}

// Schedules call(args...) on the loop. From the loop's own thread call_soon:
// the same queue, without waking the loop through its self-pipe, which would
// cost a round of system calls per read. From any other thread
// call_soon_threadsafe, which wakes a sleeping loop and which debug mode
// allows there.
template <class... A>
void hop(PyObject* loop, A*... args) {
    call_method(loop, on_loop_thread(loop) ? n_call_soon : n_call_soon_threadsafe, args...);
}

// The hop of a completed operation onto the loop; runs on the completing
// thread. A loop that refuses it (closed) gets no report: the serial object is
// closed instead, so the port does not stay open behind a dead loop.
PyObject* forward(PyObject* state, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return py::entry([&] {
        PyObject* self = PyTuple_GET_ITEM(state, 0);
        PyObject* step = PyTuple_GET_ITEM(state, 1);
        TransportCore& tc = tc_of(self);
        PyObject* fut = first_or_none(args, nargs);
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

void when_done(PyObject* self, const Ref& future, PyMethodDef* step_def) {
    Ref step = step_function(self, step_def);
    Ref state = Ref::check(PyTuple_Pack(2, self, step.get()));
    Ref hop = new_function(&forward_def, state.get());
    // What on_done_here does, with copy_context looked up once: this runs
    // for every read.
    static py::OnceObject copy_context;
    PyObject* copy = copy_context.get([] { return import_attr("contextvars", "copy_context"); });
    Ref context = Ref::check(PyObject_CallNoArgs(copy));
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
        Ref e = take_error();
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
    when_done(self, fut, &on_read_def);
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
        Ref e = take_error();
        reservation.release();
        close_with(self, std::move(e));
        return;
    }
    if (!PyBytes_Check(data.get())) not_an_instance(data.get(), "bytes");
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
    when_done(self, fut, &on_write_def);
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
        Ref e = take_error();
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
            Ref report_error = take_error();
            abort_with(self, std::move(e));
            rethrow(std::move(report_error));
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
        Ref fut = start(poll::boxed(drain_body(tc.core)));
        Ref replaced;
        {
            Lock lock(tc.mu);
            replaced = std::exchange(tc.state.finish_future, fut);
        }
        when_done(self, fut, &connection_lost_def);
    } catch (const py::ErrorAlreadySet&) {
        // Without the drain nothing would ever end the connection: the
        // protocol still gets connection_lost and the port still closes.
        Ref e = take_error();
        schedule_connection_lost(self);
        rethrow(std::move(e));
    }
}

void connection_lost(PyObject* self) {
    TransportCore& tc = tc_of(self);
    Ref protocol, exception, drain;
    {
        Lock lock(tc.mu);
        State& st = tc.state;
        protocol = std::move(st.protocol);
        exception = std::move(st.close_exception);
        drain = std::move(st.finish_future);
    }
    drain.reset();
    Ref lost_error;
    if (protocol) {
        try {
            call_method(protocol.get(), n_connection_lost, exception ? exception.get() : Py_None);
        } catch (const py::ErrorAlreadySet&) {
            lost_error = take_error();
        }
    }
    call_method(tc.serial.get(), n_close);
    if (lost_error) rethrow(std::move(lost_error));
}

// ---- _TransportCore: the Python face ---------------------------------------

Ref none() { return Ref::borrow(Py_None); }

template <class F>
PyObject* method(F&& body) noexcept {
    return py::entry([&] {
        body();
        return none();
    });
}

const py::Signature extra_info_sig{"_TransportCore.get_extra_info()", {{"name", true}, {"default"}}};
PyObject* m_get_extra_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
    return py::entry([&] {
        py::Arguments a;
        py::parse(extra_info_sig, args, nargs, kw, a);
        std::string name = serial::converting("name", [&] { return serial::text_arg(a[0]); });
        if (name == "serial") return tc_of(self).serial;
        return Ref::borrow(a.has(1) ? a[1] : Py_None);
    });
}

PyObject* m_is_closing(PyObject* self, PyObject*) noexcept {
    return py::entry([&] {
        TransportCore& tc = tc_of(self);
        Lock lock(tc.mu);
        return Ref::borrow(tc.state.closing ? Py_True : Py_False);
    });
}

PyObject* m_is_reading(PyObject* self, PyObject*) noexcept {
    return py::entry([&] {
        TransportCore& tc = tc_of(self);
        Lock lock(tc.mu);
        return Ref::borrow(!tc.state.closing && !tc.state.reading_paused ? Py_True : Py_False);
    });
}

PyObject* m_close(PyObject* self, PyObject*) noexcept {
    return method([&] { close_with(self, Ref()); });
}

PyObject* m_abort(PyObject* self, PyObject*) noexcept {
    return method([&] { abort_with(self, Ref()); });
}

const py::Signature write_sig{"_TransportCore.write()", {{"data", true}}};
PyObject* m_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
    return method([&] {
        py::Arguments a;
        py::parse(write_sig, args, nargs, kw, a);
        write(self, a[0]);
    });
}

const py::Signature writelines_sig{"_TransportCore.writelines()", {{"list_of_data", true}}};
PyObject* m_writelines(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
    return method([&] {
        py::Arguments a;
        py::parse(writelines_sig, args, nargs, kw, a);
        Ref it = Ref::check(PyObject_GetIter(a[0]));
        while (Ref item = Ref::steal(PyIter_Next(it.get()))) write(self, item.get());
        if (PyErr_Occurred()) throw py::ErrorAlreadySet{};
    });
}

PyObject* m_can_write_eof(PyObject*, PyObject*) noexcept { return Ref::borrow(Py_False).release(); }

PyObject* m_write_eof(PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "Serial connections do not support end-of-file");
    return nullptr;
}

PyObject* m_pause_reading(PyObject* self, PyObject*) noexcept {
    return method([&] {
        TransportCore& tc = tc_of(self);
        Lock lock(tc.mu);
        tc.state.reading_paused = true;
    });
}

PyObject* m_resume_reading(PyObject* self, PyObject*) noexcept {
    return method([&] {
        TransportCore& tc = tc_of(self);
        std::string held;
        Ref protocol;
        {
            Lock lock(tc.mu);
            State& st = tc.state;
            if (!st.reading_paused) return;
            st.reading_paused = false;
            // Once closing, held data is dropped like data that arrives
            // then: the protocol must not see data after connection_lost.
            if (st.closing) st.held_data.clear();
            held.swap(st.held_data);
            protocol = st.protocol;
        }
        if (!held.empty() && protocol) {
            // Scheduled, so it reaches the protocol before anything the new
            // read brings.
            Ref received = Ref::check(PyObject_GetAttrString(protocol.get(), "data_received"));
            Ref bytes = Ref::check(PyBytes_FromStringAndSize(held.data(), Py_ssize_t(held.size())));
            hop(tc.loop.get(), received.get(), bytes.get());
        }
        start_reading(self);
    });
}

const py::Signature limits_sig{"_TransportCore.set_write_buffer_limits()", {{"high"}, {"low"}}};
PyObject* m_set_write_buffer_limits(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
    return method([&] {
        py::Arguments a;
        py::parse(limits_sig, args, nargs, kw, a);
        auto given = [&](std::size_t i, const char* name) -> std::optional<Py_ssize_t> {
            if (!a.has(i) || a[i] == Py_None) return std::nullopt;
            return serial::converting(name, [&] { return serial::signed_word(a[i]); });
        };
        const auto high_arg = given(0, "high");
        const auto low_arg = given(1, "low");
        Py_ssize_t high, low;
        if (low_arg) {
            low = *low_arg;
            if (high_arg) {
                high = *high_arg;
            } else if (__builtin_mul_overflow(low, Py_ssize_t(4), &high)) {
                PyErr_Format(PyExc_ValueError, "low (%zd) is out of range: 4 * low must fit a signed size", low);
                throw py::ErrorAlreadySet{};
            }
        } else {
            high = high_arg ? *high_arg : 65536;
            low = high / 4;
        }
        if (high < low || low < 0) {
            PyErr_Format(PyExc_ValueError, "high (%zd) must be >= low (%zd) must be >= 0", high, low);
            throw py::ErrorAlreadySet{};
        }
        TransportCore& tc = tc_of(self);
        {
            Lock lock(tc.mu);
            tc.state.high_water = std::size_t(high);
            tc.state.low_water = std::size_t(low);
        }
        maybe_pause(self);
    });
}

PyObject* m_get_write_buffer_limits(PyObject* self, PyObject*) noexcept {
    return py::entry([&] {
        TransportCore& tc = tc_of(self);
        std::size_t low, high;
        {
            Lock lock(tc.mu);
            low = tc.state.low_water;
            high = tc.state.high_water;
        }
        return Ref::check(Py_BuildValue("(nn)", Py_ssize_t(low), Py_ssize_t(high)));
    });
}

PyObject* m_get_write_buffer_size(PyObject* self, PyObject*) noexcept {
    return py::entry([&] {
        TransportCore& tc = tc_of(self);
        std::size_t size;
        {
            Lock lock(tc.mu);
            size = tc.state.in_flight + tc.state.write_buffer.size();
        }
        return Ref::check(PyLong_FromSize_t(size));
    });
}

PyObject* m_flush(PyObject* self, PyObject*) noexcept {
    return method([&] {
        TransportCore& tc = tc_of(self);
        std::string discarded;
        {
            Lock lock(tc.mu);
            discarded.swap(tc.state.write_buffer);
        }
        maybe_resume(self);
    });
}

PyObject* m_get_protocol(PyObject* self, PyObject*) noexcept {
    return py::entry([&] {
        TransportCore& tc = tc_of(self);
        Ref protocol;
        {
            Lock lock(tc.mu);
            protocol = tc.state.protocol;
        }
        return protocol ? protocol : none();
    });
}

const py::Signature set_protocol_sig{"_TransportCore.set_protocol()", {{"protocol", true}}};
PyObject* m_set_protocol(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
    return method([&] {
        py::Arguments a;
        py::parse(set_protocol_sig, args, nargs, kw, a);
        TransportCore& tc = tc_of(self);
        Ref replaced = Ref::borrow(a[0]);
        Lock lock(tc.mu);
        std::swap(replaced, tc.state.protocol);
        // `replaced` (the old protocol) is released after the lock: declared first.
    });
}

PyObject* core_repr(PyObject* self) noexcept {
    return py::entry([&] {
        TransportCore& tc = tc_of(self);
        Ref protocol;
        {
            Lock lock(tc.mu);
            protocol = tc.state.protocol;
        }
        Ref loop = Ref::check(PyObject_Repr(tc.loop.get()));
        Ref proto = Ref::check(protocol ? PyObject_Repr(protocol.get()) : PyUnicode_FromString("None"));
        Ref serial = Ref::check(PyObject_Repr(tc.serial.get()));
        return Ref::check(PyUnicode_FromFormat("SerialTransport(%U, %U, %U)", loop.get(), proto.get(), serial.get()));
    });
}

PyObject* get_loop(PyObject* self, void*) noexcept { return Ref(tc_of(self).loop).release(); }
PyObject* get_serial(PyObject* self, void*) noexcept { return Ref(tc_of(self).serial).release(); }

int core_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    TransportCore& tc = tc_of(self);
    Py_VISIT(tc.loop.get());
    Py_VISIT(tc.serial.get());
    // The lock is never held across anything that can stop the world, so
    // try_lock succeeds in practice; unvisited references only keep objects alive.
    std::unique_lock lock(tc.mu, std::try_to_lock);
    if (!lock) return 0;
    const State& st = tc.state;
    for (const Ref* r : std::initializer_list<const Ref*>{&st.protocol, &st.read_future, &st.write_future,
                                                          &st.close_exception, &st.finish_future, &tc.transport_ref})
        Py_VISIT(r->get());
    return 0;
}

int core_clear(PyObject* self) {
    TransportCore& tc = tc_of(self);
    Ref refs[6];
    {
        Lock lock(tc.mu);
        State& st = tc.state;
        refs[0] = std::move(st.protocol);
        refs[1] = std::move(st.read_future);
        refs[2] = std::move(st.write_future);
        refs[3] = std::move(st.close_exception);
        refs[4] = std::move(st.finish_future);
        refs[5] = std::move(tc.transport_ref);
    }
    return 0;
}

void core_dealloc(PyObject* self) noexcept {
    py::dealloc_gc_instance(self, [&] { tc_of(self).~TransportCore(); });
}

#define SIG(text) text "\n--\n\n"

PyMethodDef core_methods[] = {
    {"get_extra_info", py::as_cfunction(m_get_extra_info), METH_FASTCALL | METH_KEYWORDS,
     SIG("get_extra_info($self, name, default=None)")},
    {"is_closing", m_is_closing, METH_NOARGS, SIG("is_closing($self)")},
    {"is_reading", m_is_reading, METH_NOARGS, SIG("is_reading($self)")},
    {"close", m_close, METH_NOARGS, SIG("close($self)")},
    {"abort", m_abort, METH_NOARGS, SIG("abort($self)")},
    {"write", py::as_cfunction(m_write), METH_FASTCALL | METH_KEYWORDS, SIG("write($self, data)")},
    {"writelines", py::as_cfunction(m_writelines), METH_FASTCALL | METH_KEYWORDS,
     SIG("writelines($self, list_of_data)")},
    {"can_write_eof", m_can_write_eof, METH_NOARGS, SIG("can_write_eof($self)")},
    {"write_eof", m_write_eof, METH_NOARGS, SIG("write_eof($self)")},
    {"pause_reading", m_pause_reading, METH_NOARGS,
     SIG("pause_reading($self)") "Stops `data_received` calls until `resume_reading`.\n\n"
                                 "A read already under way is not cancelled, since it may have taken bytes from the\n"
                                 "port; what it returns is held and delivered on resume."},
    {"resume_reading", m_resume_reading, METH_NOARGS, SIG("resume_reading($self)")},
    {"set_write_buffer_limits", py::as_cfunction(m_set_write_buffer_limits), METH_FASTCALL | METH_KEYWORDS,
     SIG("set_write_buffer_limits($self, high=None, low=None)")},
    {"get_write_buffer_limits", m_get_write_buffer_limits, METH_NOARGS, SIG("get_write_buffer_limits($self)")},
    {"get_write_buffer_size", m_get_write_buffer_size, METH_NOARGS, SIG("get_write_buffer_size($self)")},
    {"flush", m_flush, METH_NOARGS, SIG("flush($self)")},
    {"get_protocol", m_get_protocol, METH_NOARGS, SIG("get_protocol($self)")},
    {"set_protocol", py::as_cfunction(m_set_protocol), METH_FASTCALL | METH_KEYWORDS,
     SIG("set_protocol($self, protocol)")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef core_getset[] = {
    {"loop", get_loop, nullptr, nullptr, nullptr},
    {"serial", get_serial, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot core_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Holds the state and behaviour behind `SerialTransport`, which forwards every transport\n"
                    "method and property to it. `SerialTransport` itself is a Python subclass of\n"
                    "`asyncio.Transport`, built at run time by `transport::serial_transport_class`, because a\n"
                    "class implemented here cannot also derive from a Python class.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(core_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(core_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(core_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(core_repr)},
    {Py_tp_methods, core_methods},
    {Py_tp_getset, core_getset},
    {0, nullptr},
};

PyType_Spec core_spec = {
    "marovenda.aio._TransportCore", sizeof(CoreObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    core_slots};

PyObject* core_type() {
    static py::OnceObject cell;
    return cell.get([] { return Ref::check(PyType_FromSpec(&core_spec)); });
}

Ref new_core(PyObject* loop, PyObject* protocol, PyObject* serial) {
    auto* type = reinterpret_cast<PyTypeObject*>(core_type());
    Ref self = Ref::check(type->tp_alloc(type, 0));
    new (&reinterpret_cast<CoreObject*>(self.get())->tc)
        TransportCore{Ref::borrow(loop), Ref::borrow(serial), serial::shared_core(serial), {}, {}, {}};
    tc_of(self.get()).state.protocol = Ref::borrow(protocol);
    return self;
}

// ---- SerialTransport --------------------------------------------------------

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
    Ref partialmethod = import_attr("functools", "partialmethod");
    Ref property = import_attr("builtins", "property");
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
    Ref base = import_attr("asyncio", "Transport");
    Ref type = import_attr("builtins", "type");
    Ref name = Ref::check(PyUnicode_FromString("SerialTransport"));
    Ref bases = Ref::check(PyTuple_Pack(1, base.get()));
    Ref cls = Ref::check(PyObject_CallFunctionObjArgs(type.get(), name.get(), bases.get(), ns.get(), nullptr));
    if (!PyType_Check(cls.get())) {
        PyErr_SetString(PyExc_TypeError, "building SerialTransport did not make a class");
        throw py::ErrorAlreadySet{};
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
    if (!serial::is_serial_base(serial)) not_an_instance(serial, "SerialBase");
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
    Ref on_start = step_function(core.get(), &on_start_def);
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

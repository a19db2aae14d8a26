// The transport's state machine, shared by its parts: the state of one
// transport (TransportCore) and the steps that drive it (core.cpp), the
// _TransportCore type that exposes it (core_type.cpp), and the SerialTransport
// class and connection start (transport_class.cpp).
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "capi/call.hpp"
#include "capi/heap_type.hpp"
#include "capi/ref.hpp"
#include "port/port.hpp"

namespace marovenda::transport {

using py::Ref;
using Core = std::shared_ptr<port::PortCore>;

inline constexpr const char* kModule = "marovenda.aio";

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
    // The hops of read and write completions onto the loop, made once and
    // dropped by connection_lost: every chunk would otherwise build three
    // objects for them.
    Ref read_hop;
    Ref write_hop;
};

struct CoreObject {
    PyObject_HEAD
    TransportCore tc;

    // For py::Collected (core_type.cpp).
    int traverse(const py::Visit& visit);
    void clear() noexcept;
    void destroy() noexcept { tc.~TransportCore(); }
};

inline TransportCore& tc_of(PyObject* self) { return reinterpret_cast<CoreObject*>(self)->tc; }

using Lock = std::lock_guard<std::mutex>;


extern py::Name n_call_soon, n_call_soon_threadsafe;

// A builtin function of marovenda.aio bound to self.
Ref new_function(PyMethodDef* def, PyObject* self);

// True on the thread that runs loop.
bool on_loop_thread(PyObject* loop);

// Schedules call(args...) on the loop. From the loop's own thread call_soon:
// the same queue, without waking the loop through its self-pipe, which would
// cost a round of system calls per read. From any other thread
// call_soon_threadsafe, which wakes a sleeping loop and which debug mode
// allows there.
template <class... A>
void hop(PyObject* loop, A*... args) {
    py::call_method(loop, on_loop_thread(loop) ? n_call_soon : n_call_soon_threadsafe, args...);
}

// The step that starts reading, bound to a core by new_function.
extern PyMethodDef on_start_def;

void start_reading(PyObject* self, bool reserved = false);
void write(PyObject* self, PyObject* data);
void close_with(PyObject* self, Ref exception);
void abort_with(PyObject* self, Ref exception);
// Tell the protocol to pause or resume writing when the buffer crossed a mark.
void maybe_pause(PyObject* self);
void maybe_resume(PyObject* self);

// The _TransportCore type and a new core over serial speaking to protocol.
PyObject* core_type();
Ref new_core(PyObject* loop, PyObject* protocol, PyObject* serial);

}  // namespace marovenda::transport

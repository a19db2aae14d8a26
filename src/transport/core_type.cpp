#include "transport/core.hpp"

#include <initializer_list>
#include <string>
#include <new>
#include <optional>
#include <utility>

#include "capi/args.hpp"
#include "capi/entry.hpp"
#include "capi/heap_type.hpp"
#include "capi/once.hpp"
#include "serial/args.hpp"
#include "serial/base.hpp"
#include "serial/convert.hpp"

namespace marovenda::transport {

namespace {

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
                py::throw_error(PyExc_ValueError, "low (" + std::to_string(low) +
                                                      ") is out of range: 4 * low must fit a signed size");
            }
        } else {
            high = high_arg ? *high_arg : 65536;
            low = high / 4;
        }
        if (high < low || low < 0) {
            py::throw_error(PyExc_ValueError, "high (" + std::to_string(high) + ") must be >= low (" +
                                                  std::to_string(low) + ") must be >= 0");
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

}  // namespace

int CoreObject::traverse(const py::Visit& visit) {
    if (int v = visit(tc.loop)) return v;
    if (int v = visit(tc.serial)) return v;
    // The lock is never held across anything that can stop the world, so
    // try_lock succeeds in practice; unvisited references only keep objects alive.
    std::unique_lock lock(tc.mu, std::try_to_lock);
    if (!lock) return 0;
    const State& st = tc.state;
    for (const Ref* r : std::initializer_list<const Ref*>{&st.protocol, &st.read_future, &st.write_future,
                                                          &st.close_exception, &st.finish_future, &tc.transport_ref,
                                                          &tc.read_hop, &tc.write_hop})
        if (int v = visit(*r)) return v;
    return 0;
}

void CoreObject::clear() noexcept {
    Ref refs[8];  // released after the lock
    Lock lock(tc.mu);
    State& st = tc.state;
    refs[0] = std::move(st.protocol);
    refs[1] = std::move(st.read_future);
    refs[2] = std::move(st.write_future);
    refs[3] = std::move(st.close_exception);
    refs[4] = std::move(st.finish_future);
    refs[5] = std::move(tc.transport_ref);
    refs[6] = std::move(tc.read_hop);
    refs[7] = std::move(tc.write_hop);
}

namespace {

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
    py::Collected<CoreObject>::dealloc_slot(),
    py::Collected<CoreObject>::traverse_slot(),
    py::Collected<CoreObject>::clear_slot(),
    {Py_tp_repr, reinterpret_cast<void*>(core_repr)},
    {Py_tp_methods, core_methods},
    {Py_tp_getset, core_getset},
    {0, nullptr},
};

PyType_Spec core_spec = {
    "marovenda.aio._TransportCore", sizeof(CoreObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    core_slots};

}  // namespace

PyObject* core_type() {
    static py::OnceObject cell;
    return cell.get([] { return Ref::check(PyType_FromSpec(&core_spec)); });
}

Ref new_core(PyObject* loop, PyObject* protocol, PyObject* serial) {
    auto* type = reinterpret_cast<PyTypeObject*>(core_type());
    Ref self = Ref::check(type->tp_alloc(type, 0));
    new (&reinterpret_cast<CoreObject*>(self.get())->tc)
        TransportCore{Ref::borrow(loop), Ref::borrow(serial), serial::shared_core(serial), {}, {}, {}, {}, {}};
    tc_of(self.get()).state.protocol = Ref::borrow(protocol);
    return self;
}

}  // namespace marovenda::transport

#include "serial/base.hpp"

#include <cmath>
#include <cstddef>
#include <new>
#include <utility>

#include "capi/args.hpp"
#include "capi/entry.hpp"
#include "capi/once.hpp"
#include "capi/thread.hpp"
#include "errors/exceptions.hpp"
#include "serial/convert.hpp"
#include "serial/args.hpp"

namespace marovenda::serial {

using py::Ref;
using port::Parity;
using port::Settings;
using port::StopBits;

namespace {

[[noreturn]] void value_error(const std::string& message) { py::throw_error(PyExc_ValueError, message); }

bool truth(PyObject* obj) {
    int v = PyObject_IsTrue(obj);
    py::check(v);
    return v != 0;
}

constexpr const char parity_letters[] = "NEOMS";

Parity parity_of(const std::string& text) {
    if (text.size() == 1) {
        for (int i = 0; i < 5; ++i)
            if (text[0] == parity_letters[i]) return static_cast<Parity>(i);
    }
    value_error("Not a valid parity: '" + text + "'");
}

StopBits stopbits_of(double v) {
    if (v == 1.0) return StopBits::One;
    if (v == 1.5) return StopBits::OnePointFive;
    if (v == 2.0) return StopBits::Two;
    value_error("Not a valid stop bit size: " + format_float(v));
}

std::optional<Seconds> checked_seconds(std::optional<Seconds> s) { return unwrap(timeouts::checked(s)); }

Ref parity_to_py(Parity p) { return Ref::check(PyUnicode_FromStringAndSize(&parity_letters[int(p)], 1)); }

Ref stopbits_to_py(StopBits s) {
    switch (s) {
        case StopBits::One: return Ref::check(PyLong_FromLong(1));
        case StopBits::OnePointFive: return Ref::check(PyFloat_FromDouble(1.5));
        case StopBits::Two: break;
    }
    return Ref::check(PyLong_FromLong(2));
}

Ref bool_to_py(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

Ref optional_text(const std::optional<std::string>& s) {
    if (!s) return Ref::borrow(Py_None);
    return Ref::check(PyUnicode_FromStringAndSize(s->data(), Py_ssize_t(s->size())));
}

template <class F>
void update(PyObject* self, F&& change) {
    Result<void> r;
    {
        py::Detached detached;
        r = core_of(self).update_settings(std::forward<F>(change));
    }
    unwrap(std::move(r));
}

// f on the core with the interpreter released; its error raised once attached.
template <class F>
auto detached(PyObject* self, F&& f) {
    auto r = [&] {
        py::Detached d;
        return f(core_of(self));
    }();
    return unwrap(std::move(r));
}

Settings stored_settings(PyObject* self) { return core_of(self).settings(); }

// ---- properties ----------------------------------------------------------

using Getter = Ref (*)(PyObject*);

template <Getter G>
PyObject* get(PyObject* self, void*) noexcept {
    return py::entry([&] { return G(self); });
}

// Deleting a writable property is refused with the same text everywhere.
template <void (*S)(PyObject*, PyObject*)>
int set(PyObject* self, PyObject* value, void*) noexcept {
    return py::entry_status([&] {
        if (!value) {
            PyErr_SetString(PyExc_AttributeError, "property has no deleter");
            throw py::ErrorAlreadySet{};
        }
        S(self, value);
    });
}

// The name is copied first: the str is made after the state lock is released.
Ref get_port(PyObject* self) { return optional_text(core_of(self).port()); }
Ref get_is_open(PyObject* self) {
    bool open;
    {
        py::Detached d;
        open = core_of(self).is_open();
    }
    return bool_to_py(open);
}
Ref get_baudrate(PyObject* self) { return Ref::check(PyLong_FromUnsignedLong(stored_settings(self).baudrate)); }
Ref get_bytesize(PyObject* self) { return Ref::check(PyLong_FromLong(stored_settings(self).bytesize)); }
Ref get_parity(PyObject* self) { return parity_to_py(stored_settings(self).parity); }
Ref get_stopbits(PyObject* self) { return stopbits_to_py(stored_settings(self).stopbits); }
Ref get_timeout(PyObject* self) { return seconds_to_py(stored_settings(self).timeout); }
Ref get_write_timeout(PyObject* self) { return seconds_to_py(stored_settings(self).write_timeout); }
Ref get_inter_byte_timeout(PyObject* self) { return seconds_to_py(stored_settings(self).inter_byte_timeout); }
Ref get_xonxoff(PyObject* self) { return bool_to_py(stored_settings(self).xonxoff); }
Ref get_rtscts(PyObject* self) { return bool_to_py(stored_settings(self).rtscts); }
Ref get_dsrdtr(PyObject* self) { return bool_to_py(stored_settings(self).dsrdtr); }
Ref get_exclusive(PyObject* self) {
    auto e = stored_settings(self).exclusive;
    return e ? bool_to_py(*e) : Ref::borrow(Py_None);
}
Ref get_rts(PyObject* self) { return bool_to_py(core_of(self).state().rts); }
Ref get_dtr(PyObject* self) { return bool_to_py(core_of(self).state().dtr); }
Ref get_break_condition(PyObject* self) { return bool_to_py(core_of(self).state().break_condition); }
Ref get_cts(PyObject* self) { return bool_to_py(detached(self, [](port::PortCore& c) { return c.cts(); })); }
Ref get_dsr(PyObject* self) { return bool_to_py(detached(self, [](port::PortCore& c) { return c.dsr(); })); }
Ref get_ri(PyObject* self) { return bool_to_py(detached(self, [](port::PortCore& c) { return c.ri(); })); }
Ref get_cd(PyObject* self) { return bool_to_py(detached(self, [](port::PortCore& c) { return c.cd(); })); }
Ref get_in_waiting(PyObject* self) {
    return Ref::check(PyLong_FromUnsignedLong(detached(self, [](port::PortCore& c) { return c.in_waiting(); })));
}
Ref get_out_waiting(PyObject* self) {
    return Ref::check(PyLong_FromUnsignedLong(detached(self, [](port::PortCore& c) { return c.out_waiting(); })));
}

void set_port(PyObject* self, PyObject* value) {
    std::optional<std::string> name;
    if (value != Py_None) name = converting("value", [&] { return text_arg(value); });
    detached(self, [&](port::PortCore& c) { return c.set_port(std::move(name)); });
}
void set_baudrate(PyObject* self, PyObject* value) {
    auto v = converting("value", [&] { return Baudrate::extract(value); }).value;
    update(self, [&](Settings& s) { s.baudrate = v; });
}
void set_bytesize(PyObject* self, PyObject* value) {
    auto v = converting("value", [&] { return Bytesize::extract(value); }).value;
    update(self, [&](Settings& s) { s.bytesize = v; });
}
void set_parity(PyObject* self, PyObject* value) {
    auto p = parity_of(converting("value", [&] { return text_arg(value); }));
    update(self, [&](Settings& s) { s.parity = p; });
}
void set_stopbits(PyObject* self, PyObject* value) {
    auto sb = stopbits_of(converting("value", [&] { return float_arg(value); }));
    update(self, [&](Settings& s) { s.stopbits = sb; });
}

std::optional<Seconds> timeout_value(PyObject* value) {
    if (value == Py_None) return std::nullopt;
    return checked_seconds(converting("value", [&] { return extract_seconds(value); }));
}
void set_timeout(PyObject* self, PyObject* value) {
    auto t = timeout_value(value);
    update(self, [&](Settings& s) { s.timeout = t; });
}
void set_write_timeout(PyObject* self, PyObject* value) {
    auto t = timeout_value(value);
    update(self, [&](Settings& s) { s.write_timeout = t; });
}
void set_inter_byte_timeout(PyObject* self, PyObject* value) {
    auto t = timeout_value(value);
    update(self, [&](Settings& s) { s.inter_byte_timeout = t; });
}
void set_xonxoff(PyObject* self, PyObject* value) {
    bool v = converting("value", [&] { return truth(value); });
    update(self, [&](Settings& s) { s.xonxoff = v; });
}
void set_rtscts(PyObject* self, PyObject* value) {
    bool v = converting("value", [&] { return truth(value); });
    update(self, [&](Settings& s) { s.rtscts = v; });
}
void set_dsrdtr(PyObject* self, PyObject* value) {
    std::optional<bool> v;
    if (value != Py_None) v = converting("value", [&] { return truth(value); });
    update(self, [&](Settings& s) { s.dsrdtr = v.value_or(s.rtscts); });
}
void set_exclusive(PyObject* self, PyObject* value) {
    std::optional<bool> v;
    if (value != Py_None) v = converting("value", [&] { return truth(value); });
    update(self, [&](Settings& s) { s.exclusive = v; });
}

// The RTS and DTR levels: stored always, driven on an open device (RTS only
// when hardware flow control does not own the line).
template <bool Rts>
void set_line(PyObject* self, PyObject* value) {
    bool level = converting("value", [&] { return truth(value); });
    detached(self, [&](port::PortCore& c) { return Rts ? c.set_rts(level) : c.set_dtr(level); });
}
void set_break_condition(PyObject* self, PyObject* value) {
    bool level = converting("value", [&] { return truth(value); });
    detached(self, [&](port::PortCore& c) { return c.set_break_condition(level); });
}

PyGetSetDef getset[] = {
    {"port", get<get_port>, set<set_port>, nullptr, nullptr},
    {"name", get<get_port>, nullptr, nullptr, nullptr},
    {"is_open", get<get_is_open>, nullptr, nullptr, nullptr},
    {"baudrate", get<get_baudrate>, set<set_baudrate>, nullptr, nullptr},
    {"bytesize", get<get_bytesize>, set<set_bytesize>, nullptr, nullptr},
    {"parity", get<get_parity>, set<set_parity>, nullptr, nullptr},
    {"stopbits", get<get_stopbits>, set<set_stopbits>, nullptr, nullptr},
    {"timeout", get<get_timeout>, set<set_timeout>, nullptr, nullptr},
    {"write_timeout", get<get_write_timeout>, set<set_write_timeout>, nullptr, nullptr},
    {"inter_byte_timeout", get<get_inter_byte_timeout>, set<set_inter_byte_timeout>, nullptr, nullptr},
    {"xonxoff", get<get_xonxoff>, set<set_xonxoff>, nullptr, nullptr},
    {"rtscts", get<get_rtscts>, set<set_rtscts>, nullptr, nullptr},
    {"dsrdtr", get<get_dsrdtr>, set<set_dsrdtr>, nullptr, nullptr},
    {"exclusive", get<get_exclusive>, set<set_exclusive>, nullptr, nullptr},
    {"rts", get<get_rts>, set<set_line<true>>, nullptr, nullptr},
    {"dtr", get<get_dtr>, set<set_line<false>>, nullptr, nullptr},
    {"break_condition", get<get_break_condition>, set<set_break_condition>, nullptr, nullptr},
    {"cts", get<get_cts>, nullptr, nullptr, nullptr},
    {"dsr", get<get_dsr>, nullptr, nullptr, nullptr},
    {"ri", get<get_ri>, nullptr, nullptr, nullptr},
    {"cd", get<get_cd>, nullptr, nullptr, nullptr},
    {"in_waiting", get<get_in_waiting>, nullptr, nullptr, nullptr},
    {"out_waiting", get<get_out_waiting>, nullptr, nullptr, nullptr},
    {"portstr", get<get_port>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- methods -------------------------------------------------------------

PyObject* cancel_read(PyObject* self, PyObject*) noexcept {
    return py::entry([&] {
        core_of(self).cancel_read();
        return Ref::borrow(Py_None);
    });
}

PyObject* cancel_write(PyObject* self, PyObject*) noexcept {
    return py::entry([&] {
        core_of(self).cancel_write();
        return Ref::borrow(Py_None);
    });
}

PyObject* open(PyObject* self, PyObject*) noexcept {
    return py::entry([&] {
        detached(self, [](port::PortCore& c) { return c.open(); });
        return Ref::borrow(Py_None);
    });
}

PyObject* close(PyObject* self, PyObject*) noexcept {
    return py::entry([&] {
        {
            py::Detached d;
            core_of(self).close();
        }
        return Ref::borrow(Py_None);
    });
}

PyObject* reset_input_buffer(PyObject* self, PyObject*) noexcept {
    return py::entry([&] {
        detached(self, [](port::PortCore& c) { return c.reset_input_buffer(); });
        return Ref::borrow(Py_None);
    });
}

PyObject* reset_output_buffer(PyObject* self, PyObject*) noexcept {
    return py::entry([&] {
        detached(self, [](port::PortCore& c) { return c.reset_output_buffer(); });
        return Ref::borrow(Py_None);
    });
}

PyObject* fileno(PyObject* self, PyObject*) noexcept {
    return py::entry([&] {
        auto fd = detached(self, [](port::PortCore& c) { return c.fileno(); });
        if (fd) return Ref::check(PyLong_FromLong(*fd));
        Ref io = Ref::check(PyImport_ImportModule("io"));
        Ref unsupported = Ref::check(PyObject_GetAttrString(io.get(), "UnsupportedOperation"));
        Ref exc = Ref::check(PyObject_CallFunction(unsupported.get(), "s", "fileno"));
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
        throw py::ErrorAlreadySet{};
        return Ref();
    });
}

PyObject* get_settings(PyObject* self, PyObject*) noexcept {
    return py::entry([&] {
        Settings s = stored_settings(self);
        Ref d = Ref::check(PyDict_New());
        auto put = [&](const char* key, Ref v) { py::check(PyDict_SetItemString(d.get(), key, v.get())); };
        put("baudrate", Ref::check(PyLong_FromUnsignedLong(s.baudrate)));
        put("bytesize", Ref::check(PyLong_FromLong(s.bytesize)));
        put("parity", parity_to_py(s.parity));
        put("stopbits", stopbits_to_py(s.stopbits));
        put("xonxoff", bool_to_py(s.xonxoff));
        put("dsrdtr", bool_to_py(s.dsrdtr));
        put("rtscts", bool_to_py(s.rtscts));
        put("timeout", seconds_to_py(s.timeout));
        put("write_timeout", seconds_to_py(s.write_timeout));
        put("inter_byte_timeout", seconds_to_py(s.inter_byte_timeout));
        return d;
    });
}

const py::Signature apply_settings_sig{"SerialBase.apply_settings()", {{"d", true}}};

PyObject* apply_settings(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::entry([&] {
        py::Arguments a;
        py::parse(apply_settings_sig, args, nargs, kwnames, a);
        PyObject* d = a[0];
        Ref builtins = Ref::check(PyImport_ImportModule("builtins"));
        Ref object = Ref::check(PyObject_GetAttrString(builtins.get(), "object"));
        Ref marker = Ref::check(PyObject_CallNoArgs(object.get()));
        auto lookup = [&](const char* key) -> Ref {
            Ref v = Ref::check(PyObject_CallMethod(d, "get", "sO", key, marker.get()));
            return v.get() == marker.get() ? Ref() : v;
        };
        std::optional<std::uint32_t> baudrate;
        std::optional<std::uint8_t> bytesize;
        std::optional<Parity> parity;
        std::optional<StopBits> stopbits;
        std::optional<bool> xonxoff, rtscts;
        std::optional<std::optional<bool>> dsrdtr;  // inner absent: follow rtscts
        std::optional<std::optional<Seconds>> timeouts[3];
        if (Ref v = lookup("baudrate")) baudrate = Baudrate::extract(v.get()).value;
        if (Ref v = lookup("bytesize")) bytesize = Bytesize::extract(v.get()).value;
        if (Ref v = lookup("parity")) parity = parity_of(text_arg(v.get()));
        if (Ref v = lookup("stopbits")) stopbits = stopbits_of(float_arg(v.get()));
        if (Ref v = lookup("xonxoff")) xonxoff = truth(v.get());
        if (Ref v = lookup("dsrdtr")) dsrdtr = v.get() == Py_None ? std::nullopt : std::optional<bool>(truth(v.get()));
        if (Ref v = lookup("rtscts")) rtscts = truth(v.get());
        const char* timeout_keys[3] = {"timeout", "write_timeout", "inter_byte_timeout"};
        for (int i = 0; i < 3; ++i) {
            if (Ref v = lookup(timeout_keys[i]))
                timeouts[i] = v.get() == Py_None ? std::nullopt : checked_seconds(extract_seconds(v.get()));
        }
        update(self, [&](Settings& s) {
            if (baudrate) s.baudrate = *baudrate;
            if (bytesize) s.bytesize = *bytesize;
            if (parity) s.parity = *parity;
            if (stopbits) s.stopbits = *stopbits;
            if (xonxoff) s.xonxoff = *xonxoff;
            if (dsrdtr) s.dsrdtr = dsrdtr->value_or(s.rtscts);
            if (rtscts) s.rtscts = *rtscts;
            if (timeouts[0]) s.timeout = *timeouts[0];
            if (timeouts[1]) s.write_timeout = *timeouts[1];
            if (timeouts[2]) s.inter_byte_timeout = *timeouts[2];
        });
        return Ref::borrow(Py_None);
    });
}

constexpr const char repr_template[] =
    "{name}<id=0x{id:x}, open={p.is_open}>(port={p.portstr!r}, baudrate={p.baudrate!r}, "
    "bytesize={p.bytesize!r}, parity={p.parity!r}, stopbits={p.stopbits!r}, timeout={p.timeout!r}, "
    "xonxoff={p.xonxoff!r}, rtscts={p.rtscts!r}, dsrdtr={p.dsrdtr!r})";
static_assert(sizeof(repr_template) - 1 == 241);

PyObject* repr(PyObject* self) noexcept {
    return py::entry([&] {
        Ref tmpl = Ref::check(PyUnicode_FromString(repr_template));
        Ref format = Ref::check(PyObject_GetAttrString(tmpl.get(), "format"));
        Ref name = Ref::check(PyType_GetName(Py_TYPE(self)));
        Ref id = Ref::check(PyLong_FromVoidPtr(self));
        Ref kwargs = Ref::check(PyDict_New());
        py::check(PyDict_SetItemString(kwargs.get(), "name", name.get()));
        py::check(PyDict_SetItemString(kwargs.get(), "id", id.get()));
        py::check(PyDict_SetItemString(kwargs.get(), "p", self));
        Ref empty = Ref::check(PyTuple_New(0));
        return Ref::check(PyObject_Call(format.get(), empty.get(), kwargs.get()));
    });
}

PyMethodDef methods[] = {
    {"cancel_read", cancel_read, METH_NOARGS, "cancel_read($self)\n--\n\n"},
    {"cancel_write", cancel_write, METH_NOARGS, "cancel_write($self)\n--\n\n"},
    {"open", open, METH_NOARGS, "open($self)\n--\n\n"},
    {"close", close, METH_NOARGS, "close($self)\n--\n\n"},
    {"reset_input_buffer", reset_input_buffer, METH_NOARGS, "reset_input_buffer($self)\n--\n\n"},
    {"reset_output_buffer", reset_output_buffer, METH_NOARGS, "reset_output_buffer($self)\n--\n\n"},
    {"get_settings", get_settings, METH_NOARGS, "get_settings($self)\n--\n\n"},
    {"apply_settings", py::as_cfunction(apply_settings),
     METH_FASTCALL | METH_KEYWORDS, "apply_settings($self, d)\n--\n\n"},
    {"fileno", fileno, METH_NOARGS, "fileno($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

void dealloc(PyObject* self) noexcept {
    Ref type = Ref::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    auto* obj = reinterpret_cast<SerialObject*>(self);
    if (auto core = std::move(obj->core)) {
        py::Detached d;
        core->close();
        core.reset();  // running operations keep their own references
    }
    obj->core.~shared_ptr();
    Py_TYPE(self)->tp_free(self);
}

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Properties and non-I/O methods shared by `marovenda.Serial` and "
                                  "`marovenda.aio.Serial`.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {
    "marovenda.SerialBase",
    sizeof(SerialObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

py::OnceObject type_cell;

}  // namespace

PyObject* serial_base_type() {
    return type_cell.get([] {
        Ref type = Ref::check(PyType_FromSpec(&spec));
        Ref rates = Ref::check(PySequence_Tuple(baudrate_enum()));
        py::check(PyObject_SetAttrString(type.get(), "BAUDRATES", rates.get()));
        Ref sizes = Ref::check(Py_BuildValue("(iiii)", 5, 6, 7, 8));
        py::check(PyObject_SetAttrString(type.get(), "BYTESIZES", sizes.get()));
        Ref parities = Ref::check(Py_BuildValue("(sssss)", "N", "E", "O", "M", "S"));
        py::check(PyObject_SetAttrString(type.get(), "PARITIES", parities.get()));
        Ref stops = Ref::check(Py_BuildValue("(idi)", 1, 1.5, 2));
        py::check(PyObject_SetAttrString(type.get(), "STOPBITS", stops.get()));
        return type;
    });
}

bool is_serial_base(PyObject* obj) {
    int r = PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(serial_base_type()));
    return r != 0;
}

PyObject* new_unopened(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    return py::entry([&] {
        Ref self = Ref::check(type->tp_alloc(type, 0));
        new (&reinterpret_cast<SerialObject*>(self.get())->core) std::shared_ptr<port::PortCore>(port::PortCore::create());
        return self;
    });
}

Seconds extract_seconds(PyObject* obj) {
    if (PyLong_Check(obj)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (!(v == -1 && PyErr_Occurred()) && overflow == 0) return Seconds::of_int(v);
        PyErr_Clear();
    }
    double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        value_error("Not a valid timeout: " + describe(obj));
    }
    return Seconds::of_float(d);
}

Ref seconds_to_py(const std::optional<Seconds>& s) {
    if (!s) return Ref::borrow(Py_None);
    if (s->is_int()) return Ref::check(PyLong_FromLongLong(s->int_value()));
    return Ref::check(PyFloat_FromDouble(s->float_value()));
}

std::string text_arg(PyObject* obj) {
    if (!PyUnicode_Check(obj)) py::not_an_instance(obj, "str");
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
    if (!s) throw py::ErrorAlreadySet{};
    return std::string(s, std::size_t(len));
}

InitArgs parse_init(const char* display, PyObject* args, PyObject* kwargs) {
    const py::Signature sig{display,
                            {{"port"}, {"baudrate"}, {"bytesize"}, {"parity"}, {"stopbits"}, {"timeout"},
                             {"xonxoff"}, {"rtscts"}, {"write_timeout"}, {"dsrdtr"}, {"inter_byte_timeout"},
                             {"exclusive"}}};
    py::Arguments a;
    py::parse(sig, args, kwargs, a);
    InitArgs out;
    auto timeout = [&](std::size_t i, const char* name) -> std::optional<Seconds> {
        if (!a.has(i) || a[i] == Py_None) return std::nullopt;
        return converting(name, [&] { return extract_seconds(a[i]); });
    };
    if (a.has(0) && a[0] != Py_None) out.port = converting("port", [&] { return text_arg(a[0]); });
    if (a.has(1)) out.baudrate = converting("baudrate", [&] { return Baudrate::extract(a[1]); }).value;
    if (a.has(2)) out.bytesize = converting("bytesize", [&] { return Bytesize::extract(a[2]); }).value;
    if (a.has(3)) out.parity = converting("parity", [&] { return text_arg(a[3]); });
    if (a.has(4)) out.stopbits = converting("stopbits", [&] { return float_arg(a[4]); });
    out.timeout = timeout(5, "timeout");
    if (a.has(6)) out.xonxoff = converting("xonxoff", [&] { return truth(a[6]); });
    if (a.has(7)) out.rtscts = converting("rtscts", [&] { return truth(a[7]); });
    out.write_timeout = timeout(8, "write_timeout");
    if (a.has(9))
        out.dsrdtr = a[9] == Py_None ? std::nullopt
                                     : std::optional<bool>(converting("dsrdtr", [&] { return truth(a[9]); }));
    out.inter_byte_timeout = timeout(10, "inter_byte_timeout");
    if (a.has(11) && a[11] != Py_None) out.exclusive = converting("exclusive", [&] { return truth(a[11]); });
    return out;
}

void init(PyObject* self, InitArgs a) {
    Settings s;
    s.parity = parity_of(a.parity);
    s.stopbits = stopbits_of(a.stopbits);
    s.timeout = checked_seconds(a.timeout);
    s.write_timeout = checked_seconds(a.write_timeout);
    s.inter_byte_timeout = checked_seconds(a.inter_byte_timeout);
    s.baudrate = a.baudrate;
    s.bytesize = a.bytesize;
    s.xonxoff = a.xonxoff;
    s.rtscts = a.rtscts;
    s.dsrdtr = a.dsrdtr.value_or(a.rtscts);
    s.exclusive = a.exclusive;
    const bool named = a.port.has_value();
    detached(self, [&](port::PortCore& c) -> Result<void> {
        if (auto r = c.update_settings([&](Settings& stored) { stored = s; }); !r) return r;
        return c.set_port(std::move(a.port));
    });
    if (named && !core_of(self).is_open()) Ref::check(PyObject_CallMethod(self, "open", nullptr));
}

void enter(PyObject* self) {
    auto& core = core_of(self);
    if (!core.port() || core.is_open()) return;
    Ref::check(PyObject_CallMethod(self, "open", nullptr));
}

int init_slot(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return py::entry_status([&] { init(self, parse_init("Serial.__init__()", args, kwargs)); });
}

PyObject* read_all(PyObject* self, PyObject*) noexcept {
    return py::entry([&] {
        Ref n = Ref::check(PyObject_GetAttrString(self, "in_waiting"));
        return Ref::check(PyObject_CallMethod(self, "read", "O", n.get()));
    });
}

Ref subclass(PyType_Spec& spec) {
    Ref bases = Ref::check(PyTuple_Pack(1, serial_base_type()));
    return Ref::check(PyType_FromSpecWithBases(&spec, bases.get()));
}

}  // namespace marovenda::serial

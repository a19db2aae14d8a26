#include "list_ports/list_ports.hpp"

#include <cstdint>
#include <cstdio>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "capi/args.hpp"
#include "capi/entry.hpp"
#include "capi/heap_type.hpp"
#include "capi/module.hpp"
#include "capi/once.hpp"
#include "capi/thread.hpp"
#include "errors/exceptions.hpp"
#include "list_ports/describe.hpp"
#include "list_ports/sysfs.hpp"

namespace marovenda::list_ports {

namespace {

using py::Ref;

constexpr const char* module_name = "marovenda.tools.list_ports";

[[noreturn]] void fail() { throw py::ErrorAlreadySet{}; }

// ---- argument and field conversions ---------------------------------------

using py::not_an_instance;

std::string to_text(PyObject* value) {
    if (!PyUnicode_Check(value)) not_an_instance(value, "str");
    Py_ssize_t size = 0;
    const char* s = PyUnicode_AsUTF8AndSize(value, &size);
    if (!s) fail();
    return std::string(s, static_cast<std::size_t>(size));
}

bool to_bool(PyObject* value) {
    if (!PyBool_Check(value)) not_an_instance(value, "bool");
    return value == Py_True;
}

long to_long(PyObject* value) {
    Ref index = Ref::check(PyNumber_Index(value));
    long v = PyLong_AsLong(index.get());
    if (v == -1 && PyErr_Occurred()) fail();
    return v;
}

std::uint16_t to_u16(PyObject* value) {
    long v = to_long(value);
    if (v < 0 || v > 0xFFFF) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        fail();
    }
    return static_cast<std::uint16_t>(v);
}

// Runs a conversion of the argument called name; a failure keeps its own
// exception and gains the note naming the argument.
template <class F>
auto converting(const char* name, F&& convert) {
    try {
        return convert();
    } catch (const py::ErrorAlreadySet&) {
        py::add_processing_note(name);
        throw;
    }
}

Ref to_py(const std::string& s) {
    return Ref::check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
Ref to_py(const std::optional<std::string>& s) { return s ? to_py(*s) : Ref::borrow(Py_None); }
Ref to_py(const std::optional<std::uint16_t>& v) {
    return v ? Ref::check(PyLong_FromLong(*v)) : Ref::borrow(Py_None);
}
Ref to_py(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

template <class T>
T from_py(PyObject* value) {
    if constexpr (std::is_same_v<T, std::string>) {
        return to_text(value);
    } else if constexpr (std::is_same_v<T, std::optional<std::string>>) {
        if (value == Py_None) return std::nullopt;
        return to_text(value);
    } else {
        static_assert(std::is_same_v<T, std::optional<std::uint16_t>>);
        if (value == Py_None) return std::nullopt;
        return to_u16(value);
    }
}

// Text from the walk is file and folder names and descriptor strings;
// bytes that are not UTF-8 are replaced rather than failing the listing.
std::string valid_utf8(const std::string& s) {
    Ref text = Ref::check(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
    return to_text(text.get());
}

// ---- the description of one port -----------------------------------------

struct InfoObject {
    PyObject_HEAD
    alignas(Fields) unsigned char storage[sizeof(Fields)];

    Fields& fields() { return *std::launder(reinterpret_cast<Fields*>(storage)); }
    // Its only references are its type and __dict__, which the helper visits.
    int traverse(const py::Visit&) const { return 0; }
    void clear() noexcept {}
    void destroy() noexcept { fields().~Fields(); }
};

Fields& fields(PyObject* self) { return reinterpret_cast<InfoObject*>(self)->fields(); }

PyObject* info_type();

bool is_info(PyObject* o) { return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(info_type())); }

// A copy of one field, read under the object's lock.
template <auto Member>
auto read(PyObject* self) {
    py::CriticalSection cs(self);
    return fields(self).*Member;
}

Ref new_info(PyTypeObject* type) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref self = Ref::check(alloc(type, 0));
    new (reinterpret_cast<InfoObject*>(self.get())->storage) Fields();
    return self;
}

Ref from_record(const PortRecord& port) {
    Ref self = new_info(reinterpret_cast<PyTypeObject*>(info_type()));
    Fields& f = fields(self.get());
    init_fields(f, valid_utf8(port.device));
    if (port.kind != PortKind::Usb) return self;
    auto text = [](const std::optional<std::string>& s) -> std::optional<std::string> {
        if (!s) return std::nullopt;
        return valid_utf8(*s);
    };
    f.vid = port.usb.vid;
    f.pid = port.usb.pid;
    f.serial_number = text(port.usb.serial_number);
    f.manufacturer = text(port.usb.manufacturer);
    f.product = text(port.usb.product);
    if (port.usb.location) f.location = valid_utf8(location_text(*port.usb.location));
    apply_usb_info(f);
    return self;
}

// ---- slots ----------------------------------------------------------------

PyObject* info_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::entry([&] {
        static const py::Signature sig{"ListPortInfo.__new__()", {{"device", true}, {"skip_link_detection"}}};
        py::Arguments a;
        py::parse(sig, args, kwargs, a);
        std::string device = converting("device", [&] { return to_text(a[0]); });
        // Accepted for compatibility; links are never followed.
        if (a.has(1)) converting("skip_link_detection", [&] { return to_bool(a[1]); });
        Ref self = new_info(type);
        init_fields(fields(self.get()), std::move(device));
        return self;
    });
}

template <auto Member>
PyObject* get_field(PyObject* self, void*) {
    return py::entry([&] { return to_py(read<Member>(self)); });
}

template <auto Member>
int set_field(PyObject* self, PyObject* value, void* closure) {
    return py::entry_status([&] {
        if (!value) {
            PyErr_SetString(PyExc_AttributeError, "property has no deleter");
            fail();
        }
        using T = std::remove_cvref_t<decltype(std::declval<Fields&>().*Member)>;
        // Converted before locking: __index__ may run Python code.
        T converted = converting(static_cast<const char*>(closure), [&] { return from_py<T>(value); });
        py::CriticalSection cs(self);
        fields(self).*Member = std::move(converted);
    });
}

template <auto Member>
constexpr PyGetSetDef field(const char* name) {
    return {name, get_field<Member>, set_field<Member>, nullptr, const_cast<char*>(name)};
}

PyGetSetDef info_getset[] = {
    field<&Fields::device>("device"),
    field<&Fields::name>("name"),
    field<&Fields::description>("description"),
    field<&Fields::hwid>("hwid"),
    field<&Fields::serial_number>("serial_number"),
    field<&Fields::location>("location"),
    field<&Fields::manufacturer>("manufacturer"),
    field<&Fields::product>("product"),
    field<&Fields::interface>("interface"),
    field<&Fields::vid>("vid"),
    field<&Fields::pid>("pid"),
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* info_usb_description(PyObject* self, PyObject*) {
    return py::entry([&] {
        std::string text;
        {
            py::CriticalSection cs(self);
            text = usb_description(fields(self));
        }
        return to_py(text);
    });
}

PyObject* info_usb_info(PyObject* self, PyObject*) {
    return py::entry([&] {
        std::string text;
        {
            py::CriticalSection cs(self);
            text = usb_info(fields(self));
        }
        return to_py(text);
    });
}

PyObject* info_apply_usb_info(PyObject* self, PyObject*) {
    return py::entry([&] {
        py::CriticalSection cs(self);
        apply_usb_info(fields(self));
        return Ref::borrow(Py_None);
    });
}

PyMethodDef info_methods[] = {
    {"usb_description", info_usb_description, METH_NOARGS, "usb_description($self)\n--\n\n"},
    {"usb_info", info_usb_info, METH_NOARGS, "usb_info($self)\n--\n\n"},
    {"apply_usb_info", info_apply_usb_info, METH_NOARGS, "apply_usb_info($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* info_str(PyObject* self) {
    return py::entry([&] {
        std::string text;
        {
            py::CriticalSection cs(self);
            text = fields(self).device + " - " + fields(self).description;
        }
        return to_py(text);
    });
}

Ref as_list(PyObject* self) {
    std::string device, description, hwid;
    {
        py::CriticalSection cs(self);
        device = fields(self).device;
        description = fields(self).description;
        hwid = fields(self).hwid;
    }
    Ref list = Ref::check(PyList_New(0));
    for (const std::string* s : {&device, &description, &hwid}) py::check(PyList_Append(list.get(), to_py(*s).get()));
    return list;
}

PyObject* info_iter(PyObject* self) {
    return py::entry([&] { return Ref::check(PyObject_GetIter(as_list(self).get())); });
}

PyObject* info_getitem(PyObject* self, PyObject* key) {
    return py::entry([&] {
        long index = converting("index", [&] { return to_long(key); });
        switch (index) {
            case 0: return to_py(read<&Fields::device>(self));
            case 1: return to_py(read<&Fields::description>(self));
            case 2: return to_py(read<&Fields::hwid>(self));
            default: PyErr_SetString(PyExc_IndexError, "list index out of range"); fail();
        }
    });
}

Py_hash_t info_hash(PyObject* self) {
    return py::guarded([&] { return device_hash(read<&Fields::device>(self)); }, Py_hash_t{-1});
}

PyObject* info_richcompare(PyObject* self, PyObject* other, int op) {
    return py::entry([&]() -> Ref {
        switch (op) {
            case Py_EQ:
                return to_py(is_info(other) && read<&Fields::device>(self) == read<&Fields::device>(other));
            case Py_NE: {
                // Through the full comparison, so a subclass's __eq__ counts.
                Ref eq = Ref::check(PyObject_RichCompare(self, other, Py_EQ));
                int truth = PyObject_IsTrue(eq.get());
                py::check(truth);
                return to_py(truth == 0);
            }
            case Py_LT: {
                if (!is_info(other)) {
                    Ref name = Ref::check(PyType_GetName(Py_TYPE(other)));
                    PyErr_Format(PyExc_TypeError, "unorderable types: ListPortInfo() and %U()", name.get());
                    fail();
                }
                return to_py(natural_key(read<&Fields::device>(self)) < natural_key(read<&Fields::device>(other)));
            }
            default: return Ref::borrow(Py_NotImplemented);
        }
    });
}

PyType_Slot info_slots[] = {
    {Py_tp_doc, const_cast<char*>("ListPortInfo(device, skip_link_detection=False)\n--\n\n"
                                  "Describes one serial port of the machine.")},
    {Py_tp_new, reinterpret_cast<void*>(info_new)},
    py::Collected<InfoObject>::dealloc_slot(),
    py::Collected<InfoObject>::traverse_slot(),
    py::Collected<InfoObject>::clear_slot(),
    {Py_tp_str, reinterpret_cast<void*>(info_str)},
    {Py_tp_iter, reinterpret_cast<void*>(info_iter)},
    {Py_mp_subscript, reinterpret_cast<void*>(info_getitem)},
    {Py_tp_hash, reinterpret_cast<void*>(info_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(info_richcompare)},
    {Py_tp_methods, info_methods},
    {Py_tp_getset, info_getset},
    {0, nullptr},
};

PyType_Spec info_spec = {
    "marovenda.tools.list_ports.ListPortInfo",
    static_cast<int>(sizeof(InfoObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT,
    info_slots,
};

py::OnceObject info_type_cell;

PyObject* info_type() {
    return info_type_cell.get([] { return Ref::check(PyType_FromSpec(&info_spec)); });
}

// ---- comports -------------------------------------------------------------

PyObject* comports(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&] {
        static const py::Signature sig{"comports()", {{"include_links"}}};
        py::Arguments a;
        py::parse(sig, args, nargs, kwnames, a);
        // Accepted for compatibility; links are never listed.
        if (a.has(0)) converting("include_links", [&] { return to_bool(a[0]); });
        Result<std::vector<PortRecord>> ports = [] {
            py::Detached detached;
            return enumerate_ports();
        }();
        Ref list = Ref::check(PyList_New(0));
        for (const PortRecord& port : unwrap(std::move(ports))) py::check(PyList_Append(list.get(), from_record(port).get()));
        return list;
    });
}

PyMethodDef comports_def = {"comports", py::as_cfunction(comports), METH_FASTCALL | METH_KEYWORDS,
                            "comports(include_links=False)\n--\n\n"};

}  // namespace

void add_to(PyObject* module) {
    py::add_to_module(module, "ListPortInfo", info_type());
    Ref function = py::new_function(&comports_def, module_name);
    py::add_named(module, function.get());
}

}  // namespace marovenda::list_ports

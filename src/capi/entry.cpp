#include "capi/entry.hpp"

#include "capi/call.hpp"
#include "capi/once.hpp"

#include <stdexcept>
#include <string>

namespace marovenda::py {

PyObject* panic_exception_type() noexcept {
    static OnceObject type;
    try {
        return type.get([] {
            return Ref::check(PyErr_NewException("pyo3_runtime.PanicException", PyExc_BaseException, nullptr));
        });
    } catch (...) {
        return nullptr;
    }
}

void set_error(PyObject* type, std::string_view message) noexcept {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), Py_ssize_t(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
}

void throw_error(PyObject* type, std::string_view message) {
    set_error(type, message);
    throw ErrorAlreadySet{};
}

void not_an_instance(PyObject* obj, const char* expected) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    } else {
        Ref name = Ref::check(PyType_GetQualName(Py_TYPE(obj)));
        PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
    }
    throw ErrorAlreadySet{};
}

Ref take_error() {
    Ref e = Ref::steal(PyErr_GetRaisedException());
    if (!e) throw ErrorAlreadySet{};
    return e;
}

void rethrow(Ref e) {
    PyErr_SetRaisedException(e.release());
    throw ErrorAlreadySet{};
}

void raise_panic(const char* message) noexcept {
    PyObject* t = panic_exception_type();
    if (!t) return;  // the interpreter's own error stays set
    PyErr_SetString(t, message);
}

void raise_current_as_panic() noexcept {
    try {
        throw;
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown C++ exception");
    }
}

}  // namespace marovenda::py

#include "capi/entry.hpp"

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

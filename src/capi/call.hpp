// Calling Python from C++ and being called by it: interned method names,
// vectorcall method calls, builtin function objects, the PyCFunction cast and
// the text-signature docstring prefix.
#pragma once

#include <Python.h>

#include "capi/once.hpp"
#include "capi/ref.hpp"

// A docstring that starts with its text signature.
#define SIG(text) text "\n--\n\n"

namespace marovenda::py {

// A method name, interned once: hot paths call several per operation.
struct Name {
    const char* text;
    OnceObject cell{};
    PyObject* get() {
        return cell.get([&] { return Ref::check(PyUnicode_InternFromString(text)); });
    }
};

// obj.name(*args).
template <class... A>
Ref call_method(PyObject* obj, Name& name, A*... args) {
    PyObject* argv[] = {obj, args...};
    return Ref::check(PyObject_VectorcallMethod(name.get(), argv, 1 + sizeof...(A), nullptr));
}

// The first positional argument of a vectorcall, or None without one.
inline PyObject* first_or_none(PyObject* const* args, Py_ssize_t nargs) {
    return PyVectorcall_NARGS(nargs) > 0 ? args[0] : Py_None;
}

// A METH_FASTCALL | METH_KEYWORDS (or any other) function for PyMethodDef.
template <class F>
PyCFunction as_cfunction(F* f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// The pending exception, taken out of the interpreter (ErrorAlreadySet when
// there is none).
Ref take_error();
// Sets e as the pending exception and throws ErrorAlreadySet.
[[noreturn]] void rethrow(Ref e);

}  // namespace marovenda::py

#include "capi/imports.hpp"

#include "capi/once.hpp"

namespace marovenda::py::imports {

Ref attr(const char* module, const char* name) {
    Ref m = Ref::check(PyImport_ImportModule(module));
    return Ref::check(PyObject_GetAttrString(m.get(), name));
}

namespace {

template <const char* Module, const char* Name>
PyObject* kept() {
    static OnceObject cell;
    return cell.get([] { return attr(Module, Name); });
}

constexpr char asyncio[] = "asyncio", contextvars[] = "contextvars";
constexpr char CancelledError[] = "CancelledError", InvalidStateError[] = "InvalidStateError";
constexpr char get_running_loop_name[] = "get_running_loop", running_loop_name[] = "_get_running_loop";
constexpr char copy_context_name[] = "copy_context";

}  // namespace

PyObject* cancelled_error() { return kept<asyncio, CancelledError>(); }
PyObject* invalid_state_error() { return kept<asyncio, InvalidStateError>(); }
PyObject* get_running_loop() { return kept<asyncio, get_running_loop_name>(); }
PyObject* running_loop() { return kept<asyncio, running_loop_name>(); }
PyObject* copy_context() { return kept<contextvars, copy_context_name>(); }

}  // namespace marovenda::py::imports

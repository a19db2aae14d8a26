// Filling module objects: every name added is appended to the module's __all__.
#pragma once

#include <Python.h>

#include "capi/ref.hpp"

namespace marovenda::py {

// Appends name to module.__all__ (made when missing; a TypeError when it is
// not a list), then sets the attribute.
void add_to_module(PyObject* module, const char* name, PyObject* value);
// Adds a function or class under its own __name__.
void add_named(PyObject* module, PyObject* value);
// A plain module object with a dotted name, declared as not needing the GIL.
Ref new_submodule(const char* dotted_name);
// Adds child to parent under name, then sets sys.modules[child.__name__].
void add_submodule(PyObject* parent, const char* name, PyObject* child);
// A builtin function object for def whose __module__ is module_name.
Ref new_function(PyMethodDef* def, const char* module_name, PyObject* self = nullptr);

}  // namespace marovenda::py

#include "capi/module.hpp"

#include "capi/entry.hpp"

namespace marovenda::py {

void add_to_module(PyObject* module, const char* name, PyObject* value) {
    PyObject* all_raw = nullptr;
    check(PyObject_GetOptionalAttrString(module, "__all__", &all_raw));
    Ref all = Ref::steal(all_raw);
    if (!all) {
        all = Ref::check(PyList_New(0));
        check(PyObject_SetAttrString(module, "__all__", all.get()));
    } else if (!PyList_Check(all.get())) {
        throw_error(PyExc_TypeError, "`__all__` must be a list");
    }
    Ref key = Ref::check(PyUnicode_FromString(name));
    check(PyList_Append(all.get(), key.get()));
    check(PyObject_SetAttr(module, key.get(), value));
}

void add_named(PyObject* module, PyObject* value) {
    Ref name = Ref::check(PyObject_GetAttrString(value, "__name__"));
    const char* s = PyUnicode_AsUTF8(name.get());
    if (!s) throw ErrorAlreadySet{};
    add_to_module(module, s, value);
}

Ref new_submodule(const char* dotted_name) {
    Ref m = Ref::check(PyModule_New(dotted_name));
    // PyModule_New sets __doc__ to None, which is what "no docstring" means.
#ifdef Py_GIL_DISABLED
    check(PyUnstable_Module_SetGIL(m.get(), Py_MOD_GIL_NOT_USED));
#endif
    return m;
}

void add_submodule(PyObject* parent, const char* name, PyObject* child) {
    add_to_module(parent, name, child);
    Ref sys = Ref::check(PyImport_ImportModule("sys"));
    Ref modules = Ref::check(PyObject_GetAttrString(sys.get(), "modules"));
    Ref key = Ref::check(PyObject_GetAttrString(child, "__name__"));
    check(PyObject_SetItem(modules.get(), key.get(), child));
}

Ref new_function(PyMethodDef* def, const char* module_name, PyObject* self) {
    Ref mod = Ref::check(PyUnicode_FromString(module_name));
    return Ref::check(PyCMethod_New(def, self, mod.get(), nullptr));
}

}  // namespace marovenda::py

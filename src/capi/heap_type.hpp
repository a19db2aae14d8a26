// The reference-counting ends of heap types made from a PyType_Spec with
// Py_TPFLAGS_HAVE_GC (and, optionally, Py_TPFLAGS_MANAGED_DICT).
#pragma once

#include <Python.h>

namespace marovenda::py {

// tp_dealloc: untracks the instance, lets destroy() end its C++ fields, then
// clears the managed __dict__, frees the memory and drops the instance's
// reference to its type (heap types own one per instance).
template <class Destroy>
void dealloc_gc_instance(PyObject* self, Destroy&& destroy) noexcept {
    PyObject_GC_UnTrack(self);
    destroy();
    PyTypeObject* type = Py_TYPE(self);
    if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) PyObject_ClearManagedDict(self);
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    Py_DECREF(type);
}

// tp_traverse for instances whose only references are their type and their
// managed __dict__.
inline int traverse_type_and_dict(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (PyType_HasFeature(Py_TYPE(self), Py_TPFLAGS_MANAGED_DICT)) return PyObject_VisitManagedDict(self, visit, arg);
    return 0;
}

// A METH_FASTCALL | METH_KEYWORDS (or any other) function for PyMethodDef.
template <class F>
PyCFunction as_cfunction(F* f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace marovenda::py

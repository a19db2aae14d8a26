// The reference-counting and cycle-collector ends of heap types made from a
// PyType_Spec with Py_TPFLAGS_HAVE_GC (and, optionally,
// Py_TPFLAGS_MANAGED_DICT).
#pragma once

#include <Python.h>

#include "capi/call.hpp"
#include "capi/ref.hpp"

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

// What a traverse hands each owned reference to; a non-zero result ends the
// traverse and is returned from it.
class Visit {
public:
    Visit(visitproc visit, void* arg) noexcept : visit_(visit), arg_(arg) {}
    int operator()(PyObject* o) const { return o ? visit_(o, arg_) : 0; }
    int operator()(const Ref& r) const { return (*this)(r.get()); }

private:
    visitproc visit_;
    void* arg_;
};

// The three slots of a collected type whose instance struct Object starts
// with PyObject_HEAD and provides:
//   int traverse(const Visit&) const  each reference it owns, once;
//   void clear() noexcept             drops them (released outside its locks);
//   void destroy() noexcept           ends the C++ fields its constructor placed.
// The type and the managed __dict__ are handled here.
template <class Object>
struct Collected {
    static Object& of(PyObject* self) noexcept { return *reinterpret_cast<Object*>(self); }

    static int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
        if (int r = traverse_type_and_dict(self, visit, arg)) return r;
        return of(self).traverse(Visit(visit, arg));
    }
    static int clear(PyObject* self) noexcept {
        of(self).clear();
        if (PyType_HasFeature(Py_TYPE(self), Py_TPFLAGS_MANAGED_DICT)) PyObject_ClearManagedDict(self);
        return 0;
    }
    static void dealloc(PyObject* self) noexcept {
        dealloc_gc_instance(self, [&] { of(self).destroy(); });
    }

    static PyType_Slot traverse_slot() noexcept { return {Py_tp_traverse, reinterpret_cast<void*>(&traverse)}; }
    static PyType_Slot clear_slot() noexcept { return {Py_tp_clear, reinterpret_cast<void*>(&clear)}; }
    static PyType_Slot dealloc_slot() noexcept { return {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)}; }
};

}  // namespace marovenda::py

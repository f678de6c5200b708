// The only place where the layer reaches below CPython's public C API.
//
// Each wrapper names what it does, says why the public API is not enough
// on the Pythons we build for, and what takes its place later.  Module code
// calls these wrappers, never the private functions themselves.
#pragma once

#include <algorithm>
#include <vector>

#include "ref.hpp"

namespace orvex::capi::cpython {

// The attribute `name` as found on `type`'s MRO (class dicts only, no
// descriptor called), borrowed, or NULL; sets no exception.  The public
// alternative, PyObject_GetAttr on the type, runs descriptors and metaclass
// lookups.  3.14 adds PyType_Lookup (new reference).
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
    return _PyType_Lookup(type, name);
}

// obj.name as a method call finds it: a function on the type that the
// instance does not shadow comes back unbound (`unbound` true, no bound
// method made).  No public equivalent exists; on 3.13 the private one is no
// longer exported, so there it is getattr (always bound).
inline Ref get_method(PyObject* obj, PyObject* name, bool& unbound) {
#if PY_VERSION_HEX < 0x030D0000
    PyObject* found = nullptr;
    unbound = _PyObject_GetMethod(obj, name, &found) != 0;
    if (found == nullptr) throw PyError{};
    return Ref::steal(found);
#else
    unbound = false;
    return own(PyObject_GetAttr(obj, name));
#endif
}

// getattr(obj, name) where a missing attribute is no error: 1 found, 0
// missing (no exception), -1 error.  Public from 3.13 as
// PyObject_GetOptionalAttr.
inline int lookup_attr(PyObject* obj, PyObject* name, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    return _PyObject_LookupAttr(obj, name, result);
#endif
}

// The generic attribute lookup with AttributeError suppressed (NULL without
// an exception when nothing is found): what a __getattr__ fallback needs to
// avoid raising and clearing an AttributeError per missing name.  No public
// equivalent up to 3.14.
inline PyObject* generic_getattr_optional(PyObject* obj, PyObject* name) {
    return _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
}

// The instance __dict__ of `obj` if it has one already made (borrowed), or
// NULL; never creates one.  PyObject_GenericGetDict would materialise the
// dict of a managed-dict object.  3.13 adds PyObject_VisitManagedDict and
// friends, but no public "peek at the dict".
inline PyObject* instance_dict(PyObject* obj) {
    PyObject** slot = _PyObject_GetDictPtr(obj);
    return slot ? *slot : nullptr;
}

// Whether instances of `type` may keep their attributes inside the object,
// outside any dict, so that instance_dict() would have to make one.  On
// 3.12 an instance of a plain Python class does so until its __dict__ is
// asked for, and the dict made then is one the interpreter's attribute
// specialisation gives up on: every later `obj.attr` in Python code takes
// the slow path (an interpreter object's `tk`, read by its users all the
// time).  Such objects are read through getattr and get_method instead.
// 3.13 reads made dicts as fast: there this is always false.
inline bool keeps_attributes_inline(PyTypeObject* type) {
#if PY_VERSION_HEX < 0x030D0000
    return PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT);
#else
    (void)type;
    return false;
#endif
}

// The type's short name (tp_name after the last dot), borrowed C text, for
// error messages.  PyType_GetName returns a new str object instead.
inline const char* type_name(PyTypeObject* type) { return _PyType_Name(type); }

// Tie a class made by calling its metaclass (a class statement's way) to
// the module that made it, as make_type ties the types it
// makes: PyType_GetModule, PyType_GetModuleState and PyType_GetModuleByDef
// then work for it, and its methods and slots find the module state.
// PyType_FromMetaclass cannot make these classes (it refuses metaclasses
// with their own tp_new, such as ABCMeta).  The field is the one that
// function fills; the type's dealloc releases it and its traverse visits it.
inline void bind_type_to_module(PyObject* cls, PyObject* module) {
    if (!PyType_Check(cls) || !PyType_HasFeature(reinterpret_cast<PyTypeObject*>(cls), Py_TPFLAGS_HEAPTYPE))
        raise(PyExc_TypeError, "only a heap type can be bound to a module");
    auto* heap = reinterpret_cast<PyHeapTypeObject*>(cls);
    PyObject* old = heap->ht_module;
    heap->ht_module = Py_NewRef(module);
    Py_XDECREF(old);
}

// CPython 3.12 numbers the versions of mutable heap types per interpreter,
// and its method cache trusts (version, name) alone.  A single-phase
// extension module (_tkinter) shares its types between interpreters, each
// with the version it got in the interpreter that first looked it up; a
// class made in another interpreter can get the same number there, and then
// finds the shared type's attribute of the same name (tkapp's `eval` for a
// namespace's `eval`).  So, in a subinterpreter, the classes a module has
// just made are renumbered until none shares a number with those types.
// 3.13 numbers all heap types from one counter: nothing to do there.
inline void keep_versions_apart_from_shared_types(PyObject* module) {
#if PY_VERSION_HEX < 0x030D0000
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return;
    PyObject* shared_module = PyImport_GetModule(Ref(own(PyUnicode_FromString("_tkinter"))));
    if (shared_module == nullptr) {
        if (PyErr_Occurred()) throw PyError{};
        return;
    }
    Ref shared = Ref::steal(shared_module);
    std::vector<unsigned int> taken;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    PyObject* shared_dict = PyModule_GetDict(shared);
    while (PyDict_Next(shared_dict, &pos, &key, &value))
        if (PyType_Check(value) && reinterpret_cast<PyTypeObject*>(value)->tp_version_tag != 0)
            taken.push_back(reinterpret_cast<PyTypeObject*>(value)->tp_version_tag);
    if (taken.empty()) return;
    auto renumber = [&](PyObject* cls) {
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) || PyType_GetModule(type) != module) {
            PyErr_Clear();
            return;
        }
        for (int tries = 0; tries < 64; ++tries) {
            if (!PyUnstable_Type_AssignVersionTag(type)) return;
            if (std::find(taken.begin(), taken.end(), type->tp_version_tag) == taken.end()) return;
            PyType_Modified(type);
        }
    };
    // The module's classes and the classes nested in them (a class's views).
    pos = 0;
    while (PyDict_Next(PyModule_GetDict(module), &pos, &key, &value)) {
        if (!PyType_Check(value)) continue;
        renumber(value);
        PyObject *inner_key, *inner;
        Py_ssize_t inner_pos = 0;
        PyObject* type_dict = reinterpret_cast<PyTypeObject*>(value)->tp_dict;
        while (type_dict && PyDict_Next(type_dict, &inner_pos, &inner_key, &inner))
            if (PyType_Check(inner)) renumber(inner);
    }
#else
    (void)module;
#endif
}

}  // namespace orvex::capi::cpython

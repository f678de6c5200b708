// Lookups remembered while a type is unchanged: one mechanism.
//
// CPython gives a type a version tag and replaces it whenever an attribute
// of the type or of one of its bases is set or deleted; a tag is never
// handed out twice.  So an answer worked out from a type's attributes (the
// method `name` finds, "there is no attribute `name`", "this is still the
// class we built") stays right while the type and its tag are the ones it
// was worked out for: one comparison on the hot path.
//
// A `TypeCache` is one such remembered answer; it lives in the module state
// (traverse and clear it with the state).  The helpers below are its uses:
//
//     Ref v = cached_method_call(st.getvar_cache, st.names[n_getvar], app, name);
//     Ref a = instance_attr(st.tk_cache, st.names[n_tk], interp);
//     if (own_method_found(st.call_cache, st.names[n_call], st.original_call, self)) ...
//     st.built.remember(cls); ... if (st.built.unchanged(Py_TYPE(obj))) ...
#pragma once

#include "cpython.hpp"
#include "names.hpp"

#include <array>

namespace orvex::capi {

class TypeCache {
public:
    // True when the answer remembered is for `type` as it is now.
    bool hit(PyTypeObject* type) const {
        return type == type_ && tag_ != 0 && type->tp_version_tag == tag_;
    }
    // The remembered value (borrowed); may be empty when the answer is "no".
    PyObject* value() const { return value_.get(); }

    // Remember `value` as the answer for `type` as it is now.  Nothing is
    // remembered when CPython cannot give the type a tag (then every call
    // takes the general path).
    void store(PyTypeObject* type, Ref value = Ref()) {
        if (!PyUnstable_Type_AssignVersionTag(type)) {
            forget();
            return;
        }
        value_ = std::move(value);
        type_ = type;
        tag_ = type->tp_version_tag;
    }
    void forget() {
        value_ = Ref();
        type_ = nullptr;
        tag_ = 0;
    }

    // "This is still the class we built": remember(cls) once, after the
    // class is made; unchanged(type) is true for exactly that class while
    // nothing in it or its bases has been set or deleted.
    void remember(PyObject* cls) { store(reinterpret_cast<PyTypeObject*>(cls)); }
    bool unchanged(PyTypeObject* type) const { return hit(type); }

    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(value_.get());
        return 0;
    }
    void clear() { forget(); }

private:
    Ref value_;                     // owned (a method descriptor keeps its type alive)
    PyTypeObject* type_ = nullptr;  // compared only, with its tag
    unsigned int tag_ = 0;
};

// obj.name(*args), the method descriptor found once per type version.
//
// When the type uses the generic attribute lookup and its instances have no
// __dict__, what obj.name finds depends on the type alone, so the method
// descriptor found there is called directly while the tag holds (what the
// interpreter's own LOAD_ATTR_METHOD_NO_DICT does).  Every other object
// takes PyObject_VectorcallMethod.
inline PyObject* cached_method_for(TypeCache& cache, PyObject* name, PyTypeObject* type) {
    if (cache.hit(type)) return cache.value();
    if (type->tp_getattro != PyObject_GenericGetAttr) return nullptr;
    if (type->tp_dictoffset != 0 || PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) return nullptr;
    PyObject* found = cpython::type_lookup(type, name);
    if (found == nullptr || !PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR))
        return nullptr;
    cache.store(type, Ref::borrow(found));
    return cache.hit(type) ? cache.value() : nullptr;
}

// args[0] is obj, then nargs - 1 arguments.
inline Ref cached_method_call_vector(TypeCache& cache, PyObject* name, PyObject* const* args,
                                     size_t nargs) {
    // Held for the call: the call may run code that replaces the cache.
    if (Ref method = Ref::borrow(cached_method_for(cache, name, Py_TYPE(args[0]))))
        return own(PyObject_Vectorcall(method, args, nargs, nullptr));
    return own(PyObject_VectorcallMethod(name, args, nargs, nullptr));
}

template <typename... A>
Ref cached_method_call(TypeCache& cache, PyObject* name, PyObject* obj, A... args) {
    std::array<PyObject*, sizeof...(A) + 1> argv{obj, static_cast<PyObject*>(args)...};
    return cached_method_call_vector(cache, name, argv.data(), argv.size());
}

// The field a __slots__ entry names, when `found` (what the type's MRO
// gives for the name) is such an entry: a member descriptor holding an
// object.  Its offset is valid for every instance of a type whose MRO
// finds it.  Others (plain data members, audited reads, offsets still
// relative to a base's layout) give NULL.
inline PyMemberDef* object_slot(PyObject* found) {
    if (found == nullptr || !Py_IS_TYPE(found, &PyMemberDescr_Type)) return nullptr;
    PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(found)->d_member;
    if (member->type != Py_T_OBJECT_EX || (member->flags & (Py_AUDIT_READ | Py_RELATIVE_OFFSET)))
        return nullptr;
    return member;
}

// obj.name for an instance attribute, read the way the interpreter's own
// LOAD_ATTR specialisations read it, while the type's tag holds:
//
//  - a __slots__ entry of the class (a member descriptor) is a data
//    descriptor, so nothing in an instance dict can shadow it: the field
//    is read at its offset;
//  - a name the type has no attribute for at all, on a type with instance
//    dicts, is read from the instance's __dict__ (not where the object
//    keeps its attributes outside a dict: cpython::keeps_attributes_inline).
//
// An empty field, a missing entry and every other case take the ordinary
// path, PyObject_GetAttr, which also gives the errors.
inline Ref instance_attr(TypeCache& cache, PyObject* name, PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (!cache.hit(type)) {
        if (type->tp_getattro != PyObject_GenericGetAttr) return own(PyObject_GetAttr(obj, name));
        PyObject* found = cpython::type_lookup(type, name);
        if (object_slot(found)) {
            cache.store(type, Ref::borrow(found));
        } else if (found == nullptr && !cpython::keeps_attributes_inline(type) &&
                   (type->tp_dictoffset != 0 || PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT))) {
            cache.store(type);
        }
        if (!cache.hit(type)) return own(PyObject_GetAttr(obj, name));
    }
    if (PyObject* slot = cache.value()) {
        Py_ssize_t offset = reinterpret_cast<PyMemberDescrObject*>(slot)->d_member->offset;
        if (PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset))
            return Ref::borrow(value);
    } else if (PyObject* dict = cpython::instance_dict(obj)) {
        if (PyObject* value = PyDict_GetItemWithError(dict, name)) return Ref::borrow(value);
        if (PyErr_Occurred()) throw PyError{};
    }
    return own(PyObject_GetAttr(obj, name));
}

// True when obj.name finds `original` (the raw class-dict entry: a method
// descriptor, a function, a staticmethod object) from the class: the type
// looks attributes up the generic way, finds `original` on its MRO, and the
// instance __dict__ does not shadow it.  Lets C++ code call the original
// directly while neither a subclass nor the instance replaced it.
//
// An object that may keep its attributes outside a dict
// (cpython::keeps_attributes_inline) is asked with one method lookup
// instead, which answers both questions without making its __dict__: a
// method found unbound came from the class.  There a staticmethod, which
// such a lookup hands back unwrapped, never counts as found (the caller
// takes its general path).
inline bool own_method_found(TypeCache& cache, PyObject* name, PyObject* original, PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (cpython::keeps_attributes_inline(type)) {
        bool unbound = false;
        Ref found = cpython::get_method(obj, name, unbound);
        return unbound && found.get() == original;
    }
    if (!cache.hit(type)) {
        if (original == nullptr || type->tp_getattro != PyObject_GenericGetAttr ||
            cpython::type_lookup(type, name) != original)
            return false;
        cache.store(type);
    }
    PyObject* dict = cpython::instance_dict(obj);
    if (dict == nullptr || PyDict_GET_SIZE(dict) == 0) return true;
    return check(PyDict_Contains(dict, name)) == 0;
}

}  // namespace orvex::capi

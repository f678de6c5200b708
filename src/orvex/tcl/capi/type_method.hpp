// obj.name(*args) with the method lookup done once per class version.
//
// PyObject_VectorcallMethod looks `name` up on every call.  When the
// object's type uses the generic attribute lookup and its instances have no
// __dict__, what obj.name finds depends on the type alone, so the method
// descriptor found there can be remembered with the type's version tag
// (which CPython replaces whenever an attribute of the type or of a base is
// set or deleted, and never hands out twice) and called directly while the
// tag holds: what the interpreter's own LOAD_ATTR_METHOD_NO_DICT does.
// Every other object takes the ordinary path.
//
//     static TypeMethod app_getvar{"getvar"};
//     Ref value = app_getvar.call(app, name);
#pragma once

#include "names.hpp"

#include <array>

namespace orvex::capi {

class TypeMethod {
public:
    explicit constexpr TypeMethod(const char* name) noexcept : name_(name) {}
    TypeMethod(const TypeMethod&) = delete;
    TypeMethod& operator=(const TypeMethod&) = delete;

    template <typename... A>
    Ref call(PyObject* obj, A... args) {
        std::array<PyObject*, sizeof...(A) + 1> argv{obj, static_cast<PyObject*>(args)...};
        // Held for the call: the call may run code that replaces the cache.
        if (Ref method = Ref::borrow(method_for(Py_TYPE(obj))))
            return own(PyObject_Vectorcall(method, argv.data(), argv.size(), nullptr));
        return own(PyObject_VectorcallMethod(name_, argv.data(),
                                             argv.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }

    // The same with the arguments in an array: args[0] is obj, then the
    // `nargs - 1` arguments.
    Ref call_vector(PyObject* const* args, size_t nargs) {
        if (Ref method = Ref::borrow(method_for(Py_TYPE(args[0]))))
            return own(PyObject_Vectorcall(method, args, nargs, nullptr));
        return own(PyObject_VectorcallMethod(name_, args, nargs, nullptr));
    }

private:
    // The method descriptor that `name` finds on instances of `type`, or
    // NULL when the answer could depend on the instance.
    // The check of the remembered answer stays small enough to be inlined
    // into the call; the lookup is apart.
    PyObject* method_for(PyTypeObject* type) {
        if (type == type_ && tag_ != 0 && type->tp_version_tag == tag_) return method_;
        return look_up(type);
    }

    PyObject* look_up(PyTypeObject* type) {
        if (type->tp_getattro != PyObject_GenericGetAttr) return nullptr;
        if (type->tp_dictoffset != 0 || PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT))
            return nullptr;
        PyObject* found = cpython::type_lookup(type, name_);
        if (found == nullptr || !PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR))
            return nullptr;
        if (!PyUnstable_Type_AssignVersionTag(type)) return nullptr;
        // Kept until replaced, never released: the process-long cache must not
        // touch Python objects from a destructor after Python has finalised.
        PyObject* previous = method_;
        method_ = Py_NewRef(found);
        Py_XDECREF(previous);
        type_ = type;
        tag_ = type->tp_version_tag;
        return method_;
    }

    Name name_;
    PyObject* method_ = nullptr;    // owned (the descriptor also keeps type_ alive)
    PyTypeObject* type_ = nullptr;
    unsigned int tag_ = 0;
};

// obj.name for an attribute kept in the instance's __dict__, with the class
// side of the lookup done once per class version.
//
// The generic attribute lookup first searches the object's type (and its
// bases) for `name`, since a data descriptor there would win over the
// instance's __dict__.  When the type uses that generic lookup and has no
// attribute `name` at all, obj.name is the __dict__ entry, so that is read
// directly while the type's version tag (see TypeMethod) holds.  A missing
// entry, and every other object, takes the ordinary path.
//
//     static InstanceAttr tk{"tk"};
//     Ref app = tk.get(interp);
class InstanceAttr {
public:
    explicit constexpr InstanceAttr(const char* name) noexcept : name_(name) {}
    InstanceAttr(const InstanceAttr&) = delete;
    InstanceAttr& operator=(const InstanceAttr&) = delete;

    Ref get(PyObject* obj) {
        if (dict_only(Py_TYPE(obj))) {
            Ref dict = own(PyObject_GenericGetDict(obj, nullptr));
            PyObject* value = PyDict_GetItemWithError(dict, name_);
            if (value != nullptr) return Ref::borrow(value);
            if (PyErr_Occurred()) throw PyError{};
        }
        return own(PyObject_GetAttr(obj, name_));
    }

private:
    // Whether obj.name can only come from the __dict__ of an instance of
    // `type`.
    bool dict_only(PyTypeObject* type) {
        if (type == type_ && tag_ != 0 && type->tp_version_tag == tag_) return true;
        if (type->tp_getattro != PyObject_GenericGetAttr) return false;
        if (type->tp_dictoffset == 0 && !PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT))
            return false;
        if (cpython::type_lookup(type, name_) != nullptr) return false;
        if (!PyUnstable_Type_AssignVersionTag(type)) return false;
        type_ = type;  // compared only, with its tag (never handed out twice)
        tag_ = type->tp_version_tag;
        return true;
    }

    Name name_;
    PyTypeObject* type_ = nullptr;
    unsigned int tag_ = 0;
};

}  // namespace orvex::capi

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
        PyObject* found = _PyType_Lookup(type, name_);
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

}  // namespace orvex::capi

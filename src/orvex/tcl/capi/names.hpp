// The everyday object operations: attributes, calls, conversions, imports.
//
// Names are interned strs kept in the module state (module.hpp's Names):
// lookups and method calls through an interned name hit the type's
// attribute cache and the dict's pointer-compare fast path.
//
//     call_method(history, st.names[n_append], words);
#pragma once

#include "cpython.hpp"

#include <array>
#include <cstring>
#include <initializer_list>

namespace orvex::capi {

// --- attribute access ----------------------------------------------------

inline Ref getattr(PyObject* obj, PyObject* name) { return own(PyObject_GetAttr(obj, name)); }

// getattr(obj, name, None) where only AttributeError means "absent": the
// result is empty when the attribute is missing; any other error propagates.
inline Ref getattr_optional(PyObject* obj, PyObject* name) {
    PyObject* result = nullptr;
    if (cpython::lookup_attr(obj, name, &result) < 0) throw PyError{};
    return Ref::steal(result);
}

inline void setattr(PyObject* obj, PyObject* name, PyObject* value) {
    check(PyObject_SetAttr(obj, name, value));
}

inline bool hasattr(PyObject* obj, PyObject* name) { return bool(getattr_optional(obj, name)); }

// --- calls -------------------------------------------------------------------

// callable(*args) through vectorcall, no tuple made.
template <typename... A>
Ref call(PyObject* callable, A... args) {
    std::array<PyObject*, sizeof...(A) + 1> argv{nullptr, static_cast<PyObject*>(args)...};
    return own(PyObject_Vectorcall(callable, argv.data() + 1,
                                   sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name found as a method call finds it, for code that looks at the
// method before calling it: a function on the type that the instance does
// not shadow comes back unbound (no bound method is made), to be called with
// obj first; anything else comes back as getattr(obj, name) gives it.
// (Python 3.13 keeps the unbinding lookup internal: there it is getattr.)
struct MethodLookup {
    Ref callable;
    bool unbound = false;  // callable still needs obj as its first argument

    // The function behind the method: the unbound one, or a bound method's
    // __func__; NULL for any other callable.
    PyObject* function() const {
        if (unbound) return callable.get();
        return PyMethod_Check(callable.get()) ? PyMethod_GET_FUNCTION(callable.get()) : nullptr;
    }
};

inline MethodLookup lookup_method(PyObject* obj, PyObject* name) {
    bool unbound = false;
    Ref found = cpython::get_method(obj, name, unbound);
    return {std::move(found), unbound};
}

// obj.name(*args) through PyObject_VectorcallMethod (no bound method made).
template <typename... A>
Ref call_method(PyObject* obj, PyObject* name, A... args) {
    std::array<PyObject*, sizeof...(A) + 1> argv{obj, static_cast<PyObject*>(args)...};
    return own(PyObject_VectorcallMethod(name, argv.data(),
                                         (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         nullptr));
}

// callable(*args) from a run of objects, with an optional tuple of keyword
// names for the last entries (the vectorcall convention).
inline Ref call_vector(PyObject* callable, PyObject* const* args, size_t nargs,
                       PyObject* kwnames = nullptr) {
    return own(PyObject_Vectorcall(callable, args, nargs, kwnames));
}

// callable(*args_tuple, **kwargs_dict)
inline Ref call_tuple(PyObject* callable, PyObject* args, PyObject* kwargs = nullptr) {
    return own(PyObject_Call(callable, args, kwargs));
}

// types.MethodType(function, self): the bound-method object that a
// function-like descriptor's __get__ returns.
inline Ref bound_method(PyObject* function, PyObject* self) {
    return own(PyMethod_New(function, self));
}

// --- small conversions ------------------------------------------------------

inline Ref str(PyObject* obj) {
    if (PyUnicode_CheckExact(obj)) return Ref::borrow(obj);
    return own(PyObject_Str(obj));
}
inline Ref repr(PyObject* obj) { return own(PyObject_Repr(obj)); }
inline Ref text(const char* utf8) { return own(PyUnicode_FromString(utf8)); }
inline Ref integer(long long value) { return own(PyLong_FromLongLong(value)); }
inline bool truthy(PyObject* obj) {
    if (obj == Py_None || obj == Py_False) return false;  // the everyday flags, without a call
    if (obj == Py_True) return true;
    return check(PyObject_IsTrue(obj)) != 0;
}
inline bool isinstance(PyObject* obj, PyObject* cls) {
    return check(PyObject_IsInstance(obj, cls)) != 0;
}

// Tcl reads names (of variables, commands, namespaces, options) as C
// strings: a name holding NUL would be cut short there and reach another
// object.  Such a name raises ValueError before it is sent.
inline void refuse_nul(PyObject* name) {
    if (!PyUnicode_Check(name)) return;
    if (PyUnicode_KIND(name) == PyUnicode_1BYTE_KIND) {  // most names: one memchr
        if (std::memchr(PyUnicode_DATA(name), 0, size_t(PyUnicode_GET_LENGTH(name))) == nullptr)
            return;
        raise(PyExc_ValueError, "embedded null character in Tcl name");
    }
    Py_ssize_t at = PyUnicode_FindChar(name, 0, 0, PyUnicode_GET_LENGTH(name), 1);
    if (at == -2) throw PyError{};
    if (at >= 0) raise(PyExc_ValueError, "embedded null character in Tcl name");
}

// Build a tuple from references (each is added with a new reference).
inline Ref tuple_of(std::initializer_list<PyObject*> items) {
    Ref result = own(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(result.get(), i++, Py_NewRef(item));
    return result;
}

// --- with blocks ------------------------------------------------------------

// with manager as entered: body(entered)
// The body is a callable taking the entered object and returning a Ref.
// __exit__ gets the exception that leaves the body (and may suppress it, in
// which case the result is empty) or three Nones; an error raised by
// __exit__ itself replaces the body's, with the body's as its context.
template <typename Body>
Ref with_block(PyObject* manager, Body body) {
    Ref exit = own(PyObject_GetAttrString(manager, "__exit__"));
    Ref entered = own(PyObject_CallMethod(manager, "__enter__", nullptr));
    Ref result;
    try {
        result = body(entered.get());
    } catch (const PyError&) {
        Ref error = fetch_error();
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(error.get()));
        Ref traceback = Ref::steal(PyException_GetTraceback(error));
        Ref suppress;
        try {
            suppress = call(exit, type, error.get(), traceback ? traceback.get() : Py_None);
        } catch (const PyError&) {
            Ref exit_error = fetch_error();
            if (exit_error.get() != error.get()) PyException_SetContext(exit_error, error.release());
            restore_error(std::move(exit_error));
        }
        if (!truthy(suppress)) restore_error(std::move(error));
        return Ref();
    }
    call(exit, Py_None, Py_None, Py_None);
    return result;
}

// super(cls, self), as a class body's super() makes it.
inline Ref super_of(PyObject* cls, PyObject* self) {
    return call(reinterpret_cast<PyObject*>(&PySuper_Type), cls, self);
}

// --- imports ------------------------------------------------------------------

inline Ref import(const char* module) { return own(PyImport_ImportModule(module)); }

// import module (an interned str), taken straight from sys.modules when it
// is there and fully initialised (what a repeated `import a.b` statement
// costs in Python); else imported as usual.
inline Ref import_loaded(PyObject* module) {
    Ref loaded = Ref::steal(PyImport_GetModule(module));
    if (loaded) return loaded;
    if (PyErr_Occurred()) throw PyError{};
    return own(PyImport_Import(module));
}

// `from module import name`
inline Ref import_from(const char* module, const char* name) {
    Ref mod = import(module);
    return own(PyObject_GetAttrString(mod, name));
}

}  // namespace orvex::capi

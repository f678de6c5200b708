// Module-level functions that carry attributes, as Python functions do.
//
// A builtin function (make_function) has no __dict__, so `f.extra = value`
// fails on it.  When a function must carry attributes of its own (say
// `convert.from_mapping`), make it with make_dict_function instead: the
// object is called through vectorcall exactly like a builtin function (same
// trampoline, same argument binding), and keeps __name__, __qualname__,
// __module__ and __doc__ as ordinary, writable attributes in its __dict__,
// next to whatever else is set on it.  Like a builtin it does not bind as a
// method when stored on a class, and it pickles by reference (module and
// qualified name), as module-level functions do.  Given a text signature
// ("(obj, /)"), inspect.signature() and help() show the parameters, as they
// do for builtins.
#pragma once

#include "function.hpp"
#include "module.hpp"

#include <string>

#include <cstddef>

namespace orvex::capi {

namespace detail {

struct DictFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyMethodDef* def;
    PyObject* self;  // what the body receives as `self` (the module)
    PyObject* dict;
    PyObject* weakrefs;
};

inline PyObject* dict_function_call(PyObject* callable, PyObject* const* args, size_t nargsf,
                                    PyObject* kwnames) {
    auto* function = reinterpret_cast<DictFunction*>(callable);
    using FastWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
    auto body = reinterpret_cast<FastWithKeywords>(
        reinterpret_cast<void (*)()>(function->def->ml_meth));
    return body(function->self, args, Py_ssize_t(nargsf), kwnames);
}

inline int dict_function_traverse(PyObject* obj, visitproc visit, void* arg) {
    auto* function = reinterpret_cast<DictFunction*>(obj);
    Py_VISIT(function->self);
    Py_VISIT(function->dict);
    return 0;
}

inline int dict_function_clear(PyObject* obj) {
    auto* function = reinterpret_cast<DictFunction*>(obj);
    Py_CLEAR(function->self);
    Py_CLEAR(function->dict);
    return 0;
}

inline void dict_function_dealloc(PyObject* obj) {
    PyObject_GC_UnTrack(obj);
    auto* function = reinterpret_cast<DictFunction*>(obj);
    if (function->weakrefs) PyObject_ClearWeakRefs(obj);
    dict_function_clear(obj);
    PyObject_GC_Del(obj);
}

inline PyObject* dict_function_repr(PyObject* obj) {
    auto* function = reinterpret_cast<DictFunction*>(obj);
    return PyUnicode_FromFormat("<built-in function %s>", function->def->ml_name);
}

// Looked up on a class or an instance, the function stays itself (as a
// builtin does); having __get__ also makes inspect treat it as a routine.
inline PyObject* dict_function_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

// Pickled by reference: the qualified name, looked up in __module__.
inline PyObject* dict_function_reduce(PyObject* obj, PyObject*) {
    return PyObject_GetAttrString(obj, "__qualname__");
}

inline PyMethodDef dict_function_methods[] = {
    {"__reduce__", dict_function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

inline PyGetSetDef dict_function_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The type is a heap type of one module (one per module state): its
// instances keep the type alive, as heap types require.
inline void dict_function_heap_dealloc(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    dict_function_dealloc(obj);
    Py_DECREF(type);
}

inline int dict_function_heap_traverse(PyObject* obj, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(obj));
    return dict_function_traverse(obj, visit, arg);
}

inline PyMemberDef dict_function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(DictFunction, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(DictFunction, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(DictFunction, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyType_Slot dict_function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&dict_function_heap_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&dict_function_heap_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&dict_function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(&dict_function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(&PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(&dict_function_get)},
    {Py_tp_methods, dict_function_methods},
    {Py_tp_getset, dict_function_getset},
    {Py_tp_members, dict_function_members},
    {Py_tp_doc, const_cast<char*>("A module-level function that carries attributes.")},
    {0, nullptr},
};

inline TypeDef dict_function_type_def{
    "orvex.tcl.function",
    int(sizeof(DictFunction)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    dict_function_slots,
};

inline Ref new_dict_function(PyTypeObject* type, PyObject* module, PyMethodDef* def,
                             const char* name, const char* doc, const std::string& signature) {
    Ref module_name = own(PyObject_GetAttrString(module, "__name__"));
    Ref dict = own(PyDict_New());
    Ref name_text = own(PyUnicode_FromString(name));
    check(PyDict_SetItemString(dict, "__name__", name_text));
    check(PyDict_SetItemString(dict, "__qualname__", name_text));
    check(PyDict_SetItemString(dict, "__module__", module_name));
    Ref doc_text = doc ? own(PyUnicode_FromString(doc)) : Ref::borrow(Py_None);
    check(PyDict_SetItemString(dict, "__doc__", doc_text));
    Ref signature_text = own(PyUnicode_FromString(signature.c_str()));
    check(PyDict_SetItemString(dict, "__text_signature__", signature_text));

    auto* function = PyObject_GC_New(DictFunction, type);
    if (function == nullptr) throw PyError{};
    function->vectorcall = dict_function_call;
    function->def = def;
    function->self = Py_NewRef(module);
    function->dict = dict.release();
    function->weakrefs = nullptr;
    PyObject_GC_Track(function);
    return Ref::steal(reinterpret_cast<PyObject*>(function));
}

}  // namespace detail

// The class of a module's functions that carry attributes: made once per
// module (keep it in the state) and handed to make_dict_function below.
inline Ref make_dict_function_type(PyObject* module) {
    return make_type(module, detail::dict_function_type_def);
}

// def name(...) at module level, as an object that takes attributes, with a
// body that gets the module state; its __text_signature__ comes from the
// signature.
template <Signature& S, auto F>
    requires StateBody<decltype(F)>
Ref make_dict_function(PyObject* type, PyObject* module, const char* doc = nullptr) {
    S.set_is_method(false);
    PyMethodDef* def = function_def<S, F>(S.name().c_str(), nullptr);
    return detail::new_dict_function(reinterpret_cast<PyTypeObject*>(type), module, def,
                                     S.name().c_str(), doc, S.text_signature(""));
}

}  // namespace orvex::capi

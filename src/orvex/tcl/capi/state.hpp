// Reaching a module's state from the functions and methods CPython calls.
//
// The state is a C++ struct living in the memory CPython allocates with the
// module (module.hpp makes the module).  A body that needs it is written
//
//     Ref body(State& st, PyObject* self, const Args& args);
//
// and the trampolines below hand it the state: a module-level function (or
// static method) gets the module as `self` and the state with
// PyModule_GetState; a method finds it from its instance's class
// (PyType_GetModuleByDef, whose first look, at the class itself, answers
// for instances of our own classes).
//
// Methods are plain METH_FASTCALL | METH_KEYWORDS, not METH_METHOD, although
// that would bring the defining class with every call: the interpreter
// specialises calls to the plain kind (the C function is called straight
// from the bytecode) and never to METH_METHOD ones, whose calls all take the
// generic vectorcall path.  That path costs more than the lookup: about 125
// instructions of the ~400 a TclVariable.get() adds to the bare getvar.
#pragma once

#include "args.hpp"

#include <memory>
#include <new>
#include <vector>

namespace orvex::capi {

// The state from an instance (module.hpp).
template <typename State>
State& state_of(PyObject* self);

namespace detail {

// Plain memory that must live exactly as long as the module: the method
// and property tables of its native classes, which their descriptors point
// into.  The classes hold the module, so it is freed after them.
struct ModuleMemory {
    std::vector<std::unique_ptr<PyMethodDef[]>> method_tables;
    std::vector<std::unique_ptr<PyGetSetDef[]>> getset_tables;
};

// The memory CPython allocates for the state (zeroed): the module's own
// memory (first, so that code that does not know the State finds it), and a
// flag saying whether the State in it has been constructed.
template <typename State>
struct StateStorage {
    ModuleMemory* memory;
    bool live;
    alignas(State) unsigned char bytes[sizeof(State)];

    State* get() { return live ? std::launder(reinterpret_cast<State*>(bytes)) : nullptr; }
};

template <typename State>
StateStorage<State>* storage(PyObject* module) {
    return static_cast<StateStorage<State>*>(PyModule_GetState(module));
}

inline ModuleMemory& module_memory(PyObject* module) {
    auto* memory = static_cast<ModuleMemory**>(PyModule_GetState(module));
    if (memory == nullptr) throw PyError{};
    if (*memory == nullptr) *memory = new ModuleMemory;
    return **memory;
}

// A method table of `size` entries (zeroed) kept until the module is freed.
inline PyMethodDef* module_method_table(PyObject* module, size_t size) {
    auto& tables = module_memory(module).method_tables;
    tables.push_back(std::make_unique<PyMethodDef[]>(size));
    return tables.back().get();
}

// The same for a table of properties.
inline PyGetSetDef* module_getset_table(PyObject* module, size_t size) {
    auto& tables = module_memory(module).getset_tables;
    tables.push_back(std::make_unique<PyGetSetDef[]>(size));
    return tables.back().get();
}

}  // namespace detail

// From the module object itself (module-level functions get it as `self`).
template <typename State>
State& module_state(PyObject* module) {
    return *std::launder(reinterpret_cast<State*>(detail::storage<State>(module)->bytes));
}

// --- functions and methods that get the state ---------------------------------
//
//     Ref body(State& st, PyObject* self, const Args& args);
//
// For a module-level function or a static method `self` is the module; for
// a method it is the instance.  The state comes with the call as cheaply as
// CPython allows (see the top of this file).

template <typename F>
struct StateBodyTraits {
    static constexpr bool valid = false;
};
template <typename S>
struct StateBodyTraits<Ref (*)(S&, PyObject*, const Args&)> {
    static constexpr bool valid = true;
    using State = S;
};

template <typename F>
concept StateBody = StateBodyTraits<F>::valid;

namespace detail {

// A body's result handed back to CPython.  An empty result with no exception
// set (a body that failed without raising) becomes a SystemError naming the
// body: "f() returned no result", "__call__ returned no result".
[[gnu::cold]] inline void no_result(const char* what, const char* call_marks) {
    if (!PyErr_Occurred())
        PyErr_Format(PyExc_SystemError, "%s%s returned no result", what, call_marks);
}
inline PyObject* result_of(Ref result, const Signature& sig) {
    if (!result) no_result(sig.name().c_str(), "()");
    return result.release();
}
inline PyObject* result_of(Ref result, const char* what) {
    if (!result) no_result(what, "");
    return result.release();
}

// Module functions and static methods: METH_FASTCALL | METH_KEYWORDS, self
// is the module.
template <Signature& S, auto F>
PyObject* function_trampoline(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
    using State = typename StateBodyTraits<decltype(F)>::State;
    return guarded<PyObject*>(nullptr, [&] {
        State& st = module_state<State>(module);
        Args bound;
        S.bind(bound, args, nargsf, kwnames, &st);
        return result_of(F(st, module, bound), S);
    });
}

// Methods: METH_FASTCALL | METH_KEYWORDS, the state found from the
// instance's class.
template <Signature& S, auto F>
PyObject* method_trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) {
    using State = typename StateBodyTraits<decltype(F)>::State;
    return guarded<PyObject*>(nullptr, [&] {
        State& st = state_of<State>(self);
        Args bound;
        S.bind(bound, args, nargsf, kwnames, &st);
        return result_of(F(st, self, bound), S);
    });
}

}  // namespace detail

// One PyMethodDef per (signature, body) pair, its doc carrying the text
// signature.
template <Signature& S, auto F>
    requires StateBody<decltype(F)>
PyMethodDef* function_def(const char* name, const char* doc) {
    static PyMethodDef def{name,
                           reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                               &detail::function_trampoline<S, F>)),
                           METH_FASTCALL | METH_KEYWORDS, S.signed_doc(name, "", doc)};
    return &def;
}

template <Signature& S, auto F>
    requires StateBody<decltype(F)>
PyMethodDef* state_method_def(const char* name, const char* doc) {
    static PyMethodDef def{name,
                           reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                               &detail::method_trampoline<S, F>)),
                           METH_FASTCALL | METH_KEYWORDS,
                           S.signed_doc(name, "$self", doc)};
    return &def;
}

}  // namespace orvex::capi

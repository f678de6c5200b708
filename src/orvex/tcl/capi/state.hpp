// Reaching a module's state from the functions and methods CPython calls.
//
// The state is a C++ struct living in the memory CPython allocates with the
// module (module.hpp makes the module).  A body that needs it is written
//
//     Ref body(State& st, PyObject* self, const Args& args);
//
// and the trampolines below hand it the state as cheaply as CPython allows:
// a module-level function (or static method) gets the module as `self` and
// the state with PyModule_GetState; a method is defined METH_METHOD, so the
// call brings the class that defines it, and PyType_GetModuleState gives the
// state in O(1) whatever subclass the instance belongs to.
#pragma once

#include "args.hpp"

#include <memory>
#include <new>
#include <vector>

namespace orvex::capi {

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

// From the class that defines a method (METH_METHOD): O(1).
template <typename State>
State& class_state(PyTypeObject* defining_class) {
    void* state = PyType_GetModuleState(defining_class);
    if (state == nullptr) throw PyError{};
    return *std::launder(reinterpret_cast<State*>(
        static_cast<detail::StateStorage<State>*>(state)->bytes));
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

// Methods: METH_METHOD | METH_FASTCALL | METH_KEYWORDS, with the class that
// defines them.
template <Signature& S, auto F>
PyObject* method_trampoline(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                            size_t nargsf, PyObject* kwnames) {
    using State = typename StateBodyTraits<decltype(F)>::State;
    return guarded<PyObject*>(nullptr, [&] {
        State& st = class_state<State>(defining_class);
        Args bound;
        S.bind(bound, args, Py_ssize_t(nargsf), kwnames, &st);
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
                           METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
                           S.signed_doc(name, "$self", doc)};
    return &def;
}

}  // namespace orvex::capi

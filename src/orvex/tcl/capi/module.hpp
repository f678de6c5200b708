// Modules with per-interpreter state, and functions and methods that reach it.
//
// Every Python object a module keeps (interned names, classes, sentinels,
// caches, capsule pointers of other modules) lives in its state: a C++
// struct that CPython allocates with the module (PEP 489 multi-phase
// initialisation, PEP 573/687 module state).  Each interpreter that imports
// the module gets its own module object and so its own state; nothing is
// kept in C++ statics.  See README.md beside this file for a worked example.
//
//     struct State {
//         static constexpr const char* module_name = "orvex.tcl.example";
//         static constexpr const char* module_doc = "...";
//         Names<std::size(name_texts)> names;
//         Ref marker;
//         void exec(PyObject* module);                // fill the state, add to module
//         int traverse(visitproc visit, void* arg);   // every Ref held
//         void clear();                               // release every Ref
//     };
//     PyMODINIT_FUNC PyInit_example() { return module_init<State>(); }
//
// The state is constructed (placement new, zeroed memory before) when the
// module is executed, released by m_clear and destroyed by m_free.
//
// Reaching the state:
//   - module-level functions: `self` is the module; PyModule_GetState.
//   - methods and slots (tp_call, tp_dealloc, tp_init, ...): state_of<State>
//     (self) finds the module through the type's MRO (PyType_GetModuleByDef),
//     at its first entry for an instance of one of our classes.  State.hpp
//     says why methods are not METH_METHOD.
#pragma once

#include "cpython.hpp"
#include "function.hpp"

#include <array>
#include <concepts>
#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace orvex::capi {

// --- interned names -----------------------------------------------------------

// A module's interned names, indexed by an enum of the module's own:
//
//     constexpr const char* name_texts[] = {"append", "tk"};
//     enum : size_t { n_append, n_tk };
//     Names<std::size(name_texts)> names;      // in the state
//     names.fill(name_texts);                   // in exec
//     call_method(history, st.names[n_append], words);
//
// Interned names hit the type attribute cache and the dict's pointer
// comparison, which is most of what C++ can win over Python on a lookup.
template <size_t N>
class Names {
public:
    void fill(const char* const (&texts)[N]) {
        for (size_t i = 0; i < N; ++i) {
            items_[i] = own(PyUnicode_InternFromString(texts[i]));
            texts_[i] = texts[i];
        }
    }
    PyObject* operator[](size_t i) const { return items_[i].get(); }
    const char* text(size_t i) const { return texts_[i]; }
    void clear() {
        for (Ref& item : items_) item = Ref();
    }

private:
    std::array<Ref, N> items_;
    std::array<const char*, N> texts_{};
};

// --- traverse and clear helpers ---------------------------------------------

// m_traverse body for a list of references: visit_refs(visit, arg, a, b, c)
template <typename... R>
int visit_refs(visitproc visit, void* arg, const R&... refs) {
    int result = 0;
    ((result = result ? result : (refs.get() ? visit(refs.get(), arg) : 0)), ...);
    return result;
}

template <typename... R>
void clear_refs(R&... refs) {
    ((refs = Ref()), ...);
}

// --- the module definition --------------------------------------------------

template <typename State>
constexpr const char* module_doc_of() {
    if constexpr (requires { State::module_doc; })
        return State::module_doc;
    else
        return nullptr;
}

template <typename State>
concept ModuleState = requires(State& s, PyObject* module, visitproc visit, void* arg) {
    { State::module_name } -> std::convertible_to<const char*>;
    s.exec(module);
    { s.traverse(visit, arg) } -> std::same_as<int>;
    s.clear();
};

namespace detail {

template <typename State>
int module_exec(PyObject* module) {
    return guarded(-1, [&] {
        StateStorage<State>* slot = storage<State>(module);
        if (slot == nullptr) throw PyError{};
        if (slot->live) return 0;  // executed already (a reload)
        new (slot->bytes) State();
        slot->live = true;
        slot->get()->exec(module);
        cpython::keep_versions_apart_from_shared_types(module);
        return 0;
    });
}

template <typename State>
int module_traverse(PyObject* module, visitproc visit, void* arg) {
    StateStorage<State>* slot = storage<State>(module);
    State* state = slot ? slot->get() : nullptr;
    return state ? state->traverse(visit, arg) : 0;
}

template <typename State>
int module_clear(PyObject* module) {
    StateStorage<State>* slot = storage<State>(module);
    if (State* state = slot ? slot->get() : nullptr) state->clear();
    return 0;
}

template <typename State>
void module_free(void* module) {
    StateStorage<State>* slot = storage<State>(static_cast<PyObject*>(module));
    if (State* state = slot ? slot->get() : nullptr) {
        state->clear();
        state->~State();
        slot->live = false;
    }
    if (slot) delete std::exchange(slot->memory, nullptr);
}

}  // namespace detail

// The module's definition: one per State type, holding no Python object.
template <ModuleState State>
PyModuleDef& module_definition() {
    static_assert(alignof(State) <= 16, "module state is allocated with PyMem_Malloc");
    static PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(&detail::module_exec<State>)},
        // Shared GIL only: tkinter itself refuses isolated interpreters.
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
        {0, nullptr},
    };
    static PyModuleDef def{
        PyModuleDef_HEAD_INIT,
        State::module_name,
        module_doc_of<State>(),
        Py_ssize_t(sizeof(detail::StateStorage<State>)),
        nullptr,
        slots,
        &detail::module_traverse<State>,
        &detail::module_clear<State>,
        &detail::module_free<State>,
    };
    return def;
}

// The PyInit_* body: PyMODINIT_FUNC PyInit_x() { return module_init<State>(); }
template <ModuleState State>
PyObject* module_init() {
    return PyModuleDef_Init(&module_definition<State>());
}

// --- reaching the state from a slot -------------------------------------------

// From any instance of one of the module's classes, or of a subclass: the
// module is found on the type's MRO (methods and slots alike).
template <typename State>
State& state_of(PyObject* self) {
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &module_definition<State>());
    if (module == nullptr) throw PyError{};
    return module_state<State>(module);
}

// The module object of an instance's class (borrowed), as state_of finds it.
template <typename State>
PyObject* module_of(PyObject* self) {
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &module_definition<State>());
    if (module == nullptr) throw PyError{};
    return module;
}

// A module-level function that gets the state.
template <Signature& S, auto F>
    requires StateBody<decltype(F)>
Ref make_function(PyObject* module, const char* doc = nullptr) {
    S.set_is_method(false);
    Ref module_name = own(PyObject_GetAttrString(module, "__name__"));
    PyMethodDef* def = function_def<S, F>(S.name().c_str(), doc);
    return own(PyCFunction_NewEx(def, module, module_name));
}

// --- types ------------------------------------------------------------------

// A type made from its slot table, tied to its module:
// the way every type of the layer is made; ClassBuilder, for classes that
// need a metaclass of their own, ties its classes the same way.
inline Ref make_type(PyObject* module, TypeDef& def, PyObject* bases = nullptr) {
    return own(PyType_FromMetaclass(nullptr, module, &def, bases));
}

// A capsule's pointer, imported: `from module import name` where name is a
// capsule of that name.  The pointer is kept in the importer's state, and
// the module that exports it in the state too (it owns what the pointer
// points to), so both live as long as the importer's state.
template <typename T>
struct Imported {
    Ref module;
    const T* api = nullptr;

    void load(const char* capsule_name) {
        // The module is imported by its full name and the capsule read from
        // it, rather than with PyCapsule_Import, which walks the attributes
        // of the packages and fails while a package is still being imported
        // (orvex.tcl importing a module that loads a capsule).
        std::string_view full(capsule_name);
        std::string module_name(full.substr(0, full.rfind('.')));
        std::string attribute(full.substr(full.rfind('.') + 1));
        module = own(PyImport_ImportModule(module_name.c_str()));
        Ref capsule = own(PyObject_GetAttrString(module, attribute.c_str()));
        api = static_cast<const T*>(PyCapsule_GetPointer(capsule, capsule_name));
        if (api == nullptr) throw PyError{};
    }
    int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, module); }
    void clear() {
        module = Ref();
        api = nullptr;
    }
};

}  // namespace orvex::capi

// Classes with a C++ instance layout, for the hot paths where a class made
// like a class statement (ClassBuilder) cannot be quick enough.
//
// Instances of a class statement cannot be called through vectorcall (the
// layout has no room for the entry), so every call builds an argument tuple,
// and a dict for keywords, even when the call slot goes straight to C++; and
// every missing attribute goes through CPython's generic getattr slot, which
// looks __getattr__ up and calls it as a method.  A NativeClass puts the C++
// bodies straight into the type: instances are called through vectorcall
// (their arguments arrive as the caller's array) and a missing attribute
// goes straight to the getattr body.
//
// Apart from speed its instances behave as those of
//
//     class Name(object):
//         __slots__ = (*fields, '__dict__', '__weakref__')
//
// the fields are member descriptors (ordinary attributes: readable,
// writable, deletable), a __dict__ sits beside them, weak references work,
// and the special methods show in the class as slot wrappers.  Python
// subclasses may override anything; one that defines __call__ or
// __getattr__ gets CPython's generic slot for it, as usual.  A field named
// nullptr is the class's own (no attribute; C++ reads it through its
// Slot), for state that a property() presents.
//
//     NativeClass<2> code(module, "Hux_Code", doc, {"tcl", "cmd"});
//     code.init<init_sig, init>().call<call_body>().getattr<getattr_body>()
//         .str<str_body>().method<m_sig, m_body>("name");
//     Ref cls = code.build();
//     Slot tcl = code.field(cls, "tcl");
#pragma once

#include "argvector.hpp"
#include "function.hpp"

#include <array>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace orvex::capi {

// def __getattr__(self, name), called for names normal lookup does not find.
using AttrBody = Ref (*)(PyObject* self, PyObject* name);
// A special method without arguments (__str__, __repr__); a property's getter.
using UnaryBody = Ref (*)(PyObject* self);
// A property's setter; `value` is nullptr for `del obj.name`.
using SetterBody = void (*)(PyObject* self, PyObject* value);
// def __get__(self, instance, owner): `instance` is None for access through
// the class.
using DescrGetBody = Ref (*)(PyObject* self, PyObject* instance, PyObject* owner);

template <size_t N>
struct NativeObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;  // set by tp_new when the class has call()
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* fields[N];
};

namespace native {

// The fields come last, so the other members sit at the same offsets
// whatever N is (code that knows no N reads them through layout<1>).
static_assert(offsetof(NativeObject<1>, dict) == offsetof(NativeObject<8>, dict));

template <size_t N>
NativeObject<N>* layout(PyObject* self) {
    return reinterpret_cast<NativeObject<N>*>(self);
}

template <size_t N, vectorcallfunc Call>
PyObject* tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) layout<N>(self)->vectorcall = Call;
    return self;
}

template <size_t N>
int tp_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(layout<N>(self)->dict);
    for (PyObject* field : layout<N>(self)->fields) Py_VISIT(field);
    return 0;
}

template <size_t N>
int tp_clear(PyObject* self) {
    Py_CLEAR(layout<N>(self)->dict);
    for (PyObject*& field : layout<N>(self)->fields) Py_CLEAR(field);
    return 0;
}

// Fields may hold further instances (a chain of any length), so freeing
// goes through CPython's trashcan, which defers deep nesting instead of
// recursing on the C stack.
template <size_t N>
void tp_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, (&tp_dealloc<N>))
    if (layout<N>(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    tp_clear<N>(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
    Py_TRASHCAN_END
}

// __init__ from tp_init's tuple and dict, bound by the signature.
template <Signature& S, Body F>
int tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded(-1, [&] {
        with_vector_args(args, kwargs, [&](const VectorArgs& a) {
            Args bound;
            S.bind(bound, a.items, Py_ssize_t(a.nargs), a.kwnames);
            F(self, bound);
        });
        return 0;
    });
}

// The same for a body that gets the module state (found from the object's
// class).
template <Signature& S, auto F>
    requires StateBody<decltype(F)>
int state_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    using State = typename StateBodyTraits<decltype(F)>::State;
    return guarded(-1, [&] {
        State& st = state_of<State>(self);
        with_vector_args(args, kwargs, [&](const VectorArgs& a) {
            Args bound;
            S.bind(bound, a.items, Py_ssize_t(a.nargs), a.kwnames, &st);
            F(st, self, bound);
        });
        return 0;
    });
}

template <VectorBody F>
PyObject* vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        return F(self, VectorArgs{args, size_t(PyVectorcall_NARGS(nargsf)), kwnames}).release();
    });
}

template <auto F>
    requires StateVectorBody<decltype(F)>
PyObject* state_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames) {
    using State = typename StateVectorBodyTraits<decltype(F)>::State;
    return guarded<PyObject*>(nullptr, [&] {
        VectorArgs vector{args, size_t(PyVectorcall_NARGS(nargsf)), kwnames};
        return detail::result_of(F(state_of<State>(self), self, vector), "__call__");
    });
}

template <DescrGetBody F>
PyObject* descr_get(PyObject* self, PyObject* instance, PyObject* owner) {
    return guarded<PyObject*>(nullptr, [&] {
        return F(self, instance ? instance : Py_None, owner ? owner : Py_None).release();
    });
}

// Normal lookup first; only a name it does not find (AttributeError
// included, as for __getattr__) reaches the body.  When the object's type
// has a slot of its own (a subclass or an assignment defined __getattr__),
// CPython's generic slot calls this as __getattribute__ and then the
// __getattr__ it finds, so here a missing name is an AttributeError.
//
// A str name that the type does not have (one lookup in CPython's method
// cache) on an object without an instance __dict__ is missing without
// further ado: nothing else could supply it.  That is the path of every
// quick-call name.
template <AttrBody F>
PyObject* tp_getattro(PyObject* self, PyObject* name) {
    if (Py_TYPE(self)->tp_getattro == &tp_getattro<F> && PyUnicode_CheckExact(name) &&
        layout<1>(self)->dict == nullptr && cpython::type_lookup(Py_TYPE(self), name) == nullptr)
        return guarded<PyObject*>(nullptr, [&] { return F(self, name).release(); });
    PyObject* found = cpython::generic_getattr_optional(self, name);
    if (found != nullptr || PyErr_Occurred()) return found;
    if (Py_TYPE(self)->tp_getattro != &tp_getattro<F>) return PyObject_GenericGetAttr(self, name);
    return guarded<PyObject*>(nullptr, [&] { return F(self, name).release(); });
}

// The same body as a method, so that `super().__getattr__(name)` works in
// subclasses and the class shows its __getattr__.
template <AttrBody F>
PyObject* getattr_method(PyObject* self, PyObject* name) {
    return guarded<PyObject*>(nullptr, [&] { return F(self, name).release(); });
}

// __weakref__: the first weak reference to the object, or None.
template <size_t N>
PyObject* get_weakref(PyObject* self, void*) {
    PyObject* first = layout<N>(self)->weakrefs;
    return Py_NewRef(first ? first : Py_None);
}

template <UnaryBody F>
PyObject* unary(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] { return F(self).release(); });
}

template <UnaryBody F>
PyObject* property_get(PyObject* self, void*) {
    return unary<F>(self);
}

template <SetterBody F>
int property_set(PyObject* self, PyObject* value, void*) {
    return guarded(-1, [&] {
        F(self, value);
        return 0;
    });
}

}  // namespace native

template <size_t N>
class NativeClass {
public:
    NativeClass(PyObject* module, const char* name, const char* doc,
                std::array<const char*, N> fields)
        : module_(module), name_(name), doc_(doc), fields_(fields) {}

    // def __init__(self, ...)
    template <Signature& S, Body F>
    NativeClass& init() {
        S.set_member_of(name_, "__init__", true);
        slots_.push_back({Py_tp_init, reinterpret_cast<void*>(&native::tp_init<S, F>)});
        // __init__ is a slot wrapper, which inspect passes over: the class
        // doc carries the signature instead, as CPython's own types do.
        text_signature_ = S.text_signature("");
        return *this;
    }

    // def __init__(self, ...) whose body gets the module state.  The class
    // also shows the method itself as __init__ (in place of the slot
    // wrapper), so that inspect.signature() gives its parameters and
    // super().__init__(...) from a subclass binds the same way.
    template <Signature& S, auto F>
        requires StateBody<decltype(F)>
    NativeClass& init() {
        S.set_member_of(name_, "__init__", true);
        slots_.push_back({Py_tp_init, reinterpret_cast<void*>(&native::state_tp_init<S, F>)});
        PyMethodDef def = *state_method_def<S, F>("__init__", nullptr);
        def.ml_flags |= METH_COEXIST;
        methods_.push_back(def);
        return *this;
    }

    // def __call__(self, *args, **kwargs), through vectorcall, the arguments
    // unbound (VectorArgs).
    template <VectorBody F>
    NativeClass& call() {
        vectorcall_ = &native::vectorcall<F>;
        new_ = reinterpret_cast<void*>(&native::tp_new<N, &native::vectorcall<F>>);
        return *this;
    }

    // The same with a body that gets the module state.
    template <auto F>
        requires StateVectorBody<decltype(F)>
    NativeClass& call() {
        vectorcall_ = &native::state_vectorcall<F>;
        new_ = reinterpret_cast<void*>(&native::tp_new<N, &native::state_vectorcall<F>>);
        return *this;
    }

    // def __get__(self, instance, owner=None): the class's instances bind
    // when fetched through an object, as functions do.
    template <DescrGetBody F>
    NativeClass& descriptor() {
        slots_.push_back({Py_tp_descr_get, reinterpret_cast<void*>(&native::descr_get<F>)});
        return *this;
    }

    // def name(self, *args, **kwargs) taking its arguments unbound, whose
    // body gets the module state.
    template <auto F>
        requires StateVectorBody<decltype(F)>
    NativeClass& vector_method(const char* name, const char* doc = nullptr) {
        methods_.push_back(*state_vector_method_def<F>(name, doc));
        return *this;
    }

    // @staticmethod def name(...) whose body gets the module state.
    template <Signature& S, auto F>
        requires StateBody<decltype(F)>
    NativeClass& staticmethod(const char* name, const char* doc = nullptr) {
        static_methods_.push_back({name, member_def<S, F, false>(name_, name, doc)});
        return *this;
    }

    // def __getattr__(self, name)
    template <AttrBody F>
    NativeClass& getattr() {
        slots_.push_back({Py_tp_getattro, reinterpret_cast<void*>(&native::tp_getattro<F>)});
        methods_.push_back({"__getattr__",
                            reinterpret_cast<PyCFunction>(&native::getattr_method<F>), METH_O,
                            "__getattr__($self, name, /)\n--\n\n"});
        return *this;
    }

    template <UnaryBody F>
    NativeClass& str() {
        slots_.push_back({Py_tp_str, reinterpret_cast<void*>(&native::unary<F>)});
        return *this;
    }

    // @property def name(self), with its setter and deleter in one body.
    template <UnaryBody Get, SetterBody Set>
    NativeClass& property(const char* name, const char* doc = nullptr) {
        getsets_.push_back({name, &native::property_get<Get>, &native::property_set<Set>, doc,
                            nullptr});
        return *this;
    }

    template <UnaryBody F>
    NativeClass& repr() {
        slots_.push_back({Py_tp_repr, reinterpret_cast<void*>(&native::unary<F>)});
        return *this;
    }

    // def name(self, ...); its body may get the module state.
    template <Signature& S, auto F>
        requires MemberBody<decltype(F)>
    NativeClass& method(const char* name, const char* doc = nullptr) {
        methods_.push_back(*member_def<S, F, true>(name_, name, doc));
        return *this;
    }

    Ref build() {
        using Object = NativeObject<N>;
        // Method definitions must outlive the class (its descriptors point
        // into them): the module keeps them.
        PyMethodDef* methods = detail::module_method_table(module_, methods_.size() + 1);
        for (size_t i = 0; i < methods_.size(); ++i) methods[i] = methods_[i];

        std::vector<PyMemberDef> members;
        for (size_t i = 0; i < N; ++i)
            if (fields_[i] != nullptr)
                members.push_back({fields_[i], Py_T_OBJECT_EX,
                               Py_ssize_t(offsetof(Object, fields) + i * sizeof(PyObject*)), 0,
                               nullptr});
        members.push_back({"__dictoffset__", Py_T_PYSSIZET, offsetof(Object, dict), Py_READONLY,
                           nullptr});
        members.push_back({"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Object, weakrefs),
                           Py_READONLY, nullptr});
        if (vectorcall_)
            members.push_back({"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Object, vectorcall),
                               Py_READONLY, nullptr});
        members.push_back({});

        PyGetSetDef* getset = detail::module_getset_table(module_, getsets_.size() + 3);
        for (size_t i = 0; i < getsets_.size(); ++i) getset[i] = getsets_[i];
        getset[getsets_.size()] = {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict,
                                   nullptr, nullptr};
        getset[getsets_.size() + 1] = {"__weakref__", &native::get_weakref<N>, nullptr, nullptr,
                                       nullptr};

        std::vector<PyType_Slot> slots = slots_;
        slots.push_back({Py_tp_new, new_});
        slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(&native::tp_dealloc<N>)});
        slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(&native::tp_traverse<N>)});
        slots.push_back({Py_tp_clear, reinterpret_cast<void*>(&native::tp_clear<N>)});
        slots.push_back({Py_tp_members, members.data()});
        slots.push_back({Py_tp_methods, methods});
        slots.push_back({Py_tp_getset, getset});
        // "Name(signature)\n--\n\ndoc": CPython keeps the signature apart
        // as __text_signature__ and shows the rest as __doc__ (it copies the
        // text, so a local string will do).
        std::string doc = doc_ ? doc_ : "";
        if (!text_signature_.empty()) doc = name_ + text_signature_ + "\n--\n\n" + doc;
        if (!doc.empty()) slots.push_back({Py_tp_doc, const_cast<char*>(doc.c_str())});
        if (vectorcall_) slots.push_back({Py_tp_call, reinterpret_cast<void*>(&PyVectorcall_Call)});
        slots.push_back({0, nullptr});

        Ref module_name = own(PyObject_GetAttrString(module_, "__name__"));
        const char* module_text = PyUnicode_AsUTF8(module_name);
        if (module_text == nullptr) throw PyError{};
        std::string qualified = std::string(module_text) + "." + name_;
        unsigned flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
        if (vectorcall_) flags |= Py_TPFLAGS_HAVE_VECTORCALL;
        TypeDef type_def{qualified.c_str(), int(sizeof(Object)), 0, flags, slots.data()};
        Ref cls = own(PyType_FromMetaclass(nullptr, module_, &type_def, nullptr));
        // Static methods get the module as their `self` (METH_STATIC would
        // give them none), so they are made as functions of the module and
        // wrapped as a class statement's @staticmethod wraps them.
        for (auto& [name, def] : static_methods_) {
            Ref function = own(PyCFunction_NewEx(def, module_, module_name));
            check(PyObject_SetAttrString(cls, name, Ref(own(PyStaticMethod_New(function)))));
        }
        return cls;
    }

    // The member slot of field `index`: the layout is fixed at compile time,
    // so this holds for every class made with N fields, in any interpreter.
    static Slot field_at(size_t index, const char* name) {
        return Slot(Py_ssize_t(offsetof(NativeObject<N>, fields) + index * sizeof(PyObject*)), name);
    }

    // The member slot of a field, for reading and writing it from C++.
    Slot field(PyObject*, const char* name) const {
        for (size_t i = 0; i < N; ++i)
            if (fields_[i] != nullptr && std::string(fields_[i]) == name)
                return Slot(Py_ssize_t(offsetof(NativeObject<N>, fields) + i * sizeof(PyObject*)),
                            fields_[i]);
        raise_format(PyExc_TypeError, "%s is not a field of %s", name, name_.c_str());
    }

private:
    PyObject* module_;
    std::string name_;
    const char* doc_;
    std::string text_signature_;  // of __init__, when it has one
    std::array<const char*, N> fields_;
    std::vector<PyType_Slot> slots_;
    std::vector<PyMethodDef> methods_;
    std::vector<PyGetSetDef> getsets_;
    std::vector<std::pair<const char*, PyMethodDef*>> static_methods_;
    vectorcallfunc vectorcall_ = nullptr;
    void* new_ = reinterpret_cast<void*>(&native::tp_new<N, nullptr>);
};

}  // namespace orvex::capi

// Functions, methods, classes and modules, the way Python code makes them.
//
// A function body is a C++ function of the shape
//
//     Ref body(PyObject* self, const Args& args);
//
// paired with its `Signature` (args.hpp).  `trampoline<Sig, body>` is the
// METH_FASTCALL | METH_KEYWORDS entry point CPython calls: it binds the
// arguments, runs the body and turns a PyError throw (or a C++ exception)
// back into a NULL return with the Python exception set.
//
// `ClassBuilder` makes a class as a class statement does: the metaclass is
// the most derived metaclass of the bases (so MutableMapping among the bases
// gives ABCMeta), the namespace comes from the metaclass's __prepare__ and is
// filled in source order (__module__, __qualname__, __doc__, then the body),
// and the metaclass is called with it, which runs __set_name__ and the bases'
// __init_subclass__.  Methods become real method descriptors
// (PyDescr_NewMethod), so `obj.method(...)` takes the interpreter's
// LOAD_ATTR-method fast path and `Class.method` binds like a Python function.
// A method descriptor needs the finished type, so the body is first laid
// out with placeholders and the descriptors replace them afterwards: a dict
// keeps a key's position when its value is replaced, so the class __dict__
// lists everything in the order it was declared.
#pragma once

#include "args.hpp"
#include "argvector.hpp"
#include "cpython.hpp"
#include "state.hpp"

#include <algorithm>
#include <concepts>
#include <deque>
#include <iterator>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace orvex::capi {

using Body = Ref (*)(PyObject* self, const Args& args);

template <Signature& S, Body F>
PyObject* trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        Args bound;
        S.bind(bound, args, nargsf, kwnames);
        return detail::result_of(F(self, bound), S);
    });
}

// One PyMethodDef per (signature, body) pair, alive for the process.  Its
// doc carries the text signature, so inspect.signature() works.
template <Signature& S, Body F>
PyMethodDef* method_def(const char* name, const char* doc) {
    static PyMethodDef def{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                                     &trampoline<S, F>)),
                           METH_FASTCALL | METH_KEYWORDS,
                           S.signed_doc(name, S.is_method() ? "$self" : "", doc)};
    return &def;
}

// --- methods that take their arguments unbound -------------------------------
//
// The hot methods of the shape  def name(self, *args, **kwargs)  take the
// vectorcall arguments as they arrive: binding them would build a tuple and
// a dict on every call only to be read once.
//
//     Ref call(PyObject* self, const VectorArgs& args);
//     builder.vector_method<call>("call", "call(*args, **kwargs)");

struct VectorArgs {
    PyObject* const* items;  // the positional arguments, then the keyword values
    size_t nargs;            // how many positional arguments
    PyObject* kwnames;       // tuple of the keyword names, or NULL

    size_t nkw() const { return kwnames ? size_t(PyTuple_GET_SIZE(kwnames)) : 0; }
    PyObject* operator[](size_t i) const { return items[i]; }
    PyObject* keyword_name(size_t k) const { return PyTuple_GET_ITEM(kwnames, Py_ssize_t(k)); }
    PyObject* keyword_value(size_t k) const { return items[nargs + k]; }
};

using VectorBody = Ref (*)(PyObject* self, const VectorArgs& args);

template <VectorBody F>
PyObject* vector_trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        return detail::result_of(
            F(self, VectorArgs{args, size_t(PyVectorcall_NARGS(nargsf)), kwnames}), "method");
    });
}

// The doc of such a method with its signature, unless it brings its own.
inline std::string vector_signed_doc(const char* name, const char* doc) {
    if (doc && std::string_view(doc).find(")\n--\n\n") != std::string_view::npos) return doc;
    return std::string(name) + "($self, /, *args, **kwargs)\n--\n\n" + (doc ? doc : "");
}

template <VectorBody F>
PyMethodDef* vector_method_def(const char* name, const char* doc) {
    static const std::string signed_doc = vector_signed_doc(name, doc);
    static PyMethodDef def{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                                     &vector_trampoline<F>)),
                           METH_FASTCALL | METH_KEYWORDS, signed_doc.c_str()};
    return &def;
}

// Methods of that shape whose body gets the module state (found from the
// instance's class, as state.hpp's methods find it):
//
//     Ref call(State& st, PyObject* self, const VectorArgs& args);
template <typename F>
struct StateVectorBodyTraits {
    static constexpr bool valid = false;
};
template <typename S>
struct StateVectorBodyTraits<Ref (*)(S&, PyObject*, const VectorArgs&)> {
    static constexpr bool valid = true;
    using State = S;
};
template <typename F>
concept StateVectorBody = StateVectorBodyTraits<F>::valid;

template <auto F>
    requires StateVectorBody<decltype(F)>
PyObject* state_vector_trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames) {
    using State = typename StateVectorBodyTraits<decltype(F)>::State;
    return guarded<PyObject*>(nullptr, [&] {
        State& st = state_of<State>(self);
        return detail::result_of(
            F(st, self, VectorArgs{args, size_t(PyVectorcall_NARGS(nargsf)), kwnames}), "method");
    });
}

template <auto F>
    requires StateVectorBody<decltype(F)>
PyMethodDef* state_vector_method_def(const char* name, const char* doc) {
    static const std::string signed_doc = vector_signed_doc(name, doc);
    static PyMethodDef def{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                                     &state_vector_trampoline<F>)),
                           METH_FASTCALL | METH_KEYWORDS, signed_doc.c_str()};
    return &def;
}

// A slot's tuple and dict (tp_call, tp_init) laid out the vectorcall way
// for `body`, which gets them as VectorArgs.  The tuple's items are used in
// place; with keywords, the run holds its own references, since the body
// may run code that changes the dict.
template <typename Fn>
decltype(auto) with_vector_args(PyObject* args, PyObject* kwargs, Fn body) {
    size_t nargs = size_t(PyTuple_GET_SIZE(args));
    PyObject* const* items = &PyTuple_GET_ITEM(args, 0);
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0)
        return body(VectorArgs{items, nargs, nullptr});
    Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
    ArgVector argv(nargs + size_t(nkw));
    for (size_t i = 0; i < nargs; ++i) argv.push(Ref::borrow(items[i]));
    Ref kwnames = own(PyTuple_New(nkw));
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
        argv.push(Ref::borrow(value));
    }
    return body(VectorArgs{argv.data(), nargs, kwnames.get()});
}

// A call slot's tuple and dict, laid out the vectorcall way for `body`.
template <typename Fn>
PyObject* call_from_tuple(PyObject* args, PyObject* kwargs, Fn body) {
    return guarded<PyObject*>(nullptr, [&] {
        return detail::result_of(with_vector_args(args, kwargs, body), "__call__");
    });
}

// The same body as the type's call slot (tp_call), for a __call__ made with
// vector_method: calling an instance then goes straight to the body instead
// of through slot_tp_call (a lookup of __call__ and a re-packing of the
// arguments).  Keyword arguments arrive as a dict and are laid out the
// vectorcall way first.
template <VectorBody F>
PyObject* vector_tp_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call_from_tuple(args, kwargs, [&](const VectorArgs& a) { return F(self, a); });
}

// The same for a body that gets the state (found from the instance's class).
template <auto F>
    requires StateVectorBody<decltype(F)>
PyObject* state_vector_tp_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    using State = typename StateVectorBodyTraits<decltype(F)>::State;
    return call_from_tuple(args, kwargs,
                           [&](const VectorArgs& a) { return F(state_of<State>(self), self, a); });
}

// obj.name(*args, **kwargs) with arguments received as VectorArgs: hands a
// method's own arguments on to another method (or to an override of it).
inline Ref call_method_forward(PyObject* obj, PyObject* name, const VectorArgs& args) {
    size_t total = args.nargs + args.nkw();
    PyObject* small[9];
    std::vector<PyObject*> large;
    PyObject** argv = small;
    if (total + 1 > std::size(small)) {
        large.resize(total + 1);
        argv = large.data();
    }
    argv[0] = obj;
    for (size_t i = 0; i < total; ++i) argv[i + 1] = args.items[i];
    return own(PyObject_VectorcallMethod(name, argv, args.nargs + 1, args.kwnames));
}

// A module-level function (a builtin function whose __module__ is the
// module's name).
template <Signature& S, Body F>
Ref make_function(PyObject* module, const char* doc = nullptr) {
    S.set_is_method(false);
    Ref module_name = own(PyObject_GetAttrString(module, "__name__"));
    PyMethodDef* def = method_def<S, F>(S.name().c_str(), doc);
    return own(PyCFunction_NewEx(def, module, module_name.get()));
}

// module.name = value
inline void add(PyObject* module, const char* name, PyObject* value) {
    check(PyObject_SetAttrString(module, name, value));
}

// An instance attribute kept in a member slot (from __slots__): read from a
// fixed offset in the object, without a dictionary lookup.  To users it is an
// ordinary attribute (readable, writable, deletable through the member
// descriptor).
class Slot {
public:
    Slot() = default;
    Slot(Py_ssize_t offset, const char* name) : offset_(offset), name_(name) {}

    // The value, borrowed; AttributeError when it was never set or deleted.
    PyObject* get(PyObject* self) const {
        PyObject* value = *field(self);
        if (value == nullptr) {
            PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%s'",
                         cpython::type_name(Py_TYPE(self)), name_);
            throw PyError{};
        }
        return value;
    }
    void set(PyObject* self, PyObject* value) const {
        PyObject* old = *field(self);
        *field(self) = Py_NewRef(value);
        Py_XDECREF(old);
    }
    // The value, borrowed, or NULL when unset.
    PyObject* peek(PyObject* self) const { return *field(self); }
    // The value moved out, leaving the attribute unset.
    Ref take(PyObject* self) const { return Ref::steal(std::exchange(*field(self), nullptr)); }

private:
    PyObject** field(PyObject* self) const {
        return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset_);
    }
    Py_ssize_t offset_ = 0;
    const char* name_ = "";
};

// The definition of a class member `owner.name`: a method (Method, `self`
// first) or a static method's function, with a body that gets the module
// state or not.  ClassBuilder and NativeClass both make theirs here.
template <typename F>
concept MemberBody = std::same_as<F, Body> || StateBody<F>;

template <Signature& S, auto F, bool Method>
    requires MemberBody<decltype(F)>
PyMethodDef* member_def(const std::string& owner, const char* name, const char* doc) {
    S.set_member_of(owner, name, Method);
    if constexpr (!StateBody<decltype(F)>)
        return method_def<S, F>(name, doc);
    else if constexpr (Method)
        return state_method_def<S, F>(name, doc);
    else
        return function_def<S, F>(name, doc);
}

class ClassBuilder {
public:
    ClassBuilder(PyObject* module, const char* name, std::initializer_list<PyObject*> bases,
                 const char* doc = nullptr, std::string qualname = {})
        : module_(module), name_(name), qualname_(qualname.empty() ? name : qualname), doc_(doc) {
        bases_ = own(PyTuple_New(Py_ssize_t(bases.size())));
        Py_ssize_t i = 0;
        for (PyObject* base : bases) PyTuple_SET_ITEM(bases_.get(), i++, Py_NewRef(base));
    }

    // def name(self, ...): an instance method; its body may get the
    // module state.
    template <Signature& S, auto F>
        requires MemberBody<decltype(F)>
    ClassBuilder& method(const char* name, const char* doc = nullptr) {
        entries_.push_back({name, Entry::method, {}, member_def<S, F, true>(qualname_, name, doc),
                            nullptr});
        return *this;
    }

    // @staticmethod def name(...), its body getting the module state or not.
    template <Signature& S, auto F>
        requires MemberBody<decltype(F)>
    ClassBuilder& staticmethod(const char* name, const char* doc = nullptr) {
        entries_.push_back({name, Entry::static_method, {},
                            member_def<S, F, false>(qualname_, name, doc), nullptr});
        return *this;
    }

    // def name(self, *args, **kwargs): an instance method taking its
    // arguments unbound (VectorArgs).  A __call__ made this way also becomes
    // the class's call slot (see vector_tp_call); assigning __call__ on the
    // class later resets the slot as usual, and subclasses get the ordinary
    // slot, which looks __call__ up.
    template <VectorBody F>
    ClassBuilder& vector_method(const char* name, const char* doc = nullptr) {
        entries_.push_back({name, Entry::method, {}, vector_method_def<F>(name, doc), nullptr});
        if (std::string_view(name) == "__call__") call_slot_ = &vector_tp_call<F>;
        return *this;
    }

    // The same, with a body that gets the module state.
    template <auto F>
        requires StateVectorBody<decltype(F)>
    ClassBuilder& vector_method(const char* name, const char* doc = nullptr) {
        entries_.push_back({name, Entry::method, {}, state_vector_method_def<F>(name, doc), nullptr});
        if (std::string_view(name) == "__call__") call_slot_ = &state_vector_tp_call<F>;
        return *this;
    }

    // name = value (any object: a constant, a function taken from elsewhere)
    ClassBuilder& attr(const char* name, PyObject* value) {
        entries_.push_back({name, Entry::plain, Ref::borrow(value), nullptr, nullptr});
        return *this;
    }

    // name = existing   (a second name for something defined above)
    ClassBuilder& alias(const char* name, const char* existing) {
        entries_.push_back({name, Entry::alias, {}, nullptr, existing});
        return *this;
    }

    // __slots__ = (*names, '__dict__', '__weakref__'): the names become member
    // slots readable with slot(); instances keep a __dict__ and weak refs.
    ClassBuilder& slots(std::initializer_list<const char*> names) {
        slot_names_.assign(names.begin(), names.end());
        has_slots_ = true;
        return *this;
    }

    // Make the class.
    Ref build();

    // The member slot made for `name` by slots(); valid after build().
    Slot slot(PyObject* cls, const char* name) const;

private:
    struct Entry {
        enum Kind { method, static_method, plain, alias };
        const char* name;
        Kind kind;
        Ref value;                  // value
        PyMethodDef* def;           // method, static_method
        const char* target;         // alias
    };
    Ref metaclass() const;

    PyObject* module_;
    std::string name_, qualname_;
    const char* doc_;
    Ref bases_;
    std::vector<Entry> entries_;
    std::vector<const char*> slot_names_;
    bool has_slots_ = false;
    ternaryfunc call_slot_ = nullptr;
};

// The most derived metaclass among the bases (what __build_class__ does).
inline Ref ClassBuilder::metaclass() const {
    PyTypeObject* winner = &PyType_Type;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases_.get()); ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases_.get(), i));
        if (PyType_IsSubtype(winner, candidate)) continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        raise(PyExc_TypeError,
              "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
              "subclass of the metaclasses of all its bases");
    }
    return Ref::borrow(reinterpret_cast<PyObject*>(winner));
}

inline Ref ClassBuilder::build() {
    Ref meta = metaclass();
    Ref name = text(name_.c_str());
    Ref ns = call_method(meta, text("__prepare__"), name.get(), bases_.get());

    Ref module_name = own(PyObject_GetAttrString(module_, "__name__"));
    check(PyObject_SetItem(ns, text("__module__"), module_name));
    check(PyObject_SetItem(ns, text("__qualname__"), text(qualname_.c_str())));
    if (doc_) check(PyObject_SetItem(ns, text("__doc__"), text(doc_)));
    if (has_slots_) {
        Ref slots = own(PyTuple_New(Py_ssize_t(slot_names_.size() + 2)));
        Py_ssize_t i = 0;
        for (const char* slot : slot_names_) PyTuple_SET_ITEM(slots.get(), i++, text(slot).release());
        PyTuple_SET_ITEM(slots.get(), i++, text("__dict__").release());
        PyTuple_SET_ITEM(slots.get(), i++, text("__weakref__").release());
        check(PyObject_SetItem(ns, text("__slots__"), slots));
    }

    // The body, in order.  Methods hold their place with None until the type
    // exists; static methods, values and aliases are final already.
    for (Entry& entry : entries_) {
        Ref key = text(entry.name);
        Ref value;
        switch (entry.kind) {
            case Entry::method: value = none(); break;
            case Entry::static_method: {
                Ref function = own(PyCFunction_NewEx(entry.def, module_, module_name));
                value = own(PyStaticMethod_New(function));
                break;
            }
            case Entry::plain: value = entry.value; break;
            case Entry::alias: value = own(PyObject_GetItem(ns, text(entry.target))); break;
        }
        check(PyObject_SetItem(ns, key, value));
    }

    Ref cls = call(meta, name.get(), bases_.get(), ns.get());
    if (!PyType_Check(cls.get())) raise(PyExc_TypeError, "metaclass did not return a class");
    // Tied to the module as make_type ties a type, so that
    // methods and slots reach the module state.
    cpython::bind_type_to_module(cls, module_);

    // Now the method descriptors, and aliases of methods.
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls.get());
    for (Entry& entry : entries_) {
        if (entry.kind == Entry::method) {
            Ref descriptor = own(PyDescr_NewMethod(type, entry.def));
            check(PyObject_SetAttrString(cls, entry.name, descriptor));
        }
    }
    if (call_slot_) type->tp_call = call_slot_;
    for (Entry& entry : entries_) {
        if (entry.kind != Entry::alias) continue;
        Ref dict = own(PyObject_GetAttrString(cls, "__dict__"));
        Ref target = own(PyObject_GetItem(dict, text(entry.target)));
        check(PyObject_SetAttrString(cls, entry.name, target));
    }
    return cls;
}

inline Slot ClassBuilder::slot(PyObject* cls, const char* name) const {
    Ref descriptor = own(PyObject_GetAttrString(cls, name));
    if (!PyObject_TypeCheck(descriptor.get(), &PyMemberDescr_Type))
        raise_format(PyExc_TypeError, "%s is not a member slot", name);
    PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descriptor.get())->d_member;
    return Slot(member->offset, name);
}

}  // namespace orvex::capi

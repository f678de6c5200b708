// orvex.tcl.namespace: the four mapping views of a TclNamespace's contents
// (TclNamespace.VariablesView, .ObjectsView, .CommandsView, .ProcsView).
//
// A view keeps nothing but its namespace.  Every operation places the name
// it is given in the namespace (TclNamespace.join), builds a fresh
// TclVariable, TclArrayVariable or TclCommand for it and forwards to that
// object; listing asks the interpreter each time.
#include "namespaces.hpp"

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

namespace orvex::tcl_namespace {

using enum State::Views::N;

namespace {

PyObject* nm(State& st, size_t i) { return st.views.names[i]; }

bool plain_variables_view(State& st, PyObject* self) {
    return st.views.variables_built.unchanged(Py_TYPE(self)) ||
           st.views.objects_built.unchanged(Py_TYPE(self));
}
bool plain_commands_view(State& st, PyObject* self) {
    return st.views.commands_built.unchanged(Py_TYPE(self)) ||
           st.views.procs_built.unchanged(Py_TYPE(self));
}

// self.ns
Ref view_ns(State& st, PyObject* self) {
    if (plain_variables_view(st, self)) return Ref::borrow(st.views.variables_ns_slot.get(self));
    if (plain_commands_view(st, self)) return Ref::borrow(st.views.commands_ns_slot.get(self));
    return getattr(self, nm(st, n_ns));
}

// --- building handles

[[noreturn]] void tcl_given_twice(State& st, PyObject* cls) {
    Ref name = getattr_optional(cls, nm(st, n_qualname));
    if (!name) name = repr(cls);
    raise_format(PyExc_TypeError, "%S() got multiple values for keyword argument 'tcl'", name.get());
}

// cls(first, *extra, tcl=tcl, **kwargs)
Ref make_handle(State& st, PyObject* cls, PyObject* first, PyObject* extra, PyObject* tcl,
                PyObject* kwargs) {
    Py_ssize_t n_extra = extra ? PyTuple_GET_SIZE(extra) : 0;
    Py_ssize_t n_kwargs = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (n_extra == 0 && n_kwargs == 0) {
        PyObject* argv[] = {nullptr, first, tcl};
        return own(PyObject_Vectorcall(cls, argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                       st.views.kw_tcl));
    }
    std::vector<PyObject*> argv{nullptr, first};
    for (Py_ssize_t i = 0; i < n_extra; ++i) argv.push_back(PyTuple_GET_ITEM(extra, i));
    argv.push_back(tcl);
    Ref kwnames = own(PyTuple_New(1 + n_kwargs));
    PyTuple_SET_ITEM(kwnames.get(), 0, Py_NewRef(nm(st, n_tcl)));
    Py_ssize_t position = 0, i = 1;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        if (PyUnicode_Check(key) && PyUnicode_Compare(key, nm(st, n_tcl)) == 0)
            tcl_given_twice(st, cls);
        PyTuple_SET_ITEM(kwnames.get(), i++, Py_NewRef(key));
        argv.push_back(value);
    }
    return own(PyObject_Vectorcall(cls, argv.data() + 1,
                                   size_t(1 + n_extra) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// VariablesView.byref: var_type(join(ns, var_name), *extra, tcl=ns.tcl, **kwargs)
Ref variables_byref(State& st, PyObject* self, PyObject* var_name, PyObject* extra,
                    PyObject* kwargs) {
    Ref var_type;
    if (kwargs) {
        var_type = Ref::borrow(PyDict_GetItemWithError(kwargs, nm(st, n_var_type)));
        if (var_type) {
            check(PyDict_DelItem(kwargs, nm(st, n_var_type)));
        } else if (PyErr_Occurred()) {
            rethrow();
        }
    }
    if (!var_type) var_type = module_global(st, n_TclVariable);
    Ref ns = view_ns(st, self);
    Ref name = join_name(st, ns, var_name);
    return make_handle(st, var_type, name, extra, namespace_tcl(st, ns), kwargs);
}

// CommandsView.byref: TclCommand(join(ns, cmd_name), *extra, tcl=ns.tcl, **kwargs)
Ref commands_byref(State& st, PyObject* self, PyObject* cmd_name, PyObject* extra,
                   PyObject* kwargs) {
    Ref ns = view_ns(st, self);
    Ref name = join_name(st, ns, cmd_name);
    // A command name is one word.  TclCommand splits a name given without
    // pre-bound arguments as a Tcl list (a name holding a space, a brace or
    // a backslash would lose its tail to the arguments); a one-item tuple is
    // taken as it is.
    bool no_arguments = !extra || PyTuple_GET_SIZE(extra) == 0;
    if (no_arguments && kwargs) {
        PyObject* args = PyDict_GetItemWithError(kwargs, nm(st, n_args));
        if (!args && PyErr_Occurred()) rethrow();
        no_arguments = !args || args == Py_None;
    }
    Ref first = no_arguments ? tuple_of({name.get()}) : name;
    return make_handle(st, module_global(st, n_TclCommand), first, extra, namespace_tcl(st, ns),
                       kwargs);
}

// self.byref(name): the variable or command that an operation forwards to.
Ref variable_of(State& st, PyObject* self, PyObject* var_name) {
    if (plain_variables_view(st, self)) return variables_byref(st, self, var_name, nullptr, nullptr);
    return call_method(self, nm(st, n_byref), var_name);
}

// --- reading, the hot path
//
// Reading through a fresh handle, TclVariable(name, tcl=ns.tcl).get_str()
// or .get_obj(), sends one command: eval of the list text of `set name`, or
// getvar of the name.  While the view's class and TclVariable are the
// module's own, unchanged classes (and the interpreter is a true value,
// which TclVariable keeps), the view sends that command itself and skips
// building the handle, which would be dropped at once.  (`sorvan` must be
// the module's own too: the handle passes its name through it once more.)
bool reads_directly(State& st, PyObject* self) {
    auto& part = st.views;
    if (!plain_variables_view(st, self) || !part.own_variable_class) return false;
    Ref now = module_global(st, n_TclVariable);
    return now.get() == part.own_variable_class.get() &&
           part.variable_built.unchanged(reinterpret_cast<PyTypeObject*>(now.get())) &&
           sorvan_is_original(st);
}

// True for a name of letters, digits, '_' and ':' only: a word that Tcl
// reads literally as it stands, which list quoting leaves unchanged.
bool bare_word(PyObject* name) {
    if (!PyUnicode_IS_ASCII(name) || PyUnicode_GET_LENGTH(name) == 0) return false;
    const char* chars = static_cast<const char*>(PyUnicode_DATA(name));
    for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(name); ++i) {
        char c = chars[i];
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == ':')) return false;
    }
    return true;
}

// The script `set NAME` as the list text of its two words.
Ref set_script(State& st, PyObject* name) {
    if (bare_word(name)) {
        Py_ssize_t size = PyUnicode_GET_LENGTH(name);
        Ref script = own(PyUnicode_New(4 + size, 127));
        char* out = static_cast<char*>(PyUnicode_DATA(script.get()));
        std::memcpy(out, "set ", 4);
        std::memcpy(out + 4, PyUnicode_DATA(name), size_t(size));
        return script;
    }
    return call(module_global(st, n_sorvan), Ref(tuple_of({nm(st, n_set), name})).get());
}

// The view's variable as text: self.byref(var_name).get_str()
Ref read_text(State& st, PyObject* self, PyObject* var_name) {
    if (reads_directly(st, self)) {
        Ref ns = view_ns(st, self);
        Ref name = join_name(st, ns, var_name);
        Ref tcl = namespace_tcl(st, ns);
        if (truthy(tcl))
            return cached_method_call(st.views.eval_cache, nm(st, n_eval),
                                      handle_app(st, tcl).get(), set_script(st, name).get());
    }
    return call_method(variable_of(st, self, var_name), nm(st, n_get_str));
}

// The view's variable as an object: self.byref(var_name).get_obj(array_index=...)
Ref read_object(State& st, PyObject* self, PyObject* var_name, PyObject* array_index) {
    if (array_index == Py_None && reads_directly(st, self)) {
        Ref ns = view_ns(st, self);
        Ref name = join_name(st, ns, var_name);
        Ref tcl = namespace_tcl(st, ns);
        if (truthy(tcl))
            return cached_method_call(st.views.getvar_cache, nm(st, n_getvar),
                                      handle_app(st, tcl).get(), name.get());
    }
    return call_method_keywords(variable_of(st, self, var_name), nm(st, n_get_obj),
                                st.views.kw_array_index, array_index);
}

Ref command_of(State& st, PyObject* self, PyObject* cmd_name) {
    if (plain_commands_view(st, self)) return commands_byref(st, self, cmd_name, nullptr, nullptr);
    return call_method(self, nm(st, n_byref), cmd_name);
}

// --- listing
//
// Inside a namespace Tcl's `info vars` and `info commands` answer with the
// namespace's names and every global one too, and `info vars` also names
// variables that have no value (declared, never set) and arrays.  A view
// lists exactly the names it can read back with view[name]: the
// namespace's own variables holding a scalar value, its own commands, or
// its own procedures, as plain tails.  The scripts below run inside the
// namespace (through TclNamespace.call) and list with a qualified pattern
// made from the namespace's full name, whose namespace part Tcl reads
// literally (so ::g* or ::gl[1] are listed right); the variables' script
// keeps those holding a scalar value.  Of the qualified names they answer,
// the view keeps the tails (as `namespace tail` cuts them) that
// TclNamespace.join places back in the namespace: not empty, holding no
// ':', and, for a variable, not of the form a(b), which reads as an array
// element.
//
// Sent as fresh text, a script is compiled by Tcl on every listing.  So
// each interpreter keeps each script as a Tcl object on which Tcl caches
// its compiled form (compiled again only when it runs in another
// namespace or interpreter), and a listing sends ("::eval", script).  The
// object comes from Tcl in the first listing's own call, which sends
// ("::apply", boot, text): the boot procedure runs the text in the
// caller's frame and answers [list result text], the text object now
// carrying its compiled form, which tkinter hands to Python as a Tcl_Obj.
// A script object (unlike a lambda object) may outlive its interpreter
// safely.  Tcl objects belong to one thread: they are kept per interpreter
// object (weakly, so they go with it), and an interpreter is only used
// from its own thread.  When Tcl answers in another shape (tkinter with
// wantobjects off) nothing is kept.
enum Listing : size_t { list_vars, list_commands, list_procs };
constexpr size_t listing_count = 3;

#define ORVEX_LISTING_PATTERN "[::string map {:::: ::} [::namespace current]::*]"
const char* const listing_scripts[listing_count] = {
    "::apply {{pattern} {\n"
    "    set names {}\n"
    "    foreach name [::info vars $pattern] {\n"
    "        if {[::info exists $name] && ![::array exists $name]} {::lappend names $name}\n"
    "    }\n"
    "    return $names\n"
    "}} " ORVEX_LISTING_PATTERN,
    "::info commands " ORVEX_LISTING_PATTERN,
    "::info procs " ORVEX_LISTING_PATTERN,
};
#undef ORVEX_LISTING_PATTERN

const char* const boot_lambda = "{script} {::list [::uplevel 1 $script] $script}";

// The slots of the kept script objects of the interpreter behind `tcl`
// (borrowed, a list of listing_count items, None until had), or NULL when
// that interpreter cannot be remembered weakly.
Ref kept_scripts(State& st, PyObject* tcl) {
    auto& part = st.views;
    Ref interp = PyWeakref_CheckProxy(tcl) ? weak_referent(tcl) : Ref::borrow(tcl);
    if (!interp) return Ref();
    // cache.get(interp), read from the WeakKeyDictionary's own dict: its keys
    // are weak references, equal to a weak reference to the same object.
    PyObject* weak = PyWeakref_NewRef(interp, nullptr);
    if (weak == nullptr) {
        // No weak reference to it: nothing kept.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyError{};
        PyErr_Clear();
        return Ref();
    }
    Ref key = Ref::steal(weak);
    PyObject* found = PyDict_GetItemWithError(part.listing_data, key);
    if (found != nullptr) return Ref::borrow(found);  // the cache holds it
    if (PyErr_Occurred()) {
        // Not hashable: nothing kept.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyError{};
        PyErr_Clear();
        return Ref();
    }
    Ref slots;
    slots = own(PyList_New(Py_ssize_t(listing_count)));
    for (size_t i = 0; i < listing_count; ++i)
        PyList_SET_ITEM(slots.get(), Py_ssize_t(i), Py_NewRef(Py_None));
    if (PyObject_SetItem(part.listing_cache, interp, slots) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyError{};
        PyErr_Clear();
        return Ref();
    }
    return slots;
}

// What ns.call answers for a listing: Tcl's list of qualified names.
Ref run_listing(State& st, PyObject* ns, size_t which) {
    auto& part = st.views;
    PyObject* script_text = PyTuple_GET_ITEM(part.script_texts.get(), Py_ssize_t(which));
    Ref slots = namespace_plain(st, ns) ? kept_scripts(st, namespace_tcl(st, ns)) : Ref();
    if (!slots)
        return namespace_call(st, ns, Ref(tuple_of({part.w_eval.get(), script_text})));
    Ref kept = Ref::borrow(PyList_GET_ITEM(slots.get(), Py_ssize_t(which)));
    if (kept.get() != Py_None)
        return namespace_call(st, ns, Ref(tuple_of({part.w_eval.get(), kept.get()})));
    Ref answer = namespace_call(
        st, ns, Ref(tuple_of({part.w_apply.get(), part.boot_text.get(), script_text})));
    if (PyTuple_CheckExact(answer.get()) && PyTuple_GET_SIZE(answer.get()) == 2) {
        PyObject* script = PyTuple_GET_ITEM(answer.get(), 1);
        if (reinterpret_cast<PyObject*>(Py_TYPE(script)) == part.tcl_obj_type.get())
            check(PyList_SetItem(slots, Py_ssize_t(which), Py_NewRef(script)));
        return Ref::borrow(PyTuple_GET_ITEM(answer.get(), 0));
    }
    // Text (wantobjects off): the first item of its list.
    Ref items = call_method(namespace_tcl(st, ns), nm(st, n_cast_list), answer.get());
    return own(PySequence_GetItem(items, 0));
}

// The tail `namespace tail` cuts from a qualified name: what follows the
// last "::".
Py_ssize_t tail_start(PyObject* name) {
    int kind = PyUnicode_KIND(name);
    const void* data = PyUnicode_DATA(name);
    for (Py_ssize_t i = PyUnicode_GET_LENGTH(name) - 1; i > 0; --i)
        if (PyUnicode_READ(kind, data, i) == ':' && PyUnicode_READ(kind, data, i - 1) == ':')
            return i + 1;
    return 0;
}

// Where the tail of a listed name starts when the view lists it, else -1.
Py_ssize_t listed_tail(PyObject* name, bool variable) {
    Py_ssize_t start = tail_start(name), size = PyUnicode_GET_LENGTH(name);
    if (start >= size) return -1;
    int kind = PyUnicode_KIND(name);
    const void* data = PyUnicode_DATA(name);
    Py_ssize_t open = -1;
    for (Py_ssize_t i = start; i < size; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == ':') return -1;
        if (c == '(' && open < 0) open = i;
    }
    // string match *(*) : a '(' somewhere, and ')' last.
    if (variable && open >= 0 && PyUnicode_READ(kind, data, size - 1) == ')') return -1;
    return start;
}

// The names a view lists, from Tcl's answer to a listing (a list), or only
// how many when `count` is given.
Ref listed_names(State& st, PyObject* tcl, PyObject* answer, size_t which,
                 Py_ssize_t* count = nullptr) {
    Ref names;
    if (PyTuple_CheckExact(answer) || PyList_CheckExact(answer))
        names = Ref::borrow(answer);
    else
        names = call_method(tcl, nm(st, n_cast_list), answer);  // text: Tcl's list
    Ref items = own(PySequence_Fast(names, "a listing is a list"));
    Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
    Ref result = count ? Ref() : own(PyList_New(0));
    if (count) *count = 0;
    for (Py_ssize_t i = 0; i < size; ++i) {
        Ref name = Ref::borrow(PySequence_Fast_GET_ITEM(items.get(), i));
        if (!PyUnicode_Check(name.get())) name = str(name);
        Py_ssize_t start = listed_tail(name, which == list_vars);
        if (start < 0) continue;
        if (count) {
            ++*count;
        } else {
            Ref tail = start == 0 ? name : own(PyUnicode_Substring(name, start, PyUnicode_GET_LENGTH(name.get())));
            check(PyList_Append(result, tail));
        }
    }
    return result;
}

bool framework_cast_list(State& st, PyObject* tcl);

// self.ns.tcl.cast_list(names)
Ref list_names(State& st, PyObject* view, size_t which) {
    Ref ns = view_ns(st, view);
    Ref tcl = namespace_tcl(st, ns);
    Ref names = listed_names(st, tcl, run_listing(st, ns, which), which);
    // The framework's cast_list gives a copy of a list: the list will do.
    if (namespace_plain(st, ns) && framework_cast_list(st, tcl)) return names;
    return call_method(tcl, nm(st, n_cast_list), names.get());
}

// The iterator that __iter__ returns: like a generator, it asks the
// interpreter only when the first name is wanted.
struct NameIterator {
    PyObject_HEAD
    PyObject* view;   // until the names are fetched
    PyObject* names;  // iterator over the names, once fetched
    size_t which;     // the listing
};

int name_iterator_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* it = reinterpret_cast<NameIterator*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(it->view);
    Py_VISIT(it->names);
    return 0;
}

int name_iterator_clear(PyObject* self) {
    auto* it = reinterpret_cast<NameIterator*>(self);
    Py_CLEAR(it->view);
    Py_CLEAR(it->names);
    return 0;
}

void name_iterator_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    name_iterator_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* name_iterator_next(PyObject* self) {
    auto* it = reinterpret_cast<NameIterator*>(self);
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!it->names) {
            if (!it->view) return nullptr;  // failed before: finished
            // Done with the view either way, as a generator that returned or
            // raised is done.
            Ref view = Ref::steal(it->view);
            it->view = nullptr;
            Ref names = list_names(state_of<State>(self), view, it->which);
            it->names = own(PyObject_GetIter(names)).release();
        }
        return PyIter_Next(it->names);
    });
}

PyType_Slot name_iterator_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(name_iterator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(name_iterator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(name_iterator_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(name_iterator_next)},
    {0, nullptr},
};

TypeDef name_iterator_type_def{
    "orvex.tcl.namespace.view_iterator", sizeof(NameIterator), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, name_iterator_slots,
};

Ref iterate(State& st, PyObject* view, size_t which) {
    auto* type = reinterpret_cast<PyTypeObject*>(st.views.name_iterator_class.get());
    NameIterator* it = PyObject_GC_New(NameIterator, type);
    if (!it) rethrow();
    it->view = Py_NewRef(view);
    it->names = nullptr;
    it->which = which;
    PyObject_GC_Track(it);
    return Ref::steal(reinterpret_cast<PyObject*>(it));
}

// The number of names iter(view) yields.
Ref count_iterated(PyObject* self) {
    Ref it = own(PyObject_GetIter(self));
    Py_ssize_t count = 0;
    while (Ref name = Ref::steal(PyIter_Next(it))) ++count;
    if (PyErr_Occurred()) rethrow();
    return integer(count);
}

// True while `tcl.cast_list` is the framework's own (Interpreter.cast_list,
// bound to any interpreter): a count from Tcl is then the length of the
// list it would make of the names.
bool framework_cast_list(State& st, PyObject* tcl) {
    auto& part = st.views;
    if (!part.framework_cast_list) {
        Ref interpreter = import_from("orvex.tcl", "Interpreter");
        part.framework_cast_list = Ref::borrow(cpython::type_lookup(
            reinterpret_cast<PyTypeObject*>(interpreter.get()), nm(st, n_cast_list)));
        if (!part.framework_cast_list) part.framework_cast_list = none();
    }
    Ref method = getattr(tcl, nm(st, n_cast_list));
    return PyMethod_Check(method.get()) &&
           PyMethod_GET_FUNCTION(method.get()) == part.framework_cast_list.get();
}

// len(view): the number of names iter(view) yields, asked afresh.  While
// the view, its namespace and the interpreter's cast_list are the
// framework's own, the names are counted as listed (cast_list would copy
// the list).
Ref count_names(State& st, PyObject* self) {
    auto& part = st.views;
    size_t which = listing_count;
    if (part.variables_built.unchanged(Py_TYPE(self)) || part.objects_built.unchanged(Py_TYPE(self)))
        which = list_vars;
    else if (part.commands_built.unchanged(Py_TYPE(self)))
        which = list_commands;
    else if (part.procs_built.unchanged(Py_TYPE(self)))
        which = list_procs;
    if (which != listing_count) {
        Ref ns = view_ns(st, self);
        Ref tcl = namespace_tcl(st, ns);
        if (namespace_plain(st, ns) && framework_cast_list(st, tcl)) {
            Py_ssize_t count = 0;
            listed_names(st, tcl, run_listing(st, ns, which), which, &count);
            return integer(count);
        }
    }
    return count_iterated(self);
}

// --- construction (both families)

void init_view(State& st, PyObject* self, PyObject* ns, PyObject* view_class, bool plain,
               const Slot& ns_slot) {
    if (st.views.assertions_enabled && !isinstance(ns, module_global(st, n_TclNamespace))) {
        PyErr_SetNone(PyExc_AssertionError);
        rethrow();
    }
    // super().__init__(): the mapping bases have none of their own, so only
    // a subclass can put an __init__ there.
    if (!plain) {
        Ref next = super_of(view_class, self);
        call_method(next, st.names[n_dunder_init]);
        setattr(self, nm(st, n_ns), ns);
    } else {
        ns_slot.set(self, ns);
    }
}

// --- VariablesView

Signature vinit_sig{"__init__", {req("ns")}};
Ref vinit(State& st, PyObject* self, const Args& args) {
    init_view(st, self, args[0], st.views.variables_class, plain_variables_view(st, self),
              st.views.variables_ns_slot);
    return none();
}

Signature vbyref_sig{"byref", {req("var_name"), star("args"), starstar("kwargs")}};
Ref vbyref(State& st, PyObject* self, const Args& args) {
    return variables_byref(st, self, args[0], args.varargs(), args.varkw());
}

Signature array_byref_sig{"array_byref", {req("var_name"), star("args"), starstar("kwargs")}};
Ref array_byref(State& st, PyObject* self, const Args& args) {
    // self.byref(var_name, *args, var_type=TclArrayVariable, **kwargs)
    PyObject* kwargs = args.varkw();
    if (check(PyDict_Contains(kwargs, nm(st, n_var_type))))
        raise(PyExc_TypeError, "byref() got multiple values for keyword argument 'var_type'");
    Ref keywords = own(PyDict_New());
    check(PyDict_SetItem(keywords, nm(st, n_var_type), module_global(st, n_TclArrayVariable)));
    check(PyDict_Update(keywords, kwargs));
    Ref positional = own(PySequence_Concat(Ref(tuple_of({args[0]})), args.varargs()));
    return call_tuple(getattr(self, nm(st, n_byref)), positional, keywords);
}

Signature vget_sig{"get", {req("var_name")}};
Ref vget(State& st, PyObject* self, const Args& args) { return read_text(st, self, args[0]); }

Signature vset_sig{"set", {req("var_name"), req("value"), opt("array_index", py_none)}};
Ref vset(State& st, PyObject* self, const Args& args) {
    return call_method_keywords(variable_of(st, self, args[0]), nm(st, n_set),
                                st.views.kw_array_index, args[1], args[2]);
}

Signature vunset_sig{"unset", {req("var_name"), opt("array_index", py_none), opt("nocomplain", py_false)}};
Ref vunset(State& st, PyObject* self, const Args& args) {
    call_method_keywords(variable_of(st, self, args[0]), nm(st, n_unset),
                         st.views.kw_array_index_nocomplain, args[1], args[2]);
    return none();
}

Signature varray_get_sig{"array_get", {req("var_name"), opt("pattern", py_none)}};
Ref varray_get(State& st, PyObject* self, const Args& args) {
    return call_method_keywords(variable_of(st, self, args[0]), nm(st, n_array_get_str),
                                st.views.kw_pattern, args[1]);
}

Signature array_set_sig{"array_set", {req("var_name"), req("value")}};
Ref array_set(State& st, PyObject* self, const Args& args) {
    call_method(variable_of(st, self, args[0]), nm(st, n_array_set), args[1]);
    return none();
}

Signature array_unset_sig{"array_unset", {req("var_name"), opt("pattern", py_none)}};
Ref array_unset(State& st, PyObject* self, const Args& args) {
    call_method_keywords(variable_of(st, self, args[0]), nm(st, n_array_unset),
                         st.views.kw_pattern, args[1]);
    return none();
}

Signature array_names_sig{"array_names", {req("var_name"), opt("pattern", py_none)}};
Ref array_names(State& st, PyObject* self, const Args& args) {
    return call_method_keywords(variable_of(st, self, args[0]), nm(st, n_array_names),
                                st.views.kw_pattern, args[1]);
}

Signature is_array_sig{"is_array", {req("var_name")}};
Ref is_array(State& st, PyObject* self, const Args& args) {
    return call_method(variable_of(st, self, args[0]), nm(st, n_is_array));
}

Signature vexists_sig{"exists", {req("var_name"), opt("array_index", py_none)}};
Ref vexists(State& st, PyObject* self, const Args& args) {
    return call_method_keywords(variable_of(st, self, args[0]), nm(st, n_exists),
                                st.views.kw_array_index, args[1]);
}

// view[var_name]: self.get(var_name), where a failed read (no such
// variable, an array, a name that is not one) is a missing key.
Signature vgetitem_sig{"__getitem__", {req("var_name")}};
Ref vgetitem(State& st, PyObject* self, const Args& args) {
    PyObject* var_name = args[0];
    try {
        // self.get(var_name), straight to the view's own get while it is ours.
        if (st.views.variables_built.unchanged(Py_TYPE(self))) return read_text(st, self, var_name);
        if (st.views.objects_built.unchanged(Py_TYPE(self)))
            return read_object(st, self, var_name, Py_None);
        return call_method(self, nm(st, n_get), var_name);
    } catch (const PyError&) {
        if (!error_matches(st.tcl_error) && !error_matches(PyExc_ValueError)) throw;
        raise_key_error_from_pending(var_name);
    }
}

Signature vcontains_sig{"__contains__", {req("var_name")}};
Ref vcontains(State& st, PyObject* self, const Args& args) {
    return call_method(self, nm(st, n_exists), args[0]);
}

Signature vsetitem_sig{"__setitem__", {req("var_name"), req("value")}};
Ref vsetitem(State& st, PyObject* self, const Args& args) {
    call_method(self, nm(st, n_set), args[0], args[1]);
    return none();
}

Signature vdelitem_sig{"__delitem__", {req("var_name")}};
Ref vdelitem(State& st, PyObject* self, const Args& args) {
    try {
        call_method(self, nm(st, n_unset), args[0]);
    } catch (const PyError&) {
        if (!error_matches(st.tcl_error)) throw;
        raise_key_error_from_pending(args[0]);
    }
    return none();
}

Signature vlen_sig{"__len__", {}};
Signature clen_sig{"__len__", {}};
Ref len(State& st, PyObject* self, const Args&) { return count_names(st, self); }

Signature viter_sig{"__iter__", {}};
Ref viter(State& st, PyObject* self, const Args&) {
    return iterate(st, self, list_vars);
}

// --- ObjectsView

Signature oget_sig{"get", {req("var_name"), opt("array_index", py_none)}};
Ref oget(State& st, PyObject* self, const Args& args) {
    return read_object(st, self, args[0], args[1]);
}

Signature oarray_get_sig{"array_get", {req("var_name"), opt("pattern", py_none)}};
Ref oarray_get(State& st, PyObject* self, const Args& args) {
    return call_method_keywords(variable_of(st, self, args[0]), nm(st, n_array_get_obj),
                                st.views.kw_pattern, args[1]);
}

// --- CommandsView

Signature cinit_sig{"__init__", {req("ns")}};
Ref cinit(State& st, PyObject* self, const Args& args) {
    init_view(st, self, args[0], st.views.commands_class, plain_commands_view(st, self),
              st.views.commands_ns_slot);
    return none();
}

Signature cbyref_sig{"byref", {req("cmd_name"), star("args"), starstar("kwargs")}};
Ref cbyref(State& st, PyObject* self, const Args& args) {
    return commands_byref(st, self, args[0], args.varargs(), args.varkw());
}

Signature cexists_sig{"exists", {req("cmd_name")}};
Ref cexists(State& st, PyObject* self, const Args& args) {
    return call_method(command_of(st, self, args[0]), nm(st, n_exists));
}

Signature createcommand_sig{"createcommand", {req("cmd_name"), req("func")}};
Ref createcommand(State& st, PyObject* self, const Args& args) {
    call_method(command_of(st, self, args[0]), nm(st, n_createcommand), args[1]);
    return none();
}

Signature cdelete_sig{"delete", {req("cmd_name")}};
Ref cdelete(State& st, PyObject* self, const Args& args) {
    call_method(command_of(st, self, args[0]), nm(st, n_delete));
    return none();
}

Signature rename_sig{"rename", {req("cmd_name"), req("new_name")}};
Ref rename(State& st, PyObject* self, const Args& args) {
    // The new name is placed in the namespace too, before the command
    // object is made.
    Ref new_name = join_name(st, view_ns(st, self), args[1]);
    call_method(command_of(st, self, args[0]), nm(st, n_rename), new_name.get());
    return none();
}

Signature origin_sig{"origin", {req("cmd_name")}};
Ref origin(State& st, PyObject* self, const Args& args) {
    return call_method(command_of(st, self, args[0]), nm(st, n_origin));
}

Signature proc_body_sig{"proc_body", {req("cmd_name")}};
Ref proc_body(State& st, PyObject* self, const Args& args) {
    return call_method(command_of(st, self, args[0]), nm(st, n_proc_body));
}

Signature proc_args_sig{"proc_args", {req("cmd_name")}};
Ref proc_args(State& st, PyObject* self, const Args& args) {
    return call_method(command_of(st, self, args[0]), nm(st, n_proc_args));
}

Signature proc_arg_default_sig{"proc_arg_default", {req("cmd_name"), req("arg_name")}};
Ref proc_arg_default(State& st, PyObject* self, const Args& args) {
    return call_method(command_of(st, self, args[0]), nm(st, n_proc_arg_default), args[1]);
}

// view[cmd_name]: a command object, whether or not the command exists.
Signature cgetitem_sig{"__getitem__", {req("cmd_name")}};
Ref cgetitem(State& st, PyObject* self, const Args& args) { return command_of(st, self, args[0]); }

Signature ccontains_sig{"__contains__", {req("cmd_name")}};
Ref ccontains(State& st, PyObject* self, const Args& args) {
    return call_method(self, nm(st, n_exists), args[0]);
}

Signature csetitem_sig{"__setitem__", {req("cmd_name"), req("func")}};
Ref csetitem(State& st, PyObject* self, const Args& args) {
    call_method(self, nm(st, n_createcommand), args[0], args[1]);
    return none();
}

Signature cdelitem_sig{"__delitem__", {req("cmd_name")}};
Ref cdelitem(State& st, PyObject* self, const Args& args) {
    try {
        call_method(self, nm(st, n_delete), args[0]);
    } catch (const PyError&) {
        if (!error_matches(st.tcl_error)) throw;
        raise_key_error_from_pending(args[0]);
    }
    return none();
}

Signature citer_sig{"__iter__", {}};
Ref citer(State& st, PyObject* self, const Args&) {
    return iterate(st, self, list_commands);
}

// --- ProcsView

Signature pexists_sig{"exists", {req("cmd_name")}};
Ref pexists(State& st, PyObject* self, const Args& args) {
    return call_method(command_of(st, self, args[0]), nm(st, n_is_proc));
}

Signature piter_sig{"__iter__", {}};
Ref piter(State& st, PyObject* self, const Args&) {
    return iterate(st, self, list_procs);
}

}  // namespace

void make_view_classes(State& st, PyObject* module) {
    auto& part = st.views;
    part.names.fill(part.name_texts);
    part.kw_tcl = keyword_tuple({"tcl"});
    part.kw_array_index = keyword_tuple({"array_index"});
    part.kw_pattern = keyword_tuple({"pattern"});
    part.kw_array_index_nocomplain = keyword_tuple({"array_index", "nocomplain"});
    part.w_apply = text("::apply");
    part.w_eval = text("::eval");
    part.boot_text = text(boot_lambda);
    part.script_texts = own(PyTuple_New(Py_ssize_t(listing_count)));
    for (size_t i = 0; i < listing_count; ++i)
        PyTuple_SET_ITEM(part.script_texts.get(), Py_ssize_t(i), text(listing_scripts[i]).release());
    part.listing_cache = call(import_from("weakref", "WeakKeyDictionary"));
    part.listing_data = getattr(part.listing_cache, Ref(text("data")));
    part.tcl_obj_type = import_from("_tkinter", "Tcl_Obj");
    Ref flags = import_from("sys", "flags");
    part.assertions_enabled = !truthy(getattr(flags, Ref(text("optimize"))));
    part.name_iterator_class = make_type(module, name_iterator_type_def);

    Ref mutable_mapping = getattr(module, st.names[n_MutableMapping]);
    if (Ref variable_class = getattr_optional(module, st.names[n_TclVariable])) {
        part.own_variable_class = variable_class;
        part.variable_built.remember(variable_class);
    }

    ClassBuilder variables(module, "VariablesView", {mutable_mapping.get()},
                           "The variables of a namespace as a mapping from names to values (text).",
                           "TclNamespace.VariablesView");
    variables.slots({"ns"})
        .method<vinit_sig, vinit>("__init__")
        .method<vbyref_sig, vbyref>("byref", "A handle on the variable (var_type=TclVariable).")
        .method<array_byref_sig, array_byref>("array_byref", "A TclArrayVariable for the name.")
        .method<vget_sig, vget>("get", "The value as text.")
        .method<vset_sig, vset>("set")
        .method<vunset_sig, vunset>("unset")
        .method<varray_get_sig, varray_get>("array_get")
        .method<array_set_sig, array_set>("array_set")
        .method<array_unset_sig, array_unset>("array_unset")
        .method<array_names_sig, array_names>("array_names")
        .method<is_array_sig, is_array>("is_array")
        .method<vexists_sig, vexists>("exists")
        .method<vgetitem_sig, vgetitem>("__getitem__")
        .method<vcontains_sig, vcontains>("__contains__")
        .method<vsetitem_sig, vsetitem>("__setitem__")
        .method<vdelitem_sig, vdelitem>("__delitem__")
        .method<vlen_sig, len>("__len__")
        .method<viter_sig, viter>("__iter__");
    part.variables_class = variables.build();
    part.variables_ns_slot = variables.slot(part.variables_class, "ns");

    ClassBuilder objects(module, "ObjectsView", {part.variables_class.get()},
                         "The variables of a namespace as a mapping from names to values (objects).",
                         "TclNamespace.ObjectsView");
    objects.method<oget_sig, oget>("get", "The value as an object.")
        .method<oarray_get_sig, oarray_get>("array_get");
    part.objects_class = objects.build();

    ClassBuilder commands(module, "CommandsView", {mutable_mapping.get()},
                          "The commands of a namespace as a mapping from names to TclCommand objects.",
                          "TclNamespace.CommandsView");
    commands.slots({"ns"})
        .method<cinit_sig, cinit>("__init__")
        .method<cbyref_sig, cbyref>("byref", "A TclCommand for the name.")
        .method<cexists_sig, cexists>("exists")
        .method<createcommand_sig, createcommand>("createcommand")
        .method<cdelete_sig, cdelete>("delete")
        .method<rename_sig, rename>("rename")
        .method<origin_sig, origin>("origin")
        .method<proc_body_sig, proc_body>("proc_body")
        .method<proc_args_sig, proc_args>("proc_args")
        .method<proc_arg_default_sig, proc_arg_default>("proc_arg_default")
        .method<cgetitem_sig, cgetitem>("__getitem__")
        .method<ccontains_sig, ccontains>("__contains__")
        .method<csetitem_sig, csetitem>("__setitem__")
        .method<cdelitem_sig, cdelitem>("__delitem__")
        .method<clen_sig, len>("__len__")
        .method<citer_sig, citer>("__iter__");
    part.commands_class = commands.build();
    part.commands_ns_slot = commands.slot(part.commands_class, "ns");

    ClassBuilder procs(module, "ProcsView", {part.commands_class.get()},
                       "The procedures of a namespace as a mapping from names to TclCommand objects.",
                       "TclNamespace.ProcsView");
    procs.method<pexists_sig, pexists>("exists", "Whether it is a procedure.")
        .method<piter_sig, piter>("__iter__");
    part.procs_class = procs.build();

    part.variables_built.remember(part.variables_class);
    part.objects_built.remember(part.objects_class);
    part.commands_built.remember(part.commands_class);
    part.procs_built.remember(part.procs_class);
}

}  // namespace orvex::tcl_namespace

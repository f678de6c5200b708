// orvex.tcl.namespace: the four mapping views of a TclNamespace's contents
// (TclNamespace.VariablesView, .ObjectsView, .CommandsView, .ProcsView).
//
// A view keeps nothing but its namespace.  Every operation places the name
// it is given in the namespace (TclNamespace.join), builds a fresh
// TclVariable, TclArrayVariable or TclCommand for it and forwards to that
// object; listing asks the interpreter each time.
#include "namespaces.hpp"
#include "type_method.hpp"

#include <cctype>
#include <cstring>
#include <vector>

namespace orvex::tcl_namespace {

namespace {

Global g_TclVariable{module_globals, "TclVariable"};
Global g_TclArrayVariable{module_globals, "TclArrayVariable"};
Global g_TclCommand{module_globals, "TclCommand"};
Global g_sorvan{module_globals, "sorvan"};

Name n_ns{"ns"};
Name n_tk{"tk"};
TypeMethod app_eval{"eval"};
TypeMethod app_getvar{"getvar"};
Name w_set{"set"};
Name n_byref{"byref"};
Name n_get{"get"};
Name n_set{"set"};
Name n_unset{"unset"};
Name n_exists{"exists"};
Name n_delete{"delete"};
Name n_createcommand{"createcommand"};
Name n_get_str{"get_str"};
Name n_get_obj{"get_obj"};
Name n_array_get_str{"array_get_str"};
Name n_array_get_obj{"array_get_obj"};
Name n_array_set{"array_set"};
Name n_array_unset{"array_unset"};
Name n_array_names{"array_names"};
Name n_is_array{"is_array"};
Name n_is_proc{"is_proc"};
Name n_rename{"rename"};
Name n_origin{"origin"};
Name n_proc_body{"proc_body"};
Name n_proc_args{"proc_args"};
Name n_proc_arg_default{"proc_arg_default"};
Name n_cast_list{"cast_list"};
Name n_var_type{"var_type"};
Name n_args{"args"};
Name n_tcl{"tcl"};
Name n_init{"__init__"};
Name n_qualname{"__qualname__"};

PyObject* kw_tcl = nullptr;                     // ("tcl",)
PyObject* kw_array_index = nullptr;             // ("array_index",)
PyObject* kw_pattern = nullptr;                 // ("pattern",)
PyObject* kw_array_index_nocomplain = nullptr;  // ("array_index", "nocomplain")

bool assertions_enabled = true;  // false under python -O

// The classes as built, and their member slot `ns`.
ClassVersion variables_built, objects_built, commands_built, procs_built;
PyObject* variables_type = nullptr;
PyObject* commands_type = nullptr;
Slot variables_ns_slot, commands_ns_slot;

bool plain_variables_view(PyObject* self) {
    return variables_built.holds(Py_TYPE(self)) || objects_built.holds(Py_TYPE(self));
}
bool plain_commands_view(PyObject* self) {
    return commands_built.holds(Py_TYPE(self)) || procs_built.holds(Py_TYPE(self));
}

// self.ns
Ref view_ns(PyObject* self) {
    if (plain_variables_view(self)) return Ref::borrow(variables_ns_slot.get(self));
    if (plain_commands_view(self)) return Ref::borrow(commands_ns_slot.get(self));
    return getattr(self, n_ns);
}

// --- building handles

[[noreturn]] void tcl_given_twice(PyObject* cls) {
    Ref name = getattr_optional(cls, n_qualname);
    if (!name) name = repr(cls);
    raise_format(PyExc_TypeError, "%S() got multiple values for keyword argument 'tcl'", name.get());
}

// cls(first, *extra, tcl=tcl, **kwargs)
Ref make_handle(PyObject* cls, PyObject* first, PyObject* extra, PyObject* tcl, PyObject* kwargs) {
    Py_ssize_t n_extra = extra ? PyTuple_GET_SIZE(extra) : 0;
    Py_ssize_t n_kwargs = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (n_extra == 0 && n_kwargs == 0) {
        PyObject* argv[] = {nullptr, first, tcl};
        return own(PyObject_Vectorcall(cls, argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw_tcl));
    }
    std::vector<PyObject*> argv{nullptr, first};
    for (Py_ssize_t i = 0; i < n_extra; ++i) argv.push_back(PyTuple_GET_ITEM(extra, i));
    argv.push_back(tcl);
    Ref kwnames = own(PyTuple_New(1 + n_kwargs));
    PyTuple_SET_ITEM(kwnames.get(), 0, Py_NewRef(n_tcl.get()));
    Py_ssize_t position = 0, i = 1;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        if (PyUnicode_Check(key) && PyUnicode_Compare(key, n_tcl) == 0) tcl_given_twice(cls);
        PyTuple_SET_ITEM(kwnames.get(), i++, Py_NewRef(key));
        argv.push_back(value);
    }
    return own(PyObject_Vectorcall(cls, argv.data() + 1,
                                   size_t(1 + n_extra) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// VariablesView.byref: var_type(join(ns, var_name), *extra, tcl=ns.tcl, **kwargs)
Ref variables_byref(PyObject* self, PyObject* var_name, PyObject* extra, PyObject* kwargs) {
    Ref var_type;
    if (kwargs) {
        var_type = Ref::borrow(PyDict_GetItemWithError(kwargs, n_var_type));
        if (var_type) {
            check(PyDict_DelItem(kwargs, n_var_type));
        } else if (PyErr_Occurred()) {
            rethrow();
        }
    }
    if (!var_type) var_type = g_TclVariable.get();
    Ref ns = view_ns(self);
    Ref name = join_name(ns, var_name);
    return make_handle(var_type, name, extra, namespace_tcl(ns), kwargs);
}

// CommandsView.byref: TclCommand(join(ns, cmd_name), *extra, tcl=ns.tcl, **kwargs)
Ref commands_byref(PyObject* self, PyObject* cmd_name, PyObject* extra, PyObject* kwargs) {
    Ref ns = view_ns(self);
    Ref name = join_name(ns, cmd_name);
    // A command name is one word.  TclCommand splits a name given without
    // pre-bound arguments as a Tcl list (a name holding a space, a brace or
    // a backslash would lose its tail to the arguments); a one-item tuple is
    // taken as it is.
    bool no_arguments = !extra || PyTuple_GET_SIZE(extra) == 0;
    if (no_arguments && kwargs) {
        PyObject* args = PyDict_GetItemWithError(kwargs, n_args);
        if (!args && PyErr_Occurred()) rethrow();
        no_arguments = !args || args == Py_None;
    }
    Ref first = no_arguments ? tuple_of({name.get()}) : name;
    return make_handle(g_TclCommand.get(), first, extra, namespace_tcl(ns), kwargs);
}

// self.byref(name): the variable or command that an operation forwards to.
Ref variable_of(PyObject* self, PyObject* var_name) {
    if (plain_variables_view(self)) return variables_byref(self, var_name, nullptr, nullptr);
    return call_method(self, n_byref, var_name);
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
PyObject* module_TclVariable = nullptr;  // TclVariable as the module defined it
ClassVersion variable_built;

bool reads_directly(PyObject* self) {
    return plain_variables_view(self) && module_TclVariable && g_TclVariable.is(module_TclVariable) &&
           variable_built.holds(reinterpret_cast<PyTypeObject*>(module_TclVariable)) &&
           sorvan_is_original();
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
Ref set_script(PyObject* name) {
    if (bare_word(name)) {
        Py_ssize_t size = PyUnicode_GET_LENGTH(name);
        Ref script = own(PyUnicode_New(4 + size, 127));
        char* out = static_cast<char*>(PyUnicode_DATA(script.get()));
        std::memcpy(out, "set ", 4);
        std::memcpy(out + 4, PyUnicode_DATA(name), size_t(size));
        return script;
    }
    return call(g_sorvan.get(), Ref(tuple_of({w_set.get(), name})).get());
}

// The view's variable as text: self.byref(var_name).get_str()
Ref read_text(PyObject* self, PyObject* var_name) {
    if (reads_directly(self)) {
        Ref ns = view_ns(self);
        Ref name = join_name(ns, var_name);
        Ref tcl = namespace_tcl(ns);
        if (truthy(tcl)) return app_eval.call(getattr(tcl, n_tk).get(), set_script(name).get());
    }
    return call_method(variable_of(self, var_name), n_get_str);
}

// The view's variable as an object: self.byref(var_name).get_obj(array_index=...)
Ref read_object(PyObject* self, PyObject* var_name, PyObject* array_index) {
    if (array_index == Py_None && reads_directly(self)) {
        Ref ns = view_ns(self);
        Ref name = join_name(ns, var_name);
        Ref tcl = namespace_tcl(ns);
        if (truthy(tcl)) return app_getvar.call(getattr(tcl, n_tk).get(), name.get());
    }
    return call_method_keywords(variable_of(self, var_name), n_get_obj, kw_array_index, array_index);
}

Ref command_of(PyObject* self, PyObject* cmd_name) {
    if (plain_commands_view(self)) return commands_byref(self, cmd_name, nullptr, nullptr);
    return call_method(self, n_byref, cmd_name);
}

// --- listing
//
// Inside a namespace Tcl's `info vars` and `info commands` answer with the
// namespace's names and every global one too, and `info vars` also names
// variables that have no value (declared, never set) and arrays.  A view
// lists exactly the names it can read back with view[name]: the
// namespace's own variables holding a scalar value, its own commands, or
// its own procedures, as plain tails.  The Tcl procedure below runs inside
// the namespace (through TclNamespace.call), takes the namespace's full
// name from the caller's frame and lists with a qualified pattern, whose
// namespace part Tcl reads literally (so ::g* or ::gl[1] are listed
// right).  Tails holding ':' (or nothing) cannot be placed back in the
// namespace by TclNamespace.join, and a variable tail of the form a(b)
// reads as an array element, so neither is listed.
const char* const list_names_lambda = R"tcl({kind} {
    set ns [uplevel 1 {::namespace current}]
    if {$ns eq "::"} {set ns ""}
    set names {}
    foreach name [::info $kind ${ns}::*] {
        set tail [::namespace tail $name]
        if {$tail eq "" || [::string first : $tail] >= 0} continue
        if {$kind eq "vars" && ([::string match *(*) $tail]
                || ![::info exists $name] || [::array exists $name])} continue
        ::lappend names $tail
    }
    return $names
})tcl";

PyObject* list_vars_words = nullptr;      // ("::apply", lambda, "vars")
PyObject* list_commands_words = nullptr;  // ("::apply", lambda, "commands")
PyObject* list_procs_words = nullptr;     // ("::apply", lambda, "procs")

// self.ns.tcl.cast_list(self.ns.call(words))
Ref list_names(PyObject* view, PyObject* words) {
    Ref ns = view_ns(view);
    Ref answer = namespace_call(ns, words);
    return call_method(namespace_tcl(ns), n_cast_list, answer.get());
}

// The iterator that __iter__ returns: like a generator, it asks the
// interpreter only when the first name is wanted.
struct NameIterator {
    PyObject_HEAD
    PyObject* view;   // until the names are fetched
    PyObject* words;  // the listing command
    PyObject* names;  // iterator over the names, once fetched
};

PyTypeObject* name_iterator_type = nullptr;

int name_iterator_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* it = reinterpret_cast<NameIterator*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(it->view);
    Py_VISIT(it->words);
    Py_VISIT(it->names);
    return 0;
}

int name_iterator_clear(PyObject* self) {
    auto* it = reinterpret_cast<NameIterator*>(self);
    Py_CLEAR(it->view);
    Py_CLEAR(it->words);
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
    try {
        if (!it->names) {
            if (!it->view) return nullptr;  // failed before: finished
            // Done with the view either way, as a generator that returned or
            // raised is done.
            Ref view = Ref::steal(it->view);
            it->view = nullptr;
            Ref names = list_names(view, it->words);
            it->names = own(PyObject_GetIter(names)).release();
        }
        return PyIter_Next(it->names);
    } catch (const PyError&) {
        return nullptr;
    }
}

PyType_Slot name_iterator_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(name_iterator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(name_iterator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(name_iterator_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(name_iterator_next)},
    {0, nullptr},
};

PyType_Spec name_iterator_spec{
    "orvex.tcl.namespace.view_iterator", sizeof(NameIterator), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, name_iterator_slots,
};

Ref iterate(PyObject* view, PyObject* words) {
    NameIterator* it = PyObject_GC_New(NameIterator, name_iterator_type);
    if (!it) rethrow();
    it->view = Py_NewRef(view);
    it->words = Py_NewRef(words);
    it->names = nullptr;
    PyObject_GC_Track(it);
    return Ref::steal(reinterpret_cast<PyObject*>(it));
}

// len(view): the number of names iter(view) yields, asked afresh.
Ref count_names(PyObject* self) {
    Ref it = own(PyObject_GetIter(self));
    Py_ssize_t count = 0;
    while (Ref name = Ref::steal(PyIter_Next(it))) ++count;
    if (PyErr_Occurred()) rethrow();
    return integer(count);
}

// --- construction (both families)

void init_view(PyObject* self, PyObject* ns, PyObject* view_class, bool plain, const Slot& ns_slot) {
    if (assertions_enabled && !isinstance(ns, namespace_class())) {
        PyErr_SetNone(PyExc_AssertionError);
        rethrow();
    }
    // super().__init__(): the mapping bases have none of their own, so only
    // a subclass can put an __init__ there.
    if (!plain) {
        Ref next = super_of(view_class, self);
        call_method(next, n_init);
        setattr(self, n_ns, ns);
    } else {
        ns_slot.set(self, ns);
    }
}

// --- VariablesView

Signature vinit_sig{"__init__", {req("ns")}};
Ref vinit(PyObject* self, const Args& args) {
    init_view(self, args[0], variables_type, plain_variables_view(self), variables_ns_slot);
    return none();
}

Signature vbyref_sig{"byref", {req("var_name"), star("args"), starstar("kwargs")}};
Ref vbyref(PyObject* self, const Args& args) {
    return variables_byref(self, args[0], args.varargs(), args.varkw());
}

Signature array_byref_sig{"array_byref", {req("var_name"), star("args"), starstar("kwargs")}};
Ref array_byref(PyObject* self, const Args& args) {
    // self.byref(var_name, *args, var_type=TclArrayVariable, **kwargs)
    PyObject* kwargs = args.varkw();
    if (check(PyDict_Contains(kwargs, n_var_type)))
        raise(PyExc_TypeError, "byref() got multiple values for keyword argument 'var_type'");
    Ref keywords = own(PyDict_New());
    check(PyDict_SetItem(keywords, n_var_type, g_TclArrayVariable.get()));
    check(PyDict_Update(keywords, kwargs));
    Ref positional = own(PySequence_Concat(Ref(tuple_of({args[0]})), args.varargs()));
    return call_tuple(getattr(self, n_byref), positional, keywords);
}

Signature vget_sig{"get", {req("var_name")}};
Ref vget(PyObject* self, const Args& args) { return read_text(self, args[0]); }

Signature vset_sig{"set", {req("var_name"), req("value"), opt("array_index", py_none)}};
Ref vset(PyObject* self, const Args& args) {
    return call_method_keywords(variable_of(self, args[0]), n_set, kw_array_index, args[1], args[2]);
}

Signature vunset_sig{"unset", {req("var_name"), opt("array_index", py_none), opt("nocomplain", py_false)}};
Ref vunset(PyObject* self, const Args& args) {
    call_method_keywords(variable_of(self, args[0]), n_unset, kw_array_index_nocomplain, args[1],
                         args[2]);
    return none();
}

Signature varray_get_sig{"array_get", {req("var_name"), opt("pattern", py_none)}};
Ref varray_get(PyObject* self, const Args& args) {
    return call_method_keywords(variable_of(self, args[0]), n_array_get_str, kw_pattern, args[1]);
}

Signature array_set_sig{"array_set", {req("var_name"), req("value")}};
Ref array_set(PyObject* self, const Args& args) {
    call_method(variable_of(self, args[0]), n_array_set, args[1]);
    return none();
}

Signature array_unset_sig{"array_unset", {req("var_name"), opt("pattern", py_none)}};
Ref array_unset(PyObject* self, const Args& args) {
    call_method_keywords(variable_of(self, args[0]), n_array_unset, kw_pattern, args[1]);
    return none();
}

Signature array_names_sig{"array_names", {req("var_name"), opt("pattern", py_none)}};
Ref array_names(PyObject* self, const Args& args) {
    return call_method_keywords(variable_of(self, args[0]), n_array_names, kw_pattern, args[1]);
}

Signature is_array_sig{"is_array", {req("var_name")}};
Ref is_array(PyObject* self, const Args& args) {
    return call_method(variable_of(self, args[0]), n_is_array);
}

Signature vexists_sig{"exists", {req("var_name"), opt("array_index", py_none)}};
Ref vexists(PyObject* self, const Args& args) {
    return call_method_keywords(variable_of(self, args[0]), n_exists, kw_array_index, args[1]);
}

// view[var_name]: self.get(var_name), where a failed read (no such
// variable, an array, a name that is not one) is a missing key.
Signature vgetitem_sig{"__getitem__", {req("var_name")}};
Ref vgetitem(PyObject* self, const Args& args) {
    PyObject* var_name = args[0];
    try {
        // self.get(var_name), straight to the view's own get while it is ours.
        if (variables_built.holds(Py_TYPE(self))) return read_text(self, var_name);
        if (objects_built.holds(Py_TYPE(self))) return read_object(self, var_name, Py_None);
        return call_method(self, n_get, var_name);
    } catch (const PyError&) {
        if (!error_matches(tcl_error()) && !error_matches(PyExc_ValueError)) throw;
        raise_key_error_from_pending(var_name);
    }
}

Signature vcontains_sig{"__contains__", {req("var_name")}};
Ref vcontains(PyObject* self, const Args& args) { return call_method(self, n_exists, args[0]); }

Signature vsetitem_sig{"__setitem__", {req("var_name"), req("value")}};
Ref vsetitem(PyObject* self, const Args& args) {
    call_method(self, n_set, args[0], args[1]);
    return none();
}

Signature vdelitem_sig{"__delitem__", {req("var_name")}};
Ref vdelitem(PyObject* self, const Args& args) {
    try {
        call_method(self, n_unset, args[0]);
    } catch (const PyError&) {
        if (!error_matches(tcl_error())) throw;
        raise_key_error_from_pending(args[0]);
    }
    return none();
}

Signature vlen_sig{"__len__", {}};
Signature clen_sig{"__len__", {}};
Ref len(PyObject* self, const Args&) { return count_names(self); }

Signature viter_sig{"__iter__", {}};
Ref viter(PyObject* self, const Args&) { return iterate(self, list_vars_words); }

// --- ObjectsView

Signature oget_sig{"get", {req("var_name"), opt("array_index", py_none)}};
Ref oget(PyObject* self, const Args& args) { return read_object(self, args[0], args[1]); }

Signature oarray_get_sig{"array_get", {req("var_name"), opt("pattern", py_none)}};
Ref oarray_get(PyObject* self, const Args& args) {
    return call_method_keywords(variable_of(self, args[0]), n_array_get_obj, kw_pattern, args[1]);
}

// --- CommandsView

Signature cinit_sig{"__init__", {req("ns")}};
Ref cinit(PyObject* self, const Args& args) {
    init_view(self, args[0], commands_type, plain_commands_view(self), commands_ns_slot);
    return none();
}

Signature cbyref_sig{"byref", {req("cmd_name"), star("args"), starstar("kwargs")}};
Ref cbyref(PyObject* self, const Args& args) {
    return commands_byref(self, args[0], args.varargs(), args.varkw());
}

Signature cexists_sig{"exists", {req("cmd_name")}};
Ref cexists(PyObject* self, const Args& args) {
    return call_method(command_of(self, args[0]), n_exists);
}

Signature createcommand_sig{"createcommand", {req("cmd_name"), req("func")}};
Ref createcommand(PyObject* self, const Args& args) {
    call_method(command_of(self, args[0]), n_createcommand, args[1]);
    return none();
}

Signature cdelete_sig{"delete", {req("cmd_name")}};
Ref cdelete(PyObject* self, const Args& args) {
    call_method(command_of(self, args[0]), n_delete);
    return none();
}

Signature rename_sig{"rename", {req("cmd_name"), req("new_name")}};
Ref rename(PyObject* self, const Args& args) {
    // The new name is placed in the namespace too, before the command
    // object is made.
    Ref new_name = join_name(view_ns(self), args[1]);
    call_method(command_of(self, args[0]), n_rename, new_name.get());
    return none();
}

Signature origin_sig{"origin", {req("cmd_name")}};
Ref origin(PyObject* self, const Args& args) {
    return call_method(command_of(self, args[0]), n_origin);
}

Signature proc_body_sig{"proc_body", {req("cmd_name")}};
Ref proc_body(PyObject* self, const Args& args) {
    return call_method(command_of(self, args[0]), n_proc_body);
}

Signature proc_args_sig{"proc_args", {req("cmd_name")}};
Ref proc_args(PyObject* self, const Args& args) {
    return call_method(command_of(self, args[0]), n_proc_args);
}

Signature proc_arg_default_sig{"proc_arg_default", {req("cmd_name"), req("arg_name")}};
Ref proc_arg_default(PyObject* self, const Args& args) {
    return call_method(command_of(self, args[0]), n_proc_arg_default, args[1]);
}

// view[cmd_name]: a command object, whether or not the command exists.
Signature cgetitem_sig{"__getitem__", {req("cmd_name")}};
Ref cgetitem(PyObject* self, const Args& args) { return command_of(self, args[0]); }

Signature ccontains_sig{"__contains__", {req("cmd_name")}};
Ref ccontains(PyObject* self, const Args& args) { return call_method(self, n_exists, args[0]); }

Signature csetitem_sig{"__setitem__", {req("cmd_name"), req("func")}};
Ref csetitem(PyObject* self, const Args& args) {
    call_method(self, n_createcommand, args[0], args[1]);
    return none();
}

Signature cdelitem_sig{"__delitem__", {req("cmd_name")}};
Ref cdelitem(PyObject* self, const Args& args) {
    try {
        call_method(self, n_delete, args[0]);
    } catch (const PyError&) {
        if (!error_matches(tcl_error())) throw;
        raise_key_error_from_pending(args[0]);
    }
    return none();
}

Signature citer_sig{"__iter__", {}};
Ref citer(PyObject* self, const Args&) { return iterate(self, list_commands_words); }

// --- ProcsView

Signature pexists_sig{"exists", {req("cmd_name")}};
Ref pexists(PyObject* self, const Args& args) {
    return call_method(command_of(self, args[0]), n_is_proc);
}

Signature piter_sig{"__iter__", {}};
Ref piter(PyObject* self, const Args&) { return iterate(self, list_procs_words); }

Ref listing_words(const char* kind) {
    Ref apply = text("::apply"), lambda = text(list_names_lambda), word = text(kind);
    return tuple_of({apply.get(), lambda.get(), word.get()});
}

}  // namespace

ViewClasses make_view_classes(PyObject* module) {
    kw_tcl = keyword_names({"tcl"});
    kw_array_index = keyword_names({"array_index"});
    kw_pattern = keyword_names({"pattern"});
    kw_array_index_nocomplain = keyword_names({"array_index", "nocomplain"});
    list_vars_words = listing_words("vars").release();
    list_commands_words = listing_words("commands").release();
    list_procs_words = listing_words("procs").release();
    Ref flags = import_from("sys", "flags");
    assertions_enabled = !truthy(getattr(flags, Ref(text("optimize"))));
    name_iterator_type = reinterpret_cast<PyTypeObject*>(
        own(PyType_FromSpec(&name_iterator_spec)).release());

    Ref mutable_mapping = getattr(module, Ref(text("MutableMapping")));
    if (Ref variable_class = getattr_optional(module, Ref(text("TclVariable")))) {
        module_TclVariable = variable_class.release();  // kept for the life of the process
        variable_built.take(module_TclVariable);
    }
    ViewClasses views;

    ClassBuilder variables(module, "VariablesView", {mutable_mapping.get()},
                           "The variables of a namespace as a mapping from names to values (text).",
                           "TclNamespace.VariablesView");
    variables.slots({"ns"})
        .method<vinit_sig, vinit>("__init__")
        .method<vbyref_sig, vbyref>("byref", "byref(var_name, *args, var_type=TclVariable, **kwargs)")
        .method<array_byref_sig, array_byref>("array_byref", "array_byref(var_name, *args, **kwargs)")
        .method<vget_sig, vget>("get", "get(var_name): the value as text.")
        .method<vset_sig, vset>("set", "set(var_name, value, array_index=None)")
        .method<vunset_sig, vunset>("unset", "unset(var_name, array_index=None, nocomplain=False)")
        .method<varray_get_sig, varray_get>("array_get", "array_get(var_name, pattern=None)")
        .method<array_set_sig, array_set>("array_set", "array_set(var_name, value)")
        .method<array_unset_sig, array_unset>("array_unset", "array_unset(var_name, pattern=None)")
        .method<array_names_sig, array_names>("array_names", "array_names(var_name, pattern=None)")
        .method<is_array_sig, is_array>("is_array", "is_array(var_name)")
        .method<vexists_sig, vexists>("exists", "exists(var_name, array_index=None)")
        .method<vgetitem_sig, vgetitem>("__getitem__")
        .method<vcontains_sig, vcontains>("__contains__")
        .method<vsetitem_sig, vsetitem>("__setitem__")
        .method<vdelitem_sig, vdelitem>("__delitem__")
        .method<vlen_sig, len>("__len__")
        .method<viter_sig, viter>("__iter__");
    views.variables = variables.build();
    variables_ns_slot = variables.slot(views.variables, "ns");

    ClassBuilder objects(module, "ObjectsView", {views.variables.get()},
                         "The variables of a namespace as a mapping from names to values (objects).",
                         "TclNamespace.ObjectsView");
    objects.method<oget_sig, oget>("get", "get(var_name, array_index=None): the value as an object.")
        .method<oarray_get_sig, oarray_get>("array_get", "array_get(var_name, pattern=None)");
    views.objects = objects.build();

    ClassBuilder commands(module, "CommandsView", {mutable_mapping.get()},
                          "The commands of a namespace as a mapping from names to TclCommand objects.",
                          "TclNamespace.CommandsView");
    commands.slots({"ns"})
        .method<cinit_sig, cinit>("__init__")
        .method<cbyref_sig, cbyref>("byref", "byref(cmd_name, *args, **kwargs): a TclCommand.")
        .method<cexists_sig, cexists>("exists", "exists(cmd_name)")
        .method<createcommand_sig, createcommand>("createcommand", "createcommand(cmd_name, func)")
        .method<cdelete_sig, cdelete>("delete", "delete(cmd_name)")
        .method<rename_sig, rename>("rename", "rename(cmd_name, new_name)")
        .method<origin_sig, origin>("origin", "origin(cmd_name)")
        .method<proc_body_sig, proc_body>("proc_body", "proc_body(cmd_name)")
        .method<proc_args_sig, proc_args>("proc_args", "proc_args(cmd_name)")
        .method<proc_arg_default_sig, proc_arg_default>("proc_arg_default",
                                                         "proc_arg_default(cmd_name, arg_name)")
        .method<cgetitem_sig, cgetitem>("__getitem__")
        .method<ccontains_sig, ccontains>("__contains__")
        .method<csetitem_sig, csetitem>("__setitem__")
        .method<cdelitem_sig, cdelitem>("__delitem__")
        .method<clen_sig, len>("__len__")
        .method<citer_sig, citer>("__iter__");
    views.commands = commands.build();
    commands_ns_slot = commands.slot(views.commands, "ns");

    ClassBuilder procs(module, "ProcsView", {views.commands.get()},
                       "The procedures of a namespace as a mapping from names to TclCommand objects.",
                       "TclNamespace.ProcsView");
    procs.method<pexists_sig, pexists>("exists", "exists(cmd_name): whether it is a procedure.")
        .method<piter_sig, piter>("__iter__");
    views.procs = procs.build();

    variables_type = Ref(views.variables).release();  // kept for the life of the process
    commands_type = Ref(views.commands).release();
    variables_built.take(views.variables);
    objects_built.take(views.objects);
    commands_built.take(views.commands);
    procs_built.take(views.procs);
    return views;
}

}  // namespace orvex::tcl_namespace

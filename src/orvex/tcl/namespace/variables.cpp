// orvex.tcl.namespace: Tcl variables and arrays as Python objects.
//
//     class TclVariable:                      # a scalar, an array, or one element
//     class TempTclVariable(TclVariable):     # unset when its `with` block ends
//     class TclArrayVariable(MutableMapping, TclVariable):   # an array as a mapping
//     class TempTclArrayVariable(TempTclVariable, TclArrayVariable):
//
// A handle holds the interpreter (as a weak proxy), the variable's Tcl name
// text and a default cast; it caches nothing and sends every operation to
// the interpreter's `tk` when it is called.  `sorvan`, `tclobj`,
// `TclNamespace` (through join_name), `TclVariable` and `MutableMapping` are
// read from the module's globals when a function runs, so replacing one on
// the module changes what the next call does.
#include "namespace_module.hpp"
#include "namespaces.hpp"
#include "type_method.hpp"

#include <array>

namespace orvex::tcl_namespace {

namespace {

Global g_sorvan{module_globals, "sorvan"};
Global g_tclobj{module_globals, "tclobj"};
Global g_TclVariable{module_globals, "TclVariable"};
Global g_MutableMapping{module_globals, "MutableMapping"};

Name n_tk{"tk"};
// The app's hot methods, looked up once per class of app object.
TypeMethod app_getvar{"getvar"};
TypeMethod app_setvar{"setvar"};
Name n_unsetvar{"unsetvar"};
Name n_call{"call"};
Name n_eval{"eval"};
Name n_cast_boolean{"cast_boolean"};
Name n_cast_list{"cast_list"};
Name n_cast_array{"cast_array"};
Name n_startswith{"startswith"};
Name n_class{"__class__"};
Name n_name{"__name__"};
Name n_init{"__init__"};
Name n_get_obj{"get_obj"};
Name n_set{"set"};
Name n_unset{"unset"};
Name n_exists{"exists"};
Name n_absolute{"absolute"};
Name n_array_set{"array_set"};
Name n_array_unset{"array_unset"};
Name n_array_size{"array_size"};

// Tcl words.  The command words are fully qualified, so a namespace's own
// `array` or `info` command cannot stand in for Tcl's; the current-namespace
// query and the text read use the plain words.
Name w_info{"::info"};
Name w_array{"::array"};
Name w_exists{"exists"};
Name w_get{"get"};
Name w_set{"set"};
Name w_unset{"unset"};
Name w_size{"size"};
Name w_names{"names"};
Name w_namespace{"namespace"};
Name w_current{"current"};
Name w_global_prefix{"::"};

// callable(*positional, **keywords) through vectorcall, as
// call_method_keywords does it for methods.
template <typename... A>
Ref call_keywords(PyObject* callable, PyObject* kwnames, A... args) {
    std::array<PyObject*, sizeof...(A) + 1> argv{nullptr, static_cast<PyObject*>(args)...};
    size_t positional = sizeof...(A) - size_t(PyTuple_GET_SIZE(kwnames));
    return own(PyObject_Vectorcall(callable, argv.data() + 1,
                                   positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// Objects made once when the module loads and kept for the life of the
// process.
PyObject* marker = nullptr;             // TclVariable.__marker
PyObject* array_names_caller = nullptr; // operator.methodcaller("array_names")
PyObject* chain_from_iterable = nullptr;
PyObject* TempTclVariable_class = nullptr;   // the classes that zero-argument
PyObject* TclArrayVariable_class = nullptr;  // super() names in their methods
// Keyword-name tuples for the calls below.
PyObject* kw_array_index = nullptr;
PyObject* kw_nocomplain = nullptr;
PyObject* kw_array_index_tcl_cast = nullptr;
PyObject* kw_tcl_cast = nullptr;

// The member slots of TclVariable.
Slot tcl_slot, cast_slot, var_name_slot;

// --- helpers ---------------------------------------------------------------

Ref sorvan(PyObject* value) { return call(g_sorvan.get(), value); }

// tclobj(value).  The values sorvan says tclobj hands back unchanged skip
// the call while the module's `tclobj` is still sorvan's own.
Ref tclobj(PyObject* value) {
    if (g_tclobj.is(sorvan_capi->tclobj_function) && sorvan_capi->unchanged_by_tclobj(value))
        return Ref::borrow(value);
    return call(g_tclobj.get(), value);
}

// self.tcl.tk, the interpreter's Tcl application object, fetched afresh for
// every use.
Ref app_of(PyObject* self) { return getattr(through_proxy(tcl_slot.get(self)), n_tk); }

// "name(index)": an element's name, by plain concatenation.
Ref element_name(PyObject* var_name, PyObject* index) {
    Ref name = str(var_name);
    Ref index_text = str(sorvan(index));
    return own(PyUnicode_FromFormat("%U(%U)", name.get(), index_text.get()));
}

// The variable's name, or the name of its element `index`.
Ref name_or_element(PyObject* self, PyObject* index) {
    PyObject* var_name = var_name_slot.get(self);
    if (index == Py_None) return Ref::borrow(var_name);
    return element_name(var_name, index);
}

// ("::array", subcommand, var_name) plus the pattern word when one is given.
Ref array_words(PyObject* self, PyObject* subcommand, PyObject* pattern_word = nullptr) {
    PyObject* var_name = var_name_slot.get(self);
    refuse_nul(var_name);
    // A pattern cut short at a NUL would match more than was asked for.
    if (pattern_word) refuse_nul(pattern_word);
    if (pattern_word) return tuple_of({w_array.get(), subcommand, var_name, pattern_word});
    return tuple_of({w_array.get(), subcommand, var_name});
}

// ::array subcommand on the variable, sent with call(), pattern through sorvan.
Ref array_call(PyObject* self, PyObject* subcommand, PyObject* pattern) {
    Ref pattern_word = pattern == Py_None ? Ref() : sorvan(pattern);
    Ref words = array_words(self, subcommand, pattern_word.get());
    return call_method(app_of(self), n_call, words.get());
}


// --- TclVariable ---------------------------------------------------------------

Signature init_sig{"__init__", {req("var_name"), opt("array_index", py_none), opt("tcl", py_none),
                                opt("cast", py_none)}};
Ref init(PyObject* self, const Args& args) {
    PyObject *var_name = args[0], *array_index = args[1], *tcl = args[2], *cast = args[3];
    tcl_slot.set(self, interpreter_proxy(tcl));
    cast_slot.set(self, cast);
    if (array_index == Py_None) {
        var_name_slot.set(self, sorvan(var_name));
    } else {
        var_name_slot.set(self, element_name(sorvan(var_name), array_index));
    }
    return none();
}

Signature get_obj_sig{"get_obj", {opt("array_index", py_none), opt("cast", marker)}};
Ref get_obj(PyObject* self, const Args& args) {
    PyObject *array_index = args[0], *cast = args[1];
    Ref app = app_of(self);
    PyObject* var_name = var_name_slot.get(self);
    // The index goes to getvar as its Tcl text (as set() sends it), beside
    // the array name.
    Ref value = array_index == Py_None ? app_getvar.call(app, var_name)
                                       : app_getvar.call(app, var_name, sorvan(array_index).get());
    if (cast == marker) cast = cast_slot.get(self);
    if (cast != Py_None && truthy(cast)) value = call(cast, value.get());
    return value;
}

Signature get_str_sig{"get_str", {opt("array_index", py_none)}};
Ref get_str(PyObject* self, const Args& args) {
    // The script is the list text of the words `set name`: the list quoting
    // makes the name one literal word, whatever characters it holds.
    Ref name = name_or_element(self, args[0]);
    Ref script = sorvan(tuple_of({w_set.get(), name.get()}));
    return call_method(app_of(self), n_eval, script.get());
}

Signature set_sig{"set", {req("value"), opt("array_index", py_none)}};
Ref set(PyObject* self, const Args& args) {
    PyObject *value = args[0], *array_index = args[1];
    Ref app = app_of(self);
    PyObject* var_name = var_name_slot.get(self);
    if (array_index == Py_None) return app_setvar.call(app, var_name, tclobj(value).get());
    Ref index = sorvan(array_index);
    return app_setvar.call(app, var_name, index.get(), tclobj(value).get());
}

Signature unset_sig{"unset", {opt("array_index", py_none), opt("nocomplain", py_false)}};
Ref unset(PyObject* self, const Args& args) {
    PyObject *array_index = args[0], *nocomplain = args[1];
    Ref app = app_of(self);
    PyObject* var_name = var_name_slot.get(self);
    try {
        if (array_index == Py_None) {
            call_method(app, n_unsetvar, var_name);
        } else {
            call_method(app, n_unsetvar, var_name, sorvan(array_index).get());
        }
    } catch (const PyError&) {
        if (!error_matches(tcl_error())) throw;
        Ref error = fetch_error();
        if (!truthy(nocomplain)) restore_error(std::move(error));
    }
    return none();
}

Signature exists_sig{"exists", {opt("array_index", py_none)}};
Ref exists(PyObject* self, const Args& args) {
    Ref name = name_or_element(self, args[0]);
    refuse_nul(name);
    Ref words = tuple_of({w_info.get(), w_exists.get(), name.get()});
    Ref result = call_method(app_of(self), n_call, words.get());
    return call_method(tcl_slot.get(self), n_cast_boolean, result.get());
}

Signature array_item_byref_sig{"array_item_byref", {req("array_index"), opt("cast", py_none)}};
Ref array_item_byref(PyObject* self, const Args& args) {
    // TclVariable(self, array_index=..., tcl=self.tcl, cast=...): the name is
    // this object, which sorvan turns into its var_name through __tclobj__.
    return call_keywords(g_TclVariable.get(), kw_array_index_tcl_cast, self, args[0],
                         tcl_slot.get(self), args[1]);
}

Signature array_get_obj_sig{"array_get_obj", {opt("pattern", py_none)}};
Ref array_get_obj(PyObject* self, const Args& args) {
    Ref result = array_call(self, w_get, args[0]);
    return call_method(tcl_slot.get(self), n_cast_array, result.get());
}

Signature array_get_str_sig{"array_get_str", {opt("pattern", py_none)}};
Ref array_get_str(PyObject* self, const Args& args) {
    // Evaluated as a script: the list text of the words, each quoted as one
    // literal word (see get_str).
    PyObject* pattern = args[0];
    Ref words = array_words(self, w_get, pattern == Py_None ? nullptr : pattern);
    Ref result = call_method(app_of(self), n_eval, sorvan(words).get());
    return call_method(tcl_slot.get(self), n_cast_array, result.get());
}

Signature array_set_sig{"array_set", {req("value")}};
Ref array_set(PyObject* self, const Args& args) {
    Ref words = array_words(self, w_set, tclobj(args[0]).get());
    call_method(app_of(self), n_call, words.get());
    return none();
}

Signature array_unset_sig{"array_unset", {opt("pattern", py_none)}};
Ref array_unset(PyObject* self, const Args& args) {
    array_call(self, w_unset, args[0]);
    return none();
}

Signature array_size_sig{"array_size", {}};
Ref array_size(PyObject* self, const Args&) { return array_call(self, w_size, Py_None); }

Signature array_names_sig{"array_names", {opt("pattern", py_none)}};
Ref array_names(PyObject* self, const Args& args) {
    Ref result = array_call(self, w_names, args[0]);
    return call_method(tcl_slot.get(self), n_cast_list, result.get());
}

Signature is_array_sig{"is_array", {}};
Ref is_array(PyObject* self, const Args&) {
    Ref result = array_call(self, w_exists, Py_None);
    return call_method(tcl_slot.get(self), n_cast_boolean, result.get());
}

// Where the "(index)" part of an element name starts: Tcl reads a name that
// ends in ")" as array(index), the array name running up to the first "(".
// -1 when the name is no element name (or has an empty array name).
Py_ssize_t element_start(PyObject* name) {
    if (!PyUnicode_Check(name)) return -1;
    Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    if (length < 3 || PyUnicode_READ_CHAR(name, length - 1) != ')') return -1;
    Py_ssize_t open = check_size(PyUnicode_FindChar(name, '(', 0, length, 1));
    return open > 0 ? open : -1;
}

Signature absolute_sig{"absolute", {}};
Ref absolute(PyObject* self, const Args&) {
    PyObject* var_name = var_name_slot.get(self);
    if (truthy(call_method(var_name, n_startswith, w_global_prefix.get())))
        return Ref::borrow(var_name);
    Ref current = call_method(app_of(self), n_call, w_namespace.get(), w_current.get());
    // Of an element name only the array name is a namespace path: the index
    // is any text and goes back unchanged (the name algebra would read
    // "::" runs inside it as separators and rewrite or reject them).
    Py_ssize_t open = element_start(var_name);
    if (open < 0) return join_name(current, var_name);
    Ref array_name = own(PyUnicode_Substring(var_name, 0, open));
    Ref index_part = own(PyUnicode_Substring(var_name, open, PyUnicode_GET_LENGTH(var_name)));
    Ref qualified = join_name(current, array_name);
    return own(PyUnicode_Concat(str(qualified), index_part));
}

Signature make_absolute_sig{"make_absolute", {}};
Ref make_absolute(PyObject* self, const Args&) {
    var_name_slot.set(self, call_method(self, n_absolute));
    return none();
}

Signature str_sig{"__str__", {}};
Ref to_str(PyObject* self, const Args&) { return Ref::borrow(var_name_slot.get(self)); }

Signature tclobj_sig{"__tclobj__", {}};
Ref to_tclobj(PyObject* self, const Args&) { return sorvan(var_name_slot.get(self)); }

Signature repr_sig{"__repr__", {}};
Ref to_repr(PyObject* self, const Args&) {
    Ref class_name = str(getattr(getattr(self, n_class), n_name));
    Ref name_repr = repr(var_name_slot.get(self));
    return own(PyUnicode_FromFormat("%U(%U)", class_name.get(), name_repr.get()));
}

// --- TempTclVariable -------------------------------------------------------------

Signature temp_init_sig{"__init__", {opt("var_name", temporary_name_template), starstar("kwargs")}};
Ref temp_init(PyObject* self, const Args& args) {
    Ref name = temporary_name(self, args[0]);
    // super().__init__(name, **kwargs)
    Ref base_init = getattr(super_of(TempTclVariable_class, self), n_init);
    Ref positional = tuple_of({name.get()});
    call_tuple(base_init, positional, args.varkw());
    return none();
}

Signature enter_sig{"__enter__", {}};
Ref temp_enter(PyObject* self, const Args&) {
    return enter_through_super(TempTclVariable_class, self);
}

Signature exit_sig{"__exit__", {star("args")}};
Ref temp_exit(PyObject* self, const Args& args) {
    // Remove the variable however the block ended (and whether or not it was
    // ever set), then let an exception of the block propagate.
    call_method_keywords(self, n_unset, kw_nocomplain, Py_True);
    return exit_through_super(TempTclVariable_class, self, args.varargs());
}

// --- TclArrayVariable ---------------------------------------------------------------

Signature array_init_sig{"__init__", {req("var_name"), opt("tcl", py_none), opt("cast", py_none)}};
Ref array_init(PyObject* self, const Args& args) {
    // super(TclArrayVariable, self).__init__(var_name, tcl=tcl, cast=cast):
    // the mapping bases have no constructor, so this reaches TclVariable's,
    // and an array object never has an element index.
    Ref base = super_of(TclArrayVariable_class, self);
    call_method_keywords(base, n_init, kw_tcl_cast, args[0], args[1], args[2]);
    return none();
}

Signature len_sig{"__len__", {}};
Ref array_len(PyObject* self, const Args&) { return call_method(self, n_array_size); }

Signature iter_sig{"__iter__", {}};
Ref array_iter(PyObject* self, const Args&) {
    // Lazy like a generator: nothing is sent until the first next(), which
    // calls self.array_names() once; the loop then runs over that snapshot.
    //     chain.from_iterable(map(methodcaller("array_names"), (self,)))
    Ref just_self = tuple_of({self});
    Ref names_when_asked = call(reinterpret_cast<PyObject*>(&PyMap_Type), array_names_caller,
                                just_self.get());
    return call(chain_from_iterable, names_when_asked.get());
}

// None is no element key: as array_index it would stand for the whole
// array (and `del a[None]` would unset it).
Signature contains_sig{"__contains__", {req("key")}};
Ref array_contains(PyObject* self, const Args& args) {
    if (args[0] == Py_None) return boolean(false);
    return call_method_keywords(self, n_exists, kw_array_index, args[0]);
}

Signature getitem_sig{"__getitem__", {req("key")}};
Ref array_getitem(PyObject* self, const Args& args) {
    if (args[0] == Py_None) raise(PyExc_KeyError, tuple_of({Py_None}).get());
    return call_method_keywords(self, n_get_obj, kw_array_index, args[0]);
}

Signature setitem_sig{"__setitem__", {req("key"), req("value")}};
Ref array_setitem(PyObject* self, const Args& args) {
    call_method_keywords(self, n_set, kw_array_index, args[1], args[0]);
    return none();
}

Signature delitem_sig{"__delitem__", {req("key")}};
Ref array_delitem(PyObject* self, const Args& args) {
    if (args[0] == Py_None) raise(PyExc_KeyError, tuple_of({Py_None}).get());
    call_method_keywords(self, n_unset, kw_array_index, args[0]);
    return none();
}

Signature clear_sig{"clear", {}};
Ref array_clear(PyObject* self, const Args&) {
    // `array unset name` with no pattern removes the whole array variable.
    call_method(self, n_array_unset);
    return none();
}

Signature update_sig{"update", {star("args"), starstar("kwargs")}};
Ref array_update(PyObject* self, const Args& args) {
    // One `array set` of all the pairs: dict(*args, **kwargs).
    Ref pairs = call_tuple(reinterpret_cast<PyObject*>(&PyDict_Type), args.varargs(), args.varkw());
    call_method(self, n_array_set, pairs.get());
    return none();
}

}  // namespace

void define_variables(PyObject* module) {
    marker = own(PyBaseObject_Type.tp_alloc(&PyBaseObject_Type, 0)).release();
    kw_array_index = keyword_names({"array_index"});
    kw_nocomplain = keyword_names({"nocomplain"});
    kw_array_index_tcl_cast = keyword_names({"array_index", "tcl", "cast"});
    kw_tcl_cast = keyword_names({"tcl", "cast"});
    Ref methodcaller = import_from("operator", "methodcaller");
    array_names_caller = call(methodcaller, Ref(text("array_names")).get()).release();
    Ref chain = import_from("itertools", "chain");
    chain_from_iterable = getattr(chain, Ref(text("from_iterable"))).release();

    ClassBuilder variable(module, "TclVariable", {reinterpret_cast<PyObject*>(&PyBaseObject_Type)},
                          "A Tcl variable (scalar, array or array element) of one interpreter.\n\n"
                          "TclVariable(var_name, array_index=None, tcl=None, cast=None)");
    variable.slots({"tcl", "cast", "var_name"})
        .method<init_sig, init>(
            "__init__", "__init__($self, /, var_name, array_index=None, tcl=None, cast=None)\n--\n\n")
        .attr("_TclVariable__marker", marker)
        .method<get_obj_sig, get_obj>(
            "get_obj",
            "get_obj(array_index=None, cast=<the object's own>)\n\n"
            "The value (of the element `array_index`), passed through `cast` when that is\n"
            "true; without a `cast` argument, through the object's own `cast`.")
        .method<get_str_sig, get_str>("get_str", "get_str($self, /, array_index=None)\n--\n\n"
                                                 "The value (of the element `array_index`) as Tcl text.")
        .alias("get", "get_obj")
        .method<set_sig, set>("set", "set($self, /, value, array_index=None)\n--\n\n"
                                     "Set the variable (or its element `array_index`) to `value`.")
        .method<unset_sig, unset>("unset", "unset($self, /, array_index=None, nocomplain=False)\n--\n\n"
                                           "Unset the variable (or its element); with `nocomplain`\n"
                                           "a missing one is no error.")
        .method<exists_sig, exists>("exists", "exists($self, /, array_index=None)\n--\n\n"
                                              "Whether the variable (or its element) exists.")
        .method<array_item_byref_sig, array_item_byref>(
            "array_item_byref", "array_item_byref($self, /, array_index, cast=None)\n--\n\n"
                                "A TclVariable for the element `array_index` of this array.")
        .method<array_get_obj_sig, array_get_obj>(
            "array_get_obj", "array_get_obj($self, /, pattern=None)\n--\n\n"
                             "The array's elements (those matching the glob `pattern`).")
        .method<array_get_str_sig, array_get_str>(
            "array_get_str", "array_get_str($self, /, pattern=None)\n--\n\n"
                             "The array's elements (those matching the glob `pattern`),\n"
                             "read by a Tcl script.")
        .alias("array_get", "array_get_obj")
        .method<array_set_sig, array_set>("array_set", "array_set($self, /, value)\n--\n\n"
                                                       "Set elements from name/value pairs.")
        .method<array_unset_sig, array_unset>(
            "array_unset", "array_unset($self, /, pattern=None)\n--\n\n"
                           "Unset the elements matching `pattern`; without one, the whole array.")
        .method<array_size_sig, array_size>("array_size", "array_size($self, /)\n--\n\n"
                                                          "The number of elements.")
        .method<array_names_sig, array_names>(
            "array_names", "array_names($self, /, pattern=None)\n--\n\n"
                           "The element names (those matching the glob `pattern`).")
        .method<is_array_sig, is_array>("is_array", "is_array($self, /)\n--\n\n"
                                                    "Whether the variable is an array.")
        .method<absolute_sig, absolute>("absolute", "absolute($self, /)\n--\n\n"
                                                    "The fully qualified name.")
        .method<make_absolute_sig, make_absolute>(
            "make_absolute", "make_absolute($self, /)\n--\n\n"
                             "Replace `var_name` with its fully qualified form.")
        .method<str_sig, to_str>("__str__")
        .method<tclobj_sig, to_tclobj>("__tclobj__", "__tclobj__($self, /)\n--\n\n"
                                                     "The name, for sorvan() and tclobj().")
        .method<repr_sig, to_repr>("__repr__");
    Ref variable_class = variable.build();
    tcl_slot = variable.slot(variable_class, "tcl");
    cast_slot = variable.slot(variable_class, "cast");
    var_name_slot = variable.slot(variable_class, "var_name");
    add(module, "TclVariable", variable_class);

    ClassBuilder temp(module, "TempTclVariable", {variable_class.get()},
                      "A variable under a name of its own, unset when its `with` block ends.\n\n"
                      "TempTclVariable(var_name='::__orvex__{cls}_{id}_tmp', **kwargs)");
    temp.method<temp_init_sig, temp_init>(
            "__init__", "__init__($self, /, var_name='::__orvex__{cls}_{id}_tmp', **kwargs)\n--\n\n")
        .method<enter_sig, temp_enter>("__enter__")
        .method<exit_sig, temp_exit>("__exit__");
    Ref temp_class = temp.build();
    TempTclVariable_class = Ref(temp_class).release();
    add(module, "TempTclVariable", temp_class);

    Ref mutable_mapping = g_MutableMapping.get();
    ClassBuilder array(module, "TclArrayVariable", {mutable_mapping.get(), variable_class.get()},
                       "A Tcl array, as a mutable mapping of element names to values.\n\n"
                       "TclArrayVariable(var_name, tcl=None, cast=None)");
    array.method<array_init_sig, array_init>(
             "__init__", "__init__($self, /, var_name, tcl=None, cast=None)\n--\n\n")
        .method<len_sig, array_len>("__len__")
        .method<iter_sig, array_iter>("__iter__")
        .method<contains_sig, array_contains>("__contains__")
        .method<getitem_sig, array_getitem>("__getitem__")
        .method<setitem_sig, array_setitem>("__setitem__")
        .method<delitem_sig, array_delitem>("__delitem__")
        .method<clear_sig, array_clear>("clear", "clear($self, /)\n--\n\nUnset the whole array.")
        .method<update_sig, array_update>("update", "update($self, /, *args, **kwargs)\n--\n\n"
                                                    "Set the elements of dict(*args, **kwargs) with one\n"
                                                    "`array set`.");
    Ref array_class = array.build();
    TclArrayVariable_class = Ref(array_class).release();
    add(module, "TclArrayVariable", array_class);

    ClassBuilder temp_array(module, "TempTclArrayVariable", {temp_class.get(), array_class.get()},
                            "An array under a name of its own, unset when its `with` block ends.\n\n"
                            "TempTclArrayVariable(var_name='::__orvex__{cls}_{id}_tmp', **kwargs)");
    add(module, "TempTclArrayVariable", temp_array.build());
}

}  // namespace orvex::tcl_namespace

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

#include <array>

namespace orvex::tcl_namespace {

// --- what variables.cpp and commands.cpp share ------------------------------------

Ref handle_app(State& st, PyObject* tcl) {
    Ref interp = through_proxy(tcl);
    return instance_attr(st.variables.tk_cache, st.variables.names[h_tk], interp);
}

bool unchanged_by_tclobj(State& st, PyObject* const* values, size_t n) {
    if (!st.variables.tclobj_held.holds(st.watch)) return false;
    const SorvanCApi& api = *st.sorvan_api.api;
    for (size_t i = 0; i < n; ++i)
        if (!api.unchanged_by_tclobj(values[i])) return false;
    return true;
}

Ref handle_tclobj(State& st, PyObject* value) {
    const SorvanCApi& api = *st.sorvan_api.api;
    if (st.variables.tclobj_held.holds(st.watch) && api.unchanged_by_tclobj(value))
        return Ref::borrow(value);
    return call(module_global(st, n_tclobj), value);
}

namespace {

// callable(*positional, **keywords) through vectorcall, as
// call_method_keywords does it for methods.
template <typename... A>
Ref call_keywords(PyObject* callable, PyObject* kwnames, A... args) {
    std::array<PyObject*, sizeof...(A) + 1> argv{nullptr, static_cast<PyObject*>(args)...};
    size_t positional = sizeof...(A) - size_t(PyTuple_GET_SIZE(kwnames));
    return own(PyObject_Vectorcall(callable, argv.data() + 1,
                                   positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

PyObject* name(State& st, size_t i) { return st.variables.names[i]; }

// --- helpers ---------------------------------------------------------------

Ref sorvan(State& st, PyObject* value) { return call(module_global(st, n_sorvan), value); }

// self.tcl.tk, the interpreter's Tcl application object, fetched afresh for
// every use.
Ref app_of(State& st, PyObject* self) { return handle_app(st, st.variables.tcl_slot.get(self)); }

// "name(index)": an element's name, by plain concatenation.
Ref element_name(State& st, PyObject* var_name, PyObject* index) {
    Ref name = str(var_name);
    Ref index_text = str(sorvan(st, index));
    return own(PyUnicode_FromFormat("%U(%U)", name.get(), index_text.get()));
}

// The variable's name, or the name of its element `index`.
Ref name_or_element(State& st, PyObject* self, PyObject* index) {
    PyObject* var_name = st.variables.name_slot.get(self);
    if (index == Py_None) return Ref::borrow(var_name);
    return element_name(st, var_name, index);
}

// ("::array", subcommand, var_name) plus the pattern word when one is given.
Ref array_words(State& st, PyObject* self, PyObject* subcommand, PyObject* pattern_word = nullptr) {
    PyObject* var_name = st.variables.name_slot.get(self);
    refuse_nul(var_name);
    // A pattern cut short at a NUL would match more than was asked for.
    if (pattern_word) refuse_nul(pattern_word);
    if (pattern_word) return tuple_of({name(st, hw_array), subcommand, var_name, pattern_word});
    return tuple_of({name(st, hw_array), subcommand, var_name});
}

// ::array subcommand on the variable, sent with call(), pattern through sorvan.
Ref array_call(State& st, PyObject* self, PyObject* subcommand, PyObject* pattern) {
    Ref pattern_word = pattern == Py_None ? Ref() : sorvan(st, pattern);
    Ref words = array_words(st, self, subcommand, pattern_word.get());
    return call_method(app_of(st, self), name(st, h_call), words.get());
}

// --- TclVariable ---------------------------------------------------------------

Signature init_sig{"__init__", {req("var_name"), opt("array_index", py_none), opt("tcl", py_none),
                                opt("cast", py_none)}};
Ref init(State& st, PyObject* self, const Args& args) {
    PyObject *var_name = args[0], *array_index = args[1], *tcl = args[2], *cast = args[3];
    st.variables.tcl_slot.set(self, interpreter_proxy(st, tcl));
    st.variables.cast_slot.set(self, cast);
    if (array_index == Py_None) {
        st.variables.name_slot.set(self, sorvan(st, var_name));
    } else {
        st.variables.name_slot.set(self, element_name(st, sorvan(st, var_name), array_index));
    }
    return none();
}

// The default `cast` is the class's private marker: "the object's own cast".
PyObject* own_cast_marker(void* state) { return static_cast<State*>(state)->variables.marker; }
Signature get_obj_sig{"get_obj", {opt("array_index", py_none),
                                  Param{"cast", Kind::positional, nullptr, &own_cast_marker, "..."}}};
Ref get_obj(State& st, PyObject* self, const Args& args) {
    PyObject *array_index = args[0], *cast = args[1];
    Ref app = app_of(st, self);
    PyObject* var_name = st.variables.name_slot.get(self);
    // The index goes to getvar as its Tcl text (as set() sends it), beside
    // the array name.
    Ref value = array_index == Py_None
                    ? cached_method_call(st.variables.getvar_cache, name(st, h_getvar), app, var_name)
                    : cached_method_call(st.variables.getvar_cache, name(st, h_getvar), app, var_name,
                                         sorvan(st, array_index).get());
    if (cast == st.variables.marker.get()) cast = st.variables.cast_slot.get(self);
    if (cast != Py_None && truthy(cast)) value = call(cast, value.get());
    return value;
}

Signature get_str_sig{"get_str", {opt("array_index", py_none)}};
Ref get_str(State& st, PyObject* self, const Args& args) {
    // The script is the list text of the words `set name`: the list quoting
    // makes the name one literal word, whatever characters it holds.
    Ref var = name_or_element(st, self, args[0]);
    Ref script = sorvan(st, tuple_of({name(st, hw_set), var.get()}));
    return call_method(app_of(st, self), name(st, h_eval), script.get());
}

Signature set_sig{"set", {req("value"), opt("array_index", py_none)}};
Ref set(State& st, PyObject* self, const Args& args) {
    PyObject *value = args[0], *array_index = args[1];
    Ref app = app_of(st, self);
    PyObject* var_name = st.variables.name_slot.get(self);
    if (array_index == Py_None)
        return cached_method_call(st.variables.setvar_cache, name(st, h_setvar), app, var_name,
                                  handle_tclobj(st, value).get());
    Ref index = sorvan(st, array_index);
    return cached_method_call(st.variables.setvar_cache, name(st, h_setvar), app, var_name, index.get(),
                              handle_tclobj(st, value).get());
}

Signature unset_sig{"unset", {opt("array_index", py_none), opt("nocomplain", py_false)}};
Ref unset(State& st, PyObject* self, const Args& args) {
    PyObject *array_index = args[0], *nocomplain = args[1];
    Ref app = app_of(st, self);
    PyObject* var_name = st.variables.name_slot.get(self);
    try {
        if (array_index == Py_None) {
            call_method(app, name(st, h_unsetvar), var_name);
        } else {
            call_method(app, name(st, h_unsetvar), var_name, sorvan(st, array_index).get());
        }
    } catch (const PyError&) {
        if (!error_matches(st.tcl_error.get())) throw;
        Ref error = fetch_error();
        if (!truthy(nocomplain)) restore_error(std::move(error));
    }
    return none();
}

Signature exists_sig{"exists", {opt("array_index", py_none)}};
Ref exists(State& st, PyObject* self, const Args& args) {
    Ref var = name_or_element(st, self, args[0]);
    refuse_nul(var);
    Ref words = tuple_of({name(st, hw_info), name(st, h_exists), var.get()});
    Ref result = call_method(app_of(st, self), name(st, h_call), words.get());
    return call_method(st.variables.tcl_slot.get(self), name(st, h_cast_boolean), result.get());
}

Signature array_item_byref_sig{"array_item_byref", {req("array_index"), opt("cast", py_none)}};
Ref array_item_byref(State& st, PyObject* self, const Args& args) {
    // TclVariable(self, array_index=..., tcl=self.tcl, cast=...): the name is
    // this object, which sorvan turns into its var_name through __tclobj__.
    return call_keywords(module_global(st, n_TclVariable), st.variables.kw_array_index_tcl_cast, self, args[0],
                         st.variables.tcl_slot.get(self), args[1]);
}

Signature array_get_obj_sig{"array_get_obj", {opt("pattern", py_none)}};
Ref array_get_obj(State& st, PyObject* self, const Args& args) {
    Ref result = array_call(st, self, name(st, h_get), args[0]);
    return call_method(st.variables.tcl_slot.get(self), name(st, h_cast_array), result.get());
}

Signature array_get_str_sig{"array_get_str", {opt("pattern", py_none)}};
Ref array_get_str(State& st, PyObject* self, const Args& args) {
    // Evaluated as a script: the list text of the words, each quoted as one
    // literal word (see get_str).
    PyObject* pattern = args[0];
    Ref words = array_words(st, self, name(st, h_get), pattern == Py_None ? nullptr : pattern);
    Ref result = call_method(app_of(st, self), name(st, h_eval), sorvan(st, words).get());
    return call_method(st.variables.tcl_slot.get(self), name(st, h_cast_array), result.get());
}

Signature array_set_sig{"array_set", {req("value")}};
Ref array_set(State& st, PyObject* self, const Args& args) {
    Ref words = array_words(st, self, name(st, hw_set), handle_tclobj(st, args[0]).get());
    call_method(app_of(st, self), name(st, h_call), words.get());
    return none();
}

Signature array_unset_sig{"array_unset", {opt("pattern", py_none)}};
Ref array_unset(State& st, PyObject* self, const Args& args) {
    array_call(st, self, name(st, h_unset), args[0]);
    return none();
}

Signature array_size_sig{"array_size", {}};
Ref array_size(State& st, PyObject* self, const Args&) {
    return array_call(st, self, name(st, hw_size), Py_None);
}

Signature array_names_sig{"array_names", {opt("pattern", py_none)}};
Ref array_names(State& st, PyObject* self, const Args& args) {
    Ref result = array_call(st, self, name(st, hw_names), args[0]);
    return call_method(st.variables.tcl_slot.get(self), name(st, h_cast_list), result.get());
}

Signature is_array_sig{"is_array", {}};
Ref is_array(State& st, PyObject* self, const Args&) {
    Ref result = array_call(st, self, name(st, h_exists), Py_None);
    return call_method(st.variables.tcl_slot.get(self), name(st, h_cast_boolean), result.get());
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
Ref absolute(State& st, PyObject* self, const Args&) {
    PyObject* var_name = st.variables.name_slot.get(self);
    if (truthy(call_method(var_name, name(st, h_startswith), name(st, hw_root))))
        return Ref::borrow(var_name);
    Ref current = call_method(app_of(st, self), name(st, h_call), name(st, hw_namespace),
                              name(st, hw_current));
    // Of an element name only the array name is a namespace path: the index
    // is any text and goes back unchanged (the name algebra would read
    // "::" runs inside it as separators and rewrite or reject them).
    Py_ssize_t open = element_start(var_name);
    if (open < 0) return join_name(st, current, var_name);
    Ref array_name = own(PyUnicode_Substring(var_name, 0, open));
    Ref index_part = own(PyUnicode_Substring(var_name, open, PyUnicode_GET_LENGTH(var_name)));
    Ref qualified = join_name(st, current, array_name);
    return own(PyUnicode_Concat(str(qualified), index_part));
}

Signature make_absolute_sig{"make_absolute", {}};
Ref make_absolute(State& st, PyObject* self, const Args&) {
    st.variables.name_slot.set(self, call_method(self, name(st, h_absolute)));
    return none();
}

Signature str_sig{"__str__", {}};
Ref to_str(State& st, PyObject* self, const Args&) { return Ref::borrow(st.variables.name_slot.get(self)); }

Signature tclobj_sig{"__tclobj__", {}};
Ref to_tclobj(State& st, PyObject* self, const Args&) { return sorvan(st, st.variables.name_slot.get(self)); }

Signature repr_sig{"__repr__", {}};
Ref to_repr(State& st, PyObject* self, const Args&) {
    Ref class_name = str(getattr(getattr(self, name(st, h___class__)), name(st, h___name__)));
    Ref name_repr = repr(st.variables.name_slot.get(self));
    return own(PyUnicode_FromFormat("%U(%U)", class_name.get(), name_repr.get()));
}

// --- TempTclVariable -------------------------------------------------------------

Signature temp_init_sig{"__init__", {opt<&State::temporary_name_template>(
                                         "var_name", "'::__orvex__{cls}_{id}_tmp'"),
                                     starstar("kwargs")}};
Ref temp_init(State& st, PyObject* self, const Args& args) {
    Ref var = temporary_name(st, self, args[0]);
    // super().__init__(name, **kwargs)
    Ref base_init = getattr(super_of(st.variables.temp_variable_class, self), name(st, h___init__));
    Ref positional = tuple_of({var.get()});
    call_tuple(base_init, positional, args.varkw());
    return none();
}

Signature enter_sig{"__enter__", {}};
Ref temp_enter(State& st, PyObject* self, const Args&) {
    return enter_through_super(st, st.variables.temp_variable_class, self);
}

Signature exit_sig{"__exit__", {star("args")}};
Ref temp_exit(State& st, PyObject* self, const Args& args) {
    // Remove the variable however the block ended (and whether or not it was
    // ever set), then let an exception of the block propagate.
    call_method_keywords(self, name(st, h_unset), st.variables.kw_nocomplain, Py_True);
    return exit_through_super(st, st.variables.temp_variable_class, self, args.varargs());
}

// --- TclArrayVariable ---------------------------------------------------------------

Signature array_init_sig{"__init__", {req("var_name"), opt("tcl", py_none), opt("cast", py_none)}};
Ref array_init(State& st, PyObject* self, const Args& args) {
    // super(TclArrayVariable, self).__init__(var_name, tcl=tcl, cast=cast):
    // the mapping bases have no constructor, so this reaches TclVariable's,
    // and an array object never has an element index.
    Ref base = super_of(st.variables.array_variable_class, self);
    call_method_keywords(base, name(st, h___init__), st.variables.kw_tcl_cast, args[0], args[1], args[2]);
    return none();
}

Signature len_sig{"__len__", {}};
Ref array_len(State& st, PyObject* self, const Args&) {
    return call_method(self, name(st, h_array_size));
}

Signature iter_sig{"__iter__", {}};
Ref array_iter(State& st, PyObject* self, const Args&) {
    // Lazy like a generator: nothing is sent until the first next(), which
    // calls self.array_names() once; the loop then runs over that snapshot.
    //     chain.from_iterable(map(methodcaller("array_names"), (self,)))
    Ref just_self = tuple_of({self});
    Ref names_when_asked = call(reinterpret_cast<PyObject*>(&PyMap_Type), st.variables.array_names_caller,
                                just_self.get());
    return call(st.variables.chain_from_iterable, names_when_asked.get());
}

// None is no element key: as array_index it would stand for the whole
// array (and `del a[None]` would unset it).
Signature contains_sig{"__contains__", {req("key")}};
Ref array_contains(State& st, PyObject* self, const Args& args) {
    if (args[0] == Py_None) return boolean(false);
    return call_method_keywords(self, name(st, h_exists), st.variables.kw_array_index, args[0]);
}

Signature getitem_sig{"__getitem__", {req("key")}};
Ref array_getitem(State& st, PyObject* self, const Args& args) {
    if (args[0] == Py_None) raise(PyExc_KeyError, tuple_of({Py_None}).get());
    return call_method_keywords(self, name(st, h_get_obj), st.variables.kw_array_index, args[0]);
}

Signature setitem_sig{"__setitem__", {req("key"), req("value")}};
Ref array_setitem(State& st, PyObject* self, const Args& args) {
    call_method_keywords(self, name(st, hw_set), st.variables.kw_array_index, args[1], args[0]);
    return none();
}

Signature delitem_sig{"__delitem__", {req("key")}};
Ref array_delitem(State& st, PyObject* self, const Args& args) {
    if (args[0] == Py_None) raise(PyExc_KeyError, tuple_of({Py_None}).get());
    call_method_keywords(self, name(st, h_unset), st.variables.kw_array_index, args[0]);
    return none();
}

Signature clear_sig{"clear", {}};
Ref array_clear(State& st, PyObject* self, const Args&) {
    // `array unset name` with no pattern removes the whole array variable.
    call_method(self, name(st, h_array_unset));
    return none();
}

Signature update_sig{"update", {star("args"), starstar("kwargs")}};
Ref array_update(State& st, PyObject* self, const Args& args) {
    // One `array set` of all the pairs: dict(*args, **kwargs).
    Ref pairs = call_tuple(reinterpret_cast<PyObject*>(&PyDict_Type), args.varargs(), args.varkw());
    call_method(self, name(st, h_array_set), pairs.get());
    return none();
}

}  // namespace

void define_variables(State& st, PyObject* module) {
    st.variables.names.fill(State::Variables::name_texts);
    st.variables.tclobj_held.pin(st.dict, st.names[n_tclobj],
                                 st.sorvan_api.api->tclobj_function);
    st.variables.marker = own(PyBaseObject_Type.tp_alloc(&PyBaseObject_Type, 0));
    st.variables.kw_array_index = tuple_of({name(st, h_array_index)});
    st.variables.kw_nocomplain = tuple_of({name(st, h_nocomplain)});
    st.variables.kw_array_index_tcl_cast =
        tuple_of({name(st, h_array_index), name(st, h_tcl), name(st, h_cast)});
    st.variables.kw_tcl_cast = tuple_of({name(st, h_tcl), name(st, h_cast)});
    Ref methodcaller = import_from("operator", "methodcaller");
    st.variables.array_names_caller = call(methodcaller, name(st, h_array_names));
    Ref chain = import_from("itertools", "chain");
    st.variables.chain_from_iterable = getattr(chain, name(st, h_from_iterable));

    ClassBuilder variable(module, "TclVariable", {reinterpret_cast<PyObject*>(&PyBaseObject_Type)},
                          "A Tcl variable (scalar, array or array element) of one interpreter.\n\n"
                          "TclVariable(var_name, array_index=None, tcl=None, cast=None)");
    variable.slots({"tcl", "cast", "var_name"})
        .method<init_sig, init>("__init__")
        .attr("_TclVariable__marker", st.variables.marker)
        .method<get_obj_sig, get_obj>(
            "get_obj",
            "The value (of the element `array_index`), passed through `cast` when that is\n"
            "true; without a `cast` argument, through the object's own `cast`.")
        .method<get_str_sig, get_str>("get_str", "The value (of the element `array_index`) as Tcl text.")
        .alias("get", "get_obj")
        .method<set_sig, set>("set", "Set the variable (or its element `array_index`) to `value`.")
        .method<unset_sig, unset>("unset", "Unset the variable (or its element); with `nocomplain`\n"
                                           "a missing one is no error.")
        .method<exists_sig, exists>("exists", "Whether the variable (or its element) exists.")
        .method<array_item_byref_sig, array_item_byref>(
            "array_item_byref", "A TclVariable for the element `array_index` of this array.")
        .method<array_get_obj_sig, array_get_obj>(
            "array_get_obj", "The array's elements (those matching the glob `pattern`).")
        .method<array_get_str_sig, array_get_str>(
            "array_get_str", "The array's elements (those matching the glob `pattern`),\n"
                             "read by a Tcl script.")
        .alias("array_get", "array_get_obj")
        .method<array_set_sig, array_set>("array_set", "Set elements from name/value pairs.")
        .method<array_unset_sig, array_unset>(
            "array_unset", "Unset the elements matching `pattern`; without one, the whole array.")
        .method<array_size_sig, array_size>("array_size", "The number of elements.")
        .method<array_names_sig, array_names>(
            "array_names", "The element names (those matching the glob `pattern`).")
        .method<is_array_sig, is_array>("is_array", "Whether the variable is an array.")
        .method<absolute_sig, absolute>("absolute", "The fully qualified name.")
        .method<make_absolute_sig, make_absolute>(
            "make_absolute", "Replace `var_name` with its fully qualified form.")
        .method<str_sig, to_str>("__str__")
        .method<tclobj_sig, to_tclobj>("__tclobj__", "The name, for sorvan() and tclobj().")
        .method<repr_sig, to_repr>("__repr__");
    st.variables.variable_class = variable.build();
    st.variables.tcl_slot = variable.slot(st.variables.variable_class, "tcl");
    st.variables.cast_slot = variable.slot(st.variables.variable_class, "cast");
    st.variables.name_slot = variable.slot(st.variables.variable_class, "var_name");
    add(module, "TclVariable", st.variables.variable_class);

    ClassBuilder temp(module, "TempTclVariable", {st.variables.variable_class.get()},
                      "A variable under a name of its own, unset when its `with` block ends.\n\n"
                      "TempTclVariable(var_name='::__orvex__{cls}_{id}_tmp', **kwargs)");
    temp.method<temp_init_sig, temp_init>("__init__")
        .method<enter_sig, temp_enter>("__enter__")
        .method<exit_sig, temp_exit>("__exit__");
    st.variables.temp_variable_class = temp.build();
    add(module, "TempTclVariable", st.variables.temp_variable_class);

    Ref mutable_mapping = module_global(st, n_MutableMapping);
    ClassBuilder array(module, "TclArrayVariable", {mutable_mapping.get(), st.variables.variable_class.get()},
                       "A Tcl array, as a mutable mapping of element names to values.\n\n"
                       "TclArrayVariable(var_name, tcl=None, cast=None)");
    array.method<array_init_sig, array_init>("__init__")
        .method<len_sig, array_len>("__len__")
        .method<iter_sig, array_iter>("__iter__")
        .method<contains_sig, array_contains>("__contains__")
        .method<getitem_sig, array_getitem>("__getitem__")
        .method<setitem_sig, array_setitem>("__setitem__")
        .method<delitem_sig, array_delitem>("__delitem__")
        .method<clear_sig, array_clear>("clear", "Unset the whole array.")
        .method<update_sig, array_update>("update", "Set the elements of dict(*args, **kwargs) with one\n"
                                                    "`array set`.");
    st.variables.array_variable_class = array.build();
    add(module, "TclArrayVariable", st.variables.array_variable_class);

    ClassBuilder temp_array(module, "TempTclArrayVariable",
                            {st.variables.temp_variable_class.get(), st.variables.array_variable_class.get()},
                            "An array under a name of its own, unset when its `with` block ends.\n\n"
                            "TempTclArrayVariable(var_name='::__orvex__{cls}_{id}_tmp', **kwargs)");
    add(module, "TempTclArrayVariable", temp_array.build());
}

}  // namespace orvex::tcl_namespace

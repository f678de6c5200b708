// orvex.tcl.namespace: TclCommand and TempTclCommand, Python handles on the
// Tcl commands of one interpreter.
//
// A TclCommand holds a command name, pre-bound arguments and pre-bound
// options; calling it runs one Tcl command whose words are, in order:
//
//     cmd_name, *self.args, *tclobj(each call argument),
//     then "-name", value for every option of  {**self.keywords, **call options}
//
// The Python shape of the classes:
//
//     class TclCommand(object):
//         __slots__ = ('tcl', 'cmd_name', 'args', 'keywords', 'cast', 'logger',
//                      '__dict__', '__weakref__')
//         def __init__(self, cmd, args=None, keywords=None, tcl=None, cast=None, logger=None)
//         def createcommand(self, func) / exists / is_command / is_proc / rename / delete
//         def origin / proc_body / proc_args / proc_arg_default(self, arg_name)
//         def build_tclcmd(self, *args, **kwargs)
//         @staticmethod
//         def kwargs_to_dashed_args(**kwargs)
//         def call(self, *args, **kwargs)
//         def __call__(self, *args, **kwargs): return self.call(*args, **kwargs)
//         def eval(self, *args, **kwargs)
//         def absolute / make_absolute / __repr__ / __str__ / __tclobj__ / __get__
//
//     class TempTclCommand(TclCommand):
//         def __init__(self, func=None, cmd_name="::__orvex__{cls}_{id}_tmp", **kwargs)
//         def __enter__ / __exit__(self, *args) / __del__
#include "namespace_module.hpp"

namespace orvex::tcl_namespace {
namespace {

PyObject* name(State& st, size_t i) { return st.variables.names[i]; }

// --- helpers ----------------------------------------------------------------

// self.tcl.tk, fetched afresh at every use.
Ref app_of(State& st, PyObject* self) { return handle_app(st, st.commands.tcl_slot.get(self)); }

// app.call(words): one command, each item of the tuple one word.
Ref run(State& st, PyObject* self, PyObject* words) {
    return cached_method_call(st.commands.app_call_cache, name(st, h_call), app_of(st, self).get(), words);
}

// The command's name, for sending to Tcl.
PyObject* sent_name(State& st, PyObject* self) {
    PyObject* cmd = st.commands.name_slot.get(self);
    refuse_nul(cmd);
    return cmd;
}

// The three-word queries: w1 w2 cmd_name.
Ref query(State& st, PyObject* self, size_t w1, size_t w2) {
    Ref words = tuple_of({name(st, w1), name(st, w2), sent_name(st, self)});
    return run(st, self, words);
}

// A glob pattern that matches `name` alone: `info commands` and `info procs`
// take a pattern, so the characters special to Tcl's string match get a
// backslash.
Ref glob_literal(PyObject* name) {
    if (!PyUnicode_Check(name)) return Ref::borrow(name);
    auto special = [](Py_UCS4 c) {
        return c == '*' || c == '?' || c == '[' || c == ']' || c == '\\';
    };
    Py_ssize_t n = PyUnicode_GET_LENGTH(name), extra = 0;
    int kind = PyUnicode_KIND(name);
    const void* data = PyUnicode_DATA(name);
    for (Py_ssize_t i = 0; i < n; ++i) extra += special(PyUnicode_READ(kind, data, i));
    if (extra == 0) return Ref::borrow(name);
    Ref pattern = own(PyUnicode_New(n + extra, PyUnicode_MAX_CHAR_VALUE(name)));
    int out_kind = PyUnicode_KIND(pattern.get());
    void* out = PyUnicode_DATA(pattern.get());
    Py_ssize_t at = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (special(c)) PyUnicode_WRITE(out_kind, out, at++, '\\');
        PyUnicode_WRITE(out_kind, out, at++, c);
    }
    return pattern;
}

// ::info commands|procs <the name as a pattern>: whether a command (a proc)
// of exactly this name exists.
bool listed(State& st, PyObject* self, size_t kind) {
    Ref pattern = glob_literal(sent_name(st, self));
    return truthy(run(st, self, tuple_of({name(st, hw_info), name(st, kind), pattern.get()})));
}

Ref cast_result(State& st, PyObject* self, Ref result) {
    PyObject* cast = st.commands.cast_slot.get(self);
    if (truthy(cast)) return call(cast, result.get());
    return result;
}

// super(cls, self).__init__(); skipped when the next class in self's MRO is
// `object`, whose __init__ does nothing when given no arguments.
void init_next(State& st, PyObject* cls, PyObject* self) {
    PyObject* mro = Py_TYPE(self)->tp_mro;
    Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro) : 0;
    for (Py_ssize_t i = 0; i + 1 < n; ++i) {
        if (PyTuple_GET_ITEM(mro, i) != cls) continue;
        if (PyTuple_GET_ITEM(mro, i + 1) == reinterpret_cast<PyObject*>(&PyBaseObject_Type)) return;
        break;
    }
    call_method(super_of(cls, self), name(st, h___init__));
}

// obj[0] and obj[1:], the way Python subscripts them.
Ref first_item(PyObject* sequence) { return own(PyObject_GetItem(sequence, Ref(integer(0)))); }
Ref after_first(PyObject* sequence) {
    Ref from_one = own(PySlice_New(Ref(integer(1)), Py_None, Py_None));
    return own(PyObject_GetItem(sequence, from_one));
}

// What `**options` hands on: the dict itself, or a dict made from a mapping.
Ref keyword_dict(PyObject* options) {
    if (PyDict_CheckExact(options)) return Ref::borrow(options);
    if (!PyMapping_Check(options))
        raise_format(PyExc_TypeError, "argument after ** must be a mapping, not %.200s",
                     Py_TYPE(options)->tp_name);
    Ref dict = own(PyDict_New());
    check(PyDict_Update(dict, options));
    return dict;
}

// `words + pairs` for a tuple of words and a dict of options: each option
// gives the two words "-" + name and its value, in the dict's order.
Ref append_dashed(State& st, Ref words, PyObject* options) {
    Py_ssize_t n_options = PyDict_GET_SIZE(options);
    if (n_options == 0) return words;
    Py_ssize_t n_words = PyTuple_GET_SIZE(words.get());
    Py_ssize_t pos = 0, at = n_words;
    PyObject *option, *value;
    while (PyDict_Next(options, &pos, &option, &value)) {
        if (!PyUnicode_Check(option))
            raise(PyExc_TypeError, "kwargs_to_dashed_args() keywords must be strings");
        refuse_nul(option);
    }
    Ref result = own(PyTuple_New(n_words + 2 * n_options));
    for (Py_ssize_t i = 0; i < n_words; ++i)
        PyTuple_SET_ITEM(result.get(), i, Py_NewRef(PyTuple_GET_ITEM(words.get(), i)));
    pos = 0;
    while (PyDict_Next(options, &pos, &option, &value)) {
        PyTuple_SET_ITEM(result.get(), at++, own(PyUnicode_Concat(name(st, hw_dash), option)).release());
        PyTuple_SET_ITEM(result.get(), at++, Py_NewRef(value));
    }
    return result;
}

// --- construction -------------------------------------------------------------

Signature init_sig{"__init__", {req("cmd"), opt("args", py_none), opt("keywords", py_none),
                                opt("tcl", py_none), opt("cast", py_none), opt("logger", py_none)}};
Ref init(State& st, PyObject* self, const Args& a) {
    init_next(st, st.commands.command_class, self);
    Ref package = import_loaded(name(st, h_orvex_tcl));
    st.commands.tcl_slot.set(self, interpreter_proxy(st, a[3]));

    // The command and its pre-bound arguments.  Without `args`, the command
    // is a word list: another command's full words (its options become plain
    // words), a tuple as it is, or anything else split as a Tcl list; its
    // first word is the name.  With `args`, a text command is a name as it
    // stands (not split), and another command object gets `args` appended.
    Ref cmd = Ref::borrow(a[0]);
    Ref args;
    if (a[1] == Py_None) {
        if (isinstance(cmd, module_global(st, n_TclCommand))) {
            cmd = call_method(cmd, name(st, h_build_tclcmd));
        } else if (!PyTuple_CheckExact(cmd.get())) {
            cmd = call_method(package, name(st, h_cast_list), cmd.get());
        }
        args = after_first(cmd);
        cmd = first_item(cmd);
    } else {
        args = call_method(package, name(st, h_cast_list), a[1]);
        if (isinstance(cmd, module_global(st, n_TclCommand))) {
            Ref extra = own(PySequence_Tuple(args));
            cmd = call_tuple(getattr(cmd, name(st, h_build_tclcmd)), extra);
            args = after_first(cmd);
            cmd = first_item(cmd);
        }
    }
    st.commands.name_slot.set(self, call(module_global(st, n_sorvan), cmd.get()));
    st.commands.args_slot.set(self, call(module_global(st, n_tclobj), args.get()));

    Ref keywords = own(PyDict_New());
    st.commands.keywords_slot.set(self, keywords);
    if (truthy(a[2])) {
        Ref items = own(PyObject_GetIter(call_method(a[2], name(st, h_items))));
        Ref tclobj = module_global(st, n_tclobj);
        while (Ref item = Ref::steal(PyIter_Next(items))) {
            // for k, v in keywords.items()
            Ref pair = own(PySequence_Tuple(item));
            Py_ssize_t n = PyTuple_GET_SIZE(pair.get());
            if (n > 2) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
            if (n < 2)
                raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
            Ref value = call(tclobj, PyTuple_GET_ITEM(pair.get(), 1));
            check(PyObject_SetItem(keywords, PyTuple_GET_ITEM(pair.get(), 0), value));
        }
        if (PyErr_Occurred()) rethrow();
    }
    st.commands.cast_slot.set(self, a[4]);
    st.commands.logger_slot.set(self, a[5]);
    return none();
}

// --- the command words -----------------------------------------------------------

Signature kwargs_to_dashed_args_sig{"kwargs_to_dashed_args", {starstar("kwargs")}};
Ref kwargs_to_dashed_args(State& st, PyObject*, const Args& a) {
    return append_dashed(st, Ref::borrow(st.commands.no_arguments), a.varkw());
}

// build_tclcmd(*args, **kwargs)
Ref build_tclcmd(State& st, PyObject* self, const VectorArgs& a) {
    Ref bound = Ref::borrow(st.commands.args_slot.get(self));
    if (!PyTuple_Check(bound.get()))
        raise_format(PyExc_TypeError, "can only concatenate tuple (not \"%.200s\") to tuple",
                     Py_TYPE(bound.get())->tp_name);
    Ref cmd_name = Ref::borrow(sent_name(st, self));

    // (cmd_name,) + self.args + tclobj(args); tclobj of a tuple is the tuple
    // of its items converted one by one, so the items go straight in.  The
    // conversions may run Python code, so they are all done before the
    // tuple is made: no code may ever see it half filled.  Usually every
    // argument is one that tclobj hands back unchanged, and is used as it is.
    bool unchanged = unchanged_by_tclobj(st, a.items, a.nargs);
    ArgVector converted(unchanged ? 0 : a.nargs);
    if (!unchanged)
        for (size_t i = 0; i < a.nargs; ++i) converted.push(handle_tclobj(st, a[i]));
    PyObject* const* items = unchanged ? a.items : converted.data();
    Py_ssize_t n_bound = PyTuple_GET_SIZE(bound.get());
    Ref words = own(PyTuple_New(1 + n_bound + Py_ssize_t(a.nargs)));
    PyTuple_SET_ITEM(words.get(), 0, cmd_name.release());
    for (Py_ssize_t i = 0; i < n_bound; ++i)
        PyTuple_SET_ITEM(words.get(), 1 + i, Py_NewRef(PyTuple_GET_ITEM(bound.get(), i)));
    for (size_t i = 0; i < a.nargs; ++i)
        PyTuple_SET_ITEM(words.get(), 1 + n_bound + Py_ssize_t(i), Py_NewRef(items[i]));

    // The options: self.keywords, or a copy of it updated with the call's
    // options (converted), so the stored ones never change.
    PyObject* options = st.commands.keywords_slot.get(self);
    Ref merged;
    if (a.nkw()) {
        merged = call_method(options, name(st, h_copy));
        for (size_t k = 0; k < a.nkw(); ++k) {
            Ref value = handle_tclobj(st, a.keyword_value(k));
            check(PyObject_SetItem(merged, a.keyword_name(k), value));
        }
        options = merged.get();
    }
    Ref option_dict = keyword_dict(options);
    if (own_method_found(st.commands.own_dashed_cache, name(st, h_kwargs_to_dashed_args),
                         st.commands.dashed_original, self))
        return append_dashed(st, std::move(words), option_dict);
    Ref dashed = call_tuple(getattr(self, name(st, h_kwargs_to_dashed_args)), st.commands.no_arguments,
                            option_dict);
    return own(PyNumber_Add(words, dashed));
}

// self.build_tclcmd(*args, **kwargs)
Ref words_for(State& st, PyObject* self, const VectorArgs& a) {
    if (own_method_found(st.commands.own_build_cache, name(st, h_build_tclcmd), st.commands.build_original, self))
        return build_tclcmd(st, self, a);
    return call_method_forward(self, name(st, h_build_tclcmd), a);
}

// --- running it ------------------------------------------------------------------

Ref call_command(State& st, PyObject* self, const VectorArgs& a) {
    Ref words = words_for(st, self, a);
    PyObject* logger = st.commands.logger_slot.get(self);
    if (truthy(logger)) {
        // "Calling: {}".format(sorvan(words))
        Ref text = call(module_global(st, n_sorvan), words.get());
        Ref line = own(PyUnicode_Concat(name(st, hw_calling),
                                        Ref(own(PyObject_Format(text, name(st, hw_empty))))));
        call_method(logger, name(st, h_info), line.get());
    }
    return cast_result(st, self, run(st, self, words));
}

// self.call(*args, **kwargs)
Ref dunder_call(State& st, PyObject* self, const VectorArgs& a) {
    if (own_method_found(st.commands.own_call_cache, name(st, h_call), st.commands.call_original, self))
        return call_command(st, self, a);
    return call_method_forward(self, name(st, h_call), a);
}

Ref eval_command(State& st, PyObject* self, const VectorArgs& a) {
    Ref words = words_for(st, self, a);
    Ref script = call(module_global(st, n_sorvan), words.get());
    return cast_result(st, self, call_method(app_of(st, self), name(st, h_eval), script.get()));
}

// --- queries -----------------------------------------------------------------------

Signature exists_sig{"exists", {}};
Ref exists(State& st, PyObject* self, const Args&) { return boolean(listed(st, self, hw_commands)); }

Signature is_proc_sig{"is_proc", {}};
Ref is_proc(State& st, PyObject* self, const Args&) { return boolean(listed(st, self, hw_procs)); }

// self.exists() and not self.is_proc()
Signature is_command_sig{"is_command", {}};
Ref is_command(State& st, PyObject* self, const Args&) {
    Ref exists = call_method(self, name(st, h_exists));
    if (!truthy(exists)) return exists;
    return boolean(!truthy(call_method(self, name(st, h_is_proc))));
}

Signature origin_sig{"origin", {}};
Ref origin(State& st, PyObject* self, const Args&) {
    return query(st, self, hw_namespace_cmd, hw_origin);
}

Signature proc_body_sig{"proc_body", {}};
Ref proc_body(State& st, PyObject* self, const Args&) { return query(st, self, hw_info, hw_body); }

Signature proc_args_sig{"proc_args", {}};
Ref proc_args(State& st, PyObject* self, const Args&) {
    Ref result = query(st, self, hw_info, hw_args);
    return call_method(st.commands.tcl_slot.get(self), name(st, h_cast_list), result.get());
}

// `info default` stores the default in a variable; a temporary one, removed
// when the block ends whatever happens inside it.
Signature proc_arg_default_sig{"proc_arg_default", {req("arg_name")}};
Ref proc_arg_default(State& st, PyObject* self, const Args& a) {
    PyObject* tcl = st.commands.tcl_slot.get(self);
    Ref variable_class = module_global(st, n_TempTclVariable);
    Ref manager = call_vector(variable_class, &tcl, 0, st.commands.kw_tcl);
    Ref result = with_block(manager, [&](PyObject* tmp) {
        Ref arg_name = call(module_global(st, n_sorvan), a[0]);
        refuse_nul(arg_name);
        Ref words = tuple_of({name(st, hw_info), name(st, hw_default), sent_name(st, self),
                              arg_name.get(), tmp});
        Ref has_default = run(st, self, words);
        if (truthy(call_method(st.commands.tcl_slot.get(self), name(st, h_cast_boolean), has_default.get())))
            return call_method(tmp, name(st, h_get));
        return none();
    });
    return result ? result : none();
}

// --- managing the command ------------------------------------------------------------

// The name changes only once Tcl has accepted the new one.
Signature rename_sig{"rename", {req("new_name")}};
Ref rename(State& st, PyObject* self, const Args& a) {
    Ref new_name = call(module_global(st, n_sorvan), a[0]);
    refuse_nul(new_name);
    run(st, self, tuple_of({name(st, hw_rename), sent_name(st, self), new_name.get()}));
    st.commands.name_slot.set(self, new_name);
    return none();
}

Signature delete_sig{"delete", {}};
Ref delete_command(State& st, PyObject* self, const Args&) {
    run(st, self, tuple_of({name(st, hw_rename), sent_name(st, self), name(st, hw_empty)}));
    return none();
}

Signature createcommand_sig{"createcommand", {req("func")}};
Ref createcommand(State& st, PyObject* self, const Args& a) {
    call_method(app_of(st, self), name(st, h_createcommand), sent_name(st, self), a[0]);
    return none();
}

Signature absolute_sig{"absolute", {}};
Ref absolute(State& st, PyObject* self, const Args&) {
    Ref cmd = Ref::borrow(st.commands.name_slot.get(self));
    if (truthy(call_method(cmd, name(st, h_startswith), name(st, hw_root)))) return cmd;
    Ref current = call_method(app_of(st, self), name(st, h_call), name(st, hw_namespace),
                              name(st, hw_current));
    return call_method(module_global(st, n_TclNamespace), name(st, h_join), current.get(), cmd.get());
}

Signature make_absolute_sig{"make_absolute", {}};
Ref make_absolute(State& st, PyObject* self, const Args&) {
    st.commands.name_slot.set(self, call_method(self, name(st, h_absolute)));
    return none();
}

// --- text forms and binding ----------------------------------------------------------

// The slots below find the state from the object's class.
Ref repr_command(PyObject* self) {
    State& st = state_of<State>(self);
    Ref class_name = str(getattr(getattr(self, name(st, h___class__)), name(st, h___name__)));
    Ref text = own(PyUnicode_FromFormat("%U(%R", class_name.get(), st.commands.name_slot.get(self)));
    auto append_if_set = [&](const char* label, PyObject* value) {
        if (truthy(value)) text = own(PyUnicode_FromFormat("%U, %s=%R", text.get(), label, value));
    };
    append_if_set("args", st.commands.args_slot.get(self));
    append_if_set("keywords", st.commands.keywords_slot.get(self));
    append_if_set("cast", st.commands.cast_slot.get(self));
    return own(PyUnicode_FromFormat("%U)", text.get()));
}

Ref str_command(PyObject* self) {
    State& st = state_of<State>(self);
    return call(module_global(st, n_sorvan), call_method(self, name(st, h_build_tclcmd)).get());
}

Signature tclobj_sig{"__tclobj__", {}};
Ref tclobj_command(State& st, PyObject* self, const Args&) {
    return call_method(self, name(st, h_build_tclcmd));
}

// Fetched through an instance, a command stored on a class is a bound
// method: the instance becomes the first argument after the pre-bound ones.
Ref bind_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == Py_None) return Ref::borrow(self);
    return bound_method(self, instance);
}

// --- TempTclCommand ------------------------------------------------------------------

Signature temp_init_sig{"__init__", {opt("func", py_none),
                                     opt<&State::temporary_name_template>(
                                         "cmd_name", "'::__orvex__{cls}_{id}_tmp'"),
                                     starstar("kwargs")}};
Ref temp_init(State& st, PyObject* self, const Args& a) {
    Ref cmd = temporary_name(st, self, a[1]);

    Ref init = getattr(super_of(st.commands.temp_command_class, self), name(st, h___init__));
    call_tuple(init, Ref(tuple_of({cmd.get()})), a.varkw());
    if (truthy(a[0])) {
        call_method(self, name(st, h_createcommand), a[0]);
        call(st.commands.update_wrapper, self, a[0]);
    }
    return none();
}

Signature temp_enter_sig{"__enter__", {}};
Ref temp_enter(State& st, PyObject* self, const Args&) {
    return enter_through_super(st, st.commands.temp_command_class, self);
}

// self.delete(), where a Tcl error (the command is gone already) is dropped.
void delete_quietly(State& st, PyObject* self) {
    try {
        call_method(self, name(st, h_delete));
    } catch (const PyError&) {
        if (!error_matches(st.tcl_error.get())) throw;
        PyErr_Clear();
    }
}

Signature temp_exit_sig{"__exit__", {star("args")}};
Ref temp_exit(State& st, PyObject* self, const Args& a) {
    delete_quietly(st, self);
    return exit_through_super(st, st.commands.temp_command_class, self, a.varargs());
}

// Only a command made with a callable (update_wrapper gave it __wrapped__)
// is deleted when the object goes.
Signature temp_del_sig{"__del__", {}};
Ref temp_del(State& st, PyObject* self, const Args&) {
    if (hasattr(self, name(st, h___wrapped__))) delete_quietly(st, self);
    Ref del = getattr_optional(super_of(st.commands.temp_command_class, self), name(st, h___del__));
    if (del && truthy(del)) call(del);
    return none();
}

}  // namespace

void define_commands(State& st, PyObject* module) {
    st.commands.update_wrapper = import_from("functools", "update_wrapper");
    st.commands.no_arguments = own(PyTuple_New(0));
    st.commands.kw_tcl = tuple_of({name(st, h_tcl)});

    // A class with a C++ instance layout, so that calling an instance goes
    // through vectorcall: the call's arguments arrive as the caller's array.
    NativeClass<6> command(
        module, "TclCommand",
        "A Tcl command of one interpreter, callable from Python.\n\n"
        "TclCommand(cmd, args=None, keywords=None, tcl=None, cast=None, logger=None)\n\n"
        "Calling it runs the command with the pre-bound arguments `args`, the\n"
        "call's arguments and the options (pre-bound `keywords` updated with\n"
        "the call's keywords) as '-name value' pairs; the result goes through\n"
        "`cast` when one is set.  Stored on a class it binds like a method.",
        {"tcl", "cmd_name", "args", "keywords", "cast", "logger"});
    command.init<init_sig, init>()
        .method<createcommand_sig, createcommand>(
            "createcommand", "Register the callable `func` as the Tcl command of this name.")
        .method<exists_sig, exists>("exists", "True when a command of this name exists.")
        .method<is_command_sig, is_command>("is_command",
                                            "True when the command exists and is not a proc.")
        .method<is_proc_sig, is_proc>("is_proc", "True when a proc of this name exists.")
        .method<rename_sig, rename>("rename", "Rename the command in Tcl, then here.")
        .method<delete_sig, delete_command>("delete", "Delete the command in Tcl.")
        .method<origin_sig, origin>("origin", "The command's origin (namespace origin).")
        .method<proc_body_sig, proc_body>("proc_body", "The body of the proc.")
        .method<proc_args_sig, proc_args>("proc_args", "The argument names of the proc.")
        .method<proc_arg_default_sig, proc_arg_default>(
            "proc_arg_default", "The default of the proc's argument `arg_name`, or None.")
        .vector_method<build_tclcmd>("build_tclcmd", "The word tuple of a call with these arguments.")
        .staticmethod<kwargs_to_dashed_args_sig, kwargs_to_dashed_args>(
            "kwargs_to_dashed_args", "The options as a tuple of '-name', value words.")
        .vector_method<call_command>("call", "Run the command; its result, cast when a cast is set.")
        .call<dunder_call>()
        .vector_method<eval_command>("eval",
                                     "Evaluate the command as a script; result as for call().")
        .method<absolute_sig, absolute>("absolute", "The fully qualified command name.")
        .method<make_absolute_sig, make_absolute>("make_absolute", "Make cmd_name fully qualified.")
        .repr<repr_command>()
        .str<str_command>()
        .method<tclobj_sig, tclobj_command>("__tclobj__", "The command words, as a tuple.")
        .descriptor<bind_get>();
    st.commands.command_class = command.build();
    st.commands.tcl_slot = command.field(st.commands.command_class, "tcl");
    st.commands.name_slot = command.field(st.commands.command_class, "cmd_name");
    st.commands.args_slot = command.field(st.commands.command_class, "args");
    st.commands.keywords_slot = command.field(st.commands.command_class, "keywords");
    st.commands.cast_slot = command.field(st.commands.command_class, "cast");
    st.commands.logger_slot = command.field(st.commands.command_class, "logger");
    auto* type = reinterpret_cast<PyTypeObject*>(st.commands.command_class.get());
    st.commands.call_original = Ref::borrow(cpython::type_lookup(type, name(st, h_call)));
    st.commands.build_original = Ref::borrow(cpython::type_lookup(type, name(st, h_build_tclcmd)));
    st.commands.dashed_original = Ref::borrow(cpython::type_lookup(type, name(st, h_kwargs_to_dashed_args)));
    add(module, "TclCommand", st.commands.command_class);

    ClassBuilder temp(module, "TempTclCommand", {st.commands.command_class.get()},
                      "A command under a name of its own, deleted when its `with` block ends.\n\n"
                      "TempTclCommand(func=None, cmd_name='::__orvex__{cls}_{id}_tmp', **kwargs)\n\n"
                      "Made with a callable, it registers it at once, takes over its name and\n"
                      "docstring, and deletes the command again when it is collected.");
    temp.method<temp_init_sig, temp_init>("__init__")
        .method<temp_enter_sig, temp_enter>("__enter__")
        .method<temp_exit_sig, temp_exit>("__exit__")
        .method<temp_del_sig, temp_del>("__del__");
    st.commands.temp_command_class = temp.build();
    add(module, "TempTclCommand", st.commands.temp_command_class);
}

}  // namespace orvex::tcl_namespace

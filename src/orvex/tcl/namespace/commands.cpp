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
#include "type_method.hpp"

namespace orvex::tcl_namespace {
namespace {

// Module globals, read when the methods run.
Global g_sorvan{module_globals, "sorvan"};
Global g_tclobj{module_globals, "tclobj"};
Global g_TclCommand{module_globals, "TclCommand"};
Global g_TclNamespace{module_globals, "TclNamespace"};
Global g_TempTclVariable{module_globals, "TempTclVariable"};

Name n_tk{"tk"}, n_call{"call"}, n_eval{"eval"}, n_createcommand{"createcommand"};
Name n_build_tclcmd{"build_tclcmd"}, n_kwargs_to_dashed_args{"kwargs_to_dashed_args"};
Name n_cast_list{"cast_list"}, n_cast_boolean{"cast_boolean"}, n_items{"items"}, n_copy{"copy"};
Name n_exists{"exists"}, n_is_proc{"is_proc"}, n_delete{"delete"}, n_absolute{"absolute"};
Name n_join{"join"}, n_get{"get"}, n_info{"info"}, n_startswith{"startswith"};
Name n_init{"__init__"}, n_del{"__del__"};
Name n_orvex_tcl{"orvex.tcl"};
Name n_wrapped{"__wrapped__"}, n_class{"__class__"}, n_name{"__name__"};

// Tcl words (interned texts are ordinary words to Tcl).
Name w_info{"::info"}, w_commands{"commands"}, w_procs{"procs"}, w_body{"body"}, w_args{"args"};
Name w_default{"default"}, w_namespace_cmd{"::namespace"}, w_origin{"origin"}, w_rename{"::rename"};
Name w_namespace{"namespace"}, w_current{"current"}, w_empty{""}, w_root{"::"};
Name w_calling{"Calling: "}, w_dash{"-"};

// The instance attributes, kept in member slots.
Slot tcl_slot, cmd_name_slot, args_slot, keywords_slot, cast_slot, logger_slot;

// Made once when the module loads, owned for the life of the process.
PyObject* tcl_command_class = nullptr;
PyObject* temp_tcl_command_class = nullptr;
PyObject* update_wrapper = nullptr;     // functools.update_wrapper
PyObject* no_arguments = nullptr;       // ()
PyObject* kwnames_tcl = nullptr;        // ("tcl",)

// The methods called through the object; while a lookup still finds the
// class's own entry, the C++ below calls its own body directly.
OwnMethod own_call{"call"};
OwnMethod own_build_tclcmd{"build_tclcmd"};
OwnMethod own_kwargs_to_dashed_args{"kwargs_to_dashed_args"};

// --- helpers ----------------------------------------------------------------

// self.tcl.tk, fetched afresh at every use.
Ref app_of(PyObject* self) { return getattr(tcl_slot.get(self), n_tk); }

// app.call(words): one command, each item of the tuple one word.
TypeMethod app_call{"call"};
Ref run(PyObject* self, PyObject* words) { return app_call.call(app_of(self).get(), words); }

// The command's name, for sending to Tcl.
PyObject* sent_name(PyObject* self) {
    PyObject* name = cmd_name_slot.get(self);
    refuse_nul(name);
    return name;
}

// The three-word queries: w1 w2 cmd_name.
Ref query(PyObject* self, PyObject* w1, PyObject* w2) {
    Ref words = tuple_of({w1, w2, sent_name(self)});
    return run(self, words);
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
bool listed(PyObject* self, PyObject* kind) {
    Ref pattern = glob_literal(sent_name(self));
    return truthy(run(self, tuple_of({w_info, kind, pattern.get()})));
}

Ref cast_result(PyObject* self, Ref result) {
    PyObject* cast = cast_slot.get(self);
    if (truthy(cast)) return call(cast, result.get());
    return result;
}


// super(cls, self).__init__(); skipped when the next class in self's MRO is
// `object`, whose __init__ does nothing when given no arguments.
void init_next(PyObject* cls, PyObject* self) {
    PyObject* mro = Py_TYPE(self)->tp_mro;
    Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro) : 0;
    for (Py_ssize_t i = 0; i + 1 < n; ++i) {
        if (PyTuple_GET_ITEM(mro, i) != cls) continue;
        if (PyTuple_GET_ITEM(mro, i + 1) == reinterpret_cast<PyObject*>(&PyBaseObject_Type)) return;
        break;
    }
    call_method(super_of(cls, self), n_init);
}

// obj[0] and obj[1:], the way Python subscripts them.
Ref first_item(PyObject* sequence) { return own(PyObject_GetItem(sequence, Ref(integer(0)))); }
Ref after_first(PyObject* sequence) {
    Ref from_one = own(PySlice_New(Ref(integer(1)), Py_None, Py_None));
    return own(PyObject_GetItem(sequence, from_one));
}

// tclobj(value) for one word.  While the module's `tclobj` is still the
// sorvan function, the values that sorvan says it hands back unchanged are
// used as they are, without the call.
class WordConverter {
public:
    WordConverter() : is_sorvan_(g_tclobj.is(sorvan_capi->tclobj_function)) {}

    Ref operator()(PyObject* value) const {
        if (is_sorvan_ && sorvan_capi->unchanged_by_tclobj(value)) return Ref::borrow(value);
        return call(g_tclobj.get(), value);
    }

private:
    bool is_sorvan_;
};

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
Ref append_dashed(Ref words, PyObject* options) {
    Py_ssize_t n_options = PyDict_GET_SIZE(options);
    if (n_options == 0) return words;
    Py_ssize_t n_words = PyTuple_GET_SIZE(words.get());
    Py_ssize_t pos = 0, at = n_words;
    PyObject *name, *value;
    while (PyDict_Next(options, &pos, &name, &value)) {
        if (!PyUnicode_Check(name))
            raise(PyExc_TypeError, "kwargs_to_dashed_args() keywords must be strings");
        refuse_nul(name);
    }
    Ref result = own(PyTuple_New(n_words + 2 * n_options));
    for (Py_ssize_t i = 0; i < n_words; ++i)
        PyTuple_SET_ITEM(result.get(), i, Py_NewRef(PyTuple_GET_ITEM(words.get(), i)));
    pos = 0;
    while (PyDict_Next(options, &pos, &name, &value)) {
        PyTuple_SET_ITEM(result.get(), at++, own(PyUnicode_Concat(w_dash, name)).release());
        PyTuple_SET_ITEM(result.get(), at++, Py_NewRef(value));
    }
    return result;
}

// --- construction -------------------------------------------------------------

Signature init_sig{"__init__", {req("cmd"), opt("args", py_none), opt("keywords", py_none),
                                opt("tcl", py_none), opt("cast", py_none), opt("logger", py_none)}};
Ref init(PyObject* self, const Args& a) {
    init_next(tcl_command_class, self);
    Ref package = import_loaded(n_orvex_tcl);
    tcl_slot.set(self, interpreter_proxy(a[3]));

    // The command and its pre-bound arguments.  Without `args`, the command
    // is a word list: another command's full words (its options become plain
    // words), a tuple as it is, or anything else split as a Tcl list; its
    // first word is the name.  With `args`, a text command is a name as it
    // stands (not split), and another command object gets `args` appended.
    Ref cmd = Ref::borrow(a[0]);
    Ref args;
    if (a[1] == Py_None) {
        if (isinstance(cmd, g_TclCommand.get())) {
            cmd = call_method(cmd, n_build_tclcmd);
        } else if (!PyTuple_CheckExact(cmd.get())) {
            cmd = call_method(package, n_cast_list, cmd.get());
        }
        args = after_first(cmd);
        cmd = first_item(cmd);
    } else {
        args = call_method(package, n_cast_list, a[1]);
        if (isinstance(cmd, g_TclCommand.get())) {
            Ref extra = own(PySequence_Tuple(args));
            cmd = call_tuple(getattr(cmd, n_build_tclcmd), extra);
            args = after_first(cmd);
            cmd = first_item(cmd);
        }
    }
    cmd_name_slot.set(self, call(g_sorvan.get(), cmd.get()));
    args_slot.set(self, call(g_tclobj.get(), args.get()));

    Ref keywords = own(PyDict_New());
    keywords_slot.set(self, keywords);
    if (truthy(a[2])) {
        Ref items = own(PyObject_GetIter(call_method(a[2], n_items)));
        Ref tclobj = g_tclobj.get();
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
    cast_slot.set(self, a[4]);
    logger_slot.set(self, a[5]);
    return none();
}

// --- the command words -----------------------------------------------------------

Signature kwargs_to_dashed_args_sig{"kwargs_to_dashed_args", {starstar("kwargs")}};
Ref kwargs_to_dashed_args(PyObject*, const Args& a) {
    return append_dashed(Ref::borrow(no_arguments), a.varkw());
}

// build_tclcmd(*args, **kwargs)
Ref build_tclcmd(PyObject* self, const VectorArgs& a) {
    Ref bound = Ref::borrow(args_slot.get(self));
    if (!PyTuple_Check(bound.get()))
        raise_format(PyExc_TypeError, "can only concatenate tuple (not \"%.200s\") to tuple",
                     Py_TYPE(bound.get())->tp_name);
    Ref cmd_name = Ref::borrow(sent_name(self));

    // (cmd_name,) + self.args + tclobj(args); tclobj of a tuple is the tuple
    // of its items converted one by one, so the items go straight in.  The
    // conversions may run Python code, so they are all done before the
    // tuple is made: no code may ever see it half filled.
    WordConverter tclobj;
    ArgVector converted(a.nargs);
    for (size_t i = 0; i < a.nargs; ++i) converted.push(tclobj(a[i]));
    Py_ssize_t n_bound = PyTuple_GET_SIZE(bound.get());
    Ref words = own(PyTuple_New(1 + n_bound + Py_ssize_t(a.nargs)));
    PyTuple_SET_ITEM(words.get(), 0, cmd_name.release());
    for (Py_ssize_t i = 0; i < n_bound; ++i)
        PyTuple_SET_ITEM(words.get(), 1 + i, Py_NewRef(PyTuple_GET_ITEM(bound.get(), i)));
    for (size_t i = 0; i < a.nargs; ++i)
        PyTuple_SET_ITEM(words.get(), 1 + n_bound + Py_ssize_t(i), Py_NewRef(converted[i]));

    // The options: self.keywords, or a copy of it updated with the call's
    // options (converted), so the stored ones never change.
    PyObject* options = keywords_slot.get(self);
    Ref merged;
    if (a.nkw()) {
        merged = call_method(options, n_copy);
        for (size_t k = 0; k < a.nkw(); ++k) {
            Ref value = tclobj(a.keyword_value(k));
            check(PyObject_SetItem(merged, a.keyword_name(k), value));
        }
        options = merged.get();
    }
    Ref option_dict = keyword_dict(options);
    if (own_kwargs_to_dashed_args.found_on(self))
        return append_dashed(std::move(words), option_dict);
    Ref dashed = call_tuple(getattr(self, n_kwargs_to_dashed_args), no_arguments, option_dict);
    return own(PyNumber_Add(words, dashed));
}

// self.build_tclcmd(*args, **kwargs)
Ref words_for(PyObject* self, const VectorArgs& a) {
    if (own_build_tclcmd.found_on(self)) return build_tclcmd(self, a);
    return call_method_forward(self, n_build_tclcmd, a);
}

// --- running it ------------------------------------------------------------------

Ref call_command(PyObject* self, const VectorArgs& a) {
    Ref words = words_for(self, a);
    PyObject* logger = logger_slot.get(self);
    if (truthy(logger)) {
        // "Calling: {}".format(sorvan(words))
        Ref text = call(g_sorvan.get(), words.get());
        Ref line = own(PyUnicode_Concat(w_calling, Ref(own(PyObject_Format(text, w_empty)))));
        call_method(logger, n_info, line.get());
    }
    return cast_result(self, run(self, words));
}

// self.call(*args, **kwargs)
Ref dunder_call(PyObject* self, const VectorArgs& a) {
    if (own_call.found_on(self)) return call_command(self, a);
    return call_method_forward(self, n_call, a);
}

Ref eval_command(PyObject* self, const VectorArgs& a) {
    Ref words = words_for(self, a);
    Ref script = call(g_sorvan.get(), words.get());
    return cast_result(self, call_method(app_of(self), n_eval, script.get()));
}

// --- queries -----------------------------------------------------------------------

Signature exists_sig{"exists", {}};
Ref exists(PyObject* self, const Args&) { return boolean(listed(self, w_commands)); }

Signature is_proc_sig{"is_proc", {}};
Ref is_proc(PyObject* self, const Args&) { return boolean(listed(self, w_procs)); }

// self.exists() and not self.is_proc()
Signature is_command_sig{"is_command", {}};
Ref is_command(PyObject* self, const Args&) {
    Ref exists = call_method(self, n_exists);
    if (!truthy(exists)) return exists;
    return boolean(!truthy(call_method(self, n_is_proc)));
}

Signature origin_sig{"origin", {}};
Ref origin(PyObject* self, const Args&) { return query(self, w_namespace_cmd, w_origin); }

Signature proc_body_sig{"proc_body", {}};
Ref proc_body(PyObject* self, const Args&) { return query(self, w_info, w_body); }

Signature proc_args_sig{"proc_args", {}};
Ref proc_args(PyObject* self, const Args&) {
    Ref result = query(self, w_info, w_args);
    return call_method(tcl_slot.get(self), n_cast_list, result.get());
}

// `info default` stores the default in a variable; a temporary one, removed
// when the block ends whatever happens inside it.
Signature proc_arg_default_sig{"proc_arg_default", {req("arg_name")}};
Ref proc_arg_default(PyObject* self, const Args& a) {
    PyObject* tcl = tcl_slot.get(self);
    Ref variable_class = g_TempTclVariable.get();
    Ref manager = call_vector(variable_class, &tcl, 0, kwnames_tcl);
    Ref result = with_block(manager, [&](PyObject* tmp) {
        Ref arg_name = call(g_sorvan.get(), a[0]);
        refuse_nul(arg_name);
        Ref words = tuple_of({w_info, w_default, sent_name(self), arg_name.get(), tmp});
        Ref has_default = run(self, words);
        if (truthy(call_method(tcl_slot.get(self), n_cast_boolean, has_default.get())))
            return call_method(tmp, n_get);
        return none();
    });
    return result ? result : none();
}

// --- managing the command ------------------------------------------------------------

// The name changes only once Tcl has accepted the new one.
Signature rename_sig{"rename", {req("new_name")}};
Ref rename(PyObject* self, const Args& a) {
    Ref new_name = call(g_sorvan.get(), a[0]);
    refuse_nul(new_name);
    run(self, tuple_of({w_rename, sent_name(self), new_name.get()}));
    cmd_name_slot.set(self, new_name);
    return none();
}

Signature delete_sig{"delete", {}};
Ref delete_command(PyObject* self, const Args&) {
    run(self, tuple_of({w_rename, sent_name(self), w_empty}));
    return none();
}

Signature createcommand_sig{"createcommand", {req("func")}};
Ref createcommand(PyObject* self, const Args& a) {
    call_method(app_of(self), n_createcommand, sent_name(self), a[0]);
    return none();
}

Signature absolute_sig{"absolute", {}};
Ref absolute(PyObject* self, const Args&) {
    Ref name = Ref::borrow(cmd_name_slot.get(self));
    if (truthy(call_method(name, n_startswith, w_root.get()))) return name;
    Ref current = call_method(app_of(self), n_call, w_namespace.get(), w_current.get());
    return call_method(g_TclNamespace.get(), n_join, current.get(), name.get());
}

Signature make_absolute_sig{"make_absolute", {}};
Ref make_absolute(PyObject* self, const Args&) {
    cmd_name_slot.set(self, call_method(self, n_absolute));
    return none();
}

// --- text forms and binding ----------------------------------------------------------

Signature repr_sig{"__repr__", {}};
Ref repr_command(PyObject* self, const Args&) {
    Ref class_name = str(getattr(getattr(self, n_class), n_name));
    Ref text = own(PyUnicode_FromFormat("%U(%R", class_name.get(), cmd_name_slot.get(self)));
    auto append_if_set = [&](const char* label, PyObject* value) {
        if (truthy(value)) text = own(PyUnicode_FromFormat("%U, %s=%R", text.get(), label, value));
    };
    append_if_set("args", args_slot.get(self));
    append_if_set("keywords", keywords_slot.get(self));
    append_if_set("cast", cast_slot.get(self));
    return own(PyUnicode_FromFormat("%U)", text.get()));
}

Signature str_sig{"__str__", {}};
Ref str_command(PyObject* self, const Args&) {
    return call(g_sorvan.get(), call_method(self, n_build_tclcmd).get());
}

Signature tclobj_sig{"__tclobj__", {}};
Ref tclobj_command(PyObject* self, const Args&) { return call_method(self, n_build_tclcmd); }

// Fetched through an instance, a command stored on a class is a bound
// method: the instance becomes the first argument after the pre-bound ones.
Signature get_sig{"__get__", {req("instance"), opt("owner", py_none)}};
Ref bind_get(PyObject* self, const Args& a) {
    if (a[0] == Py_None) return Ref::borrow(self);
    return bound_method(self, a[0]);
}

// --- TempTclCommand ------------------------------------------------------------------

Signature temp_init_sig{"__init__", {opt("func", py_none), opt("cmd_name", temporary_name_template),
                                     starstar("kwargs")}};
Ref temp_init(PyObject* self, const Args& a) {
    Ref name = temporary_name(self, a[1]);

    Ref init = getattr(super_of(temp_tcl_command_class, self), n_init);
    call_tuple(init, Ref(tuple_of({name.get()})), a.varkw());
    if (truthy(a[0])) {
        call_method(self, n_createcommand, a[0]);
        call(update_wrapper, self, a[0]);
    }
    return none();
}

Signature temp_enter_sig{"__enter__", {}};
Ref temp_enter(PyObject* self, const Args&) {
    return enter_through_super(temp_tcl_command_class, self);
}

// self.delete(), where a Tcl error (the command is gone already) is dropped.
void delete_quietly(PyObject* self) {
    try {
        call_method(self, n_delete);
    } catch (const PyError&) {
        if (!error_matches(tcl_error())) throw;
        PyErr_Clear();
    }
}

Signature temp_exit_sig{"__exit__", {star("args")}};
Ref temp_exit(PyObject* self, const Args& a) {
    delete_quietly(self);
    return exit_through_super(temp_tcl_command_class, self, a.varargs());
}

// Only a command made with a callable (update_wrapper gave it __wrapped__)
// is deleted when the object goes.
Signature temp_del_sig{"__del__", {}};
Ref temp_del(PyObject* self, const Args&) {
    if (hasattr(self, n_wrapped)) delete_quietly(self);
    Ref del = getattr_optional(super_of(temp_tcl_command_class, self), n_del);
    if (del && truthy(del)) call(del);
    return none();
}

PyObject* forever(Ref value) { return value.release(); }

}  // namespace

void define_commands(PyObject* module) {
    update_wrapper = forever(import_from("functools", "update_wrapper"));
    no_arguments = forever(own(PyTuple_New(0)));
    kwnames_tcl = forever(tuple_of({Ref(text("tcl")).get()}));

    ClassBuilder command(
        module, "TclCommand", {reinterpret_cast<PyObject*>(&PyBaseObject_Type)},
        "A Tcl command of one interpreter, callable from Python.\n\n"
        "TclCommand(cmd, args=None, keywords=None, tcl=None, cast=None, logger=None)\n\n"
        "Calling it runs the command with the pre-bound arguments `args`, the\n"
        "call's arguments and the options (pre-bound `keywords` updated with\n"
        "the call's keywords) as '-name value' pairs; the result goes through\n"
        "`cast` when one is set.  Stored on a class it binds like a method.");
    command.slots({"tcl", "cmd_name", "args", "keywords", "cast", "logger"})
        .method<init_sig, init>(
            "__init__",
            "__init__($self, /, cmd, args=None, keywords=None, tcl=None, cast=None, logger=None)\n--\n\n")
        .method<createcommand_sig, createcommand>(
            "createcommand",
            "createcommand($self, /, func)\n--\n\nRegister the callable `func` as the Tcl command of this name.")
        .method<exists_sig, exists>(
            "exists", "exists($self, /)\n--\n\nTrue when a command of this name exists.")
        .method<is_command_sig, is_command>(
            "is_command", "is_command($self, /)\n--\n\nTrue when the command exists and is not a proc.")
        .method<is_proc_sig, is_proc>(
            "is_proc", "is_proc($self, /)\n--\n\nTrue when a proc of this name exists.")
        .method<rename_sig, rename>(
            "rename", "rename($self, /, new_name)\n--\n\nRename the command in Tcl, then here.")
        .method<delete_sig, delete_command>(
            "delete", "delete($self, /)\n--\n\nDelete the command in Tcl.")
        .method<origin_sig, origin>(
            "origin", "origin($self, /)\n--\n\nThe command's origin (namespace origin).")
        .method<proc_body_sig, proc_body>(
            "proc_body", "proc_body($self, /)\n--\n\nThe body of the proc.")
        .method<proc_args_sig, proc_args>(
            "proc_args", "proc_args($self, /)\n--\n\nThe argument names of the proc.")
        .method<proc_arg_default_sig, proc_arg_default>(
            "proc_arg_default",
            "proc_arg_default($self, /, arg_name)\n--\n\n"
            "The default of the proc's argument `arg_name`, or None.")
        .vector_method<build_tclcmd>("build_tclcmd",
                                     "build_tclcmd($self, /, *args, **kwargs)\n--\n\n"
                                     "The word tuple of a call with these arguments.")
        .staticmethod<kwargs_to_dashed_args_sig, kwargs_to_dashed_args>(
            "kwargs_to_dashed_args",
            "kwargs_to_dashed_args(**kwargs)\n--\n\nThe options as a tuple of '-name', value words.")
        .vector_method<call_command>("call",
                                     "call($self, /, *args, **kwargs)\n--\n\n"
                                     "Run the command; its result, cast when a cast is set.")
        .vector_method<dunder_call>(
            "__call__", "__call__($self, /, *args, **kwargs)\n--\n\nSame as call().")
        .vector_method<eval_command>("eval",
                                     "eval($self, /, *args, **kwargs)\n--\n\n"
                                     "Evaluate the command as a script; result as for call().")
        .method<absolute_sig, absolute>(
            "absolute", "absolute($self, /)\n--\n\nThe fully qualified command name.")
        .method<make_absolute_sig, make_absolute>(
            "make_absolute", "make_absolute($self, /)\n--\n\nMake cmd_name fully qualified.")
        .method<repr_sig, repr_command>("__repr__")
        .method<str_sig, str_command>("__str__", "The command words as Tcl list text.")
        .method<tclobj_sig, tclobj_command>("__tclobj__", "The command words, as a tuple.")
        .method<get_sig, bind_get>(
            "__get__",
            "__get__($self, /, instance, owner=None)\n--\n\nBind to an instance like a method.");
    Ref command_class = command.build();
    tcl_slot = command.slot(command_class, "tcl");
    cmd_name_slot = command.slot(command_class, "cmd_name");
    args_slot = command.slot(command_class, "args");
    keywords_slot = command.slot(command_class, "keywords");
    cast_slot = command.slot(command_class, "cast");
    logger_slot = command.slot(command_class, "logger");
    own_call.take(command_class);
    own_build_tclcmd.take(command_class);
    own_kwargs_to_dashed_args.take(command_class);
    add(module, "TclCommand", command_class);
    tcl_command_class = forever(command_class);

    ClassBuilder temp(module, "TempTclCommand", {tcl_command_class},
                      "A command under a name of its own, deleted when its `with` block ends.\n\n"
                      "TempTclCommand(func=None, cmd_name='::__orvex__{cls}_{id}_tmp', **kwargs)\n\n"
                      "Made with a callable, it registers it at once, takes over its name and\n"
                      "docstring, and deletes the command again when it is collected.");
    temp.method<temp_init_sig, temp_init>(
            "__init__",
            "__init__($self, /, func=None, cmd_name='::__orvex__{cls}_{id}_tmp', **kwargs)\n--\n\n")
        .method<temp_enter_sig, temp_enter>("__enter__")
        .method<temp_exit_sig, temp_exit>("__exit__")
        .method<temp_del_sig, temp_del>("__del__");
    Ref temp_class = temp.build();
    add(module, "TempTclCommand", temp_class);
    temp_tcl_command_class = forever(temp_class);
}

}  // namespace orvex::tcl_namespace

// orvex.tcl.namespace: TclNamespace, a handle on one Tcl namespace, with the
// algebra of qualified names as its static methods, and TempTclNamespace.
#include "namespaces.hpp"

#include <algorithm>
#include <cstring>

namespace orvex::tcl_namespace {

using enum State::Namespaces::N;

namespace {

// True for a TclNamespace or TempTclNamespace whose class nobody changed:
// its attributes are then the member slots and its methods are ours.
bool plain(State& st, PyObject* obj) {
    return st.namespaces.namespace_built.unchanged(Py_TYPE(obj)) ||
           st.namespaces.temp_namespace_built.unchanged(Py_TYPE(obj));
}

}  // namespace

// --- qualified names ---------------------------------------------------------------
//
// Names are split at "::" from left to right without overlap, and empty
// pieces are dropped: a run of 2, 4, 6... colons is one separator, while a
// run of 3, 5... leaves a ':' at the start of the next piece, and a piece
// holding ':' makes the name invalid.  The canonical text joins the pieces
// with "::", behind a leading "::" when the name is absolute.

Ref name_text(State& st, PyObject* value) {
    // While `sorvan` is the module's own, two conversions are known without
    // the call: a str is itself, and a namespace object whose class and
    // instance carry no conversion hook is str(ns), its `ns` text.
    if (sorvan_is_original(st)) {
        if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
        if (plain(st, value)) {
            // The class carries no hook (it is as built); the instance
            // carries none when its __dict__ is empty, as it normally is:
            // every attribute of a namespace lives in a member slot.
            PyObject* name = st.namespaces.ns_slot.get(value);
            PyObject* dict = cpython::instance_dict(value);
            if (PyUnicode_CheckExact(name) && (dict == nullptr || PyDict_GET_SIZE(dict) == 0))
                return Ref::borrow(name);
            auto& names = st.namespaces.names;
            if (PyUnicode_CheckExact(name) && !getattr_optional(value, names[n_sorvan_hook]) &&
                !getattr_optional(value, names[n_tclobj_hook]))
                return Ref::borrow(name);
        }
    }
    Ref result = call(module_global(st, n_sorvan), value);
    if (!PyUnicode_Check(result.get()))
        raise_format(PyExc_TypeError, "a Tcl name must be text, not '%.100s'",
                     Py_TYPE(result.get())->tp_name);
    return result;
}

namespace {

// A str read character by character.
struct Chars {
    explicit Chars(PyObject* text)
        : kind(PyUnicode_KIND(text)), data(PyUnicode_DATA(text)), size(PyUnicode_GET_LENGTH(text)) {}
    Py_UCS4 operator[](Py_ssize_t i) const { return PyUnicode_READ(kind, data, i); }
    bool separator_at(Py_ssize_t i) const {
        return i + 1 < size && (*this)[i] == ':' && (*this)[i + 1] == ':';
    }
    bool absolute() const { return separator_at(0); }
    bool has_colon() const {
        for (Py_ssize_t i = 0; i < size; ++i)
            if ((*this)[i] == ':') return true;
        return false;
    }

    int kind;
    const void* data;
    Py_ssize_t size;
};

// Calls piece(start, end) for every non-empty piece, in order.
template <typename F>
void for_each_piece(const Chars& chars, F&& piece) {
    Py_ssize_t start = 0;
    for (Py_ssize_t i = 0; i < chars.size;) {
        if (chars.separator_at(i)) {
            if (i > start) piece(start, i);
            i += 2;
            start = i;
        } else {
            ++i;
        }
    }
    if (chars.size > start) piece(start, chars.size);
}

[[noreturn]] void invalid_name(PyObject* text) {
    Ref message = own(PyUnicode_FromFormat("Invalid Tcl namespace '%U'", text));
    raise(PyExc_ValueError, message.get());
}

// What splitting a name finds: the number and total length of its pieces,
// whether it is absolute, and whether every piece is free of ':'.
struct Pieces {
    Py_ssize_t count = 0, length = 0, size = 0;
    bool absolute = false, valid = true;

    Py_ssize_t canonical_size() const {
        if (count == 0) return 0;
        return length + 2 * (count - 1) + (absolute ? 2 : 0);
    }
    // A length equal to the canonical one means that every separator is a
    // single "::" and nothing is dropped: the text is its own canonical form.
    bool canonical() const { return valid && canonical_size() == size; }
};

Pieces scan(PyObject* text) {
    Chars chars(text);
    Pieces pieces;
    pieces.absolute = chars.absolute();
    pieces.size = chars.size;
    for_each_piece(chars, [&](Py_ssize_t start, Py_ssize_t end) {
        for (Py_ssize_t i = start; i < end; ++i)
            if (chars[i] == ':') pieces.valid = false;
        ++pieces.count;
        pieces.length += end - start;
    });
    return pieces;
}

// Writes text[start:end] into `out` from `at` on, advancing `at`.
void put(PyObject* out, Py_ssize_t& at, PyObject* text, Py_ssize_t start, Py_ssize_t end) {
    int kind = PyUnicode_KIND(out);
    if (PyUnicode_KIND(text) == kind) {
        std::memcpy(static_cast<char*>(PyUnicode_DATA(out)) + at * kind,
                    static_cast<const char*>(PyUnicode_DATA(text)) + start * kind,
                    size_t(end - start) * size_t(kind));
    } else {
        check_size(PyUnicode_CopyCharacters(out, at, text, start, end - start));
    }
    at += end - start;
}

void put_separator(PyObject* out, Py_ssize_t& at) {
    PyUnicode_WRITE(PyUnicode_KIND(out), PyUnicode_DATA(out), at, ':');
    PyUnicode_WRITE(PyUnicode_KIND(out), PyUnicode_DATA(out), at + 1, ':');
    at += 2;
}

// The canonical text of a name that is already text; ValueError when a
// piece holds ':'.
Ref normalize_text(PyObject* text) {
    Pieces pieces = scan(text);
    if (!pieces.valid) invalid_name(text);
    if (pieces.canonical()) return Ref::borrow(text);
    // Only colons are dropped, so the result needs no wider characters than
    // the text (whose width is exact, being a str).
    Ref out = own(PyUnicode_New(pieces.canonical_size(), PyUnicode_MAX_CHAR_VALUE(text)));
    Py_ssize_t at = 0;
    bool first = true;
    for_each_piece(Chars(text), [&](Py_ssize_t start, Py_ssize_t end) {
        if (!first || pieces.absolute) put_separator(out, at);
        put(out, at, text, start, end);
        first = false;
    });
    return out;
}

// base + "::" + name
Ref concat_names(PyObject* base, PyObject* name) {
    Py_ssize_t base_size = PyUnicode_GET_LENGTH(base), name_size = PyUnicode_GET_LENGTH(name);
    Py_UCS4 widest = std::max(PyUnicode_MAX_CHAR_VALUE(base), PyUnicode_MAX_CHAR_VALUE(name));
    Ref out = own(PyUnicode_New(base_size + 2 + name_size, widest));
    Py_ssize_t at = 0;
    put(out, at, base, 0, base_size);
    put_separator(out, at);
    put(out, at, name, 0, name_size);
    return out;
}

// One step of join, on texts: an empty result or an absolute name starts
// afresh, an empty name changes nothing, anything else is appended after
// "::".  Not yet normalised.
Ref join_step(PyObject* result, PyObject* name) {
    if (PyUnicode_GET_LENGTH(result) == 0 || Chars(name).absolute()) return Ref::borrow(name);
    if (PyUnicode_GET_LENGTH(name) == 0) return Ref::borrow(result);
    return concat_names(result, name);
}

// join(base, name), normalised.  The usual case - a canonical base and a
// plain name without colons - is canonical once joined, and skips the
// second scan.
Ref join_texts(PyObject* base, PyObject* name) {
    if (PyUnicode_GET_LENGTH(base) > 0 && PyUnicode_GET_LENGTH(name) > 0 && !Chars(name).has_colon() &&
        scan(base).canonical())
        return concat_names(base, name);
    return normalize_text(join_step(base, name));
}

// The start of the last "::" in the text, or -1.
Py_ssize_t last_separator(PyObject* text) {
    Chars chars(text);
    for (Py_ssize_t i = chars.size - 2; i >= 0; --i)
        if (chars[i] == ':' && chars[i + 1] == ':') return i;
    return -1;
}

// --- the static methods ------------------------------------------------------------

Signature split_sig{"split", {req("string")}};
Ref split(State& st, PyObject*, const Args& args) {
    Ref name = name_text(st, args[0]);
    Pieces pieces = scan(name);
    if (!pieces.valid) invalid_name(name);
    Ref result = own(PyList_New(0));
    if (pieces.absolute) check(PyList_Append(result, Ref(text(""))));
    for_each_piece(Chars(name), [&](Py_ssize_t start, Py_ssize_t end) {
        check(PyList_Append(result, own(PyUnicode_Substring(name, start, end))));
    });
    return result;
}

Signature join_sig{"join", {req("string"), star("args")}};
Ref join(State& st, PyObject*, const Args& args) {
    PyObject* more = args.varargs();
    Ref result = name_text(st, args[0]);
    Py_ssize_t count = PyTuple_GET_SIZE(more);
    if (count == 1) return join_texts(result, name_text(st, PyTuple_GET_ITEM(more, 0)));
    for (Py_ssize_t i = 0; i < count; ++i)
        result = join_step(result, name_text(st, PyTuple_GET_ITEM(more, i)));
    return normalize_text(result);
}

Signature normalize_sig{"normalize", {req("string")}};
Ref normalize(State& st, PyObject*, const Args& args) {
    return normalize_text(name_text(st, args[0]));
}

Signature tail_sig{"tail", {req("string")}};
Ref tail(State& st, PyObject*, const Args& args) {
    Ref name = name_text(st, args[0]);
    Py_ssize_t separator = last_separator(name);
    if (separator < 0) return name;
    return own(PyUnicode_Substring(name, separator + 2, PyUnicode_GET_LENGTH(name.get())));
}

Signature qualifiers_sig{"qualifiers", {req("string")}};
Ref qualifiers(State& st, PyObject*, const Args& args) {
    Ref name = name_text(st, args[0]);
    Py_ssize_t end = last_separator(name);
    if (end < 0) return text("");
    // Step back over a longer run of colons: "a:::b" qualifies as "a".
    Chars chars(name);
    while (end > 0 && chars[end - 1] == ':') --end;
    return own(PyUnicode_Substring(name, 0, end));
}

}  // namespace

// --- shared helpers ------------------------------------------------------------------

Ref keyword_tuple(std::initializer_list<const char*> names) {
    Ref tuple = own(PyTuple_New(Py_ssize_t(names.size())));
    Py_ssize_t i = 0;
    for (const char* name : names)
        PyTuple_SET_ITEM(tuple.get(), i++, own(PyUnicode_InternFromString(name)).release());
    return tuple;
}

void raise_key_error_from_pending(PyObject* key) {
    Ref cause = fetch_error();
    Ref error = call(PyExc_KeyError, key);
    PyException_SetCause(error, Ref(cause).release());
    PyException_SetContext(error, cause.release());
    restore_error(std::move(error));
}

// --- TclNamespace ---------------------------------------------------------------------

namespace {

PyObject* nm(State& st, size_t i) { return st.namespaces.names[i]; }

Ref ns_of(State& st, PyObject* self) {
    if (plain(st, self)) return Ref::borrow(st.namespaces.ns_slot.get(self));
    return getattr(self, nm(st, n_ns));
}

// The same, for sending to Tcl.
Ref sent_ns_of(State& st, PyObject* self) {
    Ref ns = ns_of(st, self);
    refuse_nul(ns);
    return ns;
}

Ref tcl_of(State& st, PyObject* self) {
    if (plain(st, self)) return Ref::borrow(st.namespaces.tcl_slot.get(self));
    return getattr(self, nm(st, n_tcl));
}

Ref app_of(State& st, PyObject* self) { return handle_app(st, tcl_of(st, self)); }

// A text or name that is not empty (the empty name means the current
// namespace).
bool named(PyObject* name) { return truthy(name); }

Ref concat(PyObject* tuple, PyObject* more) { return own(PySequence_Concat(tuple, more)); }

// self.call(words) and self.tcl.cast_list(result)
Ref call_in_namespace(State& st, PyObject* self, PyObject* words) {
    return call_method(self, nm(st, n_call), words);
}
Ref cast_list(State& st, PyObject* self, PyObject* value) {
    return call_method(tcl_of(st, self), nm(st, n_cast_list), value);
}

// app.call(words)
Ref app_call(State& st, PyObject* self, PyObject* words) {
    return call_method(app_of(st, self), nm(st, n_call), words);
}

// N: the name, or the current namespace asked of the interpreter.
Ref name_or_current(State& st, PyObject* self) {
    Ref ns = sent_ns_of(st, self);
    if (named(ns)) return ns;
    return call_method(self, nm(st, n_current));
}

Ref tclobj(State& st, PyObject* value) { return call(module_global(st, n_tclobj), value); }
Ref sorvan(State& st, PyObject* value) { return call(module_global(st, n_sorvan), value); }

// --- construction

Signature init_sig{"__init__", {req("ns"), opt("tcl", py_none)}};
Ref init(State& st, PyObject* self, const Args& args) {
    auto& part = st.namespaces;
    // super(TclNamespace, self).__init__(): only a subclass can put anything
    // but object between TclNamespace and the end of its resolution order.
    if (Py_TYPE(self) != reinterpret_cast<PyTypeObject*>(part.namespace_class.get()) &&
        Py_TYPE(self) != reinterpret_cast<PyTypeObject*>(part.temp_namespace_class.get())) {
        Ref next = super_of(part.namespace_class, self);
        call_method(next, st.names[n_dunder_init]);
    }
    if (plain(st, self)) {
        part.ns_slot.set(self, sorvan(st, args[0]));
        part.tcl_slot.set(self, interpreter_proxy(st, args[1]));
    } else {
        setattr(self, nm(st, n_ns), sorvan(st, args[0]));
        setattr(self, nm(st, n_tcl), interpreter_proxy(st, args[1]));
    }
    // The views, each made through TclNamespace as the module names it now.
    Ref cls = module_global(st, n_TclNamespace);
    static constexpr size_t views[] = {n_VariablesView, n_ObjectsView, n_ProcsView, n_CommandsView};
    static constexpr size_t attrs[] = {n_vars, n_objs, n_procs, n_cmds};
    for (size_t i = 0; i < 4; ++i) {
        Ref view = call(getattr(cls, nm(st, views[i])), self);
        setattr(self, nm(st, attrs[i]), view);
    }
    return none();
}

// --- the namespace command

Signature current_sig{"current", {}};
Ref current(State& st, PyObject* self, const Args&) {
    return app_call(st, self, tuple_of({nm(st, w_namespace), nm(st, n_current)}));
}

Signature create_sig{"create", {}};
Ref create(State& st, PyObject* self, const Args&) {
    if (!named(ns_of(st, self))) raise(PyExc_ValueError, "Cannot create current namespace");
    // Evaluating a script in a namespace creates it.
    call_method(self, nm(st, n_eval), Ref(text("")).get());
    return none();
}

Signature delete_sig{"delete", {}};
Ref delete_(State& st, PyObject* self, const Args&) {
    app_call(st, self, tuple_of({nm(st, w_namespace), nm(st, n_delete), name_or_current(st, self).get()}));
    return none();
}

Signature exists_sig{"exists", {}};
Ref exists(State& st, PyObject* self, const Args&) {
    Ref answer = app_call(
        st, self, tuple_of({nm(st, w_namespace), nm(st, w_exists), name_or_current(st, self).get()}));
    return call_method(tcl_of(st, self), nm(st, n_cast_boolean), answer.get());
}

Signature children_sig{"children", {opt("pattern", py_none)}};
Ref children(State& st, PyObject* self, const Args& args) {
    PyObject* pattern = args[0];
    Ref words;
    if (pattern == Py_None) {
        words = tuple_of({nm(st, w_namespace), nm(st, w_children)});
    } else {
        // Tcl takes a pattern only after the namespace whose children it
        // lists, and resolves that name inside this namespace: the absolute
        // name is the one that means this namespace there.
        Ref absolute = call_method(self, nm(st, n_absolute));
        if (!named(absolute)) absolute = Ref::borrow(nm(st, w_global));
        refuse_nul(absolute);
        Ref pattern_word = sorvan(st, pattern);
        refuse_nul(pattern_word);
        words = tuple_of(
            {nm(st, w_namespace), nm(st, w_children), absolute.get(), pattern_word.get()});
    }
    return cast_list(st, self, call_in_namespace(st, self, words));
}

Signature parent_sig{"parent", {opt("force_eval", py_false)}};
Ref parent(State& st, PyObject* self, const Args& args) {
    if (truthy(args[0]) && truthy(call_method(self, nm(st, n_is_absolute)))) {
        // From the name alone, as Tcl answers: the parent of ::a is ::, and
        // the global namespace has none ("").
        Ref cls = module_global(st, n_TclNamespace);
        Ref parts = call_method(cls, nm(st, n_split), ns_of(st, self).get());
        Py_ssize_t count = check_size(PySequence_Size(parts));  // "" first: absolute
        if (count <= 1) return text("");
        if (count == 2) return Ref::borrow(nm(st, w_global));
        Ref kept = own(PySequence_GetSlice(parts, 1, count - 1));
        Ref join_args = concat(Ref(tuple_of({nm(st, w_global)})), Ref(own(PySequence_Tuple(kept))));
        return call_tuple(getattr(cls, nm(st, n_join)), join_args);
    }
    Ref ns = sent_ns_of(st, self);
    Ref words = named(ns) ? tuple_of({nm(st, w_namespace), nm(st, w_parent), ns.get()})
                          : tuple_of({nm(st, w_namespace), nm(st, w_parent)});
    return app_call(st, self, tclobj(st, words));
}

Signature code_sig{"code", {req("script")}};
Ref code(State& st, PyObject* self, const Args& args) {
    return call_in_namespace(st, self, tuple_of({nm(st, w_namespace), nm(st, w_code), args[0]}));
}

// ("namespace", subcommand) + (flag,) when set + patterns
Ref flagged_words(State& st, size_t subcommand, size_t flag, bool set, PyObject* patterns) {
    // (a pattern cut short at a NUL would match more than was asked for)
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(patterns); ++i)
        refuse_nul(PyTuple_GET_ITEM(patterns, i));
    Ref head = set ? tuple_of({nm(st, w_namespace), nm(st, subcommand), nm(st, flag)})
                   : tuple_of({nm(st, w_namespace), nm(st, subcommand)});
    return concat(head, patterns);
}

Signature export_sig{"export", {opt("clear", py_false), star("patterns")}};
Ref export_(State& st, PyObject* self, const Args& args) {
    bool clear = truthy(args[0]);
    PyObject* patterns = args.varargs();
    Ref result = call_in_namespace(st, self, flagged_words(st, w_export, w_clear, clear, patterns));
    // Neither flag nor pattern: a query of the export patterns.
    if (!clear && PyTuple_GET_SIZE(patterns) == 0) return cast_list(st, self, result);
    return none();
}

Signature forget_sig{"forget", {star("patterns")}};
Ref forget(State& st, PyObject* self, const Args& args) {
    call_in_namespace(st, self, flagged_words(st, w_forget, 0, false, args.varargs()));
    return none();
}

Signature import_sig{"import_", {opt("force", py_false), star("patterns")}};
Ref import_(State& st, PyObject* self, const Args& args) {
    call_in_namespace(st, self,
                      flagged_words(st, w_import, w_force, truthy(args[0]), args.varargs()));
    return none();
}

Signature origin_sig{"origin", {req("command")}};
Ref origin(State& st, PyObject* self, const Args& args) {
    refuse_nul(args[0]);
    return call_in_namespace(st, self, tuple_of({nm(st, w_namespace), nm(st, w_origin), args[0]}));
}

Signature which_sig{"which", {req("name"), opt("command", py_false), opt("variable", py_false)}};
Ref which(State& st, PyObject* self, const Args& args) {
    Ref words = own(PyList_New(0));
    check(PyList_Append(words, nm(st, w_namespace)));
    check(PyList_Append(words, nm(st, w_which)));
    if (truthy(args[1])) check(PyList_Append(words, nm(st, w_command)));
    if (truthy(args[2])) check(PyList_Append(words, nm(st, w_variable)));
    refuse_nul(args[0]);
    check(PyList_Append(words, args[0]));
    return call_in_namespace(st, self, own(PyList_AsTuple(words)));
}

// --- running commands in the namespace

// The command of eval and call: `tclcmd`, or the words (tclcmd, *args).
Ref command_of(const Args& args) {
    PyObject* more = args.varargs();
    if (PyTuple_GET_SIZE(more) == 0) return Ref::borrow(args[0]);
    return concat(Ref(tuple_of({args[0]})), more);
}

Signature eval_sig{"eval", {req("tclcmd"), star("args")}};
Ref eval(State& st, PyObject* self, const Args& args) {
    Ref command = command_of(args);
    Ref ns = ns_of(st, self);
    // The script text of a command: a string is a script as it stands;
    // words become their list text (whose first word never starts with a
    // bare '#', so it runs as the command it names).
    Ref script;
    if (named(ns)) {
        Ref inner = PyUnicode_Check(command.get()) ? command : sorvan(st, command);
        script = sorvan(st, tuple_of({nm(st, w_namespace), nm(st, n_eval), ns.get(), inner.get()}));
    } else {
        script = sorvan(st, command);
    }
    return call_method(app_of(st, self), nm(st, n_eval), script.get());
}

Signature call_sig{"call", {req("tclcmd"), star("args")}};
Ref call_(State& st, PyObject* self, const Args& args) {
    Ref command = command_of(args);
    Ref ns = sent_ns_of(st, self);
    if (named(ns))
        command = tuple_of({nm(st, w_namespace), nm(st, n_eval), ns.get(), command.get()});
    return app_call(st, self, tclobj(st, command));
}

// --- the name

bool starts_absolute(State& st, PyObject* name) {
    if (PyUnicode_Check(name)) return Chars(name).absolute();
    return truthy(call_method(name, nm(st, n_startswith), nm(st, w_global)));
}

Signature is_absolute_sig{"is_absolute", {}};
Ref is_absolute(State& st, PyObject* self, const Args&) {
    Ref ns = ns_of(st, self);
    if (!named(ns)) return ns;  // the empty name itself
    return boolean(starts_absolute(st, ns));
}

Signature is_relative_sig{"is_relative", {}};
Ref is_relative(State& st, PyObject* self, const Args&) {
    Ref ns = ns_of(st, self);
    if (!named(ns)) return ns;
    return boolean(!starts_absolute(st, ns));
}

Signature absolute_sig{"absolute", {}};
Ref absolute(State& st, PyObject* self, const Args&) {
    if (truthy(call_method(self, nm(st, n_is_absolute)))) return ns_of(st, self);
    Ref current_ns = call_method(self, nm(st, n_current));
    return join_name(st, current_ns, ns_of(st, self));
}

Signature make_absolute_sig{"make_absolute", {}};
Ref make_absolute(State& st, PyObject* self, const Args&) {
    Ref name = call_method(self, nm(st, n_absolute));
    if (plain(st, self)) {
        st.namespaces.ns_slot.set(self, name);
    } else {
        setattr(self, nm(st, n_ns), name);
    }
    return none();
}

Signature str_sig{"__str__", {}};
Ref str_(State& st, PyObject* self, const Args&) { return ns_of(st, self); }

// --- TempTclNamespace

Signature temp_init_sig{"__init__",
                        {opt<&State::temporary_name_template>("ns", "'::__orvex__{cls}_{id}_tmp'"),
                         starstar("kwargs")}};
Ref temp_init(State& st, PyObject* self, const Args& args) {
    Ref name = temporary_name(st, self, args[0]);
    Ref next = super_of(st.namespaces.temp_namespace_class, self);
    call_tuple(getattr(next, st.names[n_dunder_init]), Ref(tuple_of({name.get()})), args.varkw());
    return none();
}

Signature enter_sig{"__enter__", {}};
Ref enter_(State& st, PyObject* self, const Args&) {
    Ref result = enter_through_super(st, st.namespaces.temp_namespace_class, self);
    call_method(self, nm(st, n_create));
    return result;
}

Signature exit_sig{"__exit__", {star("exc_info")}};
Ref exit_(State& st, PyObject* self, const Args& args) {
    try {
        call_method(self, nm(st, n_delete));
    } catch (const PyError&) {
        // Gone already (the block deleted it): nothing left to remove.
        if (!error_matches(st.tcl_error)) throw;
        PyErr_Clear();
    }
    return exit_through_super(st, st.namespaces.temp_namespace_class, self, args.varargs());
}

}  // namespace

// --- what views.cpp uses -----------------------------------------------------------

bool namespace_plain(State& st, PyObject* ns) { return plain(st, ns); }

Ref namespace_tcl(State& st, PyObject* ns) { return tcl_of(st, ns); }

Ref namespace_call(State& st, PyObject* ns, PyObject* words) {
    return call_in_namespace(st, ns, words);
}

Ref join_name(State& st, PyObject* base, PyObject* name) {
    Ref cls = module_global(st, n_TclNamespace);
    if (st.namespaces.namespace_built.unchanged(reinterpret_cast<PyTypeObject*>(cls.get())))
        return join_texts(name_text(st, base), name_text(st, name));
    return call_method(cls, nm(st, n_join), base, name);
}

// --- the classes -----------------------------------------------------------------------

void define_namespaces(State& st, PyObject* module) {
    auto& part = st.namespaces;
    part.names.fill(part.name_texts);
    make_view_classes(st, module);

    ClassBuilder namespace_class(module, "TclNamespace",
                                 {reinterpret_cast<PyObject*>(&PyBaseObject_Type)},
                                 "A Tcl namespace of one interpreter.\n\n"
                                 "`ns` is its name (the empty name: the current namespace); `vars`,\n"
                                 "`objs`, `procs` and `cmds` show its contents as mappings.");
    namespace_class.slots({"ns", "tcl", "vars", "objs", "procs", "cmds"})
        .method<init_sig, init>("__init__")
        .method<children_sig, children>("children", "The child namespaces.")
        .method<code_sig, code>("code", "The script wrapped to run in this namespace.")
        .method<current_sig, current>("current", "The interpreter's current namespace.")
        .method<create_sig, create>("create", "Make the namespace.")
        .method<delete_sig, delete_>("delete", "Delete the namespace.")
        .method<eval_sig, eval>("eval", "Evaluate a script in the namespace.")
        .method<call_sig, call_>("call", "Run one command in the namespace.")
        .method<exists_sig, exists>("exists", "Whether the namespace exists.")
        .method<export_sig, export_>("export", "Query or change the exports.")
        .method<forget_sig, forget>("forget", "Remove imported commands.")
        .method<import_sig, import_>("import_", "Import commands.")
        .method<origin_sig, origin>("origin", "Where an imported command comes from.")
        .method<parent_sig, parent>("parent", "The parent namespace.")
        .method<which_sig, which>("which", "Resolve a name here.")
        .method<is_absolute_sig, is_absolute>("is_absolute")
        .method<is_relative_sig, is_relative>("is_relative")
        .method<absolute_sig, absolute>("absolute", "The fully qualified name.")
        .method<make_absolute_sig, make_absolute>("make_absolute", "Qualify `ns` fully.")
        .method<str_sig, str_>("__str__")
        .staticmethod<qualifiers_sig, qualifiers>("qualifiers", "The text before the last '::'.")
        .staticmethod<tail_sig, tail>("tail", "The text after the last '::'.")
        .staticmethod<join_sig, join>("join", "The names joined and normalised.")
        .staticmethod<split_sig, split>("split", "The components of a name.")
        .staticmethod<normalize_sig, normalize>("normalize", "The canonical name.")
        .attr("VariablesView", st.views.variables_class)
        .attr("ObjectsView", st.views.objects_class)
        .attr("CommandsView", st.views.commands_class)
        .attr("ProcsView", st.views.procs_class);
    part.namespace_class = namespace_class.build();
    part.ns_slot = namespace_class.slot(part.namespace_class, "ns");
    part.tcl_slot = namespace_class.slot(part.namespace_class, "tcl");
    add(module, "TclNamespace", part.namespace_class);

    ClassBuilder temp_class(module, "TempTclNamespace", {part.namespace_class.get()},
                            "A namespace that exists for the length of a with block.");
    temp_class.method<temp_init_sig, temp_init>("__init__")
        .method<enter_sig, enter_>("__enter__")
        .method<exit_sig, exit_>("__exit__");
    part.temp_namespace_class = temp_class.build();
    add(module, "TempTclNamespace", part.temp_namespace_class);

    part.namespace_built.remember(part.namespace_class);
    part.temp_namespace_built.remember(part.temp_namespace_class);
}

}  // namespace orvex::tcl_namespace

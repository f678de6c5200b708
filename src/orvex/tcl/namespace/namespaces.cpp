// orvex.tcl.namespace: TclNamespace, a handle on one Tcl namespace, with the
// algebra of qualified names as its static methods, and TempTclNamespace.
#include "namespaces.hpp"

#include <algorithm>
#include <cstring>

namespace orvex::tcl_namespace {

namespace {

Global g_sorvan{module_globals, "sorvan"};
PyObject* module_sorvan = nullptr;  // the module's own sorvan, for the fast paths

// The two classes as built, and the member slots of TclNamespace.
ClassVersion namespace_built, temp_namespace_built;
PyObject* namespace_type = nullptr;
PyObject* temp_namespace_type = nullptr;
Slot ns_slot, tcl_slot;

// True for a TclNamespace or TempTclNamespace whose class nobody changed:
// its attributes are then the member slots and its methods are ours.
bool plain(PyObject* obj) {
    return namespace_built.holds(Py_TYPE(obj)) || temp_namespace_built.holds(Py_TYPE(obj));
}

Name n_sorvan_hook{"__sorvan__"};
Name n_tclobj_hook{"__tclobj__"};

}  // namespace

// --- qualified names ---------------------------------------------------------------
//
// Names are split at "::" from left to right without overlap, and empty
// pieces are dropped: a run of 2, 4, 6... colons is one separator, while a
// run of 3, 5... leaves a ':' at the start of the next piece, and a piece
// holding ':' makes the name invalid.  The canonical text joins the pieces
// with "::", behind a leading "::" when the name is absolute.

bool sorvan_is_original() { return g_sorvan.is(module_sorvan); }

Ref name_text(PyObject* value) {
    // While `sorvan` is the module's own, two conversions are known without
    // the call: a str is itself, and a namespace object whose class and
    // instance carry no conversion hook is str(ns), its `ns` text.
    if (g_sorvan.is(module_sorvan)) {
        if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
        if (plain(value)) {
            // The class carries no hook (it is as built); the instance
            // carries none when its __dict__ is empty, as it normally is:
            // every attribute of a namespace lives in a member slot.
            PyObject* name = ns_slot.get(value);
            Ref dict = own(PyObject_GenericGetDict(value, nullptr));
            if (PyUnicode_CheckExact(name) && PyDict_GET_SIZE(dict.get()) == 0) return Ref::borrow(name);
            if (PyUnicode_CheckExact(name) && !getattr_optional(value, n_sorvan_hook) &&
                !getattr_optional(value, n_tclobj_hook))
                return Ref::borrow(name);
        }
    }
    Ref result = call(g_sorvan.get(), value);
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
Ref split(PyObject*, const Args& args) {
    Ref name = name_text(args[0]);
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
Ref join(PyObject*, const Args& args) {
    PyObject* more = args.varargs();
    Ref result = name_text(args[0]);
    Py_ssize_t count = PyTuple_GET_SIZE(more);
    if (count == 1) return join_texts(result, name_text(PyTuple_GET_ITEM(more, 0)));
    for (Py_ssize_t i = 0; i < count; ++i)
        result = join_step(result, name_text(PyTuple_GET_ITEM(more, i)));
    return normalize_text(result);
}

Signature normalize_sig{"normalize", {req("string")}};
Ref normalize(PyObject*, const Args& args) {
    return normalize_text(name_text(args[0]));
}

Signature tail_sig{"tail", {req("string")}};
Ref tail(PyObject*, const Args& args) {
    Ref name = name_text(args[0]);
    Py_ssize_t separator = last_separator(name);
    if (separator < 0) return name;
    return own(PyUnicode_Substring(name, separator + 2, PyUnicode_GET_LENGTH(name.get())));
}

Signature qualifiers_sig{"qualifiers", {req("string")}};
Ref qualifiers(PyObject*, const Args& args) {
    Ref name = name_text(args[0]);
    Py_ssize_t end = last_separator(name);
    if (end < 0) return text("");
    // Step back over a longer run of colons: "a:::b" qualifies as "a".
    Chars chars(name);
    while (end > 0 && chars[end - 1] == ':') --end;
    return own(PyUnicode_Substring(name, 0, end));
}

}  // namespace

// --- shared helpers ------------------------------------------------------------------

PyObject* keyword_names(std::initializer_list<const char*> names) {
    Ref tuple = own(PyTuple_New(Py_ssize_t(names.size())));
    Py_ssize_t i = 0;
    for (const char* name : names)
        PyTuple_SET_ITEM(tuple.get(), i++, own(PyUnicode_InternFromString(name)).release());
    return tuple.release();  // kept for the life of the process
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

Global g_tclobj{module_globals, "tclobj"};
Global g_TclNamespace{module_globals, "TclNamespace"};

Name n_ns{"ns"};
Name n_tcl{"tcl"};
Name n_tk{"tk"};
Name n_call{"call"};
Name n_eval{"eval"};
Name n_current{"current"};
Name n_cast_list{"cast_list"};
Name n_cast_boolean{"cast_boolean"};
Name n_is_absolute{"is_absolute"};
Name n_absolute{"absolute"};
Name n_create{"create"};
Name n_delete{"delete"};
Name n_split{"split"};
Name n_join{"join"};
Name n_name{"__name__"};
Name n_init{"__init__"};

// Words sent to Tcl.  The subcommands go with the plain word "namespace",
// resolved where they run.
Name w_namespace{"namespace"};
Name w_current{"current"};
Name w_delete{"delete"};
Name w_exists{"exists"};
Name w_children{"children"};
Name w_parent{"parent"};
Name w_code{"code"};
Name w_export{"export"};
Name w_import{"import"};
Name w_forget{"forget"};
Name w_origin{"origin"};
Name w_which{"which"};
Name w_eval{"eval"};
Name w_clear{"-clear"};
Name w_force{"-force"};
Name w_command{"-command"};
Name w_variable{"-variable"};
Name w_global{"::"};


Ref ns_of(PyObject* self) {
    if (plain(self)) return Ref::borrow(ns_slot.get(self));
    return getattr(self, n_ns);
}

// The same, for sending to Tcl.
Ref sent_ns_of(PyObject* self) {
    Ref ns = ns_of(self);
    refuse_nul(ns);
    return ns;
}

Ref tcl_of(PyObject* self) {
    if (plain(self)) return Ref::borrow(tcl_slot.get(self));
    return getattr(self, n_tcl);
}

Ref app_of(PyObject* self) { return getattr(tcl_of(self), n_tk); }

// A text or name that is not empty (the empty name means the current
// namespace).
bool named(PyObject* name) { return truthy(name); }

Ref concat(PyObject* tuple, PyObject* more) { return own(PySequence_Concat(tuple, more)); }

// self.call(words) and self.tcl.cast_list(result)
Ref call_in_namespace(PyObject* self, PyObject* words) { return call_method(self, n_call, words); }
Ref cast_list(PyObject* self, PyObject* value) {
    return call_method(tcl_of(self), n_cast_list, value);
}

// N: the name, or the current namespace asked of the interpreter.
Ref name_or_current(PyObject* self) {
    Ref ns = sent_ns_of(self);
    if (named(ns)) return ns;
    return call_method(self, n_current);
}

Ref tclobj(PyObject* value) { return call(g_tclobj.get(), value); }
Ref sorvan(PyObject* value) { return call(g_sorvan.get(), value); }

// --- construction

Signature init_sig{"__init__", {req("ns"), opt("tcl", py_none)}};
Ref init(PyObject* self, const Args& args) {
    // super(TclNamespace, self).__init__(): only a subclass can put anything
    // but object between TclNamespace and the end of its resolution order.
    if (Py_TYPE(self) != reinterpret_cast<PyTypeObject*>(namespace_type) &&
        Py_TYPE(self) != reinterpret_cast<PyTypeObject*>(temp_namespace_type)) {
        Ref next = super_of(namespace_type, self);
        call_method(next, n_init);
    }
    if (plain(self)) {
        ns_slot.set(self, sorvan(args[0]));
        tcl_slot.set(self, interpreter_proxy(args[1]));
    } else {
        setattr(self, n_ns, sorvan(args[0]));
        setattr(self, n_tcl, interpreter_proxy(args[1]));
    }
    // The views, each made through TclNamespace as the module names it now.
    Ref cls = g_TclNamespace.get();
    static Name n_views[] = {Name{"VariablesView"}, Name{"ObjectsView"}, Name{"ProcsView"},
                             Name{"CommandsView"}};
    static Name n_attrs[] = {Name{"vars"}, Name{"objs"}, Name{"procs"}, Name{"cmds"}};
    for (size_t i = 0; i < 4; ++i) {
        Ref view = call(getattr(cls, n_views[i]), self);
        setattr(self, n_attrs[i], view);
    }
    return none();
}

// --- the namespace command

Signature current_sig{"current", {}};
Ref current(PyObject* self, const Args&) {
    Ref words = tuple_of({w_namespace.get(), w_current.get()});
    return call_method(app_of(self), n_call, words.get());
}

Signature create_sig{"create", {}};
Ref create(PyObject* self, const Args&) {
    if (!named(ns_of(self))) raise(PyExc_ValueError, "Cannot create current namespace");
    // Evaluating a script in a namespace creates it.
    call_method(self, n_eval, Ref(text("")).get());
    return none();
}

Signature delete_sig{"delete", {}};
Ref delete_(PyObject* self, const Args&) {
    Ref words = tuple_of({w_namespace.get(), w_delete.get(), name_or_current(self).get()});
    call_method(app_of(self), n_call, words.get());
    return none();
}

Signature exists_sig{"exists", {}};
Ref exists(PyObject* self, const Args&) {
    Ref words = tuple_of({w_namespace.get(), w_exists.get(), name_or_current(self).get()});
    Ref answer = call_method(app_of(self), n_call, words.get());
    return call_method(tcl_of(self), n_cast_boolean, answer.get());
}

Signature children_sig{"children", {opt("pattern", py_none)}};
Ref children(PyObject* self, const Args& args) {
    PyObject* pattern = args[0];
    Ref words;
    if (pattern == Py_None) {
        words = tuple_of({w_namespace.get(), w_children.get()});
    } else {
        // Tcl takes a pattern only after the namespace whose children it
        // lists, and resolves that name inside this namespace: the absolute
        // name is the one that means this namespace there.
        Ref absolute = call_method(self, n_absolute);
        if (!named(absolute)) absolute = Ref::borrow(w_global.get());
        refuse_nul(absolute);
        Ref pattern_word = sorvan(pattern);
        refuse_nul(pattern_word);
        words = tuple_of({w_namespace.get(), w_children.get(), absolute.get(), pattern_word.get()});
    }
    return cast_list(self, call_in_namespace(self, words));
}

Signature parent_sig{"parent", {opt("force_eval", py_false)}};
Ref parent(PyObject* self, const Args& args) {
    if (truthy(args[0]) && truthy(call_method(self, n_is_absolute))) {
        // From the name alone, as Tcl answers: the parent of ::a is ::, and
        // the global namespace has none ("").
        Ref cls = g_TclNamespace.get();
        Ref parts = call_method(cls, n_split, ns_of(self).get());
        Py_ssize_t count = check_size(PySequence_Size(parts));  // "" first: absolute
        if (count <= 1) return text("");
        if (count == 2) return Ref::borrow(w_global.get());
        Ref kept = own(PySequence_GetSlice(parts, 1, count - 1));
        Ref join_args = concat(Ref(tuple_of({w_global.get()})), Ref(own(PySequence_Tuple(kept))));
        return call_tuple(getattr(cls, n_join), join_args);
    }
    Ref ns = sent_ns_of(self);
    Ref words = named(ns) ? tuple_of({w_namespace.get(), w_parent.get(), ns.get()})
                          : tuple_of({w_namespace.get(), w_parent.get()});
    return call_method(app_of(self), n_call, tclobj(words).get());
}

Signature code_sig{"code", {req("script")}};
Ref code(PyObject* self, const Args& args) {
    return call_in_namespace(self, tuple_of({w_namespace.get(), w_code.get(), args[0]}));
}

// ("namespace", subcommand) + (flag,) when set + patterns
Ref flagged_words(PyObject* subcommand, PyObject* flag, bool set, PyObject* patterns) {
    // (a pattern cut short at a NUL would match more than was asked for)
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(patterns); ++i)
        refuse_nul(PyTuple_GET_ITEM(patterns, i));
    Ref head = set ? tuple_of({w_namespace.get(), subcommand, flag})
                   : tuple_of({w_namespace.get(), subcommand});
    return concat(head, patterns);
}

Signature export_sig{"export", {opt("clear", py_false), star("patterns")}};
Ref export_(PyObject* self, const Args& args) {
    bool clear = truthy(args[0]);
    PyObject* patterns = args.varargs();
    Ref result = call_in_namespace(self, flagged_words(w_export, w_clear, clear, patterns));
    // Neither flag nor pattern: a query of the export patterns.
    if (!clear && PyTuple_GET_SIZE(patterns) == 0) return cast_list(self, result);
    return none();
}

Signature forget_sig{"forget", {star("patterns")}};
Ref forget(PyObject* self, const Args& args) {
    call_in_namespace(self, flagged_words(w_forget, nullptr, false, args.varargs()));
    return none();
}

Signature import_sig{"import_", {opt("force", py_false), star("patterns")}};
Ref import_(PyObject* self, const Args& args) {
    call_in_namespace(self, flagged_words(w_import, w_force, truthy(args[0]), args.varargs()));
    return none();
}

Signature origin_sig{"origin", {req("command")}};
Ref origin(PyObject* self, const Args& args) {
    refuse_nul(args[0]);
    return call_in_namespace(self, tuple_of({w_namespace.get(), w_origin.get(), args[0]}));
}

Signature which_sig{"which", {req("name"), opt("command", py_false), opt("variable", py_false)}};
Ref which(PyObject* self, const Args& args) {
    Ref words = own(PyList_New(0));
    check(PyList_Append(words, w_namespace));
    check(PyList_Append(words, w_which));
    if (truthy(args[1])) check(PyList_Append(words, w_command));
    if (truthy(args[2])) check(PyList_Append(words, w_variable));
    refuse_nul(args[0]);
    check(PyList_Append(words, args[0]));
    return call_in_namespace(self, own(PyList_AsTuple(words)));
}

// --- running commands in the namespace

// The command of eval and call: `tclcmd`, or the words (tclcmd, *args).
Ref command_of(const Args& args) {
    PyObject* more = args.varargs();
    if (PyTuple_GET_SIZE(more) == 0) return Ref::borrow(args[0]);
    return concat(Ref(tuple_of({args[0]})), more);
}

// The script text of a command: a string is a script as it stands; words
// become their list text (whose first word never starts with a bare '#',
// so it runs as the command it names).
Ref script_of(PyObject* command) { return sorvan(command); }

Signature eval_sig{"eval", {req("tclcmd"), star("args")}};
Ref eval(PyObject* self, const Args& args) {
    Ref command = command_of(args);
    Ref ns = ns_of(self);
    Ref script;
    if (named(ns)) {
        Ref inner = PyUnicode_Check(command.get()) ? command : script_of(command);
        script = sorvan(tuple_of({w_namespace.get(), w_eval.get(), ns.get(), inner.get()}));
    } else {
        script = script_of(command);
    }
    return call_method(app_of(self), n_eval, script.get());
}

Signature call_sig{"call", {req("tclcmd"), star("args")}};
Ref call_(PyObject* self, const Args& args) {
    Ref command = command_of(args);
    Ref ns = sent_ns_of(self);
    if (named(ns)) command = tuple_of({w_namespace.get(), w_eval.get(), ns.get(), command.get()});
    return call_method(app_of(self), n_call, tclobj(command).get());
}

// --- the name

Name n_startswith{"startswith"};

bool starts_absolute(PyObject* name) {
    if (PyUnicode_Check(name)) return Chars(name).absolute();
    return truthy(call_method(name, n_startswith, w_global.get()));
}

Signature is_absolute_sig{"is_absolute", {}};
Ref is_absolute(PyObject* self, const Args&) {
    Ref ns = ns_of(self);
    if (!named(ns)) return ns;  // the empty name itself
    return boolean(starts_absolute(ns));
}

Signature is_relative_sig{"is_relative", {}};
Ref is_relative(PyObject* self, const Args&) {
    Ref ns = ns_of(self);
    if (!named(ns)) return ns;
    return boolean(!starts_absolute(ns));
}

Signature absolute_sig{"absolute", {}};
Ref absolute(PyObject* self, const Args&) {
    if (truthy(call_method(self, n_is_absolute))) return ns_of(self);
    Ref current_ns = call_method(self, n_current);
    return join_name(current_ns, ns_of(self));
}

Signature make_absolute_sig{"make_absolute", {}};
Ref make_absolute(PyObject* self, const Args&) {
    Ref name = call_method(self, n_absolute);
    if (plain(self)) {
        ns_slot.set(self, name);
    } else {
        setattr(self, n_ns, name);
    }
    return none();
}

Signature str_sig{"__str__", {}};
Ref str_(PyObject* self, const Args&) { return ns_of(self); }

// --- TempTclNamespace

Signature temp_init_sig{"__init__", {opt("ns", temporary_name_template), starstar("kwargs")}};
Ref temp_init(PyObject* self, const Args& args) {
    Ref name = temporary_name(self, args[0]);
    Ref next = super_of(temp_namespace_type, self);
    call_tuple(getattr(next, n_init), Ref(tuple_of({name.get()})), args.varkw());
    return none();
}

Signature enter_sig{"__enter__", {}};
Ref enter_(PyObject* self, const Args&) {
    Ref result = enter_through_super(temp_namespace_type, self);
    call_method(self, n_create);
    return result;
}

Signature exit_sig{"__exit__", {star("exc_info")}};
Ref exit_(PyObject* self, const Args& args) {
    try {
        call_method(self, n_delete);
    } catch (const PyError&) {
        // Gone already (the block deleted it): nothing left to remove.
        if (!error_matches(tcl_error())) throw;
        PyErr_Clear();
    }
    return exit_through_super(temp_namespace_type, self, args.varargs());
}

}  // namespace

// --- what views.cpp uses -----------------------------------------------------------

Ref namespace_class() { return g_TclNamespace.get(); }

Ref namespace_tcl(PyObject* ns) { return tcl_of(ns); }

Ref namespace_call(PyObject* ns, PyObject* words) { return call_in_namespace(ns, words); }

Ref join_name(PyObject* base, PyObject* name) {
    Ref cls = g_TclNamespace.get();
    if (namespace_built.holds(reinterpret_cast<PyTypeObject*>(cls.get())))
        return join_texts(name_text(base), name_text(name));
    return call_method(cls, n_join, base, name);
}

// --- the classes -----------------------------------------------------------------------

void define_namespaces(State&, PyObject* module) {
    module_sorvan = g_sorvan.get().release();  // kept for the life of the process

    ViewClasses views = make_view_classes(module);

    ClassBuilder namespace_class(module, "TclNamespace",
                                 {reinterpret_cast<PyObject*>(&PyBaseObject_Type)},
                                 "TclNamespace(ns, tcl=None): a Tcl namespace of one interpreter.\n\n"
                                 "`ns` is its name (the empty name: the current namespace); `vars`,\n"
                                 "`objs`, `procs` and `cmds` show its contents as mappings.");
    namespace_class.slots({"ns", "tcl", "vars", "objs", "procs", "cmds"})
        .method<init_sig, init>("__init__")
        .method<children_sig, children>("children", "children(pattern=None): the child namespaces.")
        .method<code_sig, code>("code", "code(script): the script wrapped to run in this namespace.")
        .method<current_sig, current>("current", "current(): the interpreter's current namespace.")
        .method<create_sig, create>("create", "create(): make the namespace.")
        .method<delete_sig, delete_>("delete", "delete(): delete the namespace.")
        .method<eval_sig, eval>("eval", "eval(tclcmd, *args): evaluate a script in the namespace.")
        .method<call_sig, call_>("call", "call(tclcmd, *args): run one command in the namespace.")
        .method<exists_sig, exists>("exists", "exists(): whether the namespace exists.")
        .method<export_sig, export_>("export", "export(clear=False, *patterns): query or change the exports.")
        .method<forget_sig, forget>("forget", "forget(*patterns): remove imported commands.")
        .method<import_sig, import_>("import_", "import_(force=False, *patterns): import commands.")
        .method<origin_sig, origin>("origin", "origin(command): where an imported command comes from.")
        .method<parent_sig, parent>("parent", "parent(force_eval=False): the parent namespace.")
        .method<which_sig, which>("which", "which(name, command=False, variable=False): resolve a name here.")
        .method<is_absolute_sig, is_absolute>("is_absolute")
        .method<is_relative_sig, is_relative>("is_relative")
        .method<absolute_sig, absolute>("absolute", "absolute(): the fully qualified name.")
        .method<make_absolute_sig, make_absolute>("make_absolute", "make_absolute(): qualify `ns` fully.")
        .method<str_sig, str_>("__str__")
        .staticmethod<qualifiers_sig, qualifiers>("qualifiers", "qualifiers(string): the text before the last '::'.")
        .staticmethod<tail_sig, tail>("tail", "tail(string): the text after the last '::'.")
        .staticmethod<join_sig, join>("join", "join(string, *args): the names joined and normalised.")
        .staticmethod<split_sig, split>("split", "split(string): the components of a name.")
        .staticmethod<normalize_sig, normalize>("normalize", "normalize(string): the canonical name.")
        .attr("VariablesView", views.variables)
        .attr("ObjectsView", views.objects)
        .attr("CommandsView", views.commands)
        .attr("ProcsView", views.procs);
    Ref cls = namespace_class.build();
    namespace_type = Ref(cls).release();  // kept for the life of the process
    ns_slot = namespace_class.slot(cls, "ns");
    tcl_slot = namespace_class.slot(cls, "tcl");
    add(module, "TclNamespace", cls);

    ClassBuilder temp_class(module, "TempTclNamespace", {cls.get()},
                            "TempTclNamespace(ns='::__orvex__{cls}_{id}_tmp', **kwargs): a namespace\n"
                            "that exists for the length of a with block.");
    temp_class.method<temp_init_sig, temp_init>("__init__")
        .method<enter_sig, enter_>("__enter__")
        .method<exit_sig, exit_>("__exit__");
    Ref temp_cls = temp_class.build();
    temp_namespace_type = Ref(temp_cls).release();
    add(module, "TempTclNamespace", temp_cls);

    namespace_built.take(cls);
    temp_namespace_built.take(temp_cls);
}

}  // namespace orvex::tcl_namespace

// orvex.tcl.hux: quick calls.  An attribute chain ending in a call runs one
// Tcl command:
//
//     tcl.hux.set('count', 3)               # set count 3
//     tcl.hux.app.cfg.load(path, force=1)   # app::cfg::load path -force 1
//
// The module, as the Python it implements:
//
//     from _tkinter import TclError
//     from orvex.tcl.sorvan import sorvan
//
//     class Hux(object):
//         __slots__ = ('tcl', '__dict__', '__weakref__')
//         def __init__(self, tcl):
//             self.tcl = weakref.proxy(tcl)
//         def __getattr__(self, name):
//             return Hux_Code(name, tcl=self.tcl)
//         def __call__(self, *args):
//             raise TclError('invalid command name ""')
//
//     class Hux_Code(object):
//         __slots__ = ('tcl', 'cmd', '__dict__', '__weakref__')
//         def __init__(self, *cmd, tcl):
//             self.tcl = tcl
//             self.cmd = list(cmd)
//         def __getattr__(self, name):
//             self.cmd.append(name)
//             return self
//         def __call__(self, *args, **kwargs):
//             cast_ = kwargs.pop('cast_', True)
//             words = ['::'.join(self.cmd)]
//             words += [sorvan(arg) for arg in args]
//             for name, value in kwargs.items():
//                 words += ['-' + name, sorvan(value)]
//             self.tcl.history.append(words)
//             try:
//                 result = self.tcl.tk.call(*words)
//             except TclError:
//                 raise TclError(self.tcl.vars['::errorInfo']) from None
//             if cast_:
//                 return self.tcl.cast_any(result)
//             return tcl_text(result)    # the result as Tcl text (below)
//         def __str__(self):
//             return '<tcl.Hux magic, referring Tcl code ::%s>' % '::'.join(self.cmd)
//         def __repr__(self):
//             return self.__str__()
//
// A quick call is one attribute lookup on Hux, maybe a few on Hux_Code, and
// a call, so both are NativeClasses: instances are called through vectorcall
// and a missing attribute goes straight to the __getattr__ body.  `tcl` and
// `cmd` are real attributes (a field, a property over fields), so they never
// reach __getattr__ and cannot turn into command names.
#include "capi.hpp"
#include "sorvan_capi.hpp"

using namespace orvex::capi;

namespace {

constexpr const char* module_doc_text =
    "Quick calls: Tcl commands called as attributes of the interpreter object.\n"
    "\n"
    "    tcl.hux.set('count', 3)              # set count 3\n"
    "    tcl.hux.app.cfg.load(path, force=1)  # app::cfg::load path -force 1\n";

const char* const hux_doc =
    "Quick call methods for Tcl interpreters: call Tcl APIs as if they were\n"
    "attributes of the interpreter object.\n"
    "\n"
    "    tcl.hux.set('count', 3)              # runs: set count 3\n"
    "    tcl.hux.app.cfg.load(path, force=1)  # runs: app::cfg::load path -force 1\n"
    "\n"
    "Options:\n"
    "    cast_ -- flag to turn casting of the result on or off (default True);\n"
    "             with casting off the result comes back as Tcl text.\n"
    "\n"
    "Positional arguments keep their order; keyword arguments become dashed\n"
    "arguments (-name value) placed after all the positional ones.  Only the\n"
    "characters A-Z, a-z, 0-9 and underscore are supported in namespace and\n"
    "procedure names.";

const char* const hux_code_doc = "Worker class implementing the Hux logic.";

constexpr const char* name_texts[] = {
    "append", "call",    "cast_any", "cast_", "::errorInfo", "history", "tk",  "vars",
    "::",     "-",       "sorvan",   "Hux_Code", "TclError", "__str__", "tcl",
    "orvex.tcl", "_tcl_failure",
};
enum : size_t {
    n_append, n_call,    n_cast_any, n_cast_, n_error_info, n_history, n_tk,  n_vars,
    n_separator, n_dash, n_sorvan,   n_Hux_Code, n_TclError, n_str,    n_tcl,
    n_orvex_tcl, n_tcl_failure,
};

struct State {
    static constexpr const char* module_name = "orvex.tcl.hux";
    static constexpr const char* module_doc = module_doc_text;

    Names<std::size(name_texts)> names;
    Ref dict;          // the module's __dict__: its globals are read when a call runs
    Ref code_class;    // Hux_Code as made here
    Ref tcl_keyword;   // ('tcl',), for Hux_Code(name, tcl=...) made the general way
    // Hux_Code's own construction slots: new_code sets an instance up
    // directly while the class still has them.
    newfunc own_new = nullptr;
    initproc own_init = nullptr;
    Ref cast_any_descriptor;  // `_cast_any`, the framework's Interpreter.cast_any

    // interp.history and interp.tk (instance attributes), history.append,
    // tk.call and interp.cast_any, each remembered for its type.
    TypeCache history_attr, tk_attr, history_append, tk_call, cast_any;

    GlobalsWatch watch;
    Held own_sorvan;  // `sorvan` is still the function sorvan's capsule stands for
    Held own_code;    // `Hux_Code` is still the class made here
    Imported<SorvanCApi> sorvan;

    void exec(PyObject* module);
    int traverse(visitproc visit, void* arg) {
        if (int r = visit_refs(visit, arg, dict, code_class, tcl_keyword, cast_any_descriptor))
            return r;
        for (TypeCache* cache : caches())
            if (int r = cache->traverse(visit, arg)) return r;
        if (int r = own_sorvan.traverse(visit, arg)) return r;
        if (int r = own_code.traverse(visit, arg)) return r;
        return sorvan.traverse(visit, arg);
    }
    void clear() {
        clear_refs(dict, code_class, tcl_keyword, cast_any_descriptor);
        names.clear();
        for (TypeCache* cache : caches()) cache->clear();
        own_sorvan.clear();
        own_code.clear();
        sorvan.clear();
        watch.stop();
    }

private:
    std::array<TypeCache*, 5> caches() {
        return {&history_attr, &tk_attr, &history_append, &tk_call, &cast_any};
    }
};

// The fields, at the same offsets in every interpreter's classes.
//
// Most command paths are one name, used once (tcl.hux.set(...)), so a new
// Hux_Code keeps that name as it is and makes the `cmd` list only when the
// path grows or `cmd` is read: code_cmd holds the list (or whatever was
// assigned to `cmd`), code_first_name the lone first name while no list has
// been made.  At most one of the two is set.
const Slot hux_tcl = NativeClass<1>::field_at(0, "tcl");
const Slot code_tcl = NativeClass<3>::field_at(0, "tcl");
const Slot code_cmd = NativeClass<3>::field_at(1, "cmd");
const Slot code_first_name = NativeClass<3>::field_at(2, "cmd");

// The state of the module that made the class of `self`.  Objects can
// outlive their module's state (a collected module, an interpreter being
// finalised); using one then is an error, not a crash.
State& state(PyObject* self) {
    State& st = state_of<State>(self);
    if (!st.code_class) raise(PyExc_RuntimeError, "orvex.tcl.hux has been unloaded");
    return st;
}

// sorvan(value), through the module's current `sorvan`: sorvan's own
// conversion is reached directly while the name holds its function.
Ref to_word(State& st, PyObject* value) {
    if (st.own_sorvan.holds(st.watch)) return own(st.sorvan.api->to_text(value));
    return call(global_value(st.dict, st.names[n_sorvan]), value);
}

// A result handed back as Tcl text.  tkinter gives text results as str and
// turns other Tcl values into Python ones (a list into a tuple, a number
// into an int or float, a byte array into bytes); str() of those is Python's
// text, not Tcl's (str(('a', 'b c')) is not the list a {b c}), so they are
// turned back into the Tcl text they came from.  A byte array's text has one
// character per byte, which is the bytes read as Latin-1.
Ref tcl_text(State& st, PyObject* result) {
    if (PyUnicode_CheckExact(result)) return Ref::borrow(result);
    if (PyBytes_Check(result))
        return own(PyUnicode_DecodeLatin1(PyBytes_AS_STRING(result), PyBytes_GET_SIZE(result),
                                          nullptr));
    return to_word(st, result);
}

// --- the interpreter's cast_any ----------------------------------------------
//
// A successful quick call hands its result to the interpreter's cast_any.
// The framework's Interpreter.cast_any is `_cast_any` below (orvex.tcl takes
// it from this module): most results are plain str, int, float, bool, bytes
// or tuple, which it returns as they are, and running a Python function for
// that would be a large part of a quick call's own time.  Anything else
// (a Tcl_Obj) goes to the framework's orvex.tcl._cast_value, looked up when
// it runs.
//
// `_cast_any` is a method descriptor, as a method written in C on a class
// is: it binds to the interpreter, Python's attribute cache treats it as a
// method, and a quick call can see that interp.cast_any is this very object
// (found on the class, not shadowed by the instance) without binding it or
// making the instance's __dict__.  Then the C body is called directly; any
// other cast_any is called as it is.  The descriptor is made on `object`, so
// that every interpreter passes its check, and its method entry is plain C
// data: a descriptor may outlive the module that made it.

bool is_plain_result(PyObject* result) {
    PyTypeObject* type = Py_TYPE(result);
    return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyTuple_Type ||
           type == &PyFloat_Type || type == &PyBool_Type || type == &PyBytes_Type;
}

Ref cast_any(PyObject* interp, PyObject* value) {
    if (is_plain_result(value)) return Ref::borrow(value);
    Ref framework = import_loaded(text("orvex.tcl"));
    return call_method(framework, text("_cast_value"), interp, value);
}

const char* const cast_any_doc =
    "A Python value for a Tcl result, directed by its type, never by guessing\n"
    "from text.\n"
    "\n"
    "What tkinter has already converted (str, int, float, bool, bytes, tuple)\n"
    "is returned as it is.  Anything else goes to orvex.tcl._cast_value, which\n"
    "converts a Tcl_Obj by its Tcl type: numbers to numbers, a dict to a dict\n"
    "of texts, a TclX keyed list to a Kelvor; any other type gives its text.";

Signature cast_any_sig{"cast_any", {req("value")}};
Ref cast_any_method(PyObject* interp, const Args& args) { return cast_any(interp, args[0]); }

// interp.cast_any is `_cast_any`, found on the class and not replaced on
// the instance.
bool own_cast_any(State& st, PyObject* interp) {
    return own_method_found(st.cast_any, st.names[n_cast_any], st.cast_any_descriptor, interp);
}

bool is_keyword(PyObject* key, PyObject* name) {
    return key == name || PyUnicode_Compare(key, name) == 0;
}

// --- Hux ------------------------------------------------------------------

Signature hux_init_sig{"__init__", {req("tcl")}};
Ref hux_init(PyObject* self, const Args& args) {
    hux_tcl.set(self, own(PyWeakref_NewProxy(args[0], nullptr)));
    return none();
}

// self.cmd, the list made from a lone first name when there is one.
Ref command_path(PyObject* self) {
    if (PyObject* first = code_first_name.peek(self)) {
        Ref path = own(PyList_New(1));
        PyList_SET_ITEM(path.get(), 0, Py_NewRef(first));
        code_cmd.set(self, path);
        code_first_name.take(self);
    }
    return Ref::borrow(code_cmd.get(self));
}

// self.cmd = value, or del self.cmd (value nullptr), as for an attribute.
void set_command_path(PyObject* self, PyObject* value) {
    if (value == nullptr && code_cmd.peek(self) == nullptr && code_first_name.peek(self) == nullptr)
        code_cmd.get(self);  // AttributeError, as deleting an unset attribute gives
    Ref first = code_first_name.take(self);
    if (value != nullptr)
        code_cmd.set(self, value);
    else
        code_cmd.take(self);
}

// '::'.join(self.cmd).  A one-name command is its name (str.join gives back
// the one item itself when that is a str).
Ref command_name(State& st, PyObject* self) {
    PyObject* first = code_first_name.peek(self);
    if (first != nullptr && PyUnicode_CheckExact(first)) return Ref::borrow(first);
    Ref cmd = command_path(self);
    if (PyList_CheckExact(cmd.get()) && PyList_GET_SIZE(cmd.get()) == 1 &&
        PyUnicode_CheckExact(PyList_GET_ITEM(cmd.get(), 0)))
        return Ref::borrow(PyList_GET_ITEM(cmd.get(), 0));
    return own(PyUnicode_Join(st.names[n_separator], cmd));
}

// Hux_Code(name, tcl=self.tcl).  While the module's Hux_Code is still the
// class made here, with its own __new__ and __init__ (assigning either on
// the class changes its slot), the new object is set up directly, as they
// would; this is the first step of every quick call.
Ref new_code(State& st, PyObject* name, PyObject* tcl) {
    auto* type = reinterpret_cast<PyTypeObject*>(st.code_class.get());
    if (st.own_code.holds(st.watch) && type->tp_new == st.own_new &&
        type->tp_init == st.own_init) {
        Ref code = own(type->tp_new(type, nullptr, nullptr));
        code_tcl.set(code, tcl);
        code_first_name.set(code, name);
        return code;
    }
    PyObject* argv[] = {name, tcl};
    return call_vector(global_value(st.dict, st.names[n_Hux_Code]), argv, 1, st.tcl_keyword);
}

Ref hux_getattr(PyObject* self, PyObject* name) {
    State& st = state(self);
    Ref tcl = Ref::borrow(hux_tcl.get(self));
    return new_code(st, name, tcl);
}

Ref hux_call(PyObject* self, const VectorArgs& args) {
    if (args.nkw())
        raise_format(PyExc_TypeError, "Hux.__call__() got an unexpected keyword argument '%U'",
                     args.keyword_name(0));
    State& st = state(self);
    raise(global_value(st.dict, st.names[n_TclError]), text("invalid command name \"\"").get());
}

// --- Hux_Code ---------------------------------------------------------------

Signature code_init_sig{"__init__", {star("cmd"), kwonly("tcl")}};
Ref code_init(PyObject* self, const Args& args) {
    code_tcl.set(self, args[1]);
    set_command_path(self, own(PySequence_List(args.varargs())));
    return none();
}

Ref code_getattr(PyObject* self, PyObject* name) {
    Ref cmd = command_path(self);
    if (PyList_CheckExact(cmd.get()))
        check(PyList_Append(cmd, name));
    else
        call_method(cmd, state(self).names[n_append], name);
    return Ref::borrow(self);
}

// A failed command: its TclError is replaced by one that carries Tcl's
// error trace (::errorInfo), raised "from None" so that the traceback shows
// the trace alone.  The framework's _tcl_failure adds `errorinfo` and
// `errorcode`, and when a Python callback made the command fail, gives its
// exception, which becomes the cause instead.
[[noreturn]] void raise_with_error_info(State& st, PyObject* interp, Ref tcl_error) {
    Handling handling(tcl_error);
    Ref info = own(PyObject_GetItem(getattr(interp, st.names[n_vars]), st.names[n_error_info]));
    Ref error = call(global_value(st.dict, st.names[n_TclError]), info.get());
    if (!PyExceptionInstance_Check(error.get()))
        raise(PyExc_TypeError, "exceptions must derive from BaseException");
    Ref cause = call_method(import_loaded(st.names[n_orvex_tcl]), st.names[n_tcl_failure], interp,
                            error.get(), info.get());
    // __cause__ None (context suppressed) or the callback's exception
    PyException_SetCause(error, cause.get() == Py_None ? nullptr : cause.release());
    raise(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

Ref code_call(PyObject* self, const VectorArgs& args) {
    State& st = state(self);
    PyObject* cast = Py_True;

    // The command words, behind one entry kept for `tk` (the object whose
    // `call` runs them).
    ArgVector argv(2 + args.nargs + 2 * args.nkw());
    argv.push(none());
    Ref name = command_name(st, self);
    refuse_nul(name);
    argv.push(std::move(name));
    for (size_t i = 0; i < args.nargs; ++i) argv.push(to_word(st, args[i]));
    for (size_t k = 0; k < args.nkw(); ++k) {
        PyObject* key = args.keyword_name(k);
        if (is_keyword(key, st.names[n_cast_])) {
            cast = args.keyword_value(k);
            continue;
        }
        refuse_nul(key);
        argv.push(own(PyUnicode_Concat(st.names[n_dash], key)));
        argv.push(to_word(st, args.keyword_value(k)));
    }
    Ref words = list_from(argv, 1);

    Ref interp = through_proxy(Ref::borrow(code_tcl.get(self)));
    Ref history = instance_attr(st.history_attr, st.names[n_history], interp);
    cached_method_call(st.history_append, st.names[n_append], history, words.get());
    argv.replace(0, instance_attr(st.tk_attr, st.names[n_tk], interp));
    Ref result;
    try {
        result = cached_method_call_vector(st.tk_call, st.names[n_call], argv.data(), argv.size());
    } catch (const PyError&) {
        if (!error_matches(global_value(st.dict, st.names[n_TclError]))) throw;
        raise_with_error_info(st, interp, fetch_error());
    }
    if (!truthy(cast)) return tcl_text(st, result);
    if (own_cast_any(st, interp)) return cast_any(interp, result);
    return call_method(interp, st.names[n_cast_any], result.get());
}

Ref code_str(PyObject* self) {
    State& st = state(self);
    Ref name = command_name(st, self);
    return own(PyUnicode_FromFormat("<tcl.Hux magic, referring Tcl code ::%U>", name.get()));
}

Ref code_repr(PyObject* self) { return call_method(self, state(self).names[n_str]); }

void State::exec(PyObject* module) {
    names.fill(name_texts);
    dict = Ref::borrow(PyModule_GetDict(module));
    add(module, "TclError", import_from("_tkinter", "TclError"));
    add(module, "sorvan", import_from("orvex.tcl.sorvan", "sorvan"));
    sorvan.load(SorvanCApi::capsule_name);
    tcl_keyword = tuple_of({names[n_tcl]});

    NativeClass<1> hux(module, "Hux", hux_doc, {"tcl"});
    hux.init<hux_init_sig, hux_init>().getattr<hux_getattr>().call<hux_call>();
    Ref hux_class = hux.build();

    NativeClass<3> code(module, "Hux_Code", hux_code_doc, {"tcl", nullptr, nullptr});
    code.init<code_init_sig, code_init>()
        .property<command_path, set_command_path>("cmd", "The command path: a list of names.")
        .getattr<code_getattr>()
        .call<code_call>()
        .str<code_str>()
        .repr<code_repr>();
    code_class = code.build();
    own_new = reinterpret_cast<PyTypeObject*>(code_class.get())->tp_new;
    own_init = reinterpret_cast<PyTypeObject*>(code_class.get())->tp_init;

    add(module, "Hux", hux_class);
    add(module, "Hux_Code", code_class);
    cast_any_descriptor = own(PyDescr_NewMethod(
        &PyBaseObject_Type, method_def<cast_any_sig, cast_any_method>("cast_any", cast_any_doc)));
    add(module, "_cast_any", cast_any_descriptor);
    add(module, "__all__", tuple_of({text("Hux").get(), text("Hux_Code").get()}));

    watch.start();
    watch.add(dict);
    own_sorvan.pin(dict, names[n_sorvan], sorvan.api->sorvan_function);
    own_code.pin(dict, names[n_Hux_Code], code_class);
}

}  // namespace

PyMODINIT_FUNC PyInit_hux() { return module_init<State>(); }

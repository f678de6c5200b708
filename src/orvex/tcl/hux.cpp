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
// `cmd` are fields at fixed offsets (ordinary attributes to Python), and
// being real attributes they never reach __getattr__, so they cannot turn
// into command names.
#include "capi.hpp"
#include "sorvan_capi.hpp"
#include "type_method.hpp"

using namespace orvex::capi;

namespace {

const char* const module_doc =
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

ModuleGlobals globals;
Global g_sorvan{globals, "sorvan"};
Global g_tcl_error{globals, "TclError"};
Global g_hux_code{globals, "Hux_Code"};

// The module's own class and its constructor slots, for the fast path taken
// while they are unchanged (new_code).
PyObject* hux_code_class = nullptr;
newfunc hux_code_new = nullptr;
initproc hux_code_init = nullptr;

Slot hux_tcl, code_tcl, code_cmd;

// --- what a quick call's Hux_Code is made of, kept for the next one --------
//
// Every quick call makes a Hux_Code holding a new one-name command list, and
// drops both again.  Freed Hux_Codes are kept (FreeList), and so is a freed
// one's command list when nothing else refers to it and it is small: it is
// emptied and waits, untracked by the collector (so that nothing can find
// it), to be the next Hux_Code's list.  A new Hux_Code cannot tell: its
// list is one only it refers to, holding just its name.
struct SpareLists {
    static constexpr size_t capacity = 16;
    static constexpr Py_ssize_t max_allocated = 8;  // room for that many names
    PyObject* items[capacity];
    size_t count = 0;
} spare_cmd_lists;

void keep_cmd_list(PyObject* code);
FreeList freed_codes{.salvage = keep_cmd_list};

Name n_append{"append"};
// tk.call and history.append, looked up once per type (see TypeMethod).
TypeMethod tk_call{"call"};
TypeMethod history_append{"append"};
Name n_cast_any{"cast_any"};
Name n_cast_{"cast_"};
Name n_error_info{"::errorInfo"};
// interp.history and interp.tk (see InstanceAttr).
InstanceAttr history_attr{"history"};
InstanceAttr tk_attr{"tk"};
Name n_str{"__str__"};
Name n_vars{"vars"};
Name n_separator{"::"};
Name n_dash{"-"};

PyObject* tcl_keyword = nullptr;  // the keyword-name tuple ('tcl',)

// sorvan's own conversion, reached directly while our `sorvan` is its
// function.
const SorvanCApi* sorvan_capi = nullptr;

// sorvan(value), through the module's current `sorvan`.
Ref to_word(PyObject* value) {
    if (g_sorvan.is(sorvan_capi->sorvan_function)) return own(sorvan_capi->to_text(value));
    return call(g_sorvan.get(), value);
}

// A result handed back as Tcl text.  tkinter gives text results as str and
// turns other Tcl values into Python ones (a list into a tuple, a number
// into an int or float, a byte array into bytes); str() of those is Python's
// text, not Tcl's (str(('a', 'b c')) is not the list a {b c}), so they are
// turned back into the Tcl text they came from.  A byte array's text has one
// character per byte, which is the bytes read as Latin-1.
Ref tcl_text(PyObject* result) {
    if (PyUnicode_CheckExact(result)) return Ref::borrow(result);
    if (PyBytes_Check(result))
        return own(PyUnicode_DecodeLatin1(PyBytes_AS_STRING(result), PyBytes_GET_SIZE(result),
                                          nullptr));
    return to_word(result);
}

// --- the interpreter's cast_any ----------------------------------------------
//
// A successful quick call hands its result to the interpreter's cast_any,
// and the framework's own cast_any returns every value that is not a Tcl_Obj
// unchanged:
//
//     def cast_any(self, value):
//         if not isinstance(value, Tcl_Obj):
//             return value
//         ...
//
// Most results are plain str, int, float, bool, bytes or tuple, for which
// running that Python function is a quarter of a quick call's own time.  So
// the call is skipped when it could do nothing else: the method found on
// the interpreter (looked up as a method call looks it up) is a function
// with the framework's cast_any code and module globals, the names it reads
// there (Tcl_Obj, and isinstance, absent from the module and the original
// in builtins) are untouched, and the result is of one of those exact types
// (whose __class__ cannot claim to be a Tcl_Obj).  A cast_any replaced on the
// class, set on the instance or found through __getattr__ is called as
// before, and so is the framework's own for any other result.
struct FrameworkCastAny {
    PyObject* code = nullptr;         // orvex.tcl._CAST_ANY_CODE
    PyObject* tcl_obj = nullptr;      // _tkinter.Tcl_Obj
    PyObject* isinstance = nullptr;   // builtins.isinstance
    ModuleGlobals framework;          // orvex.tcl
    ModuleGlobals builtins;
} cast_any_original;

Name n_tcl_obj{"Tcl_Obj"};
Name n_isinstance{"isinstance"};

PyObject* dict_item(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr && PyErr_Occurred()) throw PyError{};
    return value;
}

// Whether cast_any's names still mean what they meant when it was written;
// worked out again only after orvex.tcl's or builtins' dict has changed.
bool cast_any_names_untouched() {
    FrameworkCastAny& o = cast_any_original;
    static bool untouched = false;
    static std::uint64_t framework_seen = 0, builtins_seen = 0;
    if (framework_seen != o.framework.generation() || builtins_seen != o.builtins.generation()) {
        PyObject* module = o.framework.dict();
        untouched = dict_item(module, n_tcl_obj) == o.tcl_obj &&
                    dict_item(module, n_isinstance) == nullptr &&
                    dict_item(o.builtins.dict(), n_isinstance) == o.isinstance;
        framework_seen = o.framework.generation();
        builtins_seen = o.builtins.generation();
    }
    return untouched;
}

bool is_plain_result(PyObject* result) {
    PyTypeObject* type = Py_TYPE(result);
    return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyTuple_Type ||
           type == &PyFloat_Type || type == &PyBool_Type || type == &PyBytes_Type;
}

bool is_framework_cast_any(PyObject* function) {
    return function != nullptr && PyFunction_Check(function) &&
           PyFunction_GET_CODE(function) == cast_any_original.code &&
           PyFunction_GET_GLOBALS(function) == cast_any_original.framework.dict() &&
           cast_any_names_untouched();
}

// interp.cast_any(result)
Ref cast_any(PyObject* interp, PyObject* result) {
    MethodLookup method = lookup_method(interp, n_cast_any);
    if (is_plain_result(result) && is_framework_cast_any(method.function()))
        return Ref::borrow(result);
    if (method.unbound) return call(method.callable, interp, result);
    return call(method.callable, result);
}

bool is_keyword(PyObject* key, const Name& name) {
    return key == name.get() || PyUnicode_Compare(key, name) == 0;
}

// --- Hux ------------------------------------------------------------------

Signature hux_init_sig{"__init__", {req("tcl")}};
Ref hux_init(PyObject* self, const Args& args) {
    hux_tcl.set(self, own(PyWeakref_NewProxy(args[0], nullptr)));
    return none();
}

// '::'.join(cmd).  A one-name command is its name (str.join gives back the
// one item itself when that is a str).
Ref command_name(PyObject* cmd) {
    if (PyList_CheckExact(cmd) && PyList_GET_SIZE(cmd) == 1 &&
        PyUnicode_CheckExact(PyList_GET_ITEM(cmd, 0)))
        return Ref::borrow(PyList_GET_ITEM(cmd, 0));
    return own(PyUnicode_Join(n_separator, cmd));
}

// FreeList::salvage for Hux_Code: its command list, emptied, goes to the
// spare lists.
void keep_cmd_list(PyObject* code) {
    PyObject* cmd = code_cmd.peek(code);
    if (cmd == nullptr || !PyList_CheckExact(cmd) || Py_REFCNT(cmd) != 1 ||
        spare_cmd_lists.count == SpareLists::capacity)
        return;
    auto* list = reinterpret_cast<PyListObject*>(cmd);
    if (list->allocated < 1 || list->allocated > SpareLists::max_allocated) return;
    // The names are let go of last: that may run code (which may make and
    // free Hux_Codes, using the spare lists), and a collection.
    Ref names[SpareLists::max_allocated];
    Py_ssize_t size = PyList_GET_SIZE(cmd);
    for (Py_ssize_t i = 0; i < size; ++i) names[i] = Ref::steal(list->ob_item[i]);
    Py_SET_SIZE(cmd, 0);
    PyObject_GC_UnTrack(cmd);
    spare_cmd_lists.items[spare_cmd_lists.count++] = code_cmd.take(code).release();
}

// [name]: a spare list when there is one.
Ref new_cmd_list(PyObject* name) {
    if (spare_cmd_lists.count == 0) {
        Ref cmd = own(PyList_New(1));
        PyList_SET_ITEM(cmd.get(), 0, Py_NewRef(name));
        return cmd;
    }
    Ref cmd = Ref::steal(spare_cmd_lists.items[--spare_cmd_lists.count]);
    PyList_SET_ITEM(cmd.get(), 0, Py_NewRef(name));
    Py_SET_SIZE(cmd.get(), 1);
    PyObject_GC_Track(cmd);
    return cmd;
}

// Hux_Code(name, tcl=self.tcl).  While the module's Hux_Code is still the
// class made here, with its own __new__ and __init__ (assigning either on
// the class changes its slot), the new object is set up directly, as they
// would; this is the first step of every quick call.
Ref new_code(PyObject* name, PyObject* tcl) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(hux_code_class);
    if (g_hux_code.is(hux_code_class) && type->tp_new == hux_code_new &&
        type->tp_init == hux_code_init) {
        Ref code = own(type->tp_new(type, nullptr, nullptr));
        code_tcl.set(code, tcl);
        code_cmd.set(code, new_cmd_list(name));
        return code;
    }
    PyObject* argv[] = {name, tcl};
    return call_vector(g_hux_code.get(), argv, 1, tcl_keyword);
}

Ref hux_getattr(PyObject* self, PyObject* name) {
    Ref tcl = Ref::borrow(hux_tcl.get(self));
    return new_code(name, tcl);
}

Ref hux_call(PyObject*, const VectorArgs& args) {
    if (args.nkw())
        raise_format(PyExc_TypeError, "Hux.__call__() got an unexpected keyword argument '%U'",
                     args.keyword_name(0));
    raise(g_tcl_error.get(), text("invalid command name \"\""));
}

// --- Hux_Code ---------------------------------------------------------------

Signature code_init_sig{"__init__", {star("cmd"), kwonly("tcl")}};
Ref code_init(PyObject* self, const Args& args) {
    code_tcl.set(self, args[1]);
    code_cmd.set(self, own(PySequence_List(args.varargs())));
    return none();
}

Ref code_getattr(PyObject* self, PyObject* name) {
    Ref cmd = Ref::borrow(code_cmd.get(self));
    if (PyList_CheckExact(cmd.get()))
        check(PyList_Append(cmd, name));
    else
        call_method(cmd, n_append, name);
    return Ref::borrow(self);
}

// A failed command: its TclError is replaced by one that carries Tcl's
// error trace (::errorInfo), raised "from None" so that the traceback shows
// the trace alone.
[[noreturn]] void raise_with_error_info(PyObject* interp, Ref tcl_error) {
    Handling handling(tcl_error);
    Ref info = own(PyObject_GetItem(getattr(interp, n_vars), n_error_info));
    Ref error = call(g_tcl_error.get(), info.get());
    if (!PyExceptionInstance_Check(error.get()))
        raise(PyExc_TypeError, "exceptions must derive from BaseException");
    PyException_SetCause(error, nullptr);  // __cause__ None, context suppressed
    raise(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

Ref code_call(PyObject* self, const VectorArgs& args) {
    PyObject* cast = Py_True;

    // The command words, behind one entry kept for `tk` (the object whose
    // `call` runs them).
    ArgVector argv(2 + args.nargs + 2 * args.nkw());
    argv.push(none());
    Ref name = command_name(Ref::borrow(code_cmd.get(self)));
    refuse_nul(name);
    argv.push(std::move(name));
    for (size_t i = 0; i < args.nargs; ++i) argv.push(to_word(args[i]));
    for (size_t k = 0; k < args.nkw(); ++k) {
        PyObject* key = args.keyword_name(k);
        if (is_keyword(key, n_cast_)) {
            cast = args.keyword_value(k);
            continue;
        }
        refuse_nul(key);
        argv.push(own(PyUnicode_Concat(n_dash, key)));
        argv.push(to_word(args.keyword_value(k)));
    }
    Ref words = list_from(argv, 1);

    Ref interp = through_proxy(Ref::borrow(code_tcl.get(self)));
    history_append.call(history_attr.get(interp), words.get());
    argv.replace(0, tk_attr.get(interp));
    Ref result;
    try {
        result = tk_call.call_vector(argv.data(), argv.size());
    } catch (const PyError&) {
        if (!error_matches(g_tcl_error.get())) throw;
        raise_with_error_info(interp, fetch_error());
    }
    if (truthy(cast)) return cast_any(interp, result);
    return tcl_text(result);
}

Ref code_str(PyObject* self) {
    Ref name = command_name(Ref::borrow(code_cmd.get(self)));
    return own(PyUnicode_FromFormat("<tcl.Hux magic, referring Tcl code ::%U>", name.get()));
}

Ref code_repr(PyObject* self) { return call_method(self, n_str); }

PyModuleDef module_def{PyModuleDef_HEAD_INIT, "orvex.tcl.hux", module_doc, -1,
                       nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_hux() {
    return init_module(module_def, [](PyObject* module) {
        globals.watch(module);
        add(module, "TclError", import_from("_tkinter", "TclError"));
        cast_any_original.code = import_from("orvex.tcl", "_CAST_ANY_CODE").release();
        cast_any_original.tcl_obj = import_from("_tkinter", "Tcl_Obj").release();
        cast_any_original.isinstance = import_from("builtins", "isinstance").release();
        cast_any_original.framework.watch(import("orvex.tcl"));
        cast_any_original.builtins.watch(import("builtins"));
        Ref sorvan = import_from("orvex.tcl.sorvan", "sorvan");
        add(module, "sorvan", sorvan);
        sorvan_capi = SorvanCApi::import();
        if (sorvan_capi == nullptr) throw PyError{};
        tcl_keyword = tuple_of({text("tcl").get()}).release();

        NativeClass<1> hux(module, "Hux", hux_doc, {"tcl"});
        hux.init<hux_init_sig, hux_init>().getattr<hux_getattr>().call<hux_call>();
        Ref hux_class = hux.build();
        hux_tcl = hux.field(hux_class, "tcl");

        NativeClass<2> code(module, "Hux_Code", hux_code_doc, {"tcl", "cmd"});
        code.init<code_init_sig, code_init>()
            .free_list<freed_codes>()
            .getattr<code_getattr>()
            .call<code_call>()
            .str<code_str>()
            .repr<code_repr>();
        Ref code_class = code.build();
        code_tcl = code.field(code_class, "tcl");
        code_cmd = code.field(code_class, "cmd");

        add(module, "Hux", hux_class);
        add(module, "Hux_Code", code_class);
        hux_code_new = reinterpret_cast<PyTypeObject*>(code_class.get())->tp_new;
        hux_code_init = reinterpret_cast<PyTypeObject*>(code_class.get())->tp_init;
        hux_code_class = code_class.release();
        add(module, "__all__", Ref(tuple_of({text("Hux").get(), text("Hux_Code").get()})));
    });
}

// What the source files of orvex.tcl.namespace share: the module state (one
// struct, a section per source file), the interpreter-proxy rule, and the
// functions that make each file's classes.
//
// Every Python object the module keeps lives in its State, one per module
// object (so one per interpreter that imports it).  Each section holds what
// its own file needs and releases it in its own traverse/clear; the file
// reaches it as st.<section>.  Module globals are read when a call runs
// (global_value(st.dict, name)), as Python code reads them; a fast path that
// relies on a global still holding the module's own object asks a Held group
// pinned in exec.
#pragma once

#include "capi.hpp"
#include "../sorvan_capi.hpp"

#include <iterator>

namespace orvex::tcl_namespace {

using namespace orvex::capi;

// Names every file may use (st.names[n_...]).
inline constexpr const char* shared_name_texts[] = {
    "sorvan", "tclobj", "TclNamespace", "TclVariable", "TclArrayVariable", "TclCommand",
    "TempTclVariable", "MutableMapping", "Mapping", "proxy", "ProxyTypes", "format",
    "__class__", "__name__", "__enter__", "__exit__", "__init__", "cls", "id",
};
enum SharedName : size_t {
    n_sorvan, n_tclobj, n_TclNamespace, n_TclVariable, n_TclArrayVariable, n_TclCommand,
    n_TempTclVariable, n_MutableMapping, n_Mapping, n_proxy, n_ProxyTypes, n_format,
    n_dunder_class, n_dunder_name, n_dunder_enter, n_dunder_exit, n_dunder_init, n_cls, n_id,
};

struct State {
    static constexpr const char* module_name = "orvex.tcl.namespace";
    static constexpr const char* module_doc =
        "Python handles on Tcl namespaces, variables, arrays and commands.";

    // --- module.cpp: shared by every file ------------------------------------------
    Names<std::size(shared_name_texts)> names;
    Ref dict;                     // the module's __dict__: its globals
    GlobalsWatch watch;           // on `dict`
    Ref weakref_module;
    Ref tcl_error;                // _tkinter.TclError
    Ref temporary_name_template;  // "::__orvex__{cls}_{id}_tmp"
    Ref cls_id;                   // ("cls", "id"): keyword names of format()
    Ref own_sorvan, own_tclobj;   // the module's own, as imported from orvex.tcl.sorvan
    Held sorvan_held;             // `sorvan` is still own_sorvan
    Imported<SorvanCApi> sorvan_api;  // sorvan's conversions, for the fast paths

    // --- variables.cpp: TclVariable, TclArrayVariable and their Temp* ------------
    // (with what variables.cpp and commands.cpp share: the handle names, the
    // interpreter's app and the tclobj fast path)
    struct Variables {
        // Attribute names (h_) and Tcl words (hw_) of both files.
        static constexpr const char* name_texts[] = {
            "tk", "getvar", "setvar", "unsetvar", "call", "eval", "cast_boolean", "cast_list",
            "cast_array", "startswith", "__class__", "__name__", "__init__", "get_obj", "exists",
            "absolute", "array_set", "array_unset", "array_size", "array_names", "get", "unset",
            "array_index", "nocomplain", "tcl", "cast", "from_iterable", "createcommand",
            "build_tclcmd", "kwargs_to_dashed_args", "items", "copy", "is_proc", "delete", "join",
            "info", "__del__", "orvex.tcl", "__wrapped__", "tcl_callback",
            // words sent to Tcl
            "::info", "::array", "set", "size", "names", "namespace", "current", "::", "commands",
            "procs", "body", "args", "default", "::namespace", "origin", "::rename", "",
            "Calling: ", "-",
        };
        Names<std::size(name_texts)> names;
        Ref variable_class, temp_variable_class, array_variable_class;
        Ref marker;  // TclVariable.__marker: "the object's own cast"
        Ref kw_array_index, kw_nocomplain, kw_array_index_tcl_cast, kw_tcl_cast;  // keyword names
        Ref array_names_caller;  // operator.methodcaller("array_names")
        Ref chain_from_iterable;
        Slot tcl_slot, cast_slot, name_slot;
        TypeCache tk_cache, getvar_cache, setvar_cache;  // interp.tk, tk.getvar, tk.setvar
        Held tclobj_held;             // `tclobj` is still sorvan's own

        int traverse(visitproc visit, void* arg) const {
            if (int r = visit_refs(visit, arg, variable_class, temp_variable_class,
                                   array_variable_class, marker, kw_array_index, kw_nocomplain,
                                   kw_array_index_tcl_cast, kw_tcl_cast, array_names_caller,
                                   chain_from_iterable))
                return r;
            for (const TypeCache* cache : {&tk_cache, &getvar_cache, &setvar_cache})
                if (int r = cache->traverse(visit, arg)) return r;
            return tclobj_held.traverse(visit, arg);
        }
        void clear() {
            names.clear();
            clear_refs(variable_class, temp_variable_class, array_variable_class, marker,
                       kw_array_index, kw_nocomplain, kw_array_index_tcl_cast, kw_tcl_cast,
                       array_names_caller, chain_from_iterable);
            for (TypeCache* cache : {&tk_cache, &getvar_cache, &setvar_cache}) cache->clear();
            tclobj_held.clear();
        }
    } variables;

    // --- commands.cpp: TclCommand, TempTclCommand ----------------------------------
    struct Commands {
        Ref command_class, temp_command_class;
        Ref update_wrapper;  // functools.update_wrapper
        Ref no_arguments;    // ()
        Ref kw_tcl;          // ("tcl",)
        // TclCommand's own entries, called directly while a lookup finds them.
        Ref call_original, build_original, dashed_original;
        Slot tcl_slot, name_slot, args_slot, keywords_slot, cast_slot, logger_slot;
        TypeCache app_call_cache;  // tk.call
        TypeCache own_call_cache, own_build_cache, own_dashed_cache;

        int traverse(visitproc visit, void* arg) const {
            if (int r = visit_refs(visit, arg, command_class, temp_command_class, update_wrapper,
                                   no_arguments, kw_tcl, call_original, build_original,
                                   dashed_original))
                return r;
            for (const TypeCache* cache :
                 {&app_call_cache, &own_call_cache, &own_build_cache, &own_dashed_cache})
                if (int r = cache->traverse(visit, arg)) return r;
            return 0;
        }
        void clear() {
            clear_refs(command_class, temp_command_class, update_wrapper, no_arguments, kw_tcl,
                       call_original, build_original, dashed_original);
            for (TypeCache* cache :
                 {&app_call_cache, &own_call_cache, &own_build_cache, &own_dashed_cache})
                cache->clear();
        }
    } commands;

    // --- namespaces.cpp: TclNamespace, TempTclNamespace, the name algebra ----------
    struct Namespaces {
        static constexpr const char* name_texts[] = {
            "ns", "tcl", "call", "eval", "current", "cast_list", "cast_boolean",
            "is_absolute", "absolute", "create", "delete", "split", "join", "startswith",
            "__sorvan__", "__tclobj__", "VariablesView", "ObjectsView", "ProcsView",
            "CommandsView", "vars", "objs", "procs", "cmds",
            // words sent to Tcl
            "namespace", "exists", "children", "parent", "code", "export", "import", "forget",
            "origin", "which", "-clear", "-force", "-command", "-variable", "::",
        };
        enum N : size_t {
            n_ns, n_tcl, n_call, n_eval, n_current, n_cast_list, n_cast_boolean,
            n_is_absolute, n_absolute, n_create, n_delete, n_split, n_join, n_startswith,
            n_sorvan_hook, n_tclobj_hook, n_VariablesView, n_ObjectsView, n_ProcsView,
            n_CommandsView, n_vars, n_objs, n_procs, n_cmds,
            w_namespace, w_exists, w_children, w_parent, w_code, w_export, w_import, w_forget,
            w_origin, w_which, w_clear, w_force, w_command, w_variable, w_global,
        };
        Names<std::size(name_texts)> names;
        Ref namespace_class, temp_namespace_class;
        TypeCache namespace_built, temp_namespace_built;  // the classes as built
        Slot ns_slot, tcl_slot;

        int traverse(visitproc visit, void* arg) const {
            return visit_refs(visit, arg, namespace_class, temp_namespace_class);
        }
        void clear() {
            names.clear();
            clear_refs(namespace_class, temp_namespace_class);
            namespace_built.clear();
            temp_namespace_built.clear();
        }
    } namespaces;

    // --- views.cpp: the four mapping views of TclNamespace -------------------------
    struct Views {
        static constexpr const char* name_texts[] = {
            "ns", "eval", "getvar", "set", "byref", "get", "unset", "exists", "delete",
            "createcommand", "get_str", "get_obj", "array_get_str", "array_get_obj",
            "array_set", "array_unset", "array_names", "is_array", "is_proc", "rename",
            "origin", "proc_body", "proc_args", "proc_arg_default", "cast_list", "var_type",
            "args", "tcl", "__qualname__",
        };
        enum N : size_t {
            n_ns, n_eval, n_getvar, n_set, n_byref, n_get, n_unset, n_exists, n_delete,
            n_createcommand, n_get_str, n_get_obj, n_array_get_str, n_array_get_obj,
            n_array_set, n_array_unset, n_array_names, n_is_array, n_is_proc, n_rename,
            n_origin, n_proc_body, n_proc_args, n_proc_arg_default, n_cast_list, n_var_type,
            n_args, n_tcl, n_qualname,
        };
        Names<std::size(name_texts)> names;
        Ref kw_tcl, kw_array_index, kw_pattern, kw_array_index_nocomplain;  // keyword names
        Ref variables_class, objects_class, commands_class, procs_class;
        Ref name_iterator_class;
        Ref own_variable_class;  // TclVariable as the module made it
        TypeCache variables_built, objects_built, commands_built, procs_built, variable_built;
        TypeCache eval_cache, getvar_cache;  // tk.eval, tk.getvar
        Slot variables_ns_slot, commands_ns_slot;
        // Listing (views.cpp tells how)
        Ref w_apply, w_eval, boot_text;
        Ref script_texts;         // the listing scripts' texts, by listing
        Ref listing_cache;        // interpreter -> its kept script objects
        Ref listing_data;         // listing_cache.data
        Ref tcl_obj_type;         // _tkinter.Tcl_Obj
        Ref framework_cast_list;  // orvex.tcl.Interpreter.cast_list, once looked up
        bool assertions_enabled = true;  // false under python -O

        int traverse(visitproc visit, void* arg) const {
            if (int r = visit_refs(visit, arg, kw_tcl, kw_array_index, kw_pattern,
                                   kw_array_index_nocomplain, variables_class, objects_class,
                                   commands_class, procs_class, name_iterator_class,
                                   own_variable_class, w_apply, w_eval, boot_text,
                                   script_texts, listing_cache, listing_data,
                                   tcl_obj_type, framework_cast_list))
                return r;
            if (int r = eval_cache.traverse(visit, arg)) return r;
            return getvar_cache.traverse(visit, arg);
        }
        void clear() {
            names.clear();
            clear_refs(kw_tcl, kw_array_index, kw_pattern, kw_array_index_nocomplain,
                       variables_class, objects_class, commands_class, procs_class,
                       name_iterator_class, own_variable_class, w_apply, w_eval,
                       boot_text, script_texts, listing_cache, listing_data,
                       tcl_obj_type, framework_cast_list);
            for (TypeCache* cache : {&variables_built, &objects_built, &commands_built,
                                     &procs_built, &variable_built, &eval_cache, &getvar_cache})
                cache->clear();
        }
    } views;

    void exec(PyObject* module);
    int traverse(visitproc visit, void* arg);
    void clear();
};

// The current value of a module global (NameError when it is gone).
inline Ref module_global(State& st, size_t name) { return global_value(st.dict, st.names[name]); }

// The interpreter a handle keeps: `tcl` itself when it is already a weak
// proxy, else weakref.proxy(tcl); when `tcl` is false, the package module
// orvex.tcl (imported at this moment) stands for the interpreter.
Ref interpreter_proxy(State& st, PyObject* tcl);

// The default name of the temporary variants, "::__orvex__{cls}_{id}_tmp"
// (st.temporary_name_template), and the name it gives an object:
//     str(name_template).format(cls=self.__class__.__name__, id=id(self))
Ref temporary_name(State& st, PyObject* self, PyObject* name_template);

// The temporary variants hand the with-statement on to their bases, which
// need not take part in it:
//     m = getattr(super(cls, self), '__enter__', None); return m() if m else self
//     m = getattr(super(cls, self), '__exit__', None); return m(*exc_info) if m else False
Ref enter_through_super(State& st, PyObject* cls, PyObject* self);
Ref exit_through_super(State& st, PyObject* cls, PyObject* self, PyObject* exc_info);

// Each makes its classes and adds them to the module (in this order, so that
// __all__ and the module dict follow the order of the classes).
void define_variables(State& st, PyObject* module);   // variables.cpp
void define_commands(State& st, PyObject* module);    // commands.cpp
void define_namespaces(State& st, PyObject* module);  // namespaces.cpp, views.cpp

// --- what variables.cpp and commands.cpp share (variables.cpp) --------------------

// The names of st.variables.names.
enum HandleName : size_t {
    h_tk, h_getvar, h_setvar, h_unsetvar, h_call, h_eval, h_cast_boolean, h_cast_list,
    h_cast_array, h_startswith, h___class__, h___name__, h___init__, h_get_obj, h_exists,
    h_absolute, h_array_set, h_array_unset, h_array_size, h_array_names, h_get, h_unset,
    h_array_index, h_nocomplain, h_tcl, h_cast, h_from_iterable, h_createcommand,
    h_build_tclcmd, h_kwargs_to_dashed_args, h_items, h_copy, h_is_proc, h_delete, h_join,
    h_info, h___del__, h_orvex_tcl, h___wrapped__, h_tcl_callback,
    hw_info, hw_array, hw_set, hw_size, hw_names, hw_namespace, hw_current, hw_root, hw_commands,
    hw_procs, hw_body, hw_args, hw_default, hw_namespace_cmd, hw_origin, hw_rename, hw_empty,
    hw_calling, hw_dash,
};
static_assert(std::size(State::Variables::name_texts) == hw_dash + 1);

// tcl.tk: the Tcl application object of a handle's interpreter (proxy).
Ref handle_app(State& st, PyObject* tcl);

// True when tclobj, the module global of this moment, hands back each of the
// n values unchanged without running Python code.
bool unchanged_by_tclobj(State& st, PyObject* const* values, size_t n);

// tclobj(value) with the `tclobj` module global of this moment; the values
// sorvan says tclobj hands back unchanged skip the call while that global is
// sorvan's own.
Ref handle_tclobj(State& st, PyObject* value);

}  // namespace orvex::tcl_namespace

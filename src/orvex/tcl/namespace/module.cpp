// orvex.tcl.namespace: Python handles on Tcl namespaces, variables, arrays
// and commands of one interpreter.  This file makes the module and its
// state, imports what the classes read as module globals, and holds the
// rules they share.
#include "namespace_module.hpp"

namespace orvex::tcl_namespace {

Ref interpreter_proxy(State& st, PyObject* tcl) {
    Ref interp = truthy(tcl) ? Ref::borrow(tcl) : import("orvex.tcl");
    Ref proxy_types = getattr(st.weakref_module, st.names[n_ProxyTypes]);
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(interp.get())));
    if (check(PySequence_Contains(proxy_types, type))) return interp;
    return call_method(st.weakref_module, st.names[n_proxy], interp.get());
}

Ref temporary_name(State& st, PyObject* self, PyObject* name_template) {
    Ref class_name = getattr(getattr(self, st.names[n_dunder_class]), st.names[n_dunder_name]);
    Ref identity = own(PyLong_FromVoidPtr(self));
    Ref template_text = str(name_template);
    PyObject* argv[] = {template_text.get(), class_name.get(), identity.get()};
    return own(PyObject_VectorcallMethod(st.names[n_format], argv, 1, st.cls_id));
}

Ref enter_through_super(State& st, PyObject* cls, PyObject* self) {
    Ref enter = getattr_optional(super_of(cls, self), st.names[n_dunder_enter]);
    if (enter && truthy(enter)) return call(enter);
    return Ref::borrow(self);
}

Ref exit_through_super(State& st, PyObject* cls, PyObject* self, PyObject* exc_info) {
    Ref exit = getattr_optional(super_of(cls, self), st.names[n_dunder_exit]);
    if (exit && truthy(exit)) return call_tuple(exit, exc_info);
    return boolean(false);
}

// --- the module -----------------------------------------------------------------------

namespace {

const char* const all_names[] = {
    "TclVariable", "TempTclVariable", "TclArrayVariable", "TempTclArrayVariable",
    "TclCommand",  "TempTclCommand",  "TclNamespace",     "TempTclNamespace",
};

}  // namespace

void State::exec(PyObject* module) {
    names.fill(shared_name_texts);
    dict = Ref::borrow(PyModule_GetDict(module));
    weakref_module = import("weakref");
    tcl_error = import_from("_tkinter", "TclError");
    temporary_name_template = text("::__orvex__{cls}_{id}_tmp");
    cls_id = tuple_of({names[n_cls], names[n_id]});

    // Module globals the classes read when they run.
    add(module, "weakref", weakref_module);
    Ref abc = import("collections.abc");
    add(module, "MutableMapping", getattr(abc, names[n_MutableMapping]));
    add(module, "Mapping", getattr(abc, names[n_Mapping]));
    own_sorvan = import_from("orvex.tcl.sorvan", "sorvan");
    own_tclobj = import_from("orvex.tcl.sorvan", "tclobj");
    add(module, "sorvan", own_sorvan);
    add(module, "tclobj", own_tclobj);
    sorvan_api.load(SorvanCApi::capsule_name);
    watch.start();
    watch.add(dict);
    sorvan_held.pin(dict, names[n_sorvan], own_sorvan);

    define_variables(*this, module);
    define_commands(*this, module);
    define_namespaces(*this, module);

    // __all__: the classes, in their fixed order, that this build defines.
    Ref all = own(PyList_New(0));
    for (const char* name : all_names) {
        if (PyObject_HasAttrString(module, name)) check(PyList_Append(all, Ref(text(name))));
    }
    add(module, "__all__", own(PyList_AsTuple(all)));
}

int State::traverse(visitproc visit, void* arg) {
    if (int r = visit_refs(visit, arg, dict, weakref_module, tcl_error, temporary_name_template,
                           cls_id, own_sorvan, own_tclobj))
        return r;
    if (int r = sorvan_held.traverse(visit, arg)) return r;
    if (int r = sorvan_api.traverse(visit, arg)) return r;
    if (int r = variables.traverse(visit, arg)) return r;
    if (int r = commands.traverse(visit, arg)) return r;
    if (int r = namespaces.traverse(visit, arg)) return r;
    return views.traverse(visit, arg);
}

void State::clear() {
    views.clear();
    namespaces.clear();
    commands.clear();
    variables.clear();
    sorvan_held.clear();
    sorvan_api.clear();
    watch.stop();
    clear_refs(dict, weakref_module, tcl_error, temporary_name_template, cls_id, own_sorvan,
               own_tclobj);
    names.clear();
}

}  // namespace orvex::tcl_namespace

PyMODINIT_FUNC PyInit_namespace() { return orvex::capi::module_init<orvex::tcl_namespace::State>(); }

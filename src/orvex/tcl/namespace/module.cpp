// orvex.tcl.namespace: Python handles on Tcl namespaces, variables, arrays
// and commands of one interpreter.  This file makes the module, imports what
// the classes read as module globals, and holds the rules they share.
#include "namespace_module.hpp"

namespace orvex::tcl_namespace {

ModuleGlobals module_globals;
const SorvanCApi* sorvan_capi = nullptr;

namespace {

Name n_proxy{"proxy"};
Name n_ProxyTypes{"ProxyTypes"};

// Never destroyed: a static's destructor would run at process exit, after
// Python has finalised, and must not touch a Python object then.
Ref& weakref_module = *new Ref;

}  // namespace

Ref interpreter_proxy(PyObject* tcl) {
    Ref interp;
    if (truthy(tcl)) {
        interp = Ref::borrow(tcl);
    } else {
        interp = import("orvex.tcl");
    }
    Ref proxy_types = getattr(weakref_module, n_ProxyTypes);
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(interp.get())));
    if (check(PySequence_Contains(proxy_types, type))) return interp;
    return call_method(weakref_module, n_proxy, interp.get());
}

PyObject* tcl_error_class = nullptr;
PyObject* tcl_error() { return tcl_error_class; }

PyObject* temporary_name_template = nullptr;

Ref temporary_name(PyObject* self, PyObject* name_template) {
    static Name n_format{"format"}, n_class{"__class__"}, n_name{"__name__"};
    static PyObject* cls_id = tuple_of({text("cls").get(), text("id").get()}).release();
    Ref class_name = getattr(getattr(self, n_class), n_name);
    Ref identity = own(PyLong_FromVoidPtr(self));
    Ref template_text = str(name_template);
    PyObject* argv[] = {template_text.get(), class_name.get(), identity.get()};
    return own(PyObject_VectorcallMethod(n_format, argv, 1, cls_id));
}

Ref enter_through_super(PyObject* cls, PyObject* self) {
    static Name n_enter{"__enter__"};
    Ref enter = getattr_optional(super_of(cls, self), n_enter);
    if (enter && truthy(enter)) return call(enter);
    return Ref::borrow(self);
}

Ref exit_through_super(PyObject* cls, PyObject* self, PyObject* exc_info) {
    static Name n_exit{"__exit__"};
    Ref exit = getattr_optional(super_of(cls, self), n_exit);
    if (exit && truthy(exit)) return call_tuple(exit, exc_info);
    return boolean(false);
}

namespace {

const char* const all_names[] = {
    "TclVariable", "TempTclVariable", "TclArrayVariable", "TempTclArrayVariable",
    "TclCommand",  "TempTclCommand",  "TclNamespace",     "TempTclNamespace",
};

PyModuleDef module_def{PyModuleDef_HEAD_INIT, "orvex.tcl.namespace",
                       "Python handles on Tcl namespaces, variables, arrays and commands.", -1,
                       nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace orvex::tcl_namespace

using namespace orvex::tcl_namespace;

PyMODINIT_FUNC PyInit_namespace() {
    return init_module(module_def, [](PyObject* module) {
        weakref_module = import("weakref");
        // Module globals the classes read when they run.
        add(module, "weakref", weakref_module);
        Ref abc = import("collections.abc");
        add(module, "MutableMapping", getattr(abc, Ref(text("MutableMapping"))));
        add(module, "Mapping", getattr(abc, Ref(text("Mapping"))));
        add(module, "sorvan", import_from("orvex.tcl.sorvan", "sorvan"));
        add(module, "tclobj", import_from("orvex.tcl.sorvan", "tclobj"));
        sorvan_capi = SorvanCApi::import();
        if (sorvan_capi == nullptr) throw PyError{};
        module_globals.watch(module);
        tcl_error_class = import_from("_tkinter", "TclError").release();
        temporary_name_template = text("::__orvex__{cls}_{id}_tmp").release();

        define_variables(module);
        define_commands(module);
        define_namespaces(module);

        // __all__: the classes, in their fixed order, that this build defines.
        Ref all = own(PyList_New(0));
        for (const char* name : all_names) {
            if (PyObject_HasAttrString(module, name)) check(PyList_Append(all, Ref(text(name))));
        }
        add(module, "__all__", own(PyList_AsTuple(all)));
    });
}

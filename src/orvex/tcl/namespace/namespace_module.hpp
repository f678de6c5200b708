// What the source files of orvex.tcl.namespace share: the module's globals
// (read at call time, see globals.hpp), the interpreter-proxy rule, and the
// functions that define each file's classes.
#pragma once

#include "capi.hpp"
#include "../sorvan_capi.hpp"

namespace orvex::tcl_namespace {

using namespace orvex::capi;

// The module's __dict__, watched; each file declares the Globals it reads:
//     static Global g_sorvan{module_globals, "sorvan"};
extern ModuleGlobals module_globals;

// sorvan's conversions and its rule for values tclobj passes unchanged.
extern const SorvanCApi* sorvan_capi;

// The interpreter a handle keeps: `tcl` itself when it is already a weak
// proxy, else weakref.proxy(tcl); when `tcl` is false, the package module
// orvex.tcl (imported at this moment) stands for the interpreter.
Ref interpreter_proxy(PyObject* tcl);

// _tkinter.TclError.
PyObject* tcl_error();

// The default name of the temporary variants, "::__orvex__{cls}_{id}_tmp",
// and the name it gives an object:
//     str(name_template).format(cls=self.__class__.__name__, id=id(self))
extern PyObject* temporary_name_template;
Ref temporary_name(PyObject* self, PyObject* name_template);

// The temporary variants hand the with-statement on to their bases, which
// need not take part in it:
//     m = getattr(super(cls, self), '__enter__', None); return m() if m else self
//     m = getattr(super(cls, self), '__exit__', None); return m(*exc_info) if m else False
Ref enter_through_super(PyObject* cls, PyObject* self);
Ref exit_through_super(PyObject* cls, PyObject* self, PyObject* exc_info);

// Each defines its classes on the module (in this order, so that __all__
// and the module dict follow the order of the classes).
void define_variables(PyObject* module);   // variables.cpp
void define_commands(PyObject* module);    // commands.cpp
void define_namespaces(PyObject* module);  // namespaces.cpp, views.cpp

}  // namespace orvex::tcl_namespace

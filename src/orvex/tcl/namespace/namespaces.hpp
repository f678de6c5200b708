// What namespaces.cpp (TclNamespace, TempTclNamespace and the name algebra)
// and views.cpp (the four mapping views nested in TclNamespace) share.
#pragma once

#include "class_version.hpp"
#include "namespace_module.hpp"

namespace orvex::tcl_namespace {

// --- the name algebra on texts ------------------------------------------------

// sorvan(value) with the `sorvan` module global of this moment; a text that
// sorvan would hand back unchanged is returned without the call.  The result
// must be a str (TypeError otherwise): names are texts.
Ref name_text(PyObject* value);

// TclNamespace.join(base, name), read from the module globals when called:
// the C++ join while `TclNamespace` and its `join` are the module's own,
// else whatever they have been replaced with.
Ref join_name(PyObject* base, PyObject* name);

// --- TclNamespace objects, for the views ----------------------------------------

// The `TclNamespace` module global of this moment.
Ref namespace_class();

// The `tcl` attribute of a namespace object (the interpreter proxy).
Ref namespace_tcl(PyObject* ns);

// ns.call(words): the words run inside the namespace.
Ref namespace_call(PyObject* ns, PyObject* words);

// The namespace's name as a text: what sorvan(ns) gives (its `ns`
// attribute for a namespace object).
Ref namespace_name(PyObject* ns);

// --- the views ------------------------------------------------------------------

struct ViewClasses {
    Ref variables, objects, commands, procs;
};

// Make the four view classes (qualified names TclNamespace.VariablesView and
// so on); namespaces.cpp places them at the end of the TclNamespace body.
ViewClasses make_view_classes(PyObject* module);

}  // namespace orvex::tcl_namespace

// What namespaces.cpp (TclNamespace, TempTclNamespace and the name algebra)
// and views.cpp (the four mapping views nested in TclNamespace) share.
#pragma once

#include "namespace_module.hpp"

#include <array>
#include <initializer_list>

namespace orvex::tcl_namespace {

// --- calls with keywords ----------------------------------------------------------

// A tuple of interned keyword names for vectorcall.
Ref keyword_tuple(std::initializer_list<const char*> names);

// obj.name(*positional, **keywords) through vectorcall: the last
// len(kwnames) of `args` are the values of the keywords named in kwnames.
template <typename... A>
Ref call_method_keywords(PyObject* obj, PyObject* name, PyObject* kwnames, A... args) {
    std::array<PyObject*, sizeof...(A) + 1> argv{obj, static_cast<PyObject*>(args)...};
    size_t positional = argv.size() - size_t(PyTuple_GET_SIZE(kwnames));
    return own(PyObject_VectorcallMethod(name, argv.data(),
                                         positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// Inside `except error: raise KeyError(key) from error`: the pending
// exception becomes the cause (and context) of a KeyError whose only
// argument is `key`.
[[noreturn]] void raise_key_error_from_pending(PyObject* key);

// --- the name algebra on texts ------------------------------------------------

// sorvan(value) with the `sorvan` module global of this moment; a str, and
// the name of a namespace object, are taken without the call while `sorvan`
// is the module's own.  The result must be a str (TypeError otherwise):
// names are texts.
Ref name_text(State& st, PyObject* value);

// True while the `sorvan` module global is the module's own function.
inline bool sorvan_is_original(State& st) { return st.sorvan_held.holds(st.watch); }

// TclNamespace.join(base, name), read from the module globals when called:
// the C++ join while `TclNamespace` and its `join` are the module's own,
// else whatever they have been replaced with.
Ref join_name(State& st, PyObject* base, PyObject* name);

// --- TclNamespace objects, for the views ----------------------------------------

// True for a TclNamespace or TempTclNamespace whose class nobody changed.
bool namespace_plain(State& st, PyObject* ns);

// The `tcl` attribute of a namespace object (the interpreter proxy).
Ref namespace_tcl(State& st, PyObject* ns);

// ns.call(words): the words run inside the namespace.
Ref namespace_call(State& st, PyObject* ns, PyObject* words);

// --- the views ------------------------------------------------------------------

// Make the four view classes (qualified names TclNamespace.VariablesView and
// so on) into st.views; namespaces.cpp places them at the end of the
// TclNamespace body.
void make_view_classes(State& st, PyObject* module);

}  // namespace orvex::tcl_namespace

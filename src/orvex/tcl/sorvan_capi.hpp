// sorvan() and tclobj() for C++ callers in other extension modules.
//
// orvex.tcl.sorvan exports its conversions through a capsule, so that a
// module converting many values (a quick call converts every argument)
// reaches them without a Python-level call each time.  The table lives in
// sorvan's module state (one per interpreter) and its entries take that
// state as their first argument; the importer keeps the table, and the
// sorvan module that owns it, in its own state (capi's Imported<T>):
//
//     sorvan.load(SorvanCApi::capsule_name);                  // in exec
//     const SorvanCApi& api = *st.sorvan.api;
//     if (st.own_globals.holds(st.watch))     // our `sorvan` is still the
//         return own(api.to_text(value));     // module's own function
//     return call(global_value(dict, st.names[n_sorvan]), value);
//
// Each entry does exactly what calling the module's function does.  Callers
// whose module global may have been replaced must check it first, as above
// (the function objects are `sorvan_function` and `tclobj_function`), and
// call the global otherwise.
//
// `passes_unchanged` is the one rule for "tclobj(value) is value itself and
// no Python code runs for it": a caller whose `tclobj` is sorvan's own may
// then use the value as it is and skip the call.  It answers for sorvan's
// current module globals, so it turns false as soon as they are changed.
#pragma once

#include <Python.h>

struct SorvanCApi {
    static constexpr const char* capsule_name = "orvex.tcl.sorvan._capi";

    // sorvan's module state, handed to every entry.
    void* state;
    // sorvan(obj) and tclobj(obj): a new reference, or NULL with an
    // exception set.
    PyObject* (*sorvan)(void* state, PyObject* obj);
    PyObject* (*tclobj)(void* state, PyObject* obj);
    // True when tclobj(obj) gives obj itself without running Python code.
    // Never fails: when in doubt it is false, and the call decides.
    bool (*passes_unchanged)(void* state, PyObject* obj);
    // The module's own `sorvan` and `tclobj` functions, which the entries
    // stand for (borrowed: alive as long as the module).
    PyObject* sorvan_function;
    PyObject* tclobj_function;

    PyObject* to_text(PyObject* obj) const { return sorvan(state, obj); }
    PyObject* to_tclobj(PyObject* obj) const { return tclobj(state, obj); }
    bool unchanged_by_tclobj(PyObject* obj) const { return passes_unchanged(state, obj); }

    // The table of the loaded module (importing it), or NULL with an
    // exception set.  Modules with state keep it with Imported<SorvanCApi>.
    static const SorvanCApi* import() {
        return static_cast<const SorvanCApi*>(PyCapsule_Import(capsule_name, 0));
    }
};

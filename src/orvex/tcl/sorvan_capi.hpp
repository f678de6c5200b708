// sorvan() for C++ callers in other extension modules.
//
// orvex.tcl.sorvan exports its conversion through a capsule, so that a
// module converting many values (a quick call converts every argument)
// reaches it without a Python-level call each time:
//
//     const SorvanCApi* api = SorvanCApi::import();
//     if (g_sorvan.is(api->sorvan_function))     // our `sorvan` is still the
//         return own(api->sorvan(value));         // module's own function
//     return call(g_sorvan.get(), value);
//
// The entry does exactly what calling the module's `sorvan` function does.
// Callers whose module global may have been replaced must check it first,
// as above, and call the global otherwise.
#pragma once

#include <Python.h>

struct SorvanCApi {
    static constexpr const char* capsule_name = "orvex.tcl.sorvan._capi";

    // sorvan(obj): a new reference, or NULL with an exception set.
    PyObject* (*sorvan)(PyObject* obj);
    // The module's own `sorvan` function, which the entry stands for.
    PyObject* sorvan_function;

    // The table of the loaded module (importing it), or NULL with an
    // exception set.
    static const SorvanCApi* import() {
        return static_cast<const SorvanCApi*>(PyCapsule_Import(capsule_name, 0));
    }
};

// The C++ layer under the extension modules.  README.md beside this file is
// the guide to writing a module on it.
//
//   ref.hpp        owning references (Ref), the error convention (throw
//                  PyError; guarded() at every boundary), Handling
//   cpython.hpp    the only calls below CPython's public API, each named
//   args.hpp       parameter lists: binding and text signatures
//   state.hpp      functions and methods that get the module state
//   module.hpp     modules with per-interpreter state, interned names,
//                  types tied to their module, capsule imports
//   typecache.hpp  answers remembered while a type is unchanged
//   watch.hpp      "these globals still hold these objects"
//   function.hpp   functions, methods, classes made like class statements
//   native.hpp     classes with a C++ instance layout
//   names.hpp      everyday object operations (calls, attributes, imports)
//   argvector.hpp  owned runs of call arguments
//   dict_function.hpp  module functions that carry attributes
//   weakref.hpp    weak references
#pragma once

#include "args.hpp"
#include "argvector.hpp"
#include "cpython.hpp"
#include "dict_function.hpp"
#include "function.hpp"
#include "module.hpp"
#include "names.hpp"
#include "native.hpp"
#include "ref.hpp"
#include "state.hpp"
#include "typecache.hpp"
#include "watch.hpp"
#include "weakref.hpp"

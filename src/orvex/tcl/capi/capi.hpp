// The C++ layer under the extension modules: owning references and the
// error convention (ref.hpp), interned names and object operations
// (names.hpp), argument binding (args.hpp), functions, classes and modules
// (function.hpp), functions that carry attributes (dict_function.hpp),
// module globals read at call time (globals.hpp), owned argument runs for
// vectorcalls (argvector.hpp), weak proxies (weakref.hpp) and classes with a
// C++ instance layout (native.hpp).
#pragma once

#include "args.hpp"
#include "argvector.hpp"
#include "dict_function.hpp"
#include "function.hpp"
#include "globals.hpp"
#include "names.hpp"
#include "native.hpp"
#include "ref.hpp"
#include "weakref.hpp"

// orvex.tcl.namespace: commands (to be filled in).
#include "namespace_module.hpp"

namespace orvex::tcl_namespace {

void define_commands(PyObject*) {}

}  // namespace orvex::tcl_namespace

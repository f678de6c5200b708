// orvex.tcl.namespace: variables (to be filled in).
#include "namespace_module.hpp"

namespace orvex::tcl_namespace {

void define_variables(PyObject*) {}

}  // namespace orvex::tcl_namespace

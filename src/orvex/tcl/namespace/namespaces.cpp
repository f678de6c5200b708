// orvex.tcl.namespace: namespaces (to be filled in).
#include "namespace_module.hpp"

namespace orvex::tcl_namespace {

void define_namespaces(PyObject*) {}

}  // namespace orvex::tcl_namespace

// orvex.tcl.hux (filled in by its own change).
#include "capi.hpp"

using namespace orvex::capi;

namespace {
PyModuleDef module_def{PyModuleDef_HEAD_INIT, "orvex.tcl.hux", nullptr, -1,
                       nullptr, nullptr, nullptr, nullptr, nullptr};
}  // namespace

PyMODINIT_FUNC PyInit_hux() {
    return init_module(module_def, [](PyObject*) {});
}

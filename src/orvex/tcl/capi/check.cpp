// orvex.tcl._capi_check: a class and a function made with the C++ layer,
// so that the tests can hold the layer to the behaviour of a class
// statement.  Equivalent Python:
//
//     class Counter(collections.abc.Mapping):
//         """Counts calls."""
//         __slots__ = ('start', '__dict__', '__weakref__')
//         def __init__(self, start=0): self.start = start
//         def add(self, a, b=1, *rest, scale=1, **extra):
//             return (self.start + a + b + sum(rest)) * scale, extra
//         @staticmethod
//         def twice(x): return 2 * x
//         kind = 'counter'
//         again = add
//         def __getitem__(self, k): ...   # plus __iter__ and __len__
//
//     def describe(x, *, label): ...
#include "capi.hpp"

using namespace orvex::capi;

namespace {

Slot start_slot;
Name n_start{"start"};

PyObject* zero = nullptr;
PyObject* one = nullptr;

Signature init_sig{"__init__", {opt("start", zero)}};

Ref init(PyObject* self, const Args& args) {
    start_slot.set(self, args[0]);
    return none();
}

Signature add_sig{"add", {req("a"), opt("b", one), star("rest"), kwonly("scale", one),
                          starstar("extra")}};
Ref add(PyObject* self, const Args& args) {
    Ref total = own(PyNumber_Add(start_slot.get(self), args[0]));
    total = own(PyNumber_Add(total, args[1]));
    PyObject* rest = args.varargs();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(rest); ++i)
        total = own(PyNumber_Add(total, PyTuple_GET_ITEM(rest, i)));
    total = own(PyNumber_Multiply(total, args[3]));
    return tuple_of({total.get(), args.varkw()});
}

Signature twice_sig{"twice", {req("x")}};
Ref twice(PyObject*, const Args& args) { return own(PyNumber_Add(args[0], args[0])); }

Signature getitem_sig{"__getitem__", {req("key")}};
Ref getitem(PyObject* self, const Args& args) {
    if (PyUnicode_Check(args[0]) && PyUnicode_CompareWithASCIIString(args[0], "start") == 0)
        return Ref::borrow(start_slot.get(self));
    raise(PyExc_KeyError, args[0]);
}
Signature iter_sig{"__iter__", {}};
Ref iter(PyObject*, const Args&) {
    Ref keys = tuple_of({n_start.get()});
    return own(PyObject_GetIter(keys));
}
Signature len_sig{"__len__", {}};
Ref len(PyObject*, const Args&) { return integer(1); }

Signature describe_sig{"describe", {req("x"), kwonly("label")}};
Ref describe(PyObject*, const Args& args) {
    return own(PyUnicode_FromFormat("%S: %R", args[1], args[0]));
}

PyModuleDef module_def{PyModuleDef_HEAD_INIT, "orvex.tcl._capi_check",
                       "A class and a function built with the C++ layer, for its tests.", -1,
                       nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__capi_check() {
    return init_module(module_def, [](PyObject* module) {
        zero = integer(0).release();
        one = integer(1).release();
        Ref mapping = import_from("collections.abc", "Mapping");
        ClassBuilder counter(module, "Counter", {mapping.get()}, "Counts calls.");
        counter.slots({"start"})
            .method<init_sig, init>("__init__")
            .method<add_sig, add>("add", "add(a, b=1, *rest, scale=1, **extra)")
            .staticmethod<twice_sig, twice>("twice")
            .attr("kind", Ref(text("counter")))
            .alias("again", "add")
            .method<getitem_sig, getitem>("__getitem__")
            .method<iter_sig, iter>("__iter__")
            .method<len_sig, len>("__len__");
        Ref cls = counter.build();
        start_slot = counter.slot(cls, "start");
        add(module, "Counter", cls);
        add(module, "describe", make_function<describe_sig, describe>(module));
    });
}

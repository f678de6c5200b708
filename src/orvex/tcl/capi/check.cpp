// orvex.tcl._capi_check: a class and functions made with the C++ layer, so
// that the tests can hold the layer to the behaviour of a class statement
// and of per-interpreter module state.  Equivalent Python:
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
//         def __getitem__(self, key): ...   # plus __iter__ and __len__
//
//     def describe(x, *, label): ...
//
// and, to look at the layer's own machinery from the tests:
//
//     def bump(): ...            # a per-module call count
//     def call_probe(obj): return obj.probe()      # through a TypeCache
//     def probe_cached(obj): ... # whether that cache holds type(obj)
//     def read_label(obj): return obj.label        # instance_attr
//     def own_add(obj): ...      # obj.add is still Counter's own add
//     def counter_unchanged(obj): ...  # type(obj) is Counter, unchanged
//     def globals_held(): ...    # describe and Counter still hold ours
#include "capi.hpp"

using namespace orvex::capi;

namespace {

constexpr const char* name_texts[] = {"start", "probe", "label", "add", "describe", "Counter"};
enum : size_t { n_start, n_probe, n_label, n_add, n_describe, n_Counter };

struct State {
    static constexpr const char* module_name = "orvex.tcl._capi_check";
    static constexpr const char* module_doc =
        "A class and functions built with the C++ layer, for its tests.";

    Names<std::size(name_texts)> names;
    Ref zero, one;       // defaults
    Ref counter;         // the class
    Ref add_original;    // Counter.__dict__['add']
    Slot start_slot;
    long long calls = 0;

    TypeCache probe_cache, label_cache, add_cache, built;
    GlobalsWatch watch;
    Held own_globals;

    void exec(PyObject* module);
    int traverse(visitproc visit, void* arg) {
        if (int r = visit_refs(visit, arg, counter, add_original)) return r;
        if (int r = probe_cache.traverse(visit, arg)) return r;
        if (int r = label_cache.traverse(visit, arg)) return r;
        return own_globals.traverse(visit, arg);
    }
    void clear() {
        clear_refs(zero, one, counter, add_original);
        names.clear();
        for (TypeCache* cache : {&probe_cache, &label_cache, &add_cache, &built}) cache->clear();
        own_globals.clear();
        watch.stop();
    }
};

Signature init_sig{"__init__", {opt<&State::zero>("start", "0")}};
Ref init(State& st, PyObject* self, const Args& args) {
    st.start_slot.set(self, args[0]);
    return none();
}

Signature add_sig{"add", {req("a"), opt<&State::one>("b", "1"), star("rest"),
                          kwonly<&State::one>("scale", "1"), starstar("extra")}};
Ref add_body(State& st, PyObject* self, const Args& args) {
    Ref total = own(PyNumber_Add(st.start_slot.get(self), args[0]));
    total = own(PyNumber_Add(total, args[1]));
    PyObject* rest = args.varargs();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(rest); ++i)
        total = own(PyNumber_Add(total, PyTuple_GET_ITEM(rest, i)));
    total = own(PyNumber_Multiply(total, args[3]));
    return tuple_of({total.get(), args.varkw()});
}

Signature twice_sig{"twice", {req("x")}};
Ref twice(State&, PyObject*, const Args& args) { return own(PyNumber_Add(args[0], args[0])); }

Signature getitem_sig{"__getitem__", {req("key")}};
Ref getitem(State& st, PyObject* self, const Args& args) {
    if (PyUnicode_Check(args[0]) && PyUnicode_Compare(args[0], st.names[n_start]) == 0)
        return Ref::borrow(st.start_slot.get(self));
    if (PyErr_Occurred()) throw PyError{};
    raise(PyExc_KeyError, args[0]);
}
Signature iter_sig{"__iter__", {}};
Ref iter(State& st, PyObject*, const Args&) {
    Ref keys = tuple_of({st.names[n_start]});
    return own(PyObject_GetIter(keys));
}
Signature len_sig{"__len__", {}};
Ref len(State&, PyObject*, const Args&) { return integer(1); }

Signature describe_sig{"describe", {req("x"), kwonly("label")}};
Ref describe(State&, PyObject*, const Args& args) {
    return own(PyUnicode_FromFormat("%S: %R", args[1], args[0]));
}

Signature bump_sig{"bump", {}};
Ref bump(State& st, PyObject*, const Args&) { return integer(++st.calls); }

Signature obj_sig{"call_probe", {req("obj")}};
Ref call_probe(State& st, PyObject*, const Args& args) {
    return cached_method_call(st.probe_cache, st.names[n_probe], args[0]);
}
Signature probe_cached_sig{"probe_cached", {req("obj")}};
Ref probe_cached(State& st, PyObject*, const Args& args) {
    return boolean(st.probe_cache.hit(Py_TYPE(args[0])));
}
Signature read_label_sig{"read_label", {req("obj")}};
Ref read_label(State& st, PyObject*, const Args& args) {
    return instance_attr(st.label_cache, st.names[n_label], args[0]);
}
Signature own_add_sig{"own_add", {req("obj")}};
Ref own_add(State& st, PyObject*, const Args& args) {
    return boolean(own_method_found(st.add_cache, st.names[n_add], st.add_original, args[0]));
}
Signature counter_unchanged_sig{"counter_unchanged", {req("obj")}};
Ref counter_unchanged(State& st, PyObject*, const Args& args) {
    return boolean(st.built.unchanged(Py_TYPE(args[0])));
}
Signature globals_held_sig{"globals_held", {}};
Ref globals_held(State& st, PyObject*, const Args&) {
    return boolean(st.own_globals.holds(st.watch));
}

void State::exec(PyObject* module) {
    names.fill(name_texts);
    zero = integer(0);
    one = integer(1);
    Ref mapping = import_from("collections.abc", "Mapping");
    ClassBuilder builder(module, "Counter", {mapping.get()}, "Counts calls.");
    builder.slots({"start"})
        .method<init_sig, init>("__init__")
        .method<add_sig, add_body>("add", "Adds up, times scale.")
        .staticmethod<twice_sig, twice>("twice")
        .attr("kind", Ref(text("counter")))
        .alias("again", "add")
        .method<getitem_sig, getitem>("__getitem__")
        .method<iter_sig, iter>("__iter__")
        .method<len_sig, len>("__len__");
    counter = builder.build();
    start_slot = builder.slot(counter, "start");
    add_original = Ref::borrow(cpython::type_lookup(reinterpret_cast<PyTypeObject*>(counter.get()),
                                                    names[n_add]));
    built.remember(counter);
    add(module, "Counter", counter);
    Ref describe_function = make_function<describe_sig, describe>(module);
    add(module, "describe", describe_function);
    add(module, "bump", make_function<bump_sig, bump>(module));
    add(module, "call_probe", make_function<obj_sig, call_probe>(module));
    add(module, "probe_cached", make_function<probe_cached_sig, probe_cached>(module));
    add(module, "read_label", make_function<read_label_sig, read_label>(module));
    add(module, "own_add", make_function<own_add_sig, own_add>(module));
    add(module, "counter_unchanged", make_function<counter_unchanged_sig, counter_unchanged>(module));
    add(module, "globals_held", make_function<globals_held_sig, globals_held>(module));

    PyObject* dict = PyModule_GetDict(module);
    watch.start();
    watch.add(dict);
    own_globals.pin(dict, names[n_describe], describe_function);
    own_globals.pin(dict, names[n_Counter], counter);
}

}  // namespace

PyMODINIT_FUNC PyInit__capi_check() { return module_init<State>(); }

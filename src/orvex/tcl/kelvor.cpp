// orvex.tcl.kelvor: TclX keyed lists as Python mappings with dotted keys.
//
// A keyed list maps keys to values, a value being plain or another keyed
// list; "a.b" names the item b of the keyed list held under a.  `Kelvor` is
// a dict (through AttrDict) whose item operations walk such paths, building
// missing levels on store and dropping emptied ones on delete.  The same
// class in plain Python, operation for operation, is bench/baseline_kelvor.py:
//
//     class Kelvor(AttrDict, MutableMapping):
//         def __init__(self, *args, **kwargs): ...
//         @staticmethod
//         def from_tcl(string): ...
//         def __getitem__(self, key): ...
//         def __setitem__(self, key, value): ...
//         def __contains__(self, key): ...
//         def __delitem__(self, key): ...
//         get = MutableMapping.get
//         pop = MutableMapping.pop
//         setdefault = MutableMapping.setdefault
//         def update(self, *args, **kwargs): ...
//         def all_keys(self): ...
//         def all_items(self): ...
//         has_key = __contains__
//         def __tclobj__(self): ...
#include "capi.hpp"

using namespace orvex::capi;

namespace {

// --- module state -------------------------------------------------------------

constexpr const char* name_texts[] = {
    ".", "split", "__contains__", "update", "items", "all_keys", "all_items", "typename",
    "cast_list", "tcl", "orvex.tcl", "keyedList", "MutableMapping", "Tcl_Obj", "tclobj",
};
enum : size_t {
    n_dot, n_split, n_contains, n_update, n_items, n_all_keys, n_all_items, n_typename,
    n_cast_list, n_tcl, n_orvex_tcl,
    n_keyed_list_type,  // the name TclX registers its keyed-list Tcl object type under
    n_MutableMapping, n_Tcl_Obj, n_tclobj,
};

struct State {
    static constexpr const char* module_name = "orvex.tcl.kelvor";
    static constexpr const char* module_doc =
        "TclX keyed lists as Python mappings with dotted keys: Kelvor.";

    Names<std::size(name_texts)> names;
    Ref one;          // the int 1, for key.split('.', 1)
    Ref kelvor;       // the class
    Ref globals;      // the module's __dict__: MutableMapping, Tcl_Obj and tclobj are read there
    Ref split_memo;   // {dotted key: tuple of its components}

    PyTypeObject* kelvor_type() const { return reinterpret_cast<PyTypeObject*>(kelvor.get()); }

    void exec(PyObject* module);
    int traverse(visitproc visit, void* arg) { return visit_refs(visit, arg, kelvor, globals, split_memo); }
    void clear() {
        clear_refs(one, kelvor, globals, split_memo);
        names.clear();
    }
};

// --- small helpers ------------------------------------------------------------

bool is_kelvor(const State& st, PyObject* obj) { return PyObject_TypeCheck(obj, st.kelvor_type()); }

// Python's `first, second = pair`, with its error messages.
void unpack_pair(PyObject* pair, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2) {
        first = Ref::borrow(PyTuple_GET_ITEM(pair, 0));
        second = Ref::borrow(PyTuple_GET_ITEM(pair, 1));
        return;
    }
    // Like the interpreter, take at most one item more than needed.
    Ref iterator = own(PyObject_GetIter(pair));
    Ref items[3];
    int count = 0;
    for (; count < 3; ++count) {
        items[count] = Ref::steal(PyIter_Next(iterator));
        if (!items[count]) break;
    }
    if (PyErr_Occurred()) rethrow();
    if (count > 2) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (count < 2) raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", count);
    first = items[0];
    second = items[1];
}

// Dotted str keys are split once and remembered: a program reads and writes
// the same few paths over and over, and the components kept here carry
// their hash (and, once stored, are the very keys of the nested dicts), so
// each level's lookup neither allocates nor hashes.  The memo is bounded -
// emptied when full, and only short keys go in - so it never holds more than
// a few hundred small tuples.
constexpr Py_ssize_t split_memo_limit = 512;

constexpr Py_ssize_t split_memo_longest_key = 200;

Ref components_of(State& st, PyObject* key) {
    PyObject* memo = st.split_memo.get();
    if (PyObject* known = PyDict_GetItemWithError(memo, key)) return Ref::borrow(known);
    if (PyErr_Occurred()) rethrow();
    Ref parts = own(PyUnicode_Split(key, st.names[n_dot], -1));
    Ref components = own(PyList_AsTuple(parts));
    if (PyUnicode_GET_LENGTH(key) <= split_memo_longest_key) {
        if (PyDict_GET_SIZE(memo) >= split_memo_limit) PyDict_Clear(memo);
        check(PyDict_SetItem(memo, key, components));
    }
    return components;
}

// A key walked one component at a time, as `'.' in rest` and, when true,
// `head, rest = rest.split('.', 1)` repeated.  A str key is split all at
// once (the same components, see above) and the rest is made into a string
// only when it is handed on; any other key goes through those Python
// operations themselves, so a key that cannot be searched (an int) raises
// TypeError just as `in` does.
class KeyPath {
public:
    KeyPath(State& st, PyObject* key) : st_(st), key_(Ref::borrow(key)), is_text_(PyUnicode_CheckExact(key)) {}

    // Split off the next component into `head`; false when no "." is left.
    bool split(Ref& head) {
        if (!is_text_) return split_object(head);
        if (!components_) {
            Py_ssize_t dot = PyUnicode_FindChar(key_, '.', 0, PyUnicode_GET_LENGTH(key_.get()), 1);
            if (dot == -2) rethrow();
            if (dot < 0) return false;
            components_ = components_of(st_, key_);
        }
        if (index_ + 1 >= PyTuple_GET_SIZE(components_.get())) return false;
        head = Ref::borrow(PyTuple_GET_ITEM(components_.get(), index_));
        start_ += PyUnicode_GET_LENGTH(head.get()) + 1;
        ++index_;
        return true;
    }

    // What has not been split off (the key itself before the first split).
    Ref rest() const {
        if (!components_ || index_ == 0) return key_;
        if (index_ + 1 == PyTuple_GET_SIZE(components_.get()))
            return Ref::borrow(PyTuple_GET_ITEM(components_.get(), index_));
        return own(PyUnicode_Substring(key_, start_, PyUnicode_GET_LENGTH(key_.get())));
    }

private:
    bool split_object(Ref& head) {
        PyObject* dot = st_.names[n_dot];
        if (!check(PySequence_Contains(key_, dot))) return false;
        Ref parts = call_method(key_, st_.names[n_split], dot, st_.one.get());
        unpack_pair(parts, head, key_);
        is_text_ = PyUnicode_CheckExact(key_.get());  // str.split gives plain str
        return true;
    }

    State& st_;
    Ref key_;                // the key, or what is left of a non-str key
    Ref components_;         // a str key's components, once it is known to hold "."
    Py_ssize_t index_ = 0;   // components split off so far
    Py_ssize_t start_ = 0;   // where the rest begins in the key
    bool is_text_;
};

[[noreturn]] void raise_conflict(PyObject* key) {
    Ref message = own(PyUnicode_FromFormat(
        "target key \"%S\" is a value, cannot update value against another keyed list", key));
    raise(PyExc_KeyError, message.get());
}

// --- failures that are everyday outcomes ------------------------------------------
//
// A missing key is an ordinary result here (get(), setdefault(), a store that
// creates its levels, a Tcl value that turns out plain), and a C++ throw
// costs microseconds, far more than the lookup itself.  So the functions
// named try_* report failure by returning an empty Ref with the Python
// exception set, instead of throwing; the method trampoline passes that on
// as it is.  Everything else throws as usual.

// --- the base's item operations ---------------------------------------------------
//
// The single-key lookup, store, delete and membership test beneath the
// dotted ones are the dictionary base's own, which know nothing of dots.
// AttrDict keeps dict's (checked when the class is made), so they are
// dict's C functions, called on self: dict.__getitem__(self, key) and so on,
// without a Python call in between.

Ref try_base_get(PyObject* self, PyObject* key) {
    return Ref::steal(PyDict_Type.tp_as_mapping->mp_subscript(self, key));
}
Ref base_get(PyObject* self, PyObject* key) { return own(PyDict_Type.tp_as_mapping->mp_subscript(self, key)); }
void base_set(PyObject* self, PyObject* key, PyObject* value) {
    check(PyDict_Type.tp_as_mapping->mp_ass_subscript(self, key, value));
}
void base_del(PyObject* self, PyObject* key) {
    check(PyDict_Type.tp_as_mapping->mp_ass_subscript(self, key, nullptr));
}
bool base_contains(PyObject* self, PyObject* key) {
    return check(PyDict_Type.tp_as_sequence->sq_contains(self, key)) != 0;
}

// --- the class's operations -----------------------------------------------------
//
// When an operation works on a keyed list - self[key] for a component, a
// store or delete on a nested level, target.update(...) - it runs the C++
// code below directly if the object is exactly a Kelvor, and goes through
// Python's protocols (PyObject_GetItem, a method call) otherwise, so that a
// subclass's overrides are honoured as they would be in Python.  Walking a
// path down through plain Kelvor levels is therefore a loop, not recursion.

bool exactly_kelvor(const State& st, PyObject* obj) { return Py_TYPE(obj) == st.kelvor_type(); }

Ref try_get_item(State& st, PyObject* self, PyObject* key);
void set_item(State& st, PyObject* self, PyObject* key, PyObject* value);
void update_from(State& st, PyObject* self, PyObject* other);
Ref try_from_tcl(State& st, PyObject* string);

// self[key]
Ref try_item_of(State& st, PyObject* obj, PyObject* key) {
    if (exactly_kelvor(st, obj)) return try_get_item(st, obj, key);
    return Ref::steal(PyObject_GetItem(obj, key));
}

// try: return self[key]  except KeyError: return <empty>
Ref lookup(State& st, PyObject* obj, PyObject* key) {
    Ref found = try_item_of(st, obj, key);
    if (!found) {
        if (!error_matches(PyExc_KeyError)) rethrow();
        PyErr_Clear();
    }
    return found;
}

// Kelvor(): what __init__ does without arguments stores nothing, so the
// empty keyed list is made with the type's own allocation alone.
Ref new_kelvor(State& st) {
    Ref no_args = own(PyTuple_New(0));
    return own(st.kelvor_type()->tp_new(st.kelvor_type(), no_args, nullptr));
}

// __getitem__.  A missing component raises the base's KeyError, naming it.
Ref try_get_item(State& st, PyObject* self, PyObject* key) {
    KeyPath path(st, key);
    Ref level = Ref::borrow(self), head;
    while (path.split(head)) {
        Ref value = try_base_get(level, head);
        if (!value) return value;
        // Under a plain value, whatever indexing that value does happens.
        if (!exactly_kelvor(st, value)) return Ref::steal(PyObject_GetItem(value, path.rest()));
        level = value;
    }
    return try_base_get(level, path.rest());
}

bool is_tcl_keyed_list(State& st, PyObject* value) {
    Ref tcl_obj_type = global_value(st.globals, st.names[n_Tcl_Obj]);
    if (!isinstance(value, tcl_obj_type)) return false;
    Ref type_name = getattr(value, st.names[n_typename]);
    return check(PyObject_RichCompareBool(type_name, st.names[n_keyed_list_type], Py_EQ)) != 0;
}

// __setitem__ once the value is final.
//
// A keyed list never goes where a plain value is: a dotted path may not pass
// through a plain value, nor may a keyed list be stored over one (KeyError,
// nothing changed).  A plain value replaces anything, a keyed list included.
// Missing levels along the path are made as empty keyed lists.
void store(State& st, PyObject* self, PyObject* key, PyObject* value) {
    KeyPath path(st, key);
    Ref level = Ref::borrow(self), head;
    while (path.split(head)) {
        Ref target = lookup(st, level, head);
        if (!target) {
            target = new_kelvor(st);
            base_set(level, head, target);
        } else if (!is_kelvor(st, target)) {
            raise_conflict(head);
        }
        if (!exactly_kelvor(st, target)) {
            check(PyObject_SetItem(target, path.rest(), value));
            return;
        }
        level = target;
    }
    Ref last = path.rest();
    if (is_kelvor(st, value)) {
        Ref existing = lookup(st, level, last);
        if (existing && !is_kelvor(st, existing)) raise_conflict(last);
    }
    base_set(level, last, value);
}

// __setitem__: a TclX keyed-list object is parsed first.
void set_item(State& st, PyObject* self, PyObject* key, PyObject* value) {
    if (!is_tcl_keyed_list(st, value)) return store(st, self, key, value);
    Ref parsed = try_from_tcl(st, value);
    if (!parsed) rethrow();
    store(st, self, key, parsed);
}

// target[key] = value, on a keyed list met on the way.
void set_item_of(State& st, PyObject* target, PyObject* key, PyObject* value) {
    if (exactly_kelvor(st, target))
        set_item(st, target, key, value);
    else
        check(PyObject_SetItem(target, key, value));
}

// __delitem__: a level that the deletion leaves empty goes too, so deleting
// the last leaf under a path removes every level the path emptied (but
// never the keyed list the deletion started on).  The levels are removed on
// the way back up, so this recurses, carrying the key's walk along.
void del_path(State& st, PyObject* self, KeyPath& path) {
    Ref head;
    if (!path.split(head)) return base_del(self, path.rest());
    RecursionGuard guard(" while deleting from a keyed list");
    Ref target = base_get(self, head);
    if (exactly_kelvor(st, target))
        del_path(st, target, path);
    else
        check(PyObject_DelItem(target, path.rest()));
    Ref after = base_get(self, head);
    if (!truthy(after)) base_del(self, head);
}

// __contains__: under a plain value, the value's own __contains__ answers,
// and its result is handed back as it comes.
Ref contains(State& st, PyObject* self, PyObject* key) {
    KeyPath path(st, key);
    Ref level = Ref::borrow(self), head;
    while (path.split(head)) {
        if (!base_contains(level, head)) return boolean(false);
        Ref value = base_get(level, head);
        if (!exactly_kelvor(st, value)) return call_method(value, st.names[n_contains], path.rest().get());
        level = value;
    }
    return boolean(base_contains(level, path.rest()));
}

// list(self.items())
Ref items_of(State& st, PyObject* self) {
    if (!exactly_kelvor(st, self)) return own(PySequence_List(call_method(self, st.names[n_items])));
    Ref items = own(PyList_New(0));
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(self, &position, &key, &value)) {
        Ref pair = tuple_of({key, value});
        check(PyList_Append(items, pair));
    }
    return items;
}

// all_keys / all_items: every leaf, depth first in insertion order, under
// its full dotted key.  Keys are built as prefix + key, the prefix being the
// path so far with its trailing "." (none at the top level).
void flatten(State& st, PyObject* self, PyObject* prefix, PyObject* out, bool with_values) {
    RecursionGuard guard(" while flattening a keyed list");
    Ref items = items_of(st, self);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        Ref key, value;  // a subclass's items() may give any pairs
        unpack_pair(PyList_GET_ITEM(items.get(), i), key, value);
        Ref full = prefix ? own(PyNumber_Add(prefix, key)) : key;
        if (!is_kelvor(st, value)) {
            Ref entry = with_values ? tuple_of({full.get(), value.get()}) : full;
            check(PyList_Append(out, entry));
            continue;
        }
        Ref nested_prefix = own(PyNumber_Add(full, st.names[n_dot]));
        if (exactly_kelvor(st, value)) {
            flatten(st, value, nested_prefix, out, with_values);
            continue;
        }
        // A subclass flattens itself; its entries get the prefix here.
        Ref entries = call_method(value, with_values ? st.names[n_all_items] : st.names[n_all_keys]);
        Ref iterator = own(PyObject_GetIter(entries));
        while (Ref entry = Ref::steal(PyIter_Next(iterator))) {
            if (with_values) {
                Ref subkey, subvalue;
                unpack_pair(entry, subkey, subvalue);
                Ref joined = own(PyNumber_Add(nested_prefix, subkey));
                check(PyList_Append(out, tuple_of({joined.get(), subvalue.get()})));
            } else {
                check(PyList_Append(out, own(PyNumber_Add(nested_prefix, entry))));
            }
        }
        if (PyErr_Occurred()) rethrow();
    }
}

Ref flattened(State& st, PyObject* self, bool with_values) {
    Ref out = own(PyList_New(0));
    flatten(st, self, nullptr, out, with_values);
    return out;
}

// update(other): a Kelvor merges leaf by leaf; anything else is stored item
// by item through MutableMapping.update, so a Kelvor among its values
// replaces what is there instead of merging with it.
void update_from(State& st, PyObject* self, PyObject* other) {
    if (!is_kelvor(st, other)) {
        Ref mutable_mapping = global_value(st.globals, st.names[n_MutableMapping]);
        Ref generic_update = getattr(mutable_mapping, st.names[n_update]);
        call(generic_update, self, other);
        return;
    }
    Ref leaves = exactly_kelvor(st, other) ? flattened(st, other, true) : call_method(other, st.names[n_all_items]);
    Ref iterator = own(PyObject_GetIter(leaves));
    while (Ref leaf = Ref::steal(PyIter_Next(iterator))) {
        Ref key, value;
        unpack_pair(leaf, key, value);
        set_item_of(st, self, key, value);
    }
    if (PyErr_Occurred()) rethrow();
}

// update(**kwargs): a Kelvor value merges into the keyed list under its key.
void update_keywords(State& st, PyObject* self, PyObject* kwargs) {
    Py_ssize_t position = 0;
    PyObject *borrowed_key, *borrowed_value;
    while (PyDict_Next(kwargs, &position, &borrowed_key, &borrowed_value)) {
        Ref key = Ref::borrow(borrowed_key), value = Ref::borrow(borrowed_value);
        if (!is_kelvor(st, value)) {
            set_item_of(st, self, key, value);
            continue;
        }
        Ref target = lookup(st, self, key);
        if (!target) {
            target = new_kelvor(st);
            set_item_of(st, self, key, target);
        } else if (!is_kelvor(st, target)) {
            raise_conflict(key);
        }
        if (exactly_kelvor(st, target))
            update_from(st, target, value);
        else
            call_method(target, st.names[n_update], value.get());
    }
}

// Kelvor.from_tcl(string): split the Tcl list into {key value} pairs with
// orvex.tcl.cast_list and build the keyed list from them.  A value that
// splits the same way is a nested keyed list; one that does not (a
// ValueError from the split or from the pairing) stays plain.
Ref try_from_tcl(State& st, PyObject* string) {
    RecursionGuard guard(" while parsing a keyed list");
    // import orvex.tcl (the package is not imported before a call needs it)
    Ref orvex = own(PyImport_ImportModuleLevelObject(st.names[n_orvex_tcl], nullptr, nullptr, nullptr, 0));
    Ref cast_list = getattr(getattr(orvex, st.names[n_tcl]), st.names[n_cast_list]);

    Ref elements = Ref::steal(PyObject_CallOneArg(cast_list, string));
    if (!elements) return elements;
    Ref iterator = own(PyObject_GetIter(elements));
    Ref pairs = own(PyList_New(0));
    while (Ref element = Ref::steal(PyIter_Next(iterator))) {
        Ref pair = Ref::steal(PyObject_CallOneArg(cast_list, element));
        if (!pair) return pair;
        check(PyList_Append(pairs, pair));
    }
    if (PyErr_Occurred()) rethrow();

    // dict(pairs): a later duplicate key keeps the first one's place.
    Ref dsc = own(PyDict_New());
    if (PyDict_MergeFromSeq2(dsc, pairs, 1) < 0) return {};
    Py_ssize_t position = 0;
    PyObject *borrowed_key, *borrowed_value;
    while (PyDict_Next(dsc, &position, &borrowed_key, &borrowed_value)) {
        if (is_kelvor(st, borrowed_value)) continue;
        Ref key = Ref::borrow(borrowed_key), value = Ref::borrow(borrowed_value);
        Ref nested = try_from_tcl(st, value);
        if (nested) {
            check(PyDict_SetItem(dsc, key, nested));
        } else {
            if (!error_matches(PyExc_ValueError)) rethrow();
            PyErr_Clear();
        }
    }
    Ref result = new_kelvor(st);
    update_from(st, result, dsc);
    return result;
}

// --- the methods ------------------------------------------------------------------

Signature init_sig{"__init__", {star("args"), starstar("kwargs")}};
Ref init(State& st, PyObject* self, const Args& args) {
    Ref no_args = own(PyTuple_New(0));
    check(PyDict_Type.tp_init(self, no_args, nullptr));
    // dict(*args, **kwargs); its failure is the everyday one of a nested
    // attempt below on a plain value, so it is reported without a throw.
    Ref dsc = Ref::steal(PyObject_Call(reinterpret_cast<PyObject*>(&PyDict_Type), args.varargs(), args.varkw()));
    if (!dsc) return dsc;
    // Every value the dict constructor takes (a mapping, pairs, an empty
    // iterable) becomes a nested keyed list, all the way down.
    Py_ssize_t position = 0;
    PyObject *borrowed_key, *borrowed_value;
    while (PyDict_Next(dsc, &position, &borrowed_key, &borrowed_value)) {
        if (is_kelvor(st, borrowed_value)) continue;
        Ref key = Ref::borrow(borrowed_key), value = Ref::borrow(borrowed_value);
        RecursionGuard guard(" while building a keyed list");
        Ref nested = Ref::steal(PyObject_CallOneArg(st.kelvor, value));
        if (nested) {
            check(PyDict_SetItem(dsc, key, nested));
        } else {
            if (!error_matches(PyExc_ValueError) && !error_matches(PyExc_TypeError)) rethrow();
            PyErr_Clear();
        }
    }
    // self.update(dsc)
    if (exactly_kelvor(st, self))
        update_from(st, self, dsc);
    else
        call_method(self, st.names[n_update], dsc.get());
    return none();
}

Signature from_tcl_sig{"from_tcl", {req("string")}};
Ref from_tcl_method(State& st, PyObject*, const Args& args) { return try_from_tcl(st, args[0]); }

Signature getitem_sig{"__getitem__", {req("key")}};
Ref getitem_method(State& st, PyObject* self, const Args& args) { return try_get_item(st, self, args[0]); }

Signature setitem_sig{"__setitem__", {req("key"), req("value")}};
Ref setitem_method(State& st, PyObject* self, const Args& args) {
    set_item(st, self, args[0], args[1]);
    return none();
}

Signature contains_sig{"__contains__", {req("key")}};
Ref contains_method(State& st, PyObject* self, const Args& args) { return contains(st, self, args[0]); }

Signature delitem_sig{"__delitem__", {req("key")}};
Ref delitem_method(State& st, PyObject* self, const Args& args) {
    KeyPath path(st, args[0]);
    del_path(st, self, path);
    return none();
}

Signature update_sig{"update", {star("args"), starstar("kwargs")}};
Ref update_method(State& st, PyObject* self, const Args& args) {
    Py_ssize_t given = PyTuple_GET_SIZE(args.varargs());
    if (given > 1)
        raise_format(PyExc_TypeError, "update() takes at most 1 positional arguments (%zd given)", given);
    if (given == 1) update_from(st, self, PyTuple_GET_ITEM(args.varargs(), 0));
    update_keywords(st, self, args.varkw());
    return none();
}

Signature all_keys_sig{"all_keys", {}};
Ref all_keys_method(State& st, PyObject* self, const Args&) { return flattened(st, self, false); }

Signature all_items_sig{"all_items", {}};
Ref all_items_method(State& st, PyObject* self, const Args&) { return flattened(st, self, true); }

Signature tclobj_sig{"__tclobj__", {}};
Ref tclobj_method(State& st, PyObject* self, const Args&) {
    Ref tclobj = global_value(st.globals, st.names[n_tclobj]);
    return call(tclobj, items_of(st, self).get());
}

// Kelvor's base must store items with dict's own operations, which the
// class calls directly (see base_get and the rest).
void require_dict_operations(PyObject* base) {
    if (!PyType_Check(base) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(base), &PyDict_Type))
        raise(PyExc_TypeError, "Kelvor's base class must be a dict type");
    for (const char* name : {"__init__", "__getitem__", "__setitem__", "__delitem__", "__contains__"}) {
        Ref own_operation = own(PyObject_GetAttrString(base, name));
        Ref dict_operation = own(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyDict_Type), name));
        if (own_operation.get() != dict_operation.get())
            raise_format(PyExc_TypeError, "Kelvor's base class must keep dict's own %s", name);
    }
}

const char* const kelvor_doc =
    "A TclX keyed list: a dict whose keys may be dotted paths.\n"
    "\n"
    "``kl['a.b'] = 1`` stores 1 under b in the keyed list held under a,\n"
    "creating that level when it is missing; reading, ``in``, ``get``, ``pop``\n"
    "and ``del`` walk the same paths, and deleting the last item of a level\n"
    "removes the level.  Nested keyed lists are Kelvor objects; a plain value\n"
    "and a keyed list never take each other's place through a path (KeyError).\n"
    "\n"
    "``Kelvor(...)`` takes what dict() takes and turns every value that dict()\n"
    "would take into a nested keyed list.  ``update`` merges a Kelvor leaf by\n"
    "leaf.  ``Kelvor.from_tcl(text)`` parses the Tcl form, and a Kelvor handed\n"
    "to Tcl (through tclobj or sorvan) becomes a list of {key value} pairs.";

void State::exec(PyObject* module) {
    names.fill(name_texts);
    one = integer(1);
    split_memo = own(PyDict_New());

    Ref attr_dict = import_from("orvex.datastructures", "AttrDict");
    Ref mutable_mapping = import_from("collections.abc", "MutableMapping");
    Ref tcl_obj = import_from("_tkinter", "Tcl_Obj");
    Ref tclobj = import_from("orvex.tcl.sorvan", "tclobj");
    add(module, "AttrDict", attr_dict);
    add(module, "MutableMapping", mutable_mapping);
    add(module, "Tcl_Obj", tcl_obj);
    add(module, "tclobj", tclobj);
    require_dict_operations(attr_dict);

    ClassBuilder builder(module, "Kelvor", {attr_dict.get(), mutable_mapping.get()}, kelvor_doc);
    builder.method<init_sig, init>("__init__", "Build from what dict() takes; see the class.")
        .staticmethod<from_tcl_sig, from_tcl_method>(
            "from_tcl", "A new Kelvor parsed from a Tcl keyed list (text or Tcl_Obj).")
        .method<getitem_sig, getitem_method>("__getitem__", "self[key]")
        .method<setitem_sig, setitem_method>("__setitem__", "self[key] = value")
        .method<contains_sig, contains_method>("__contains__", "key in self")
        .method<delitem_sig, delitem_method>("__delitem__", "del self[key]")
        .attr("get", getattr(mutable_mapping, Ref(text("get"))))
        .attr("pop", getattr(mutable_mapping, Ref(text("pop"))))
        .attr("setdefault", getattr(mutable_mapping, Ref(text("setdefault"))))
        .method<update_sig, update_method>(
            "update",
            "Store the items of one mapping (or iterable of pairs) and of the keywords.\n"
            "A Kelvor, positional or as a keyword value, merges leaf by leaf.")
        .method<all_keys_sig, all_keys_method>("all_keys",
                                               "The full dotted key of every leaf, depth first.")
        .method<all_items_sig, all_items_method>(
            "all_items", "(full dotted key, value) of every leaf, depth first.")
        .alias("has_key", "__contains__")
        .method<tclobj_sig, tclobj_method>(
            "__tclobj__", "The keyed list as Tcl receives it: tclobj of its (key, value) pairs.");
    kelvor = builder.build();
    add(module, "Kelvor", kelvor);
    add(module, "__all__", Ref(tuple_of({Ref(text("Kelvor")).get()})));
    globals = Ref::borrow(PyModule_GetDict(module));
}

}  // namespace

PyMODINIT_FUNC PyInit_kelvor() { return module_init<State>(); }

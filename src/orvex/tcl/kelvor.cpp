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

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using namespace orvex::capi;

namespace {

// --- module state -------------------------------------------------------------

constexpr const char* name_texts[] = {
    ".", "split", "__contains__", "update", "items", "all_keys", "all_items", "typename",
    "cast_list", "tcl", "orvex.tcl", "keyedList", "MutableMapping", "Tcl_Obj", "tclobj",
    "__qualname__", "Interpreter", "default_interpreter", "tk", "__missing__",
};
enum : size_t {
    n_dot, n_split, n_contains, n_update, n_items, n_all_keys, n_all_items, n_typename,
    n_cast_list, n_tcl, n_orvex_tcl,
    n_keyed_list_type,  // the name TclX registers its keyed-list Tcl object type under
    n_MutableMapping, n_Tcl_Obj, n_tclobj,
    n_qualname, n_Interpreter, n_default_interpreter, n_tk, n_missing,
};

// Dotted str keys are split once and remembered: a program reads and writes
// the same paths over and over.  The memo is a table of a fixed number of
// slots, each remembering one key whose hash falls on it.  Nothing is ever
// emptied: a new key takes an empty slot, or replaces the key in its slot
// at every eighth such miss, so a working set larger than the table keeps
// most of what it holds instead of churning it, and a miss costs little
// more than the split itself.
//
// The components themselves are shared the same way, through a second
// table of the same kind keyed by their text: the many keys under one
// level carry that level's name as one object, which is also the key the
// level was stored under (a store builds levels from these components), so
// each level's lookup matches by identity instead of comparing text, and a
// key split anew allocates only the components not met lately.
class SplitMemo {
public:
    static constexpr size_t slot_count = 4096;
    static constexpr Py_ssize_t longest_key = 200;
    static constexpr Py_ssize_t longest_part = 64;

    // The components of `key`, an exact str holding ".".
    Ref components_of(PyObject* key) {
        Py_hash_t hash = PyObject_Hash(key);  // kept in the str after the first time
        if (hash == -1) rethrow();
        if (!slots_) slots_.reset(new Slot[slot_count]);
        Slot& slot = slots_[size_t(hash) % slot_count];
        if (slot.key.get() == key) return slot.components;
        if (slot.key && slot.hash == hash) {
            int equal = PyUnicode_Compare(slot.key, key);
            if (equal == -1 && PyErr_Occurred()) rethrow();
            if (equal == 0) {
                slot.key = Ref::borrow(key);  // the next time, known by identity
                return slot.components;
            }
        }
        Ref components = split(key);
        if (PyUnicode_GET_LENGTH(key) <= longest_key && (!slot.key || ++misses_ % 8 == 0)) {
            slot.key = Ref::borrow(key);
            slot.hash = hash;
            slot.components = components;
        }
        return components;
    }

    int traverse(visitproc visit, void* arg) const {
        if (slots_)
            for (size_t i = 0; i < slot_count; ++i)
                if (int r = visit_refs(visit, arg, slots_[i].key, slots_[i].components)) return r;
        if (parts_)
            for (size_t i = 0; i < slot_count; ++i)
                if (int r = visit_refs(visit, arg, parts_[i].text)) return r;
        return 0;
    }
    void clear() {
        slots_.reset();
        parts_.reset();
    }

private:
    // key.split('.') as a tuple of shared components.
    Ref split(PyObject* key) {
        int kind = PyUnicode_KIND(key);
        const void* data = PyUnicode_DATA(key);
        Py_ssize_t length = PyUnicode_GET_LENGTH(key);
        Py_ssize_t count = 1;
        for (Py_ssize_t i = 0; i < length; ++i) count += PyUnicode_READ(kind, data, i) == '.';
        Ref components = own(PyTuple_New(count));
        Py_ssize_t begin = 0, index = 0;
        for (Py_ssize_t i = 0; i <= length; ++i) {
            if (i < length && PyUnicode_READ(kind, data, i) != '.') continue;
            PyTuple_SET_ITEM(components.get(), index++, part(key, kind, data, begin, i).release());
            begin = i + 1;
        }
        return components;
    }

    // key[begin:end], the shared object when one with that text is at hand.
    Ref part(PyObject* key, int kind, const void* data, Py_ssize_t begin, Py_ssize_t end) {
        Py_ssize_t length = end - begin;
        if (length > longest_part) return own(PyUnicode_Substring(key, begin, end));
        size_t hash = size_t(length);
        for (Py_ssize_t i = begin; i < end; ++i) hash = (hash ^ PyUnicode_READ(kind, data, i)) * 0x100000001b3u;
        if (!parts_) parts_.reset(new Part[slot_count]);
        Part& held = parts_[(hash ^ (hash >> 29)) % slot_count];
        // The hash kept beside the text spares reading a text that differs.
        if (held.text && held.hash == hash && PyUnicode_GET_LENGTH(held.text.get()) == length) {
            int held_kind = PyUnicode_KIND(held.text.get());
            const void* held_data = PyUnicode_DATA(held.text.get());
            Py_ssize_t i = 0;
            while (i < length && PyUnicode_READ(held_kind, held_data, i) == PyUnicode_READ(kind, data, begin + i)) ++i;
            if (i == length) return held.text;
        }
        Ref made = own(PyUnicode_Substring(key, begin, end));
        if (!held.text || ++part_misses_ % 8 == 0) {
            held.text = made;
            held.hash = hash;
        }
        return made;
    }

    struct Slot {
        Ref key, components;
        Py_hash_t hash = 0;
    };
    struct Part {
        Ref text;
        size_t hash = 0;  // of the text, our own (it mixes in the length)
    };
    std::unique_ptr<Slot[]> slots_;
    std::unique_ptr<Part[]> parts_;
    unsigned misses_ = 0;       // misses on taken key slots
    unsigned part_misses_ = 0;  // and on taken component slots
};

struct State {
    static constexpr const char* module_name = "orvex.tcl.kelvor";
    static constexpr const char* module_doc =
        "TclX keyed lists as Python mappings with dotted keys: Kelvor.";

    Names<std::size(name_texts)> names;
    Ref one;          // the int 1, for key.split('.', 1)
    Ref kelvor;       // the class
    Ref globals;      // the module's __dict__: MutableMapping, Tcl_Obj and tclobj are read there
    Ref tcl_obj_type, tkapp_type;  // _tkinter's, for from_tcl's native split
    SplitMemo split_memo;

    // The class as built, without __missing__: a miss needs no KeyError.
    TypeCache built_without_missing;

    // from_tcl's native split is for the package's own casts only.
    GlobalsWatch watch;                   // orvex.tcl's globals, once from_tcl ran
    Held casts;                           // its cast functions, pinned
    PyObject* casts_dict = nullptr;       // the globals they are pinned in (compared only)
    Ref watched_dict;                     // the globals watched
    TypeCache interpreter_class;          // its Interpreter class, unchanged
    TypeCache own_cast_list, tk_attr;     // an interpreter's cast_list and tk, per class

    PyTypeObject* kelvor_type() const { return reinterpret_cast<PyTypeObject*>(kelvor.get()); }

    void exec(PyObject* module);
    int traverse(visitproc visit, void* arg) {
        if (int r = visit_refs(visit, arg, kelvor, globals, tcl_obj_type, tkapp_type, watched_dict)) return r;
        if (int r = split_memo.traverse(visit, arg)) return r;
        if (int r = tk_attr.traverse(visit, arg)) return r;
        return casts.traverse(visit, arg);
    }
    void clear() {
        watch.stop();
        casts.clear();
        casts_dict = nullptr;
        clear_refs(one, kelvor, globals, tcl_obj_type, tkapp_type, watched_dict);
        names.clear();
        built_without_missing.clear();
        interpreter_class.clear();
        own_cast_list.clear();
        tk_attr.clear();
        split_memo.clear();
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

// A key walked one component at a time, as `'.' in rest` and, when true,
// `head, rest = rest.split('.', 1)` repeated.  A str key is split all at
// once (the same components, see SplitMemo) and the rest is made into a string
// only when it is handed on; any other key goes through those Python
// operations themselves, so a key that cannot be searched (an int) raises
// TypeError just as `in` does.
class KeyPath {
public:
    KeyPath(State& st, PyObject* key)
        : st_(st), key_(Ref::borrow(key)), is_text_(PyUnicode_CheckExact(key)) {}

    // Split off the next component into `head`; false when no "." is left.
    bool split(Ref& head) {
        if (!is_text_) return split_object(head);
        if (!components_) {
            Py_ssize_t dot = PyUnicode_FindChar(key_, '.', 0, PyUnicode_GET_LENGTH(key_.get()), 1);
            if (dot == -2) rethrow();
            if (dot < 0) return false;
            components_ = st_.split_memo.components_of(key_);
        }
        if (index_ + 1 >= PyTuple_GET_SIZE(components_.get())) return false;
        head = Ref::borrow(PyTuple_GET_ITEM(components_.get(), index_));
        start_ += PyUnicode_GET_LENGTH(head.get()) + 1;
        ++index_;
        head_in_place_ = true;
        return true;
    }

    // What has not been split off (the key itself before the first split).
    Ref rest() const {
        if (!components_ || index_ == 0) return key_;
        if (index_ + 1 == PyTuple_GET_SIZE(components_.get()))
            return Ref::borrow(PyTuple_GET_ITEM(components_.get(), index_));
        return own(PyUnicode_Substring(key_, start_, PyUnicode_GET_LENGTH(key_.get())));
    }

    // Whether the last head was split off a str (so it is a str without
    // "."), and whether the rest is such a str once split() said no.
    bool head_in_place() const { return head_in_place_; }
    bool rest_in_place() const { return is_text_; }

private:
    bool split_object(Ref& head) {
        PyObject* dot = st_.names[n_dot];
        if (!check(PySequence_Contains(key_, dot))) return false;
        Ref parts = call_method(key_, st_.names[n_split], dot, st_.one.get());
        unpack_pair(parts, head, key_);
        is_text_ = PyUnicode_CheckExact(key_.get());  // str.split gives plain str
        head_in_place_ = false;
        return true;
    }

    State& st_;
    Ref key_;                // the key, or what is left of a non-str key
    Ref components_;         // a str key's components, once it is known to hold "."
    Py_ssize_t index_ = 0;   // components split off so far
    Py_ssize_t start_ = 0;   // where the rest begins in the key
    bool is_text_;
    bool head_in_place_ = false;
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

// level[component] for a component without ".", or <empty> when missing.
// On a plain Kelvor that is the base lookup, and while the class (and its
// bases) stay as built, without __missing__, a miss is no KeyError to make
// and clear: the dict is asked directly.
Ref lookup_component(State& st, PyObject* level, PyObject* component) {
    if (!exactly_kelvor(st, level) || !st.built_without_missing.unchanged(Py_TYPE(level)))
        return lookup(st, level, component);
    PyObject* found = PyDict_GetItemWithError(level, component);
    if (found == nullptr && PyErr_Occurred()) rethrow();
    return Ref::borrow(found);
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
        Ref target = path.head_in_place() ? lookup_component(st, level, head) : lookup(st, level, head);
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
        Ref existing = path.rest_in_place() ? lookup_component(st, level, last) : lookup(st, level, last);
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
        // The base membership test, then the base lookup of what it found.
        Ref value = Ref::borrow(PyDict_GetItemWithError(level, head));
        if (!value) {
            if (PyErr_Occurred()) rethrow();
            return boolean(false);
        }
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

// --- Kelvor.from_tcl ----------------------------------------------------------------
//
// from_tcl(string) splits the Tcl list into {key value} pairs with
// orvex.tcl.cast_list and builds the keyed list from them.  A value that
// splits the same way is a nested keyed list; one that does not (a
// ValueError from the split or from the pairing) stays plain.
//
// While orvex.tcl.cast_list and what it calls are the package's own (see
// framework_casts), the split is done here instead, on the text the value
// has in Tcl, by Tcl's list rules: each element's text is exactly what
// lindex gives, and a Tcl_Obj is only read (its Tcl type stays as it is).
// Each level's text is a span of that one string, so nothing is split
// twice and no exception marks a plain value.  Whatever the native split
// does not answer exactly - a backslash substitution, a malformed list at
// the top (Tcl's own error message), a duplicate key - gives the whole call
// to the package's casts.

// The native split cannot answer exactly: the package's casts take over.
struct NeedsCasts {};

// Tcl's list separators: space, \t, \n, \v, \f, \r.
template <typename Ch>
bool tcl_space(Ch c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

struct Span {
    Py_ssize_t begin, end;
};

// The spans of one level: most levels are small, and are kept inline.
class Spans {
public:
    void push_back(Span span) {
        if (size_ < inline_count)
            inline_[size_] = span;
        else
            spill_.push_back(span);
        ++size_;
    }
    Span operator[](size_t i) const { return i < inline_count ? inline_[i] : spill_[i - inline_count]; }
    size_t size() const { return size_; }

private:
    static constexpr size_t inline_count = 16;
    Span inline_[inline_count];
    std::vector<Span> spill_;
    size_t size_ = 0;
};

// A keyed list's text, with its braces matched once.
//
// A braced element ends at the brace that brings the count of open braces
// back to zero (a backslash hides the character after it).  Counting from
// an element's open brace finds the same brace as matching every brace of
// the enclosing top-level element with a stack, so one stack pass over each
// top-level element records where every open brace inside it closes, and
// the levels below jump over their braced elements instead of counting
// through them again: each character is looked at a fixed number of times
// whatever the depth.
template <typename Ch>
class ListText {
public:
    static constexpr uint32_t unmatched = UINT32_MAX;

    ListText(const Ch* s, Py_ssize_t length) : s_(s) {
        if (length >= Py_ssize_t(unmatched)) throw NeedsCasts{};
        close_.reset(new uint32_t[size_t(length) + 1]);
    }

    // Match the braces of a top-level element's text.
    void match_braces(Span span) {
        stack_.clear();
        for (Py_ssize_t q = span.begin; q < span.end; ++q) {
            Ch c = s_[q];
            if (c == '\\') {
                ++q;
            } else if (c == '{') {
                stack_.push_back(uint32_t(q));
            } else if (c == '}' && !stack_.empty()) {
                close_[stack_.back()] = uint32_t(q);
                stack_.pop_back();
            }
        }
        for (uint32_t open : stack_) close_[open] = unmatched;
    }

    // The elements of the list text [p, end), handed to `emit` as the spans
    // of their texts until emit returns false.  False when the text is no
    // well-formed list.  Braced elements are verbatim; a backslash anywhere
    // else would need substituting, so it throws NeedsCasts.  `counting`:
    // the braces of this text are not matched yet (the top level).
    template <typename Emit>
    bool split(Py_ssize_t p, Py_ssize_t end, bool counting, Emit emit) const {
        const Ch* s = s_;
        for (;;) {
            while (p < end && tcl_space(s[p])) ++p;
            if (p >= end) return true;
            Span element;
            if (s[p] == '{') {
                Py_ssize_t q = counting ? count_to_close(p, end) : Py_ssize_t(close_[p]);
                if (q == Py_ssize_t(unmatched)) return false;  // unmatched open brace
                element = {p + 1, q};
                p = q + 1;
            } else if (s[p] == '"') {
                Py_ssize_t q = p + 1;
                for (; q < end && s[q] != '"'; ++q)
                    if (s[q] == '\\') throw NeedsCasts{};
                if (q >= end) return false;  // unmatched open quote
                element = {p + 1, q};
                p = q + 1;
            } else {
                Py_ssize_t q = p;
                for (; q < end && !tcl_space(s[q]); ++q)
                    if (s[q] == '\\') throw NeedsCasts{};
                element = {p, q};
                p = q;
            }
            if (p < end && !tcl_space(s[p])) return false;  // a closing brace or quote runs on
            if (!emit(element)) return true;
        }
    }

    // The key and value spans of every element of [whole], each element
    // being a list of exactly two items; false when the text is no such list.
    bool pairs(Span whole, bool top, Spans& items) {
        bool no_pair = false;
        auto pair_of = [&](Span element) {
            Span pair[3];
            int count = 0;
            bool formed = split(element.begin, element.end, false, [&](Span item) {
                pair[count++] = item;
                return count < 3;  // a third item settles it
            });
            if (!formed || count != 2) {
                no_pair = true;
                return false;
            }
            items.push_back(pair[0]);
            items.push_back(pair[1]);
            return true;
        };
        if (!top) return split(whole.begin, whole.end, false, pair_of) && !no_pair;
        std::vector<Span> elements;
        if (!split(whole.begin, whole.end, true, [&](Span element) {
                elements.push_back(element);
                return true;
            }))
            return false;
        for (Span element : elements) {
            match_braces(element);
            if (!pair_of(element)) return false;
        }
        return true;
    }

    bool same_text(Span a, Span b) const {
        Py_ssize_t length = a.end - a.begin;
        return length == b.end - b.begin &&
               std::equal(s_ + a.begin, s_ + a.end, s_ + b.begin);
    }

    bool has_dot(Span span) const { return std::find(s_ + span.begin, s_ + span.end, Ch('.')) != s_ + span.end; }

    // Whether [span] is one bare word: no separator, brace, quote or
    // backslash.  Such a text is a list of itself alone, so no keyed list.
    bool bare_word(Span span) const {
        if (span.begin == span.end) return false;  // the empty list: an empty keyed list
        return std::none_of(s_ + span.begin, s_ + span.end, [](Ch c) {
            return tcl_space(c) || c == '{' || c == '"' || c == '\\';
        });
    }

    const Ch* chars() const { return s_; }

private:
    Py_ssize_t count_to_close(Py_ssize_t p, Py_ssize_t end) const {
        int depth = 1;
        for (Py_ssize_t q = p + 1; q < end; ++q) {
            Ch c = s_[q];
            if (c == '\\')
                ++q;  // the escaped character counts for no brace
            else if (c == '{')
                ++depth;
            else if (c == '}' && --depth == 0)
                return q;
        }
        return Py_ssize_t(unmatched);
    }

    const Ch* s_;
    std::unique_ptr<uint32_t[]> close_;  // set for the open braces inside top-level elements
    std::vector<uint32_t> stack_;
};

// The keys of one parse, each text made into a str once: nested keyed
// lists repeat the same few key names at every level, and a shared key
// also spares the allocation, the hash and the freeing of a copy.  A small
// table of recent short keys, found by the text's own hash; a text that
// is not there is made anew and takes the slot.
template <typename Ch>
class SharedKeys {
public:
    SharedKeys(PyObject* text, const ListText<Ch>& list) : text_(text), list_(list) {}

    Ref key(Span span) {
        Py_ssize_t length = span.end - span.begin;
        if (length > longest_key) return own(PyUnicode_Substring(text_, span.begin, span.end));
        size_t hash = size_t(length);
        for (const Ch *c = list_.chars() + span.begin, *end = list_.chars() + span.end; c != end; ++c)
            hash = (hash ^ size_t(*c)) * 0x100000001b3u;
        Slot& slot = slots_[(hash ^ (hash >> 29)) % slot_count];
        if (slot.key && list_.same_text(slot.span, span)) return slot.key;
        slot.key = own(PyUnicode_Substring(text_, span.begin, span.end));
        slot.span = span;
        return slot.key;
    }

private:
    static constexpr size_t slot_count = 64;
    static constexpr Py_ssize_t longest_key = 32;
    struct Slot {
        Ref key;
        Span span;
    };
    PyObject* text_;
    const ListText<Ch>& list_;
    Slot slots_[slot_count];
};

// The keyed list in [whole] of `list`, or <empty> when that text is no
// keyed list (nested levels only: at the top that throws NeedsCasts, for
// the package's own error).  `text` is the str the list text is of.
template <typename Ch>
Ref parse_keyed(State& st, PyObject* text, ListText<Ch>& list, SharedKeys<Ch>& keys, Span whole, bool top) {
    RecursionGuard guard(" while parsing a keyed list");
    Spans items;  // key, value, key, value, ...
    if (!list.pairs(whole, top, items)) {
        if (top) throw NeedsCasts{};
        return {};
    }

    // dict(pairs) places the keys, then their values are converted in that
    // order.  A duplicate key (first place, last value, whose conversion
    // order the package's way fixes) is left to the package's casts.  A
    // small level is checked for duplicates by text, and each pair goes in
    // once; a larger one gets its keys in first.
    size_t count = items.size() / 2;
    Ref level = new_kelvor(st);
    bool dotted = false;
    auto make_key = [&](size_t i) {
        Span span = items[2 * i];
        dotted = dotted || list.has_dot(span);
        return keys.key(span);
    };
    auto make_value = [&](size_t i) {
        Span span = items[2 * i + 1];
        if (list.bare_word(span)) return own(PyUnicode_Substring(text, span.begin, span.end));
        Ref value = parse_keyed(st, text, list, keys, span, false);
        return value ? value : own(PyUnicode_Substring(text, span.begin, span.end));
    };
    constexpr size_t small = 8;
    if (count <= small) {
        for (size_t i = 0; i < count; ++i)
            for (size_t j = i + 1; j < count; ++j)
                if (list.same_text(items[2 * i], items[2 * j])) throw NeedsCasts{};
        // With no duplicate, each pair's place is its own: key and value
        // go in together.
        for (size_t i = 0; i < count; ++i) {
            Ref key = make_key(i);
            check(PyDict_SetItem(level, key, make_value(i)));
        }
    } else {
        for (size_t i = 0; i < count; ++i) check(PyDict_SetItem(level, make_key(i), Py_None));
        if (size_t(PyDict_GET_SIZE(level.get())) != count) throw NeedsCasts{};
        // Keys are unique, so the i-th entry is the i-th pair; replacing a
        // value keeps its key's place.
        Py_ssize_t position = 0;
        PyObject* key;
        for (size_t i = 0; PyDict_Next(level, &position, &key, nullptr); ++i) {
            Ref held_key = Ref::borrow(key);
            check(PyDict_SetItem(level, held_key, make_value(i)));
        }
    }
    if (!dotted) return level;
    // Dotted keys build nesting (and may meet a plain value): stored one by
    // one, as Kelvor().update(pairs) stores them.
    Ref result = new_kelvor(st);
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(level, &position, &key, &value)) {
        Ref held_key = Ref::borrow(key), held_value = Ref::borrow(value);
        store(st, result, held_key, held_value);
    }
    return result;
}

// The cyclic collector, paused while a keyed list is built natively: it
// would only walk the levels made so far again and again, and none of them
// can be garbage (each hangs off the result, and no Python code runs until
// the build is done).  Objects freed before it resumes are no work for it.
class CollectorPaused {
public:
    CollectorPaused() : was_enabled_(PyGC_Disable()) {}
    ~CollectorPaused() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPaused(const CollectorPaused&) = delete;
    CollectorPaused& operator=(const CollectorPaused&) = delete;

private:
    int was_enabled_;
};

template <typename Ch>
Ref parse_keyed_text(State& st, PyObject* text) {
    CollectorPaused paused;
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    ListText<Ch> list(static_cast<const Ch*>(PyUnicode_DATA(text)), length);
    SharedKeys<Ch> keys(text, list);
    return parse_keyed(st, text, list, keys, Span{0, length}, true);
}

// The package's own casts, recognised: orvex.tcl.cast_list, the functions
// it calls and the class whose cast_list it calls are all still the ones
// the package defined (functions whose globals are the package's and whose
// qualified names are theirs).  The answer is kept with the package
// globals pinned, so it costs one comparison until they change; a changed
// Interpreter class shows in its version tag.
constexpr const char* package_functions[] = {"cast_list", "default_interpreter", "_split_list"};
constexpr const char* package_helpers[] = {"_split_text"};  // pinned when the package has them

bool defined_by_package(State& st, PyObject* obj, PyObject* package_dict, const std::string& qualname) {
    if (!PyFunction_Check(obj) || PyFunction_GetGlobals(obj) != package_dict) return false;
    Ref name = getattr(obj, st.names[n_qualname]);
    return PyUnicode_Check(name.get()) && PyUnicode_CompareWithASCIIString(name, qualname.c_str()) == 0;
}

bool framework_casts(State& st, PyObject* package_dict) {
    if (st.casts_dict == package_dict && st.casts.holds(st.watch)) return true;
    st.casts.clear();
    st.casts_dict = nullptr;
    st.watch.start();
    if (st.watched_dict.get() != package_dict) {
        st.watch.add(package_dict);
        st.watched_dict = Ref::borrow(package_dict);
    }
    for (const char* name : package_functions) {
        Ref key = text(name);
        PyObject* function = PyDict_GetItemWithError(package_dict, key);
        if (function == nullptr) {
            if (PyErr_Occurred()) rethrow();
            return false;
        }
        if (!defined_by_package(st, function, package_dict, name)) return false;
        st.casts.pin(package_dict, key, function);
    }
    for (const char* name : package_helpers) {
        Ref key = text(name);
        PyObject* function = PyDict_GetItemWithError(package_dict, key);
        if (function == nullptr && PyErr_Occurred()) rethrow();
        if (function == nullptr) continue;
        if (!defined_by_package(st, function, package_dict, name)) return false;
        st.casts.pin(package_dict, key, function);
    }
    PyObject* cls = PyDict_GetItemWithError(package_dict, st.names[n_Interpreter]);
    if (cls == nullptr) {
        if (PyErr_Occurred()) rethrow();
        return false;
    }
    if (!PyType_Check(cls)) return false;
    PyObject* method = cpython::type_lookup(reinterpret_cast<PyTypeObject*>(cls), st.names[n_cast_list]);
    if (method == nullptr || !defined_by_package(st, method, package_dict, "Interpreter.cast_list"))
        return false;
    st.casts.pin(package_dict, st.names[n_Interpreter], cls);
    st.interpreter_class.remember(cls);
    st.casts_dict = package_dict;
    return st.casts.holds(st.watch);
}

// The interpreter the package's cast_list would split with, when it splits
// the package's own way: an Interpreter exactly, its class unchanged, its
// cast_list not replaced on the instance and its tk a tkinter application.
bool splits_natively(State& st, PyObject* interp) {
    PyTypeObject* type = Py_TYPE(interp);
    if (!st.interpreter_class.unchanged(type)) return false;
    PyObject* name = st.names[n_cast_list];
    if (!own_method_found(st.own_cast_list, name, cpython::type_lookup(type, name), interp))
        return false;
    Ref tk;
    try {
        tk = instance_attr(st.tk_attr, st.names[n_tk], interp);
    } catch (const PyError&) {
        if (!error_matches(PyExc_AttributeError)) throw;
        PyErr_Clear();
        return false;
    }
    return PyObject_TypeCheck(tk, reinterpret_cast<PyTypeObject*>(st.tkapp_type.get()));
}

Ref native_from_tcl(State& st, PyObject* text) {
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: return parse_keyed_text<Py_UCS1>(st, text);
        case PyUnicode_2BYTE_KIND: return parse_keyed_text<Py_UCS2>(st, text);
        default: return parse_keyed_text<Py_UCS4>(st, text);
    }
}

// The package's way, step by step.  Returns <empty> with no exception set
// for a nested value that is no keyed list: a pair of the wrong length is
// seen before the dict constructor would raise (and format) a ValueError
// for it.
Ref from_tcl_with(State& st, PyObject* cast_list, PyObject* string, bool top) {
    RecursionGuard guard(" while parsing a keyed list");
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
    // The first pair dict() would refuse with a ValueError, when every pair
    // before it is a list or tuple of a str key and a value.
    for (Py_ssize_t i = 0; !top && i < PyList_GET_SIZE(pairs.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(pairs.get(), i);
        if (!PyList_CheckExact(pair) && !PyTuple_CheckExact(pair)) break;
        if (PySequence_Fast_GET_SIZE(pair) != 2) return {};
        if (!PyUnicode_CheckExact(PySequence_Fast_ITEMS(pair)[0])) break;
    }

    // dict(pairs): a later duplicate key keeps the first one's place.
    Ref dsc = own(PyDict_New());
    if (PyDict_MergeFromSeq2(dsc, pairs, 1) < 0) return {};
    Py_ssize_t position = 0;
    PyObject *borrowed_key, *borrowed_value;
    while (PyDict_Next(dsc, &position, &borrowed_key, &borrowed_value)) {
        if (is_kelvor(st, borrowed_value)) continue;
        Ref key = Ref::borrow(borrowed_key), value = Ref::borrow(borrowed_value);
        Ref nested = from_tcl_with(st, cast_list, value, false);
        if (nested) {
            check(PyDict_SetItem(dsc, key, nested));
        } else if (PyErr_Occurred()) {
            if (!error_matches(PyExc_ValueError)) rethrow();
            PyErr_Clear();
        }
    }
    Ref result = new_kelvor(st);
    update_from(st, result, dsc);
    return result;
}

Ref try_from_tcl(State& st, PyObject* string) {
    // import orvex.tcl (the package is not imported before a call needs it)
    Ref package = Ref::steal(PyImport_GetModule(st.names[n_orvex_tcl]));
    if (!package) {
        if (PyErr_Occurred()) rethrow();
        package = own(PyImport_Import(st.names[n_orvex_tcl]));
    }
    bool native_input = PyUnicode_CheckExact(string) || Py_IS_TYPE(string, reinterpret_cast<PyTypeObject*>(st.tcl_obj_type.get()));
    if (native_input && PyModule_CheckExact(package.get()) && framework_casts(st, PyModule_GetDict(package))) {
        // The package's cast_list makes the default interpreter on first use.
        Ref make_default = global_value(PyModule_GetDict(package), st.names[n_default_interpreter]);
        Ref interp = own(PyObject_CallNoArgs(make_default));
        if (splits_natively(st, interp)) {
            Ref text = PyUnicode_CheckExact(string) ? Ref::borrow(string) : own(PyObject_Str(string));
            try {
                return native_from_tcl(st, text);
            } catch (const NeedsCasts&) {
            }
        }
    }
    Ref cast_list = getattr(package, st.names[n_cast_list]);
    return from_tcl_with(st, cast_list, string, true);
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
    if (cpython::type_lookup(kelvor_type(), names[n_missing]) == nullptr) built_without_missing.remember(kelvor);
    tcl_obj_type = tcl_obj;
    tkapp_type = import_from("_tkinter", "TkappType");
    add(module, "Kelvor", kelvor);
    add(module, "__all__", Ref(tuple_of({Ref(text("Kelvor")).get()})));
    globals = Ref::borrow(PyModule_GetDict(module));
}

}  // namespace

PyMODINIT_FUNC PyInit_kelvor() { return module_init<State>(); }

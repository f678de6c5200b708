// "These globals still hold these objects", answered with one comparison.
//
// Python functions read their module's globals when they run, so
// `module.name = other` changes what the next call does; our C++ functions
// keep that rule.  A fast path that calls the module's own function
// directly, or tests types by the module's own classes, is only right while
// the names still hold those objects.  A `Held` group pins names to the
// objects they held when the module was made, and answers whether they all
// still do; it looks in the dicts again only after a watched dict changed.
//
//     GlobalsWatch watch;                 // in the state: one dict watcher
//     Held quoting;                       // in the state
//     watch.start(); watch.add(dict);     // in exec
//     quoting.pin(dict, st.names[n_sorvan], sorvan_function);
//     if (st.quoting.holds(st.watch)) ...fast path...
//
// The watcher is a dict watcher of the current interpreter (dict watchers
// are per interpreter), registered when the state is made and cleared with
// it; every dict it watches is unwatched then too.  The watcher callback
// finds the watches by dict pointer in a list of C++ objects; under the
// shared GIL the modules declare, no lock is needed.
#pragma once

#include "ref.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace orvex::capi {

class GlobalsWatch {
public:
    GlobalsWatch() = default;
    GlobalsWatch(const GlobalsWatch&) = delete;
    GlobalsWatch& operator=(const GlobalsWatch&) = delete;
    ~GlobalsWatch() { stop(); }

    // Register the dict watcher (in the current interpreter).
    void start() {
        if (watcher_ >= 0) return;
        watcher_ = PyDict_AddWatcher(&on_change);
        if (watcher_ < 0) throw PyError{};
        live().push_back(this);
    }

    // Watch one more dict (a module's __dict__, builtins): borrowed, and
    // forgotten when the dict goes away.
    void add(PyObject* dict) {
        check(PyDict_Watch(watcher_, dict));
        dicts_.push_back(dict);
        ++generation_;
    }

    // Unwatch everything and give the watcher back (m_clear / m_free).
    // Never fails: it runs from m_clear and m_free, possibly while an
    // exception is pending or after the interpreter dropped its watchers.
    void stop() {
        if (watcher_ < 0) return;
        PyObject* pending = PyErr_GetRaisedException();
        for (PyObject* dict : dicts_) PyDict_Unwatch(watcher_, dict);
        dicts_.clear();
        PyDict_ClearWatcher(watcher_);
        PyErr_Clear();
        PyErr_SetRaisedException(pending);
        watcher_ = -1;
        auto& all = live();
        all.erase(std::remove(all.begin(), all.end(), this), all.end());
        ++generation_;
    }

    // Changes with every change of a watched dict.
    std::uint64_t generation() const { return generation_; }

private:
    // The watches alive in this process, all interpreters: C++ objects only.
    static std::vector<GlobalsWatch*>& live() {
        static std::vector<GlobalsWatch*> watches;
        return watches;
    }

    static int on_change(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) {
        for (GlobalsWatch* watch : live()) {
            auto& dicts = watch->dicts_;
            auto found = std::find(dicts.begin(), dicts.end(), dict);
            if (found == dicts.end()) continue;
            ++watch->generation_;
            if (event == PyDict_EVENT_DEALLOCATED) dicts.erase(found);
        }
        return 0;
    }

    int watcher_ = -1;
    std::vector<PyObject*> dicts_;  // compared only; never dereferenced after they go
    std::uint64_t generation_ = 1;
};

// A group of module globals pinned to the objects they must hold.
class Held {
public:
    // dict[name] must stay `value` (a missing name does not hold it).
    void pin(PyObject* dict, PyObject* name, PyObject* value) {
        pins_.push_back({Ref::borrow(dict), Ref::borrow(name), Ref::borrow(value)});
        seen_ = 0;
    }

    // True while every pinned name holds its object; one comparison while
    // no watched dict has changed.
    bool holds(const GlobalsWatch& watch) {
        if (seen_ != watch.generation()) {
            holding_ = look(watch);
            seen_ = watch.generation();
        }
        return holding_;
    }

    int traverse(visitproc visit, void* arg) const {
        for (const Pin& pin : pins_) {
            Py_VISIT(pin.dict.get());
            Py_VISIT(pin.value.get());
        }
        return 0;
    }
    void clear() {
        pins_.clear();
        holding_ = false;
        seen_ = 0;
    }

private:
    struct Pin {
        Ref dict, name, value;
    };

    bool look(const GlobalsWatch&) const {
        for (const Pin& pin : pins_) {
            PyObject* now = PyDict_GetItemWithError(pin.dict, pin.name);
            if (now == nullptr && PyErr_Occurred()) throw PyError{};
            if (now != pin.value.get()) return false;
        }
        return !pins_.empty();
    }

    std::vector<Pin> pins_;
    std::uint64_t seen_ = 0;
    bool holding_ = false;
};

// The current value of a module global (a new reference); NameError when
// it is gone, as Python code reading it would raise.
inline Ref global_value(PyObject* dict, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (value == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw PyError{};
    }
    return Ref::borrow(value);
}

}  // namespace orvex::capi

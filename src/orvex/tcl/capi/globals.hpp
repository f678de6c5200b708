// Module globals looked up at call time, cheaply.
//
// Python functions read their module's globals when they run, so assigning
// `module.name = other` changes what the next call does.  Our C++ functions
// keep that rule.  A dict watcher (PyDict_AddWatcher) bumps the module's
// generation number whenever its __dict__ changes; a `Global` remembers the
// object it found and the generation it found it in, and only looks in the
// dict again after a change.  The untouched module thus pays one integer
// comparison per lookup, and code can test `global.is(original)` to take a
// direct C++ path while a name still holds the module's own function.
#pragma once

#include "names.hpp"

#include <cstdint>
#include <vector>

namespace orvex::capi {

class ModuleGlobals {
public:
    // Start watching the module's __dict__.
    void watch(PyObject* module) {
        dict_ = PyModule_GetDict(module);  // borrowed; lives as long as the module
        if (watcher_id() < 0) throw PyError{};
        check(PyDict_Watch(watcher_id(), dict_));
        registry().push_back(this);
        ++generation_;
    }

    PyObject* dict() const { return dict_; }
    std::uint64_t generation() const { return generation_; }

private:
    static std::vector<ModuleGlobals*>& registry() {
        static std::vector<ModuleGlobals*> watched;
        return watched;
    }
    static int on_change(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) {
        for (ModuleGlobals* globals : registry())
            if (globals->dict_ == dict) ++globals->generation_;
        return 0;
    }
    static int watcher_id() {
        static int id = PyDict_AddWatcher(&on_change);
        return id;
    }

    PyObject* dict_ = nullptr;
    std::uint64_t generation_ = 1;
};

// One module-level name, e.g.  static Global g_sorvan{globals, "sorvan"};
class Global {
public:
    Global(ModuleGlobals& globals, const char* name) : globals_(globals), name_(name) {}

    // The current value (a new reference); NameError when the name is gone.
    Ref get() { return Ref::borrow(lookup()); }

    // True while the name still refers to `original` (no reference taken).
    bool is(PyObject* original) { return lookup() == original; }

private:
    PyObject* lookup() {
        if (seen_ != globals_.generation()) {
            PyObject* value = PyDict_GetItemWithError(globals_.dict(), name_.get());
            if (value == nullptr) {
                if (!PyErr_Occurred())
                    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name_.text());
                throw PyError{};
            }
            cached_ = value;  // borrowed: the dict holds it until the next change
            seen_ = globals_.generation();
        }
        return cached_;
    }

    ModuleGlobals& globals_;
    Name name_;
    PyObject* cached_ = nullptr;
    std::uint64_t seen_ = 0;
};

}  // namespace orvex::capi

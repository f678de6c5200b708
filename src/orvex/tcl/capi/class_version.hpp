// Knowing that a class is still the class we built.
//
// Classes made with ClassBuilder are ordinary, writable Python classes: user
// code may replace a method on them (`TclNamespace.join = my_join`).  C++
// code that wants to skip a method lookup - call its own function directly,
// read a member slot instead of going through a property - may do so only
// while the class is unchanged.  CPython gives every class a version tag
// and resets it whenever an attribute of the class or of one of its bases
// is set or deleted (tags are never handed out twice), so comparing the tag
// with the one seen when the class was finished answers the question with
// one integer comparison.
//
//     static ClassVersion built;
//     built.take(cls);                      // once, after ClassBuilder::build()
//     if (built.holds(Py_TYPE(obj))) ...    // exactly that class, unchanged
#pragma once

#include "ref.hpp"

namespace orvex::capi {

class ClassVersion {
public:
    // Remember `cls` as it is now.
    void take(PyObject* cls) {
        type_ = reinterpret_cast<PyTypeObject*>(cls);
        tag_ = PyUnstable_Type_AssignVersionTag(type_) ? type_->tp_version_tag : 0;
    }

    // True when `type` is the remembered class and nothing in it (or in its
    // bases) has been changed since take().  Never true when no tag could be
    // assigned, so callers then always take their general path.
    bool holds(PyTypeObject* type) const {
        return type == type_ && tag_ != 0 && type->tp_version_tag == tag_;
    }

    PyTypeObject* type() const { return type_; }

private:
    PyTypeObject* type_ = nullptr;  // kept alive by the module that made it
    unsigned int tag_ = 0;
};

}  // namespace orvex::capi

// Weak references and weak proxies.
#pragma once

#include "ref.hpp"

namespace orvex::capi {

// The object a weak reference or weak proxy refers to, as a new reference;
// empty when it is gone.
inline Ref weak_referent(PyObject* ref) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* target = nullptr;
    if (PyWeakref_GetRef(ref, &target) < 0) throw PyError{};
    return Ref::steal(target);
#else
    // Proxies first: their test is an exact type comparison, while the test
    // for a reference also accepts subclasses and walks the type's bases.
    if (!PyWeakref_CheckProxy(ref) && !PyWeakref_CheckRef(ref))
        raise(PyExc_TypeError, "expected a weak reference");
    PyObject* target = PyWeakref_GET_OBJECT(ref);
    return target == Py_None ? Ref() : Ref::borrow(target);
#endif
}

// What attribute access on `obj` reaches: the referent of a weak proxy (with
// the proxy's own ReferenceError when it is gone), any other object itself.
// Looking attributes up on the referent gives what the proxy would forward
// to, without the proxy's detour on every access.
inline Ref through_proxy(PyObject* obj) {
    if (!PyWeakref_CheckProxy(obj)) return Ref::borrow(obj);
    Ref target = weak_referent(obj);
    if (!target) raise(PyExc_ReferenceError, "weakly-referenced object no longer exists");
    return target;
}

}  // namespace orvex::capi

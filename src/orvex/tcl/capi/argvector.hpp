// An owned run of arguments for a vectorcall.
//
// Passing borrowed pointers taken from a list to a call is only safe while
// nothing can change the list; the callee may run Python code that does.
// `ArgVector` holds its own reference to every entry, so the run stays valid
// for the whole call whatever happens to the objects it came from.  Up to
// `inline_size` entries live inside the object itself (no allocation on the
// common short call).
//
//     ArgVector argv(1 + n);
//     argv.push(Ref::borrow(self));
//     for (...) argv.push(own(...));
//     call_method_vector(name, argv.data(), argv.size());
#pragma once

#include "ref.hpp"

#include <cstddef>
#include <memory>

namespace orvex::capi {

class ArgVector {
public:
    static constexpr size_t inline_size = 8;

    explicit ArgVector(size_t capacity = 0) { reserve(capacity); }
    ArgVector(const ArgVector&) = delete;
    ArgVector& operator=(const ArgVector&) = delete;
    ~ArgVector() {
        for (size_t i = 0; i < size_; ++i) Py_DECREF(items_[i]);
    }

    // Make room for `capacity` entries in all.
    void reserve(size_t capacity) {
        if (capacity <= capacity_) return;
        auto grown = std::make_unique<PyObject*[]>(capacity);
        for (size_t i = 0; i < size_; ++i) grown[i] = items_[i];
        heap_ = std::move(grown);
        items_ = heap_.get();
        capacity_ = capacity;
    }

    // Append an entry; the vector takes over the reference.
    void push(Ref item) {
        if (size_ == capacity_) reserve(capacity_ * 2);
        items_[size_++] = item.release();
    }

    // Put `item` in place of entry i; the vector takes over the reference.
    void replace(size_t i, Ref item) {
        PyObject* old = items_[i];
        items_[i] = item.release();
        Py_DECREF(old);
    }

    PyObject* operator[](size_t i) const { return items_[i]; }
    PyObject* const* data() const { return items_; }
    size_t size() const { return size_; }

private:
    PyObject* inline_[inline_size];
    std::unique_ptr<PyObject*[]> heap_;
    PyObject** items_ = inline_;
    size_t size_ = 0, capacity_ = inline_size;
};

// A new list holding the entries of `items` (each with a new reference).
inline Ref list_from(const ArgVector& items, size_t first = 0) {
    Ref list = own(PyList_New(Py_ssize_t(items.size() - first)));
    for (size_t i = first; i < items.size(); ++i)
        PyList_SET_ITEM(list.get(), Py_ssize_t(i - first), Py_NewRef(items[i]));
    return list;
}

// obj.name(*args) where args[0] is obj (PyObject_VectorcallMethod).
inline Ref call_method_vector(PyObject* name, PyObject* const* args, size_t nargs) {
    return own(PyObject_VectorcallMethod(name, args, nargs, nullptr));
}

}  // namespace orvex::capi

// Owning references and the error convention of the C++ layer.
//
// Module code never touches reference counts: a new reference goes straight
// into a `Ref` (which releases it when it goes out of scope), and a failed
// CPython call - one that returns NULL or -1 with a Python exception set -
// turns into a C++ `PyError` throw.  The function trampolines (function.hpp)
// catch it at the boundary and hand NULL back to the interpreter, so the
// Python exception travels on unchanged.  Code therefore reads as the Python
// it implements: each step either succeeds or leaves.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <stdexcept>
#include <utility>

namespace orvex::capi {

// CPython's description of a type: name, size, flags and slot table.
using TypeDef = PyType_Spec;

// Thrown when a Python exception is set; carries nothing, the exception
// itself lives in the thread state.
struct PyError {};

// Strong (owning) reference to a Python object; may be empty.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : obj_(Py_XNewRef(other.obj_)) {}
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    ~Ref() { Py_XDECREF(obj_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }

    // Adopt a new reference (the result of most C API calls), may be NULL.
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Take a further reference to a borrowed object, may be NULL.
    static Ref borrow(PyObject* obj) noexcept { return Ref(Py_XNewRef(obj)); }

    PyObject* get() const noexcept { return obj_; }
    operator PyObject*() const noexcept { return obj_; }
    PyObject* operator->() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

    // Give the reference away (to a C API call that steals, or as a result).
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// A reference that is not owned: documents that the holder relies on
// someone else keeping the object alive for the duration of its use.
using Borrowed = PyObject*;

// --- error convention --------------------------------------------------------

// Adopt the result of a call that returns a new reference, throwing if it
// failed.
inline Ref own(PyObject* result) {
    if (result == nullptr) throw PyError{};
    return Ref::steal(result);
}

// A borrowed result that must not be NULL (NULL meaning an exception is set).
inline Ref borrowed(PyObject* result) {
    if (result == nullptr) throw PyError{};
    return Ref::borrow(result);
}

// Check the int status of a C API call (-1 means an exception is set).
inline int check(int status) {
    if (status < 0) throw PyError{};
    return status;
}

inline Py_ssize_t check_size(Py_ssize_t size) {
    if (size < 0 && PyErr_Occurred()) throw PyError{};
    return size;
}

// Raise a Python exception: set it and leave through PyError.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyError{};
}

[[noreturn]] inline void raise(PyObject* type, PyObject* value) {
    PyErr_SetObject(type, value);
    throw PyError{};
}

template <typename... A>
[[noreturn]] inline void raise_format(PyObject* type, const char* format, A... args) {
    PyErr_Format(type, format, args...);
    throw PyError{};
}

[[noreturn]] inline void rethrow() { throw PyError{}; }

// True when the pending exception is an instance of `type`; the exception is
// left in place.
inline bool error_matches(PyObject* type) { return PyErr_ExceptionMatches(type); }

// The pending exception, taken out of the thread state.
inline Ref fetch_error() { return Ref::steal(PyErr_GetRaisedException()); }

// Put an exception taken with fetch_error() back and leave.
[[noreturn]] inline void restore_error(Ref exc) {
    PyErr_SetRaisedException(exc.release());
    throw PyError{};
}

// Code run while a `Handling` is alive behaves as the body of an `except`
// block handling `error`: an exception raised there (by Python code too)
// gets `error` as its __context__, as Python chains exceptions.  Like the
// interpreter's own except blocks it sets the handled exception and puts
// the previous one back after.
class Handling {
public:
    explicit Handling(PyObject* error) : saved_(PyErr_GetHandledException()) {
        PyErr_SetHandledException(error);
    }
    ~Handling() {
        PyErr_SetHandledException(saved_);
        Py_XDECREF(saved_);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* saved_;  // owned; NULL when nothing was being handled
};

// The exception boundary of every function CPython calls: a PyError (or a
// C++ exception) becomes the failed-call return value (NULL, -1) with a
// Python exception set.
template <typename R, typename Fn>
R guarded(R failed, Fn body) noexcept {
    try {
        return body();
    } catch (const PyError&) {
        return failed;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return failed;
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
        return failed;
    }
}

// Common singletons as new references.
inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

// C++ recursion into Python objects goes through the interpreter's own
// recursion guard, so a self-containing or absurdly deep structure raises
// RecursionError instead of overflowing the C stack.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where)) throw PyError{};
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

}  // namespace orvex::capi

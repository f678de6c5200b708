// Argument binding for METH_FASTCALL | METH_KEYWORDS functions.
//
// A `Signature` describes a Python parameter list:
//
//     // def get_obj(self, array_index=None, cast=__marker)
//     static Signature get_obj_sig{"get_obj",
//         {opt("array_index", py_none), opt("cast", marker)}};
//
// and `bind` maps the vectorcall arguments onto it the way CPython binds a
// call to a Python function: positional-or-keyword parameters with defaults,
// *args, keyword-only parameters, **kwargs, and TypeError messages worded as
// CPython words them.  The common case (positional arguments only, no *args)
// binds without allocating anything.
//
// Defaults are given as a reference to a `PyObject*` variable that is always
// there (None, True, False), or as a member of the module state read at call
// time (`opt<&State::marker>("cast", "_marker")`): a default that only exists
// once the module is loaded, such as a sentinel, lives in the module state.
//
// The same list gives the function its text signature (`text_signature`),
// so inspect.signature() and help() show the parameters.  A default is shown
// as its repr unless a text is given; a sentinel's text must be a name that
// inspect can resolve in the module (a module global), or a literal.
#pragma once

#include "names.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace orvex::capi {

enum class Kind { positional, var_positional, keyword_only, var_keyword };

struct Param {
    const char* name;
    Kind kind;
    PyObject* const* default_value = nullptr;          // a fixed default
    PyObject* (*state_default)(void* state) = nullptr;  // a default in module state
    const char* shown = nullptr;                        // the default's text in signatures

    bool has_default() const { return default_value || state_default; }
    PyObject* default_in(void* state) const {
        return default_value ? *default_value : state_default(state);
    }
};

namespace detail {
template <typename M>
struct MemberOf;
template <typename S, typename T>
struct MemberOf<T S::*> {
    using State = S;
};
// The default kept in the module state's member M (a Ref).
template <auto M>
PyObject* state_member(void* state) {
    using State = typename MemberOf<decltype(M)>::State;
    return (static_cast<State*>(state)->*M).get();
}
}  // namespace detail

// Parameter constructors, named after the Python syntax they stand for.
inline Param req(const char* name) { return {name, Kind::positional}; }
inline Param opt(const char* name, PyObject* const& default_value, const char* shown = nullptr) {
    return {name, Kind::positional, &default_value, nullptr, shown};
}
template <auto M>
Param opt(const char* name, const char* shown) {
    return {name, Kind::positional, nullptr, &detail::state_member<M>, shown};
}
inline Param star(const char* name) { return {name, Kind::var_positional}; }
inline Param kwonly(const char* name) { return {name, Kind::keyword_only}; }
inline Param kwonly(const char* name, PyObject* const& default_value, const char* shown = nullptr) {
    return {name, Kind::keyword_only, &default_value, nullptr, shown};
}
template <auto M>
Param kwonly(const char* name, const char* shown) {
    return {name, Kind::keyword_only, nullptr, &detail::state_member<M>, shown};
}
inline Param starstar(const char* name) { return {name, Kind::var_keyword}; }

// Defaults that are always there.
inline PyObject* const py_none = Py_None;
inline PyObject* const py_true = Py_True;
inline PyObject* const py_false = Py_False;

class Signature;

// The bound arguments: one slot per parameter, in declaration order.  Plain
// parameters hold borrowed references (the caller's arguments or the
// defaults, alive for the whole call); *args holds a tuple and **kwargs a
// dict, both owned here.
class Args {
public:
    PyObject* operator[](size_t i) const { return slots_[i]; }
    // True when the parameter was given by the caller (not defaulted).
    bool given(size_t i) const { return given_ & (1ull << i); }
    // The *args tuple / **kwargs dict.
    PyObject* varargs() const { return varargs_.get(); }
    PyObject* varkw() const { return varkw_.get(); }

private:
    friend class Signature;
    static constexpr size_t max_params = 16;
    // Left unset: binding fills the slot of every parameter (or fails), and
    // a slot past the parameters is never read.  Clearing all of them would
    // cost every call a loop of stores.
    PyObject* slots_[max_params];
    unsigned long long given_ = 0;
    Ref varargs_, varkw_;
};

class Signature {
public:
    // `name` is the function's name for error messages; the class builder
    // turns it into "Class.name" when it installs a method.
    Signature(const char* name, std::initializer_list<Param> params, bool is_method = true)
        : name_(name), params_(params), is_method_(is_method) {
        for (size_t i = 0; i < params_.size(); ++i) {
            switch (params_[i].kind) {
                case Kind::positional:
                    ++n_positional_;
                    if (!params_[i].has_default()) ++n_required_;
                    break;
                case Kind::var_positional: varargs_index_ = int(i); break;
                case Kind::keyword_only: break;
                case Kind::var_keyword: varkw_index_ = int(i); break;
            }
        }
        only_positional_ = n_positional_ == params_.size();
    }

    const std::string& name() const { return name_; }
    void set_qualname(std::string qualname) { name_ = std::move(qualname); }
    void set_is_method(bool is_method) { is_method_ = is_method; }
    // A member of a class: "Class.name" in messages, `self` first or not.
    void set_member_of(const std::string& owner, const char* name, bool is_method) {
        set_qualname(owner + "." + name);
        set_is_method(is_method);
    }
    bool is_method() const { return is_method_; }

    // "(a, b=1, *rest, scale=1, **extra)"; `first` is "$self" or "$module"
    // for what CPython passes before the arguments (or empty).  Defaults
    // without a text of their own are shown as their repr.
    std::string text_signature(const char* first) const;

    // `doc` with the text signature in front, in the form CPython reads
    // __text_signature__ from: "name(sig)\n--\n\ndoc".  Made once and
    // kept with the signature (the method definitions point into it).
    const char* signed_doc(const char* name, const char* first, const char* doc);

    // Bind a vectorcall argument vector; throws PyError with a TypeError set
    // when the call does not fit the signature.
    //
    // The everyday call, f(a, b) to a signature of plain parameters, binds
    // here, apart from the general binder, in one pass: the arguments, then the
    // defaults of the rest (required parameters come first, so all of them
    // are among the arguments).  Everything else goes to bind_general.
    // `state` is the module state that defaults kept there are read from.
    void bind(Args& out, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
              void* state = nullptr) const {
        size_t nargs = size_t(PyVectorcall_NARGS(nargsf));
        bool no_keywords = kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0;
        if (only_positional_ && no_keywords && nargs >= n_required_ && nargs <= n_positional_) {
            for (size_t i = 0; i < nargs; ++i) out.slots_[i] = args[i];
            for (size_t i = nargs; i < n_positional_; ++i) out.slots_[i] = params_[i].default_in(state);
            out.given_ = (1ull << nargs) - 1;
            return;
        }
        bind_general(out, args, nargsf, kwnames, state);
    }

private:
    void bind_general(Args& out, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                      void* state) const;
    [[noreturn]] void too_many_positional(size_t given, size_t given_keywords) const;
    [[noreturn]] void missing(const std::vector<const char*>& names, const char* what) const;
    [[noreturn]] void type_error(const std::string& message) const;
    int find_keyword(PyObject* key) const;

    std::string name_;
    std::vector<Param> params_;
    bool is_method_;
    size_t n_positional_ = 0, n_required_ = 0;
    int varargs_index_ = -1, varkw_index_ = -1;
    bool only_positional_ = false;  // no *args, keyword-only or **kwargs
    std::string doc_;               // signed_doc(), once made
    bool doc_made_ = false;
};

// --- implementation -------------------------------------------------------

inline void Signature::type_error(const std::string& message) const {
    PyErr_SetString(PyExc_TypeError, (name_ + "() " + message).c_str());
    throw PyError{};
}

inline void Signature::too_many_positional(size_t given, size_t given_keywords) const {
    // CPython counts `self` in these numbers for methods.
    size_t offset = is_method_ ? 1 : 0;
    size_t most = n_positional_ + offset, least = n_required_ + offset;
    std::string takes = least == most ? std::to_string(most)
                                      : "from " + std::to_string(least) + " to " + std::to_string(most);
    std::string plural = most == 1 ? "" : "s";
    std::string message = "takes " + takes + " positional argument" + plural + " but " +
                          std::to_string(given + offset);
    if (given_keywords) {
        message += " positional argument" + std::string(given + offset == 1 ? "" : "s") + " (and " +
                   std::to_string(given_keywords) + " keyword-only argument" +
                   (given_keywords == 1 ? "" : "s") + ") were given";
    } else {
        message += given + offset == 1 ? " was given" : " were given";
    }
    type_error(message);
}

inline void Signature::missing(const std::vector<const char*>& names, const char* what) const {
    // "missing 1 required positional argument: 'x'"
    // "missing 3 required positional arguments: 'x', 'y', and 'z'"
    std::string list;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i) list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        list += std::string("'") + names[i] + "'";
    }
    type_error("missing " + std::to_string(names.size()) + " required " + what + " argument" +
               (names.size() == 1 ? "" : "s") + ": " + list);
}

inline int Signature::find_keyword(PyObject* key) const {
    for (size_t i = 0; i < params_.size(); ++i) {
        Kind kind = params_[i].kind;
        if (kind != Kind::positional && kind != Kind::keyword_only) continue;
        if (PyUnicode_CompareWithASCIIString(key, params_[i].name) == 0) return int(i);
    }
    return -1;
}

inline std::string Signature::text_signature(const char* first) const {
    std::string text = "(";
    bool comma = false, star_written = false;
    auto sep = [&] {
        if (comma) text += ", ";
        comma = true;
    };
    if (first && *first) {
        sep();
        text += first;
    }
    for (const Param& p : params_) {
        sep();
        switch (p.kind) {
            case Kind::var_positional:
                text += std::string("*") + p.name;
                star_written = true;
                continue;
            case Kind::var_keyword: text += std::string("**") + p.name; continue;
            case Kind::keyword_only:
                if (!star_written) {
                    text += "*, ";
                    star_written = true;
                }
                break;
            case Kind::positional: break;
        }
        text += p.name;
        if (!p.has_default()) continue;
        text += "=";
        if (p.shown) {
            text += p.shown;
        } else if (p.default_value) {
            Ref shown = own(PyObject_Repr(*p.default_value));
            const char* utf8 = PyUnicode_AsUTF8(shown);
            if (utf8 == nullptr) throw PyError{};
            text += utf8;
        } else {
            text += "None";
        }
    }
    return text + ")";
}

inline const char* Signature::signed_doc(const char* name, const char* first, const char* doc) {
    if (!doc_made_) {
        // A doc that brings a signature of its own (written by hand) is kept.
        if (doc && std::string_view(doc).find(")\n--\n\n") != std::string_view::npos)
            doc_ = doc;
        else
            doc_ = std::string(name) + text_signature(first) + "\n--\n\n" + (doc ? doc : "");
        doc_made_ = true;
    }
    return doc_.c_str();
}

inline void Signature::bind_general(Args& out, PyObject* const* args, Py_ssize_t nargsf,
                                    PyObject* kwnames, void* state) const {
    size_t nargs = size_t(PyVectorcall_NARGS(nargsf));
    size_t nkw = kwnames ? size_t(PyTuple_GET_SIZE(kwnames)) : 0;

    // Positional arguments fill the positional-or-keyword parameters in
    // order (they always come first in the list); the rest go to *args.
    size_t take = nargs < n_positional_ ? nargs : n_positional_;
    for (size_t i = 0; i < take; ++i) {
        out.slots_[i] = args[i];
        out.given_ |= 1ull << i;
    }
    if (nargs > n_positional_) {
        if (varargs_index_ < 0) {
            size_t keyword_only_given = 0;
            for (size_t k = 0; k < nkw; ++k) {
                int index = find_keyword(PyTuple_GET_ITEM(kwnames, k));
                if (index >= 0 && params_[index].kind == Kind::keyword_only) ++keyword_only_given;
            }
            too_many_positional(nargs, keyword_only_given);
        }
    }
    if (varargs_index_ >= 0) {
        size_t extra = nargs > n_positional_ ? nargs - n_positional_ : 0;
        out.varargs_ = own(PyTuple_New(Py_ssize_t(extra)));
        for (size_t i = 0; i < extra; ++i)
            PyTuple_SET_ITEM(out.varargs_.get(), Py_ssize_t(i), Py_NewRef(args[n_positional_ + i]));
        out.slots_[varargs_index_] = out.varargs_.get();
    }
    if (varkw_index_ >= 0) {
        out.varkw_ = own(PyDict_New());
        out.slots_[varkw_index_] = out.varkw_.get();
    }

    // Keywords: matched by interned pointer first, then by text.
    for (size_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        int index = find_keyword(key);
        if (index < 0) {
            if (varkw_index_ < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             name_.c_str(), key);
                throw PyError{};
            }
            check(PyDict_SetItem(out.varkw_.get(), key, value));
            continue;
        }
        if (out.given_ & (1ull << index)) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         name_.c_str(), params_[index].name);
            throw PyError{};
        }
        out.slots_[index] = value;
        out.given_ |= 1ull << index;
    }

    // Defaults, and the missing-argument errors.
    std::vector<const char*> missing_positional, missing_keyword;
    for (size_t i = 0; i < params_.size(); ++i) {
        const Param& p = params_[i];
        if (p.kind != Kind::positional && p.kind != Kind::keyword_only) continue;
        if (out.given_ & (1ull << i)) continue;
        if (p.has_default()) {
            out.slots_[i] = p.default_in(state);
        } else {
            (p.kind == Kind::positional ? missing_positional : missing_keyword).push_back(p.name);
        }
    }
    if (!missing_positional.empty()) missing(missing_positional, "positional");
    if (!missing_keyword.empty()) missing(missing_keyword, "keyword-only");
}

}  // namespace orvex::capi

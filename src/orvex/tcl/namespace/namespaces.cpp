// orvex.tcl.namespace: TclNamespace, a handle on one Tcl namespace, with the
// algebra of qualified names as its static methods, and TempTclNamespace.
#include "namespaces.hpp"

#include <vector>

namespace orvex::tcl_namespace {

namespace {

Global g_sorvan{module_globals, "sorvan"};
PyObject* module_sorvan = nullptr;  // the module's own sorvan, for the fast path

}  // namespace

// --- qualified names ---------------------------------------------------------------
//
// Names are split at "::" from left to right without overlap, and empty
// pieces are dropped: a run of 2, 4, 6... colons is one separator, while a
// run of 3, 5... leaves a ':' at the start of the next piece, and a piece
// holding ':' makes the name invalid.  The canonical text joins the pieces
// with "::", behind a leading "::" when the name is absolute.

Ref name_text(PyObject* value) {
    if (PyUnicode_CheckExact(value) && g_sorvan.is(module_sorvan)) return Ref::borrow(value);
    Ref result = call(g_sorvan.get(), value);
    if (!PyUnicode_Check(result.get()))
        raise_format(PyExc_TypeError, "a Tcl name must be text, not '%.100s'",
                     Py_TYPE(result.get())->tp_name);
    return result;
}

namespace {

// A str read character by character.
struct Chars {
    explicit Chars(PyObject* text)
        : kind(PyUnicode_KIND(text)), data(PyUnicode_DATA(text)), size(PyUnicode_GET_LENGTH(text)) {}
    Py_UCS4 operator[](Py_ssize_t i) const { return PyUnicode_READ(kind, data, i); }
    bool separator_at(Py_ssize_t i) const { return i + 1 < size && (*this)[i] == ':' && (*this)[i + 1] == ':'; }
    bool absolute() const { return separator_at(0); }

    int kind;
    const void* data;
    Py_ssize_t size;
};

// Calls piece(start, end) for every non-empty piece, in order.
template <typename F>
void for_each_piece(const Chars& chars, F&& piece) {
    Py_ssize_t start = 0;
    for (Py_ssize_t i = 0; i < chars.size;) {
        if (chars.separator_at(i)) {
            if (i > start) piece(start, i);
            i += 2;
            start = i;
        } else {
            ++i;
        }
    }
    if (chars.size > start) piece(start, chars.size);
}

[[noreturn]] void invalid_name(PyObject* text) {
    Ref message = own(PyUnicode_FromFormat("Invalid Tcl namespace '%U'", text));
    raise(PyExc_ValueError, message.get());
}

// The pieces of a valid name: their count and total length, and whether the
// text is already canonical.  ValueError for an invalid name.
struct Pieces {
    Py_ssize_t count = 0, length = 0;
    bool absolute = false;
    bool canonical() const;
    Py_ssize_t canonical_size() const {
        if (count == 0) return 0;
        return length + 2 * (count - 1) + (absolute ? 2 : 0);
    }
    Py_ssize_t size = 0;
};

bool Pieces::canonical() const { return canonical_size() == size; }

Pieces scan(PyObject* text) {
    Chars chars(text);
    Pieces pieces;
    pieces.absolute = chars.absolute();
    pieces.size = chars.size;
    bool valid = true;
    for_each_piece(chars, [&](Py_ssize_t start, Py_ssize_t end) {
        for (Py_ssize_t i = start; i < end; ++i)
            if (chars[i] == ':') valid = false;
        ++pieces.count;
        pieces.length += end - start;
    });
    if (!valid) invalid_name(text);
    return pieces;
}

// Writes text into `out` from `at` on, advancing `at`.
void put(PyObject* out, Py_ssize_t& at, PyObject* text, Py_ssize_t start, Py_ssize_t end) {
    check_size(PyUnicode_CopyCharacters(out, at, text, start, end - start));
    at += end - start;
}

void put_separator(PyObject* out, Py_ssize_t& at) {
    PyUnicode_WRITE(PyUnicode_KIND(out), PyUnicode_DATA(out), at, ':');
    PyUnicode_WRITE(PyUnicode_KIND(out), PyUnicode_DATA(out), at + 1, ':');
    at += 2;
}

// The canonical text of a name that is already text.
Ref normalize_text(PyObject* text) {
    Pieces pieces = scan(text);
    // A length equal to the canonical one means that every separator is a
    // single "::" and nothing is dropped: the text is its own canonical form.
    if (pieces.canonical()) return Ref::borrow(text);
    // Only colons are dropped, so the result needs no wider characters than
    // the text (whose width is exact, being a str).
    Ref out = own(PyUnicode_New(pieces.canonical_size(), PyUnicode_MAX_CHAR_VALUE(text)));
    Py_ssize_t at = 0;
    bool first = true;
    for_each_piece(Chars(text), [&](Py_ssize_t start, Py_ssize_t end) {
        if (!first || pieces.absolute) put_separator(out, at);
        put(out, at, text, start, end);
        first = false;
    });
    return out;
}

// TclNamespace.join of texts: an empty result or an absolute name starts
// afresh, an empty name changes nothing, anything else is appended after
// "::"; the result is normalised.
Ref join_texts(PyObject* const* texts, size_t count) {
    Ref result = Ref::borrow(texts[0]);
    for (size_t i = 1; i < count; ++i) {
        PyObject* name = texts[i];
        if (PyUnicode_GET_LENGTH(result.get()) == 0 || Chars(name).absolute()) {
            result = Ref::borrow(name);
        } else if (PyUnicode_GET_LENGTH(name) > 0) {
            result = own(PyUnicode_FromFormat("%U::%U", result.get(), name));
        }
    }
    return normalize_text(result);
}

// The start of the last "::" in the text, or -1.
Py_ssize_t last_separator(PyObject* text) {
    Chars chars(text);
    for (Py_ssize_t i = chars.size - 2; i >= 0; --i)
        if (chars[i] == ':' && chars[i + 1] == ':') return i;
    return -1;
}

// --- the static methods ------------------------------------------------------------

Signature split_sig{"split", {req("string")}};
Ref split(PyObject*, const Args& args) {
    Ref name = name_text(args[0]);
    Pieces pieces = scan(name);
    Ref result = own(PyList_New(0));
    if (pieces.absolute) check(PyList_Append(result, Ref(text(""))));
    for_each_piece(Chars(name), [&](Py_ssize_t start, Py_ssize_t end) {
        check(PyList_Append(result, own(PyUnicode_Substring(name, start, end))));
    });
    return result;
}

Signature join_sig{"join", {req("string"), star("args")}};
Ref join(PyObject*, const Args& args) {
    PyObject* more = args.varargs();
    Py_ssize_t count = 1 + PyTuple_GET_SIZE(more);
    std::vector<Ref> texts;
    texts.reserve(size_t(count));
    texts.push_back(name_text(args[0]));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(more); ++i)
        texts.push_back(name_text(PyTuple_GET_ITEM(more, i)));
    std::vector<PyObject*> raw(texts.begin(), texts.end());
    return join_texts(raw.data(), raw.size());
}

Signature normalize_sig{"normalize", {req("string")}};
Ref normalize(PyObject*, const Args& args) {
    return normalize_text(name_text(args[0]));
}

Signature tail_sig{"tail", {req("string")}};
Ref tail(PyObject*, const Args& args) {
    Ref name = name_text(args[0]);
    Py_ssize_t separator = last_separator(name);
    if (separator < 0) return name;
    return own(PyUnicode_Substring(name, separator + 2, PyUnicode_GET_LENGTH(name.get())));
}

Signature qualifiers_sig{"qualifiers", {req("string")}};
Ref qualifiers(PyObject*, const Args& args) {
    Ref name = name_text(args[0]);
    Py_ssize_t end = last_separator(name);
    if (end < 0) return text("");
    // Step back over a longer run of colons: "a:::b" qualifies as "a".
    Chars chars(name);
    while (end > 0 && chars[end - 1] == ':') --end;
    return own(PyUnicode_Substring(name, 0, end));
}

}  // namespace

// --- the class -----------------------------------------------------------------------

void define_namespaces(PyObject* module) {
    module_sorvan = g_sorvan.get().release();  // kept for the life of the process

    ClassBuilder namespace_class(module, "TclNamespace", {reinterpret_cast<PyObject*>(&PyBaseObject_Type)},
                                 "A Tcl namespace of one interpreter.");
    namespace_class.staticmethod<qualifiers_sig, qualifiers>("qualifiers")
        .staticmethod<tail_sig, tail>("tail")
        .staticmethod<join_sig, join>("join")
        .staticmethod<split_sig, split>("split")
        .staticmethod<normalize_sig, normalize>("normalize");
    add(module, "TclNamespace", namespace_class.build());
}

}  // namespace orvex::tcl_namespace

// orvex.tcl.sorvan: Python values to Tcl text (`sorvan`) and to values that
// the tkinter binding hands to Tcl as native objects (`tclobj`), with the
// list-element quoting of Tcl's own list code beneath both.
//
// The module behaves as this Python would (every name in capitals below is
// looked up in the module's globals when the function runs):
//
//     def sorvan(obj):
//         hook = getattr(obj, '__sorvan__', None)
//         if hook: return hook()
//         hook = getattr(obj, '__tclobj__', None)
//         if hook: return SORVAN(hook())
//         if obj is None: return ''
//         if isinstance(obj, UNICODE): return str(obj)
//         if isinstance(obj, bool): return 'true' if obj else 'false'
//         if isinstance(obj, SEQUENCE) or isinstance(obj, SET):
//             return _SORVAN_FROM_SEQUENCE(obj)
//         if isinstance(obj, MAPPING): return _SORVAN_FROM_MAPPING(obj)
//         return str(obj)
//
//     def _tcl_UpdateStringOfList(listObj):       # also _sorvan_from_sequence
//         texts = [SORVAN(item) for item in listObj]
//         flags = [_TCL_SCANELEMENT(text)[1] for text in texts]
//         parts = [_TCL_CONVERTELEMENT(t, f) for t, f in zip(texts, flags)]
//         if parts and parts[0].startswith('#'):     # (see the quoting rules)
//             parts[0] = ('\\' + parts[0] if 'TCL_DONT_USE_BRACES' in flags[0]
//                         else '{' + texts[0] + '}')
//         return ' '.join(parts)
//
//     def _sorvan_from_mapping(obj):
//         return _SORVAN_FROM_SEQUENCE([x for key in obj for x in (key, obj[key])])
//
// and tclobj likewise (see to_tclobj below).  The C++ does less work than
// that Python while the module is untouched: as long as the globals still
// hold the module's own objects (a dict watcher makes that test one integer
// comparison), elements are scanned and quoted straight from the str data
// and the list text is written in one pass into a result that grows as it
// fills.  As
// soon as a name is reassigned, the affected step calls the new object, as
// the Python would.
#include "capi.hpp"
#include "sorvan_capi.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <vector>

using namespace orvex::capi;

namespace {

// --- module state ------------------------------------------------------------

constexpr const char* name_texts[] = {
    "sorvan", "tclobj", "_sorvan_from_sequence", "_sorvan_from_mapping",
    "_tclobj_from_sequence", "_tclobj_from_mapping", "_Tcl_ScanElement", "_Tcl_ConvertElement",
    "unicode", "Sequence", "Set", "Mapping", "_tkTcl_Obj", "_sysmaxsize", "_long_type",
    "__sorvan__", "__tclobj__", "add", "USE_BRACES", "TCL_DONT_USE_BRACES", "BRACES_UNMATCHED",
    "true", "false", " ", "{}", "from_sequence", "from_mapping",
};
enum : size_t {
    n_sorvan, n_tclobj, n_sorvan_from_sequence, n_sorvan_from_mapping,
    n_tclobj_from_sequence, n_tclobj_from_mapping, n_scan_element, n_convert_element,
    n_unicode, n_Sequence, n_Set, n_Mapping, n_tcl_obj, n_sysmaxsize, n_long_type,
    n_sorvan_hook, n_tclobj_hook, n_add, n_use_braces, n_dont_use_braces, n_braces_unmatched,
    n_true, n_false, n_space, n_empty_braces, n_from_sequence, n_from_mapping,
};

// Exact built-in types: their instances cannot carry conversion hooks (the
// types are immutable and the instances have no __dict__), so the tests for
// them can be decided by type alone.
enum class Exact : std::uint8_t {
    other, str, none, boolean, integer, floating, bytes, list, tuple, dict, set, frozenset,
    count
};

// Which container test an object passes, in the order they are made:
// Sequence, else Set, else Mapping.
enum class Abc : std::uint8_t { sequence, set, mapping, none };

PyObject* const str_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);
PyObject* const long_type = reinterpret_cast<PyObject*>(&PyLong_Type);

struct State {
    static constexpr const char* module_name = "orvex.tcl.sorvan";
    static constexpr const char* module_doc =
        "Python values to Tcl text (sorvan) and to values passed to Tcl as native\n"
        "objects (tclobj), with list elements quoted as Tcl's own list code quotes them.";

    Names<std::size(name_texts)> names;
    Ref dict;             // the module's __dict__, whose names are read at call time
    Ref sorvan, tclobj;   // the module's own functions
    Ref get_cache_token;  // abc.get_cache_token
    Ref one;              // 1
    Ref empty;            // ''
    Ref function_type;    // the class of `sorvan` and `tclobj`
    SorvanCApi capi{};    // the capsule's table

    // Whether module globals still hold the module's own objects: the names
    // the text conversion tests types with; those and the ones tclobj adds;
    // those and the functions the list quoting calls; tclobj's types with
    // `tclobj` and `_tclobj_from_sequence` (a list walked by tclobj); and
    // each function that a step calls through its global.  One comparison
    // each while the module's dict is unchanged.
    GlobalsWatch watch;
    Held text_types, object_types, direct_join, tclobj_direct;
    Held own_sorvan, own_tclobj, own_sorvan_from_sequence, own_sorvan_from_mapping,
        own_tclobj_from_sequence, own_tclobj_from_mapping;

    // The container test of an exact built-in type, kept per type while
    // abc's cache token stays the same (see abc_kind_exact).
    struct AbcKnown {
        bool valid = false;
        unsigned long long token = 0;
        Abc abc = Abc::none;
    };
    std::array<AbcKnown, size_t(Exact::count)> abc_known{};
    bool abc_token_read = false;
    unsigned long long abc_token = 0;
    bool token_native = false;  // reading the token runs no Python code
    // The C function behind abc.get_cache_token and its module, when it is
    // the builtin taking no arguments (see read_abc_token).
    PyCFunction token_function = nullptr;
    PyObject* token_self = nullptr;  // borrowed: get_cache_token holds it

    void exec(PyObject* module);
    Held* helds[10] = {&text_types, &object_types, &direct_join, &tclobj_direct,
                       &own_sorvan, &own_tclobj, &own_sorvan_from_sequence,
                       &own_sorvan_from_mapping, &own_tclobj_from_sequence,
                       &own_tclobj_from_mapping};
    int traverse(visitproc visit, void* arg) {
        if (int r = visit_refs(visit, arg, dict, sorvan, tclobj, get_cache_token, one, empty,
                               function_type))
            return r;
        for (Held* held : helds)
            if (int r = held->traverse(visit, arg)) return r;
        return 0;
    }
    void clear() {
        clear_refs(dict, sorvan, tclobj, get_cache_token, one, empty, function_type);
        names.clear();
        for (Held* held : helds) held->clear();
        watch.stop();
    }

    // The current value of a module global (NameError when it is gone).
    Ref global(size_t name) const { return global_value(dict, names[name]); }
};

Ref empty_text() { return own(PyUnicode_New(0, 0)); }

// Working memory comes from Python's allocator, like the objects it is
// made for, so that tracemalloc and Python's memory statistics see it.
template <typename T>
struct PyAllocator {
    using value_type = T;
    PyAllocator() = default;
    template <typename U>
    PyAllocator(const PyAllocator<U>&) noexcept {}
    T* allocate(size_t count) {
        if (count > size_t(PY_SSIZE_T_MAX) / sizeof(T)) throw std::bad_alloc();
        void* memory = PyMem_Malloc(count * sizeof(T));
        if (memory == nullptr) throw std::bad_alloc();
        return static_cast<T*>(memory);
    }
    void deallocate(T* memory, size_t) noexcept { PyMem_Free(memory); }
    friend bool operator==(const PyAllocator&, const PyAllocator&) noexcept { return true; }
};

using Refs = std::vector<Ref, PyAllocator<Ref>>;

// --- element quoting ---------------------------------------------------------
//
// Flag sets are Python sets of names at the module's surface; inside they
// are bits.  ESCAPES is internal: the text holds a `]` or a `"`, which
// backslash mode escapes even when no other flag is set.
//
// A list's first element is quoted a little further where the list text is
// joined (never by the element functions): a script whose first word starts
// with `#` is a comment to Tcl, so list text that is evaluated must not
// start with an unquoted `#`.  As Tcl's own list code does, such a first
// element is written in braces when braces are allowed for it, and in
// backslash mode its leading `#` gets a backslash (ESCAPE_HASH).  The list
// text is then Tcl's own, character for character.

enum : unsigned {
    USE_BRACES = 1,
    DONT_USE_BRACES = 2,
    BRACES_UNMATCHED = 4,
    ESCAPES = 8,
    ESCAPE_HASH = 16,
};

// Character tables, indexed by code point below 256 (everything above is
// ordinary).  A zero entry is a character that needs no attention, so long
// runs of ordinary text are skipped by skip_ordinary() without branching
// per character.

using Table = std::array<std::uint8_t, 256>;

// What the scan makes of a character (one bit each, so that a whole text
// can be summarised by or-ing its characters' entries).
enum ScanClass : std::uint8_t {
    ordinary = 0,
    open_brace = 1,
    close_brace = 2,
    quoted = 4,
    backslash = 8,
    escaped = 16,
};

constexpr Table scan_all = [] {
    Table table{};
    table['{'] = open_brace;
    table['}'] = close_brace;
    for (unsigned char c : {'[', '$', ';', ' ', '\f', '\n', '\r', '\t', '\v'}) table[c] = quoted;
    table['\\'] = backslash;
    table[']'] = escaped;
    table['"'] = escaped;
    return table;
}();

// Once braces are wanted, only what may forbid them still matters.
constexpr Table scan_braces_only = [] {
    Table table{};
    table['{'] = open_brace;
    table['}'] = close_brace;
    table['\\'] = backslash;
    return table;
}();

// What backslash mode writes after the backslash it puts before a
// character (zero: the character goes out alone).  Control white space is
// written as a letter, so the quoted element stays on one line.
constexpr Table escapes_keeping_braces = [] {
    Table table{};
    for (unsigned char c : {'[', ']', '$', ';', ' ', '\\', '"'}) table[c] = c;
    table['\f'] = 'f';
    table['\n'] = 'n';
    table['\r'] = 'r';
    table['\t'] = 't';
    table['\v'] = 'v';
    return table;
}();

constexpr Table braces = [] {
    Table table{};
    table['{'] = table['}'] = 1;
    return table;
}();

constexpr Table escapes_with_braces = [] {
    Table table = escapes_keeping_braces;
    table['{'] = '{';
    table['}'] = '}';
    return table;
}();

// Backslash mode for one-byte text, as the two bytes stored for each
// character (little-endian, the low half of an entry): the character and a
// byte the next one overwrites, or a backslash and the escape; the high
// half is how far the output moves on (1 or 2).
using PairTable = std::array<std::uint32_t, 256>;

constexpr PairTable pairs_of(const Table& escapes) {
    PairTable pairs{};
    for (unsigned c = 0; c < 256; ++c)
        pairs[c] = escapes[c] ? std::uint32_t('\\' | escapes[c] << 8 | 2 << 16)
                              : std::uint32_t(c | 1 << 16);
    return pairs;
}

constexpr PairTable pairs_keeping_braces = pairs_of(escapes_keeping_braces);
constexpr PairTable pairs_with_braces = pairs_of(escapes_with_braces);

template <typename C>
inline std::uint8_t lookup(const Table& table, C c) {
    if constexpr (sizeof(C) == 1) return table[c];
    else return c < 256 ? table[c] : 0;
}

// The index of the first character at or after `i` with a non-zero entry
// in `table`, or n.  Eight characters are tested per step.
template <typename C>
[[gnu::always_inline]] inline Py_ssize_t skip_ordinary(const C* s, Py_ssize_t i, Py_ssize_t n,
                                                      const Table& table) {
    for (; i + 8 <= n; i += 8) {
        if (lookup(table, s[i]) | lookup(table, s[i + 1]) | lookup(table, s[i + 2]) |
            lookup(table, s[i + 3]) | lookup(table, s[i + 4]) | lookup(table, s[i + 5]) |
            lookup(table, s[i + 6]) | lookup(table, s[i + 7]))
            break;
    }
    while (i < n && !lookup(table, s[i])) ++i;
    return i;
}

// Decide how one element is quoted.  Braces are preferred: they keep the
// text as it is, and are chosen when the text is empty, starts with `{` or
// `"`, or holds a character that would split or substitute it.  They are
// not safe when the braces in the text do not balance (an unmatched `}` at
// any point, or a non-zero depth at the end) or when the text ends in a
// backslash or holds a backslash-newline (inside braces Tcl would read those
// as an escaped brace and as a space); then every special character gets a
// backslash instead, braces included.
//
// A backslash escapes the character after it, in braces as everywhere in
// Tcl, so that character is skipped: the brace in `\{` does not count
// towards the balance, since Tcl's brace matching does not count it either.
// Counting it would let `\{}` pass as balanced and be written in braces,
// which Tcl then reads back as a different list.
//
// Once an unmatched `}` is seen the element is certain to be written in
// backslash mode with its braces escaped, whatever follows; `for_writing`
// stops the scan there (the flag set it returns is then incomplete, so the
// flags shown to Python always come from a whole scan).
template <typename C>
[[gnu::always_inline]] inline unsigned scan_element(const C* s, Py_ssize_t n,
                                                    bool for_writing = false) {
    // (s[0] may be read even when n is 0: a str's data always ends in NUL.)
    unsigned flags = ((n == 0) | (s[0] == '{') | (s[0] == '"')) ? unsigned(USE_BRACES) : 0u;
    // Most texts hold no brace and no backslash: then one pass that merely
    // collects which kinds of character occur decides.
    constexpr unsigned structural = open_brace | close_brace | backslash;
    unsigned occurring = 0;
    Py_ssize_t i = 0;
    for (; i + 8 <= n && !(occurring & structural); i += 8) {
        occurring |= lookup(scan_all, s[i]) | lookup(scan_all, s[i + 1]) |
                     lookup(scan_all, s[i + 2]) | lookup(scan_all, s[i + 3]) |
                     lookup(scan_all, s[i + 4]) | lookup(scan_all, s[i + 5]) |
                     lookup(scan_all, s[i + 6]) | lookup(scan_all, s[i + 7]);
    }
    if (!(occurring & structural))
        for (; i < n; ++i) occurring |= lookup(scan_all, s[i]);
    if (!(occurring & structural)) {
        if (occurring & quoted) flags |= USE_BRACES;
        if (occurring & escaped) flags |= ESCAPES;
        return flags;
    }
    Py_ssize_t nesting = 0;
    for (Py_ssize_t i = 0;; ++i) {
        const Table& table = (flags & USE_BRACES) ? scan_braces_only : scan_all;
        i = skip_ordinary(s, i, n, table);
        if (i >= n) break;
        std::uint8_t found = lookup(table, s[i]);
        if (found == open_brace) {
            ++nesting;
        } else if (found == close_brace) {
            if (--nesting < 0) {
                flags |= DONT_USE_BRACES | BRACES_UNMATCHED;
                if (for_writing) return flags;
            }
        } else if (found == backslash) {
            if (i + 1 == n || s[i + 1] == '\n') {
                flags = DONT_USE_BRACES | BRACES_UNMATCHED;
            } else {
                flags |= USE_BRACES;
                ++i;
            }
        } else {
            flags |= found == quoted ? unsigned(USE_BRACES) : unsigned(ESCAPES);
        }
    }
    if (nesting != 0) flags = DONT_USE_BRACES | BRACES_UNMATCHED;
    return flags;
}

bool brace_mode(unsigned flags) { return (flags & USE_BRACES) && !(flags & DONT_USE_BRACES); }

// Backslash mode; `unmatched` escapes braces too.  A leading `{` is always
// escaped (a word starting with a brace would be read as a braced word).
template <typename C>
Py_ssize_t backslashed_length(const C* s, Py_ssize_t n, bool unmatched) {
    const Table& table = unmatched ? escapes_with_braces : escapes_keeping_braces;
    Py_ssize_t length = n, i = 0;
    if (s[0] == '{') {
        ++length;
        i = 1;
    }
    for (; i < n; ++i) length += lookup(table, s[i]) != 0;
    return length;
}

template <typename O, typename C>
[[gnu::always_inline]] inline O* copy_text(O* out, const C* s, Py_ssize_t n) {
    if (n <= 16) {  // most elements: cheaper than a call to memcpy
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = O(s[i]);
        return out + n;
    }
    if constexpr (sizeof(O) == sizeof(C)) {
        std::memcpy(out, s, size_t(n) * sizeof(C));
        return out + n;
    } else {
        for (Py_ssize_t i = 0; i < n; ++i) *out++ = O(s[i]);
        return out;
    }
}

// One character in backslash mode, without a branch: the backslash is
// always stored and kept only when the character needs it.
template <typename O, typename C>
[[gnu::always_inline]] inline O* put_backslashed(O* out, C c, const Table& table) {
    std::uint8_t escape = lookup(table, c);
    out[0] = '\\';
    out += escape != 0;
    out[0] = escape ? O(escape) : O(c);
    return out + 1;
}

// Elements in backslash mode hold a special character every few
// characters, so they are written without a branch per character, and only
// blocks of eight with nothing to escape are copied as they are.  One-byte
// text stores two bytes per character and moves on by one or two.  May
// write one character past the result (the caller's buffer has room for a
// separator or the terminating NUL there).
template <typename O, typename C>
O* write_backslashed(O* __restrict out, const C* __restrict s, Py_ssize_t n, bool unmatched) {
    const Table& table = unmatched ? escapes_with_braces : escapes_keeping_braces;
    constexpr bool pairs = sizeof(O) == 1 && sizeof(C) == 1 &&
                           std::endian::native == std::endian::little;
    const PairTable& pair_table = unmatched ? pairs_with_braces : pairs_keeping_braces;
    Py_ssize_t i = 0;
    if (s[0] == '{') {
        *out++ = '\\';
        *out++ = '{';
        i = 1;
    }
    auto put = [&](C c) {
        if constexpr (pairs) {
            std::uint32_t entry = pair_table[c];
            std::uint16_t pair = std::uint16_t(entry);
            std::memcpy(out, &pair, 2);
            out += entry >> 16;
        } else {
            out = put_backslashed(out, c, table);
        }
    };
    // After a block that held something to escape the next one is written
    // without testing it first.
    bool dense = false;
    for (; i + 8 <= n; i += 8) {
        if (!dense) {
            std::uint8_t any = 0;
            for (int k = 0; k < 8; ++k) any |= lookup(table, s[i + k]);
            if (!any) {
                for (int k = 0; k < 8; ++k) out[k] = O(s[i + k]);
                out += 8;
                continue;
            }
        }
        O* block_start = out;
        for (int k = 0; k < 8; ++k) put(s[i + k]);
        dense = out - block_start > 8;
    }
    for (; i < n; ++i) put(s[i]);
    return out;
}

// Quoted length and quoted text of one element whose flags came from
// scan_element (so a leading `{` in backslash mode makes braces unmatched).
// The empty text is in brace mode, and a text without flags is written as
// it is.
bool backslash_mode(unsigned flags) { return flags != 0 && !brace_mode(flags); }

template <typename C>
[[gnu::always_inline]] inline Py_ssize_t quoted_length(const C* s, Py_ssize_t n, unsigned flags) {
    if (!backslash_mode(flags)) return n + 2 * (flags & USE_BRACES);
    return backslashed_length(s, n, (flags & BRACES_UNMATCHED) || s[0] == '{') +
           ((flags & ESCAPE_HASH) != 0);
}

// The flags of a list's first element, from its scan (see the rule above).
template <typename C>
inline unsigned first_element_flags(const C* s, unsigned flags) {
    if (s[0] != '#') return flags;  // (an empty text's data is its NUL)
    return (flags & DONT_USE_BRACES) ? flags | ESCAPE_HASH : flags | USE_BRACES;
}

// May write one character past the quoted element: the caller's buffer
// holds a separator or the terminating NUL there, written afterwards.
template <typename O, typename C>
[[gnu::always_inline]] inline O* write_quoted(O* out, const C* s, Py_ssize_t n, unsigned flags) {
    if (backslash_mode(flags)) {
        if (flags & ESCAPE_HASH) *out++ = '\\';
        return write_backslashed(out, s, n, (flags & BRACES_UNMATCHED) || s[0] == '{');
    }
    // Plain or braced: the braces are written either way and kept only in
    // brace mode, which spares a hard-to-predict branch per element.
    Py_ssize_t braces = flags & USE_BRACES;
    out[0] = '{';
    out = copy_text(out + braces, s, n);
    out[0] = '}';
    return out + braces;
}

// Call f(data, length) with the str's data typed by its kind.
template <typename F>
decltype(auto) with_data(PyObject* text, F&& f) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_IS_COMPACT_ASCII(text))  // the usual case, tested first
        return f(static_cast<const Py_UCS1*>(PyUnicode_DATA(text)), n);
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: return f(static_cast<const Py_UCS1*>(data), n);
        case PyUnicode_2BYTE_KIND: return f(static_cast<const Py_UCS2*>(data), n);
        default: return f(static_cast<const Py_UCS4*>(data), n);
    }
}

// A new str of `length` characters able to hold everything in `maxchar`,
// written by fill(pointer) with the pointer typed for the str's kind.
template <typename F>
Ref build_text(Py_ssize_t length, Py_UCS4 maxchar, F&& fill) {
    Ref result = own(PyUnicode_New(length, maxchar));
    void* data = PyUnicode_DATA(result.get());
    switch (PyUnicode_KIND(result.get())) {
        case PyUnicode_1BYTE_KIND: fill(static_cast<Py_UCS1*>(data)); break;
        case PyUnicode_2BYTE_KIND: fill(static_cast<Py_UCS2*>(data)); break;
        default: fill(static_cast<Py_UCS4*>(data)); break;
    }
    return result;
}

// The widest character a str may hold, by its kind: the str is in its
// narrowest form, so the widest kind among the parts is the result's.
Py_UCS4 max_char(PyObject* text) {
    return PyUnicode_IS_ASCII(text) ? 0x7f : PyUnicode_MAX_CHAR_VALUE(text);
}

unsigned scan_text(PyObject* text) {
    return with_data(text, [](auto s, Py_ssize_t n) { return scan_element(s, n); });
}

[[noreturn]] void too_long() { raise(PyExc_OverflowError, "Tcl list text would be too long"); }

// Elements written straight from their objects: an exact str, and an
// exact int of machine size, whose decimal digits (and minus sign) never
// need quoting and are written without making a str of them first.
bool machine_int(PyObject* obj, long long& value) {
    // A compact int (one digit) is read as it is.
    auto* number = reinterpret_cast<PyLongObject*>(obj);
    if (PyUnstable_Long_IsCompact(number)) {
        value = PyUnstable_Long_CompactValue(number);
        return true;
    }
    int overflow = 0;
    value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (value == -1 && !overflow && PyErr_Occurred()) throw PyError{};
    return overflow == 0;
}

// -sys.maxsize - 1 <= value <= sys.maxsize, for an exact int.
bool machine_size(PyObject* value) {
    long long number;
    return machine_int(value, number) && number >= PY_SSIZE_T_MIN && number <= PY_SSIZE_T_MAX;
}

unsigned long long current_abc_token(State& st);

// Whether exact ints are written as their digits without the container
// tests: while int is known to be no Sequence, Set or Mapping for abc's
// current token, and the token is read without running Python code.  Until
// one int has been tested (which makes it known), ints take the long way.
bool ints_plain(State& st) {
    const State::AbcKnown& entry = st.abc_known[size_t(Exact::integer)];
    return entry.valid && entry.abc == Abc::none && st.token_native &&
           entry.token == current_abc_token(st);
}

bool ready(State& st, PyObject* obj) {
    long long value;
    return PyUnicode_CheckExact(obj) ||
           (PyLong_CheckExact(obj) && machine_int(obj, value) && ints_plain(st));
}

// The decimal text of `value`, ending at `end`; returns where it starts.
char* decimal(long long value, char* end) {
    unsigned long long magnitude = value < 0 ? 0ull - static_cast<unsigned long long>(value)
                                             : static_cast<unsigned long long>(value);
    do {
        *--end = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (value < 0) *--end = '-';
    return end;
}

// str() of an int of machine size.
Ref decimal_text(long long value) {
    char buffer[24];
    char* start = decimal(value, buffer + sizeof buffer);
    Py_ssize_t length = buffer + sizeof buffer - start;
    if (length == 1) return own(PyUnicode_FromOrdinal(start[0]));  // Python keeps these
    Ref text = own(PyUnicode_New(length, 0x7f));
    copy_text(PyUnicode_1BYTE_DATA(text.get()), reinterpret_cast<const Py_UCS1*>(start), length);
    return text;
}

// Resize a str made here and not yet shared; *text is left as it was when
// that fails.
void resize_text(Ref& text, Py_ssize_t length) {
    PyObject* raw = text.release();
    int failed = PyUnicode_Resize(&raw, length);
    text = Ref::steal(raw);
    if (failed) throw PyError{};
}

// List text written element by element into a str that grows as it fills
// and is cut to size at the end: each element is quoted right after its
// scan, while its data is still in the cache.  An element never takes more
// than twice its length plus its braces and separator, so room for that is
// made before it is written.  The str starts out ASCII; the first element
// with wider characters has what is written so far copied once into a str
// of the wider kind.
class ListWriter {
public:
    explicit ListWriter(Py_ssize_t expected) {
        capacity_ = expected > (PY_SSIZE_T_MAX - 16) / 8 ? 16 : 8 * expected + 16;
        result_ = own(PyUnicode_New(capacity_, 0x7f));
    }

    // An exact str or an exact int of machine size is written; false for
    // anything else (nothing written).
    bool add_ready(State& st, PyObject* element) {
        if (PyUnicode_CheckExact(element)) {
            add_text(element);
            return true;
        }
        long long value;
        if (!PyLong_CheckExact(element) || !machine_int(element, value) || !ints_plain(st))
            return false;
        char buffer[24];
        char* start = decimal(value, buffer + sizeof buffer);
        Py_ssize_t n = buffer + sizeof buffer - start;
        room(n);
        bool first = count_++ == 0;
        write([&](auto out) {
            if (!first) *out++ = ' ';
            return copy_text(out, reinterpret_cast<const Py_UCS1*>(start), n);
        });
        return true;
    }

    // An exact str.
    void add_text(PyObject* text) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        bool first = count_++ == 0;
        if (PyUnicode_IS_COMPACT_ASCII(text) && kind_ == PyUnicode_1BYTE_KIND) {  // usually
            room(n);
            auto s = static_cast<const Py_UCS1*>(PyUnicode_DATA(text));
            Py_UCS1* start = PyUnicode_1BYTE_DATA(result_.get());
            used_ = write_element(start + used_, s, n, first) - start;
            return;
        }
        Py_UCS4 widest = max_char(text);
        if (widest > maxchar_) widen(widest);
        room(n);
        write([&](auto out) {
            return with_data(text, [&](auto s, Py_ssize_t) { return write_element(out, s, n, first); });
        });
    }

    Ref finish() {
        if (count_ == 0) return empty_text();
        resize_text(result_, used_);
        return std::move(result_);
    }

private:
    template <typename O, typename C>
    [[gnu::always_inline]] static O* write_element(O* out, const C* s, Py_ssize_t n, bool first) {
        if (!first) *out++ = ' ';
        unsigned flags = scan_element(s, n, true);
        if (first) flags = first_element_flags(s, flags);
        return write_quoted(out, s, n, flags);
    }

    // Call f(pointer to the end of what is written), typed by the result's
    // kind; f returns the new end.
    template <typename F>
    void write(F&& f) {
        void* data = PyUnicode_DATA(result_.get());
        switch (kind_) {
            case PyUnicode_1BYTE_KIND: {
                auto start = static_cast<Py_UCS1*>(data);
                used_ = f(start + used_) - start;
                break;
            }
            case PyUnicode_2BYTE_KIND: {
                auto start = static_cast<Py_UCS2*>(data);
                used_ = f(start + used_) - start;
                break;
            }
            default: {
                auto start = static_cast<Py_UCS4*>(data);
                used_ = f(start + used_) - start;
                break;
            }
        }
    }

    // Room for one more element of n characters: a separator, twice n, a
    // brace or a backslash for a leading `#`, and the character that
    // write_quoted may write past the element.
    void room(Py_ssize_t n) {
        if (n > (PY_SSIZE_T_MAX - 4) / 2 - used_) too_long();
        Py_ssize_t wanted = used_ + 2 * n + 4;
        if (wanted <= capacity_) return;
        capacity_ = capacity_ > PY_SSIZE_T_MAX / 3 * 2 ? wanted : std::max(wanted, capacity_ / 2 * 3);
        resize_text(result_, capacity_);
    }

    void widen(Py_UCS4 maxchar) {
        Ref wider = own(PyUnicode_New(capacity_, maxchar));
        if (PyUnicode_CopyCharacters(wider, 0, result_, 0, used_) < 0) throw PyError{};
        result_ = std::move(wider);
        maxchar_ = maxchar;
        kind_ = PyUnicode_KIND(result_.get());
    }

    Ref result_;
    Py_ssize_t capacity_ = 0, used_ = 0, count_ = 0;
    Py_UCS4 maxchar_ = 0x7f;
    int kind_ = PyUnicode_1BYTE_KIND;
};

// A list of one element, scanned alone before anything is written: a single
// element is often a long text, given back as it is when it needs no
// quoting (as ' '.join does).  An empty result when it is not ready.
Ref join_one(State& st, PyObject* element) {
    if (!ready(st, element)) return Ref();
    if (!PyUnicode_CheckExact(element)) {
        long long value;
        machine_int(element, value);
        return decimal_text(value);
    }
    return with_data(element, [&](auto s, Py_ssize_t n) -> Ref {
        unsigned flags = first_element_flags(s, scan_element(s, n, true));
        if (flags == 0) return Ref::borrow(element);
        return build_text(quoted_length(s, n, flags), max_char(element),
                          [&](auto out) { *write_quoted(out, s, n, flags) = 0; });
    });
}

// The list text of `count` elements, element_at(i) giving each.  An empty
// result (no exception set) when an element is not ready; nothing has
// happened then that the caller could notice.
template <typename ElementAt>
Ref join_quoted(State& st, Py_ssize_t count, ElementAt element_at) {
    if (count == 0) return empty_text();
    if (count == 1) return join_one(st, element_at(0));
    ListWriter writer(count);
    for (Py_ssize_t i = 0; i < count; ++i)
        if (!writer.add_ready(st, element_at(i))) return Ref();
    return writer.finish();
}

// --- type tests --------------------------------------------------------------

Exact exact_kind(PyTypeObject* type) {
    if (type == &PyUnicode_Type) return Exact::str;
    if (type == &PyLong_Type) return Exact::integer;
    if (type == &PyList_Type) return Exact::list;
    if (type == &PyTuple_Type) return Exact::tuple;
    if (type == &PyFloat_Type) return Exact::floating;
    if (type == &PyDict_Type) return Exact::dict;
    if (type == Py_TYPE(Py_None)) return Exact::none;
    if (type == &PyBool_Type) return Exact::boolean;
    if (type == &PyBytes_Type) return Exact::bytes;
    if (type == &PySet_Type) return Exact::set;
    if (type == &PyFrozenSet_Type) return Exact::frozenset;
    return Exact::other;
}

// isinstance(obj, NAME), NAME read from the module's globals now.
bool isinstance_of(State& st, PyObject* obj, size_t name) {
    Ref type = st.global(name);
    return isinstance(obj, type);
}

// Sequence, else Set, else Mapping.
Abc abc_kind(State& st, PyObject* obj) {
    if (isinstance_of(st, obj, n_Sequence)) return Abc::sequence;
    if (isinstance_of(st, obj, n_Set)) return Abc::set;
    if (isinstance_of(st, obj, n_Mapping)) return Abc::mapping;
    return Abc::none;
}

// The same for an exact built-in type while the module's own abstract base
// classes are in place.  list, tuple and bytes are registered sequences
// (registrations are never undone).  For the other types the answer is
// kept per type and used while abc's cache token (which changes whenever
// a class is registered with any ABC) stays the same, so registering, say,
// dict with Sequence still counts.  The token is read at most once per call
// into the module: a list of numbers does not ask for it once per number.
//
// Each function the module exposes starts by forgetting the token it read.
void new_call(State& st) { st.abc_token_read = false; }

// The builtin get_cache_token is called through its C function, as the
// call machinery would call it, without the machinery: the token is read
// on every call into the module with an int or a float.
Ref read_abc_token(State& st) {
    if (st.token_function) return own(st.token_function(st.token_self, nullptr));
    return call(st.get_cache_token);
}

unsigned long long current_abc_token(State& st) {
    if (!st.abc_token_read) {
        Ref token = read_abc_token(st);
        st.abc_token = PyLong_AsUnsignedLongLong(token);
        if (st.abc_token == ~0ull && PyErr_Occurred()) throw PyError{};
        st.abc_token_read = true;
    }
    return st.abc_token;
}

Abc abc_kind_exact(State& st, Exact kind, PyObject* obj) {
    if (kind == Exact::list || kind == Exact::tuple || kind == Exact::bytes) return Abc::sequence;
    unsigned long long token = current_abc_token(st);
    State::AbcKnown& entry = st.abc_known[size_t(kind)];
    if (!entry.valid || entry.token != token) {
        entry.abc = abc_kind(st, obj);
        entry.token = token;
        entry.valid = true;
    }
    return entry.abc;
}

// --- sorvan: any value to Tcl text ---------------------------------------------

Ref to_text(State& st, PyObject* obj);
Ref sequence_text(State& st, PyObject* iterable);
Ref mapping_text(State& st, PyObject* mapping);

// SORVAN(obj): the module's current `sorvan`.
Ref sorvan_global(State& st, PyObject* obj) {
    if (st.own_sorvan.holds(st.watch)) return to_text(st, obj);
    Ref function = st.global(n_sorvan);
    return call(function, obj);
}

Ref container_text(State& st, PyObject* obj, Abc abc) {
    switch (abc) {
        case Abc::sequence:
        case Abc::set: {
            if (st.own_sorvan_from_sequence.holds(st.watch)) return sequence_text(st, obj);
            Ref function = st.global(n_sorvan_from_sequence);
            return call(function, obj);
        }
        case Abc::mapping: {
            if (st.own_sorvan_from_mapping.holds(st.watch)) return mapping_text(st, obj);
            Ref function = st.global(n_sorvan_from_mapping);
            return call(function, obj);
        }
        case Abc::none: break;
    }
    // An exact int of machine size gives the digits str() would give,
    // written directly (str() of an int takes a general base conversion).
    long long value;
    if (PyLong_CheckExact(obj) && machine_int(obj, value)) return decimal_text(value);
    return own(PyObject_Str(obj));
}

Ref bool_text(State& st, bool value) {
    return Ref::borrow(st.names[value ? n_true : n_false]);
}

Ref to_text(State& st, PyObject* obj) {
    Exact kind = exact_kind(Py_TYPE(obj));
    if (kind != Exact::other && st.text_types.holds(st.watch)) {
        switch (kind) {
            case Exact::str: return Ref::borrow(obj);
            case Exact::none: return empty_text();
            case Exact::boolean: return bool_text(st, obj == Py_True);
            default: return container_text(st, obj, abc_kind_exact(st, kind, obj));
        }
    }
    if (kind == Exact::other) {
        Ref hook = getattr_optional(obj, st.names[n_sorvan_hook]);
        if (hook && truthy(hook)) return call(hook);
        hook = getattr_optional(obj, st.names[n_tclobj_hook]);
        if (hook && truthy(hook)) {
            Ref result = call(hook);
            RecursionGuard guard(" while converting a value to Tcl text");
            return sorvan_global(st, result);
        }
    }
    if (obj == Py_None) return empty_text();
    if (isinstance_of(st, obj, n_unicode)) return own(PyObject_Str(obj));
    if (isinstance(obj, reinterpret_cast<PyObject*>(&PyBool_Type)))
        return bool_text(st, truthy(obj));
    return container_text(st, obj, abc_kind(st, obj));
}

// Call f(item) for each item of an iterable, iterating it once.  A list is
// walked by index against its current length, as its iterator does, so a
// list changed under the walk behaves as it would in a for loop.
template <typename F>
void for_each_item(PyObject* iterable, F&& f) {
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(iterable); ++i) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(iterable, i));
            f(item.get());
        }
        return;
    }
    Ref iterator = own(PyObject_GetIter(iterable));
    while (PyObject* next = PyIter_Next(iterator)) {
        Ref item = Ref::steal(next);
        f(item.get());
    }
    if (PyErr_Occurred()) throw PyError{};
}

Py_ssize_t length_hint(PyObject* iterable) {
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable))
        return PySequence_Fast_GET_SIZE(iterable);
    return 0;
}

// keys and values of a mapping, alternating: [x for key in obj for x in (key, obj[key])]
Refs mapping_items(PyObject* mapping) {
    Refs items;
    if (PyDict_CheckExact(mapping)) {
        // A plain dict is read entry by entry.  For a str or int key,
        // obj[key] is the value stored beside it and looking it up runs no
        // Python code; any other key is looked up, as the loop would, and
        // a dict changed by that (a key's __hash__ or __eq__) is reported
        // as iteration reports it.
        Py_ssize_t size = PyDict_GET_SIZE(mapping);
        items.reserve(size_t(size) * 2);
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(mapping, &position, &key, &value)) {
            Ref held_key = Ref::borrow(key);
            Ref held_value = Ref::borrow(value);
            if (!PyUnicode_CheckExact(key) && !PyLong_CheckExact(key)) {
                held_value = own(PyObject_GetItem(mapping, key));
                if (PyDict_GET_SIZE(mapping) != size)
                    raise(PyExc_RuntimeError, "dictionary changed size during iteration");
            }
            items.push_back(std::move(held_key));
            items.push_back(std::move(held_value));
        }
        return items;
    }
    for_each_item(mapping, [&](PyObject* key) {
        Ref value = own(PyObject_GetItem(mapping, key));
        items.push_back(Ref::borrow(key));
        items.push_back(std::move(value));
    });
    return items;
}

Ref list_of(Refs& items) {
    Ref list = own(PyList_New(Py_ssize_t(items.size())));
    for (size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), items[i].release());
    return list;
}

// SORVAN(item) for the first pass over a list's items.  While the module
// is untouched, a ready element stands for its own text.
Ref element_for_join(State& st, PyObject* item) {
    if (st.direct_join.holds(st.watch) && ready(st, item)) return Ref::borrow(item);
    return sorvan_global(st, item);
}

bool has_flag(PyObject* flags, PyObject* name) {
    return check(PySequence_Contains(flags, name)) != 0;
}

Ref element_text(State& st, PyObject* obj);

// The second and third passes over the element texts: scan, then convert
// and join.  Directly while the quoting functions are the module's own and
// every element is ready (an exact str, for which SORVAN(text) is the text
// itself, or a machine-size int); otherwise through the functions in the
// module's globals.
Ref join_texts(State& st, Refs& texts) {
    Py_ssize_t count = Py_ssize_t(texts.size());
    if (st.direct_join.holds(st.watch)) {
        Ref joined = join_quoted(st, count, [&](Py_ssize_t i) { return texts[i].get(); });
        if (joined) return joined;
    }

    Refs flag_sets;
    flag_sets.reserve(texts.size());
    for (Ref& text : texts) {
        Ref scan = st.global(n_scan_element);
        Ref scanned = call(scan, text.get());
        flag_sets.push_back(own(PyObject_GetItem(scanned, st.one)));
    }
    Refs parts;
    parts.reserve(texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        Ref convert = st.global(n_convert_element);
        parts.push_back(call(convert, texts[i].get(), flag_sets[i].get()));
    }
    // The first element's leading `#`, quoted as the direct join quotes it.
    if (!parts.empty() && PyUnicode_Check(parts[0].get()) &&
        PyUnicode_GET_LENGTH(parts[0].get()) > 0 && PyUnicode_READ_CHAR(parts[0].get(), 0) == '#') {
        if (has_flag(flag_sets[0], st.names[n_dont_use_braces]))
            parts[0] = own(PyUnicode_FromFormat("\\%U", parts[0].get()));
        else {
            // texts[0] may be a hook's non-str result: brace the text that
            // the element functions read from it.
            Ref first = PyUnicode_Check(texts[0].get()) ? Ref::borrow(texts[0].get())
                                                        : element_text(st, texts[0]);
            parts[0] = own(PyUnicode_FromFormat("{%U}", first.get()));
        }
    }
    Ref list = list_of(parts);
    return own(PyUnicode_Join(st.names[n_space], list));
}

// The text of an item whose conversion runs no Python code while the
// module is untouched: None, a bool, and a float or a wide int while the
// container test of its type is known ("none") for abc's current token.
// An empty result for anything else.
Ref plain_text(State& st, PyObject* item) {
    if (item == Py_None) return empty_text();
    PyTypeObject* type = Py_TYPE(item);
    if (type == &PyBool_Type) return bool_text(st, item == Py_True);
    Exact kind = type == &PyFloat_Type ? Exact::floating
                 : type == &PyLong_Type ? Exact::integer
                                        : Exact::other;
    if (kind == Exact::other || !st.token_native) return Ref();
    const State::AbcKnown& entry = st.abc_known[size_t(kind)];
    if (!entry.valid || entry.abc != Abc::none || entry.token != current_abc_token(st))
        return Ref();
    return own(PyObject_Str(item));
}

Ref sequence_text(State& st, PyObject* iterable) {
    bool indexed = PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable);
    Py_ssize_t start = 0;  // the items before it are texts, numbers or plain values
    if (indexed && st.direct_join.holds(st.watch)) {
        // A list or tuple of texts, numbers and plain values (the common
        // case): no Python code runs while they are written, so the items
        // are read in place, in a single pass.
        PyObject* const* items = PySequence_Fast_ITEMS(iterable);
        Py_ssize_t count = PySequence_Fast_GET_SIZE(iterable);
        if (count <= 1) {
            if (Ref joined = join_quoted(st, count, [items](Py_ssize_t i) { return items[i]; }))
                return joined;
        } else {
            ListWriter writer(count);
            for (; start < count; ++start) {
                if (writer.add_ready(st, items[start])) continue;
                Ref text = plain_text(st, items[start]);
                if (!text) break;
                writer.add_text(text);
            }
            if (start == count) return writer.finish();
        }
    }
    // Texts and numbers lead no deeper; other items may.
    RecursionGuard guard(" while converting a value to Tcl text");
    Refs texts;
    texts.reserve(size_t(length_hint(iterable)));
    // The items already written are still in place (nothing has run that
    // could change the list): their texts again, which runs no code either.
    for (Py_ssize_t i = 0; i < start; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(iterable, i);
        Ref text = ready(st, item) ? Ref::borrow(item) : plain_text(st, item);
        texts.push_back(text ? std::move(text) : element_for_join(st, item));
    }
    if (start == 0) {
        for_each_item(iterable,
                      [&](PyObject* item) { texts.push_back(element_for_join(st, item)); });
    } else {
        for (Py_ssize_t i = start; i < PySequence_Fast_GET_SIZE(iterable); ++i) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(iterable, i));
            texts.push_back(element_for_join(st, item));
        }
    }
    return join_texts(st, texts);
}

Ref mapping_text(State& st, PyObject* mapping) {
    RecursionGuard guard(" while converting a value to Tcl text");
    Refs items = mapping_items(mapping);
    if (!st.own_sorvan_from_sequence.holds(st.watch)) {
        Ref function = st.global(n_sorvan_from_sequence);
        Ref list = list_of(items);
        return call(function, list.get());
    }
    for (Ref& item : items) item = element_for_join(st, item);
    return join_texts(st, items);
}

// --- tclobj: any value to something tkinter passes to Tcl natively -------------
//
//     def tclobj(obj):
//         hook = getattr(obj, '__tclobj__', None)
//         if hook: return hook()
//         if obj is None: return ''
//         if isinstance(obj, (bytes, bool, float, UNICODE, _TKTCL_OBJ)): return obj
//         if type(obj) == int or type(obj) == _LONG_TYPE:
//             if -_SYSMAXSIZE - 1 <= obj <= _SYSMAXSIZE: return obj
//         if isinstance(obj, SEQUENCE) or isinstance(obj, SET):
//             return _TCLOBJ_FROM_SEQUENCE(obj)
//         if isinstance(obj, MAPPING): return _TCLOBJ_FROM_MAPPING(obj)
//         return SORVAN(obj)
//
//     def _tclobj_from_sequence(obj): return tuple(TCLOBJ(item) for item in obj)
//     def _tclobj_from_mapping(obj):
//         return _TCLOBJ_FROM_SEQUENCE([x for key in obj for x in (key, obj[key])])

Ref to_tclobj(State& st, PyObject* obj);
Ref sequence_tuple(State& st, PyObject* iterable);
Ref mapping_tuple(State& st, PyObject* mapping);

// A text with a lone surrogate (a file name decoded with surrogateescape,
// say) cannot reach Tcl: tkinter refuses it as a plain argument with a
// UnicodeEncodeError, but inside a tuple its conversion kills the process.
// So every text tclobj gives is refused here with tkinter's own error.
// Only the 2- and 4-byte kinds can hold surrogates.
bool has_surrogates(PyObject* text) {
    if (PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND) return false;
    return with_data(text, [](auto s, Py_ssize_t n) {
        for (Py_ssize_t i = 0; i < n; ++i)
            if (s[i] >= 0xD800 && s[i] <= 0xDFFF) return true;
        return false;
    });
}

void refuse_surrogates(PyObject* text) {
    if (has_surrogates(text)) own(PyUnicode_AsEncodedString(text, "utf-8", "strict"));
}

// The same for whatever a conversion gave: texts are checked, the rest
// passes.
Ref checked_text(Ref value) {
    if (PyUnicode_Check(value.get())) refuse_surrogates(value);
    return value;
}

// The same for a hook's result, which is handed on as it is: the texts in
// the tuples and lists that tkinter would convert are checked too.  (Only
// objects with a hook pay for the walk; it runs no Python code.)
void refuse_surrogates_within(PyObject* value) {
    if (PyUnicode_Check(value)) return refuse_surrogates(value);
    if (!PyTuple_Check(value) && !PyList_Check(value)) return;
    RecursionGuard guard(" while converting a value to Tcl objects");
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(value); ++i)
        refuse_surrogates_within(PySequence_Fast_GET_ITEM(value, i));
}

Ref tclobj_global(State& st, PyObject* obj) {
    if (st.own_tclobj.holds(st.watch)) return to_tclobj(st, obj);
    Ref function = st.global(n_tclobj);
    return call(function, obj);
}

Ref container_tclobj(State& st, PyObject* obj, Abc abc) {
    switch (abc) {
        case Abc::sequence:
        case Abc::set: {
            if (st.own_tclobj_from_sequence.holds(st.watch)) return sequence_tuple(st, obj);
            Ref function = st.global(n_tclobj_from_sequence);
            return call(function, obj);
        }
        case Abc::mapping: {
            if (st.own_tclobj_from_mapping.holds(st.watch)) return mapping_tuple(st, obj);
            Ref function = st.global(n_tclobj_from_mapping);
            return call(function, obj);
        }
        case Abc::none: break;
    }
    return checked_text(sorvan_global(st, obj));
}

// The same test against whatever _sysmaxsize and _long_type now hold.
bool machine_size_int(State& st, PyObject* obj) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    Ref long_type_now = st.global(n_long_type);
    bool is_int = check(PyObject_RichCompareBool(type, long_type, Py_EQ)) ||
                  check(PyObject_RichCompareBool(type, long_type_now, Py_EQ));
    if (!is_int) return false;
    Ref maxsize = st.global(n_sysmaxsize);
    Ref lowest = own(PyNumber_Negative(maxsize));
    lowest = own(PyNumber_Subtract(lowest, st.one));
    return check(PyObject_RichCompareBool(lowest, obj, Py_LE)) &&
           check(PyObject_RichCompareBool(obj, maxsize, Py_LE));
}

Ref to_tclobj(State& st, PyObject* obj) {
    Exact kind = exact_kind(Py_TYPE(obj));
    if (kind != Exact::other && st.object_types.holds(st.watch)) {
        switch (kind) {
            case Exact::str: refuse_surrogates(obj); return Ref::borrow(obj);
            case Exact::bytes:
            case Exact::boolean:
            case Exact::floating: return Ref::borrow(obj);
            case Exact::none: return empty_text();
            case Exact::integer:
                if (machine_size(obj)) return Ref::borrow(obj);
                break;
            default: break;
        }
        return container_tclobj(st, obj, abc_kind_exact(st, kind, obj));
    }
    if (kind == Exact::other) {
        Ref hook = getattr_optional(obj, st.names[n_tclobj_hook]);
        if (hook && truthy(hook)) {
            Ref result = call(hook);
            refuse_surrogates_within(result);
            return result;
        }
    }
    if (obj == Py_None) return empty_text();
    if (isinstance(obj, reinterpret_cast<PyObject*>(&PyBytes_Type)) ||
        isinstance(obj, reinterpret_cast<PyObject*>(&PyBool_Type)) ||
        isinstance(obj, reinterpret_cast<PyObject*>(&PyFloat_Type)) ||
        isinstance_of(st, obj, n_unicode) || isinstance_of(st, obj, n_tcl_obj))
        return checked_text(Ref::borrow(obj));
    if (machine_size_int(st, obj)) return Ref::borrow(obj);
    return container_tclobj(st, obj, abc_kind(st, obj));
}

Ref tuple_from(Refs& items) {
    Ref tuple = own(PyTuple_New(Py_ssize_t(items.size())));
    for (size_t i = 0; i < items.size(); ++i)
        PyTuple_SET_ITEM(tuple.get(), Py_ssize_t(i), items[i].release());
    return tuple;
}


// What tclobj makes of a value by its type alone, running no Python code,
// while the names tclobj tests types with are the module's own: the value
// itself (a plain value; not a text with a lone surrogate, which tclobj
// refuses), '' for None, a tuple for an exact list or tuple, or something
// only the whole conversion decides.
enum class Plain : std::uint8_t { unchanged, none, sequence, other };

[[gnu::always_inline]] inline Plain plain_kind(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyUnicode_Type)
        return PyUnicode_KIND(obj) == PyUnicode_1BYTE_KIND || !has_surrogates(obj)
                   ? Plain::unchanged
                   : Plain::other;
    if (type == &PyLong_Type) return machine_size(obj) ? Plain::unchanged : Plain::other;
    if (type == &PyFloat_Type || type == &PyBool_Type || type == &PyBytes_Type)
        return Plain::unchanged;
    if (obj == Py_None) return Plain::none;
    if (type == &PyList_Type || type == &PyTuple_Type) return Plain::sequence;
    return Plain::other;
}

// The one rule for "tclobj(obj) is obj, and no Python code runs".
[[gnu::always_inline]] inline bool passes_unchanged(State& st, PyObject* obj) {
    return plain_kind(obj) == Plain::unchanged && st.object_types.holds(st.watch);
}

// TCLOBJ(item) for every item of a tuple made here, in order: the tuple
// itself while every item converts to itself, else a new tuple of the
// results.  A conversion may run Python code, which may come across the
// tuple (through the collector, say), so no tuple is ever changed once made.
Ref convert_items(State& st, Ref tuple) {
    Py_ssize_t count = PyTuple_GET_SIZE(tuple.get());
    Refs results;  // empty until an item converts to another object
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyTuple_GET_ITEM(tuple.get(), i);
        Ref converted;
        if (st.own_tclobj.holds(st.watch) && passes_unchanged(st, item)) {
            converted = Ref::borrow(item);  // tclobj(item) is item
        } else {
            converted = tclobj_global(st, item);
        }
        if (results.empty()) {
            if (converted.get() == item) continue;
            results.reserve(size_t(count));
            for (Py_ssize_t j = 0; j < i; ++j)
                results.push_back(Ref::borrow(PyTuple_GET_ITEM(tuple.get(), j)));
        }
        results.push_back(std::move(converted));
    }
    if (results.empty()) return tuple;
    return tuple_from(results);
}

// Converted items collected before their tuple is made: a conversion may
// run Python code, which may come across a tuple (through the collector,
// say), so no tuple is made before its items are all there.  Short
// sequences (the leaves of most structures) keep their items on the stack;
// only the items pushed are ever constructed or destroyed.
class ItemBuffer {
public:
    explicit ItemBuffer(Py_ssize_t expected) {
        if (expected > local_size) grow(expected);
    }
    ItemBuffer(const ItemBuffer&) = delete;
    ItemBuffer& operator=(const ItemBuffer&) = delete;
    ~ItemBuffer() {
        std::destroy(items_, items_ + count_);
        if (items_ != local()) PyMem_Free(items_);
    }

    [[gnu::always_inline]] void push(Ref item) {
        if (count_ == capacity_) [[unlikely]]
            grow(capacity_ > PY_SSIZE_T_MAX / 4 / Py_ssize_t(sizeof(Ref)) ? -1 : 2 * capacity_);
        new (items_ + count_) Ref(std::move(item));
        ++count_;
    }

    Ref tuple() {
        Ref result = own(PyTuple_New(count_));
        for (Py_ssize_t i = 0; i < count_; ++i)
            PyTuple_SET_ITEM(result.get(), i, items_[i].release());
        count_ = 0;  // what is left is empty
        return result;
    }

private:
    Ref* local() { return std::launder(reinterpret_cast<Ref*>(storage_)); }

    [[gnu::noinline]] void grow(Py_ssize_t capacity) {
        if (capacity < 0 || capacity > PY_SSIZE_T_MAX / Py_ssize_t(sizeof(Ref)))
            throw std::bad_alloc();
        auto bigger = static_cast<Ref*>(PyMem_Malloc(size_t(capacity) * sizeof(Ref)));
        if (bigger == nullptr) throw std::bad_alloc();
        std::uninitialized_move(items_, items_ + count_, bigger);
        std::destroy(items_, items_ + count_);
        if (items_ != local()) PyMem_Free(items_);
        items_ = bigger;
        capacity_ = capacity;
    }

    static constexpr Py_ssize_t local_size = 16;
    alignas(Ref) unsigned char storage_[local_size * sizeof(Ref)];
    Ref* items_ = local();
    Py_ssize_t count_ = 0, capacity_ = local_size;
};

// The tuple for a short list or tuple of plain values (the leaves of most
// structures), made at once with no walk; an empty result for any other.
// Making the tuple may run Python code (through the collector), so each
// item is tested again as it is stored; should one have changed, the
// tuple is dropped at once, before anything could see its empty slots.
Ref plain_tuple(State& st, PyObject* sequence) {
    Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence);
    if (count > 16) return Ref();
    PyObject* const* values = PySequence_Fast_ITEMS(sequence);
    for (Py_ssize_t i = 0; i < count; ++i)
        if (plain_kind(values[i]) > Plain::none) return Ref();
    Ref tuple = own(PyTuple_New(count));
    if (PySequence_Fast_GET_SIZE(sequence) != count || !st.tclobj_direct.holds(st.watch))
        return Ref();
    values = PySequence_Fast_ITEMS(sequence);
    for (Py_ssize_t i = 0; i < count; ++i) {
        Plain kind = plain_kind(values[i]);
        if (kind > Plain::none) return Ref();
        PyObject* value = kind == Plain::none ? st.empty.get() : values[i];
        PyTuple_SET_ITEM(tuple.get(), i, Ref::borrow(value).release());
    }
    return tuple;
}

// Levels of nested lists and tuples walked before the recursion guard
// counts each further one: a walk goes this deep on its own bounded stack,
// so the records of a structure (a list of lists of plain values) cost no
// guard each.
constexpr int unguarded_levels = 2;

// The tuple for a list or tuple, walked by index against its current
// length, as a for loop walks it: a conversion that runs Python code may
// change a list.  While the module is untouched, plain values and nested
// lists and tuples are converted here, by type, running no Python code;
// anything else goes through TCLOBJ inside the recursion guard.  Only
// those two steps make objects, so only they can let Python code run (and
// change the list or the module): what the loop keeps of them is read
// again after each.
Ref walked_tuple(State& st, PyObject* sequence, int level = 0) {
    ItemBuffer items(PySequence_Fast_GET_SIZE(sequence));
    std::optional<RecursionGuard> guard;
    auto enter = [&guard] {
        if (!guard) guard.emplace(" while converting a value to Tcl objects");
    };
    PyObject* const* values;
    Py_ssize_t count;
    bool direct;
    auto look_again = [&] {
        values = PySequence_Fast_ITEMS(sequence);
        count = PySequence_Fast_GET_SIZE(sequence);
        direct = st.tclobj_direct.holds(st.watch);
    };
    look_again();
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = values[i];
        if (direct) {
            switch (plain_kind(item)) {
                case Plain::unchanged: items.push(Ref::borrow(item)); continue;
                case Plain::none: items.push(Ref::borrow(st.empty)); continue;
                case Plain::sequence: {
                    Ref held = Ref::borrow(item);
                    Ref tuple = plain_tuple(st, held);
                    if (!tuple) {
                        if (level >= unguarded_levels) enter();
                        tuple = walked_tuple(st, held, level + 1);
                    }
                    items.push(std::move(tuple));
                    look_again();
                    continue;
                }
                case Plain::other: break;
            }
        }
        Ref held = Ref::borrow(item);
        enter();
        items.push(tclobj_global(st, held));
        look_again();
    }
    return items.tuple();
}

Ref sequence_tuple(State& st, PyObject* iterable) {
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable))
        return walked_tuple(st, iterable);
    RecursionGuard guard(" while converting a value to Tcl objects");
    Refs items;
    for_each_item(iterable, [&](PyObject* item) { items.push_back(tclobj_global(st, item)); });
    return tuple_from(items);
}

// The keys and values of a dict whose keys are all str or int, alternating
// in a new tuple; an empty result for any other dict.  Nothing runs that
// could change the dict while it is read.
Ref plain_dict_items(PyObject* dict) {
    Ref tuple = own(PyTuple_New(2 * PyDict_GET_SIZE(dict)));
    Py_ssize_t position = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key) && !PyLong_CheckExact(key)) return Ref();
        PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(key));
        PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(value));
    }
    return tuple;
}

Ref mapping_tuple(State& st, PyObject* mapping) {
    RecursionGuard guard(" while converting a value to Tcl objects");
    bool direct = st.own_tclobj_from_sequence.holds(st.watch);
    if (direct && PyDict_CheckExact(mapping)) {
        if (Ref result = plain_dict_items(mapping)) return convert_items(st, std::move(result));
    }
    Refs items = mapping_items(mapping);
    if (!direct) {
        Ref function = st.global(n_tclobj_from_sequence);
        Ref list = list_of(items);
        return call(function, list.get());
    }
    for (Ref& item : items) item = tclobj_global(st, item);
    return tuple_from(items);
}

// --- the module's functions ------------------------------------------------------

// The text an element function works on: SORVAN(obj), which must be a str.
Ref element_text(State& st, PyObject* obj) {
    Ref text = sorvan_global(st, obj);
    if (!PyUnicode_Check(text.get()))
        raise_format(PyExc_TypeError, "sorvan() gave %.200s, not str, for a list element",
                     Py_TYPE(text.get())->tp_name);
    return text;
}

Signature sorvan_sig{"sorvan", {req("obj")}};
Ref sorvan_body(State& st, PyObject*, const Args& args) {
    new_call(st);
    return to_text(st, args[0]);
}

Signature tclobj_sig{"tclobj", {req("obj")}};
Ref tclobj_body(State& st, PyObject*, const Args& args) {
    new_call(st);
    return to_tclobj(st, args[0]);
}

// The capsule's entries: the functions' bodies without the argument binding.
PyObject* sorvan_entry(void* state, PyObject* obj) {
    return guarded<PyObject*>(nullptr, [&] {
        State& st = *static_cast<State*>(state);
        new_call(st);
        Ref result = to_text(st, obj);
        if (!result && !PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "sorvan() returned no result");
        return result.release();
    });
}

PyObject* tclobj_entry(void* state, PyObject* obj) {
    return guarded<PyObject*>(nullptr, [&] {
        State& st = *static_cast<State*>(state);
        new_call(st);
        Ref result = to_tclobj(st, obj);
        if (!result && !PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "tclobj() returned no result");
        return result.release();
    });
}

bool passes_unchanged_entry(void* state, PyObject* obj) {
    try {
        return passes_unchanged(*static_cast<State*>(state), obj);
    } catch (const PyError&) {
        PyErr_Clear();  // the call the caller makes instead meets it again
        return false;
    }
}

Signature scan_element_sig{"_Tcl_ScanElement", {req("string")}};
Ref scan_element_body(State& st, PyObject*, const Args& args) {
    new_call(st);
    Ref text = element_text(st, args[0]);
    unsigned flags = scan_text(text);
    Ref flag_set = own(PySet_New(nullptr));
    if (flags & USE_BRACES) check(PySet_Add(flag_set, st.names[n_use_braces]));
    if (flags & DONT_USE_BRACES) check(PySet_Add(flag_set, st.names[n_dont_use_braces]));
    if (flags & BRACES_UNMATCHED) check(PySet_Add(flag_set, st.names[n_braces_unmatched]));
    Ref size = own(PyLong_FromSsize_t(2 * PyUnicode_GET_LENGTH(text.get()) + 2));
    return tuple_of({size.get(), flag_set.get()});
}

Signature convert_element_sig{"_Tcl_ConvertElement", {req("src"), req("flags")}};
Ref convert_element_body(State& st, PyObject*, const Args& args) {
    new_call(st);
    Ref text = element_text(st, args[0]);
    PyObject* flags = args[1];
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
    if (n == 0) return Ref::borrow(st.names[n_empty_braces]);
    Py_UCS4 maxchar = max_char(text);
    if (has_flag(flags, st.names[n_use_braces]) && !has_flag(flags, st.names[n_dont_use_braces])) {
        return build_text(n + 2, maxchar, [&](auto out) {
            with_data(text, [&](auto s, Py_ssize_t) { write_quoted(out, s, n, USE_BRACES); });
        });
    }
    // Backslash mode.  A leading `{` marks the caller's own flag set, and
    // the set is asked about unmatched braces only if there is a brace to
    // write after it.
    bool leading_brace = PyUnicode_READ_CHAR(text.get(), 0) == '{';
    if (leading_brace) call_method(flags, st.names[n_add], st.names[n_braces_unmatched]);
    bool later_brace = with_data(text, [leading_brace](auto s, Py_ssize_t length) {
        return skip_ordinary(s, leading_brace ? 1 : 0, length, braces) < length;
    });
    bool unmatched = later_brace && has_flag(flags, st.names[n_braces_unmatched]);
    Py_ssize_t length = with_data(
        text, [&](auto s, Py_ssize_t) { return backslashed_length(s, n, unmatched); });
    return build_text(length, maxchar, [&](auto out) {
        with_data(text, [&](auto s, Py_ssize_t) { *write_backslashed(out, s, n, unmatched) = 0; });
    });
}

Signature update_string_sig{"_tcl_UpdateStringOfList", {req("listObj")}};
Ref update_string_body(State& st, PyObject*, const Args& args) {
    new_call(st);
    return sequence_text(st, args[0]);
}

Signature sorvan_from_mapping_sig{"_sorvan_from_mapping", {req("obj")}};
Ref sorvan_from_mapping_body(State& st, PyObject*, const Args& args) {
    new_call(st);
    return mapping_text(st, args[0]);
}

Signature tclobj_from_sequence_sig{"_tclobj_from_sequence", {req("obj")}};
Ref tclobj_from_sequence_body(State& st, PyObject*, const Args& args) {
    new_call(st);
    return sequence_tuple(st, args[0]);
}

Signature tclobj_from_mapping_sig{"_tclobj_from_mapping", {req("obj")}};
Ref tclobj_from_mapping_body(State& st, PyObject*, const Args& args) {
    new_call(st);
    return mapping_tuple(st, args[0]);
}

const char* const sorvan_doc =
    "Convert any object into a string appropriate for use in Tcl.\n"
    "\n"
    "The result is a string: None gives '', a str is returned as it is, booleans\n"
    "give 'true' or 'false', sequences and sets give Tcl list text of their items\n"
    "and mappings the list text of their keys and values, every element quoted\n"
    "as Tcl's own list code quotes it; anything else gives its str().\n"
    "\n"
    "An object that defines __sorvan__() has that method invoked to perform the\n"
    "conversion, and its result is returned as it is; an object that defines\n"
    "__tclobj__() is converted through that method's result.";

const char* const tclobj_doc =
    "Prepare any object for being passed to Tcl as a native Tcl value.\n"
    "\n"
    "str, bytes, bool, float, machine-size int and Tcl_Obj values are returned\n"
    "as they are, None gives '', sequences and sets give a tuple of their items\n"
    "converted in turn, and mappings a tuple alternating converted keys and\n"
    "values; anything else gives its text from sorvan().  A text holding a lone\n"
    "surrogate, which Tcl cannot take, raises UnicodeEncodeError.\n"
    "\n"
    "An object that defines __tclobj__() has that method invoked to perform the\n"
    "conversion, and its result is returned as it is.";

const char* const scan_element_doc =
    "Scan sorvan(string) as a list element: (a size estimate, its flag set).";

const char* const convert_element_doc =
    "sorvan(src) quoted as one list element, as its flag set directs.\n"
    "\n"
    "'BRACES_UNMATCHED' is added to flags when a leading brace is escaped.";

const char* const update_string_doc =
    "The Tcl list text of the items of an iterable, each converted with sorvan().";

const char* const sorvan_from_mapping_doc =
    "The Tcl list text of a mapping's keys and values, alternating.";

const char* const tclobj_from_sequence_doc =
    "A tuple of tclobj() of each item of an iterable.";

const char* const tclobj_from_mapping_doc =
    "A tuple of tclobj() of a mapping's keys and values, alternating.";

void State::exec(PyObject* module) {
    names.fill(name_texts);
    dict = Ref::borrow(PyModule_GetDict(module));
    one = integer(1);
    empty = own(PyUnicode_New(0, 0));
    get_cache_token = import_from("abc", "get_cache_token");
    token_native = PyCFunction_Check(get_cache_token.get());
    if (token_native && PyCFunction_GetFlags(get_cache_token) == METH_NOARGS) {
        token_function = PyCFunction_GetFunction(get_cache_token);
        token_self = PyCFunction_GetSelf(get_cache_token);
    }
    function_type = make_dict_function_type(module);

    Ref abc = import("collections.abc");
    Ref mapping = getattr(abc, names[n_Mapping]);
    Ref sequence = getattr(abc, names[n_Sequence]);
    Ref set = getattr(abc, names[n_Set]);
    add(module, "Mapping", mapping);
    add(module, "Sequence", sequence);
    add(module, "Set", set);
    add(module, "unicode", str_type);
    Ref tcl_obj = import_from("_tkinter", "Tcl_Obj");
    add(module, "_tkTcl_Obj", tcl_obj);
    Ref sys = import("sys");
    add(module, "sys", sys);
    Ref sysmaxsize = getattr(sys, Ref(text("maxsize")));
    add(module, "_sysmaxsize", sysmaxsize);
    Ref beyond = own(PyNumber_Add(sysmaxsize, one));
    add(module, "_long_type", reinterpret_cast<PyObject*>(Py_TYPE(beyond.get())));

    Ref scan_element =
        make_function<scan_element_sig, scan_element_body>(module, scan_element_doc);
    add(module, "_Tcl_ScanElement", scan_element);
    Ref convert_element =
        make_function<convert_element_sig, convert_element_body>(module, convert_element_doc);
    add(module, "_Tcl_ConvertElement", convert_element);
    Ref sorvan_from_sequence =
        make_function<update_string_sig, update_string_body>(module, update_string_doc);
    add(module, "_tcl_UpdateStringOfList", sorvan_from_sequence);
    add(module, "_sorvan_from_sequence", sorvan_from_sequence);
    Ref sorvan_from_mapping = make_function<sorvan_from_mapping_sig, sorvan_from_mapping_body>(
        module, sorvan_from_mapping_doc);
    add(module, "_sorvan_from_mapping", sorvan_from_mapping);
    Ref tclobj_from_sequence =
        make_function<tclobj_from_sequence_sig, tclobj_from_sequence_body>(
            module, tclobj_from_sequence_doc);
    add(module, "_tclobj_from_sequence", tclobj_from_sequence);
    Ref tclobj_from_mapping = make_function<tclobj_from_mapping_sig, tclobj_from_mapping_body>(
        module, tclobj_from_mapping_doc);
    add(module, "_tclobj_from_mapping", tclobj_from_mapping);

    sorvan = make_dict_function<sorvan_sig, sorvan_body>(function_type, module, sorvan_doc);
    setattr(sorvan, names[n_from_sequence], sorvan_from_sequence);
    setattr(sorvan, names[n_from_mapping], sorvan_from_mapping);
    add(module, "sorvan", sorvan);
    tclobj = make_dict_function<tclobj_sig, tclobj_body>(function_type, module, tclobj_doc);
    setattr(tclobj, names[n_from_sequence], tclobj_from_sequence);
    setattr(tclobj, names[n_from_mapping], tclobj_from_mapping);
    add(module, "tclobj", tclobj);

    capi = {this, &sorvan_entry, &tclobj_entry, &passes_unchanged_entry, sorvan.get(),
            tclobj.get()};
    add(module, "_capi", own(PyCapsule_New(&capi, SorvanCApi::capsule_name, nullptr)));
    add(module, "__all__", tuple_of({names[n_sorvan], names[n_tclobj]}));

    watch.start();
    watch.add(dict);
    auto pin_text_types = [&](Held& held) {
        held.pin(dict, names[n_unicode], str_type);
        held.pin(dict, names[n_Sequence], sequence);
        held.pin(dict, names[n_Set], set);
        held.pin(dict, names[n_Mapping], mapping);
    };
    pin_text_types(text_types);
    pin_text_types(object_types);
    object_types.pin(dict, names[n_tcl_obj], tcl_obj);
    object_types.pin(dict, names[n_sysmaxsize], sysmaxsize);
    object_types.pin(dict, names[n_long_type], long_type);
    pin_text_types(direct_join);
    direct_join.pin(dict, names[n_sorvan], sorvan);
    direct_join.pin(dict, names[n_scan_element], scan_element);
    direct_join.pin(dict, names[n_convert_element], convert_element);
    pin_text_types(tclobj_direct);
    tclobj_direct.pin(dict, names[n_tcl_obj], tcl_obj);
    tclobj_direct.pin(dict, names[n_sysmaxsize], sysmaxsize);
    tclobj_direct.pin(dict, names[n_long_type], long_type);
    tclobj_direct.pin(dict, names[n_tclobj], tclobj);
    tclobj_direct.pin(dict, names[n_tclobj_from_sequence], tclobj_from_sequence);
    own_sorvan.pin(dict, names[n_sorvan], sorvan);
    own_tclobj.pin(dict, names[n_tclobj], tclobj);
    own_sorvan_from_sequence.pin(dict, names[n_sorvan_from_sequence], sorvan_from_sequence);
    own_sorvan_from_mapping.pin(dict, names[n_sorvan_from_mapping], sorvan_from_mapping);
    own_tclobj_from_sequence.pin(dict, names[n_tclobj_from_sequence], tclobj_from_sequence);
    own_tclobj_from_mapping.pin(dict, names[n_tclobj_from_mapping], tclobj_from_mapping);
}

}  // namespace

PyMODINIT_FUNC PyInit_sorvan() { return module_init<State>(); }

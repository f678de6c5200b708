"""A plain-Python rendering of orvex.tcl.sorvan: the same rules, written the
straightforward way.  The benchmarks measure the C++ module against it, and
the tests hold the two to the same results."""

from __future__ import annotations

import sys
from _tkinter import Tcl_Obj as _tkTcl_Obj
from collections.abc import Mapping, Sequence, Set

unicode = str
_sysmaxsize = sys.maxsize
_long_type = type(_sysmaxsize + 1)

_QUOTED = frozenset("[$; \f\n\r\t\v")
_ESCAPED = {c: "\\" + c for c in '[]$; \\"'}
_ESCAPED.update({"\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t", "\v": "\\v"})


def _Tcl_ScanElement(string):
    flags = set()
    nestingLevel = 0
    text = sorvan(string)
    length = len(text)
    if length == 0 or text[0] == "{" or text[0] == '"':
        flags.add("USE_BRACES")
    i = 0
    while i < length:
        c = text[i]
        if c == "{":
            nestingLevel += 1
        elif c == "}":
            nestingLevel -= 1
            if nestingLevel < 0:
                flags |= {"TCL_DONT_USE_BRACES", "BRACES_UNMATCHED"}
        elif c in _QUOTED:
            flags.add("USE_BRACES")
        elif c == "\\":
            if i + 1 == length or text[i + 1] == "\n":
                flags = {"TCL_DONT_USE_BRACES", "BRACES_UNMATCHED"}
            else:
                flags.add("USE_BRACES")
                i += 1  # the escaped character does not count
        i += 1
    if nestingLevel != 0:
        flags = {"TCL_DONT_USE_BRACES", "BRACES_UNMATCHED"}
    return 2 * length + 2, flags


def _Tcl_ConvertElement(src, flags):
    text = sorvan(src)
    if not text:
        return "{}"
    if "USE_BRACES" in flags and "TCL_DONT_USE_BRACES" not in flags:
        return "{" + text + "}"
    out = ""
    i = 0
    if text[0] == "{":
        out = "\\{"
        i = 1
        flags.add("BRACES_UNMATCHED")
    for c in text[i:]:
        if c in "{}":
            out += ("\\" + c) if "BRACES_UNMATCHED" in flags else c
        else:
            out += _ESCAPED.get(c, c)
    return out


def _tcl_UpdateStringOfList(listObj):
    texts = [sorvan(item) for item in listObj]
    flags = [_Tcl_ScanElement(text)[1] for text in texts]
    return " ".join(_Tcl_ConvertElement(text, f) for text, f in zip(texts, flags))


_sorvan_from_sequence = _tcl_UpdateStringOfList


def _sorvan_from_mapping(obj):
    items = []
    for key in obj:
        items.append(key)
        items.append(obj[key])
    return _sorvan_from_sequence(items)


def sorvan(obj):
    """Convert any object into a string appropriate for use in Tcl."""
    hook = getattr(obj, "__sorvan__", None)
    if hook:
        return hook()
    hook = getattr(obj, "__tclobj__", None)
    if hook:
        return sorvan(hook())
    if obj is None:
        return ""
    if isinstance(obj, unicode):
        return str(obj)
    if isinstance(obj, bool):
        return "true" if obj else "false"
    if isinstance(obj, Sequence) or isinstance(obj, Set):
        return _sorvan_from_sequence(obj)
    if isinstance(obj, Mapping):
        return _sorvan_from_mapping(obj)
    return str(obj)


sorvan.from_sequence = _sorvan_from_sequence
sorvan.from_mapping = _sorvan_from_mapping


def _tclobj_from_sequence(obj):
    return tuple(tclobj(item) for item in obj)


def _tclobj_from_mapping(obj):
    items = []
    for key in obj:
        items.append(key)
        items.append(obj[key])
    return _tclobj_from_sequence(items)


def tclobj(obj):
    """Prepare any object for being passed to Tcl as a native Tcl value."""
    hook = getattr(obj, "__tclobj__", None)
    if hook:
        return hook()
    if obj is None:
        return ""
    if isinstance(obj, (bytes, bool, float, unicode, _tkTcl_Obj)):
        return obj
    if (type(obj) == int or type(obj) == _long_type) and -_sysmaxsize - 1 <= obj <= _sysmaxsize:
        return obj
    if isinstance(obj, Sequence) or isinstance(obj, Set):
        return _tclobj_from_sequence(obj)
    if isinstance(obj, Mapping):
        return _tclobj_from_mapping(obj)
    return sorvan(obj)


tclobj.from_sequence = _tclobj_from_sequence
tclobj.from_mapping = _tclobj_from_mapping

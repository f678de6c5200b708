"""Tcl interpreters for Python, and the bridge between their values.

An `Interpreter` is one Tcl interpreter reached through tkinter (no Tk, no
window): it runs commands (`call`, `eval`), turns Tcl results into Python
values (the ``cast_*`` methods), exposes the global variables as a mapping
(`vars`), records quick calls (`history`) and offers the quick-call proxy
`hux`::

    from orvex.tcl import Interpreter
    tcl = Interpreter()
    tcl.hux.set('x', 5)          # runs: set x 5
    tcl.cast_list('a {b c}')     # ['a', 'b c']

The package module itself stands in for an interpreter: ``orvex.tcl.tk``,
``orvex.tcl.vars``, ``orvex.tcl.history`` and the ``cast_*`` functions serve a
default interpreter made on first use (`default_interpreter`).  Handles built
without an interpreter (``TclVariable('x')``) use it.

Submodules: `orvex.tcl.sorvan` (Python values to Tcl text and objects),
`orvex.tcl.kelvor` (TclX keyed lists), `orvex.tcl.namespace` (namespaces,
variables, arrays and commands) and `orvex.tcl.hux` (quick calls).
"""

from __future__ import annotations

import collections
import tkinter
from collections.abc import Iterator, MutableMapping
from functools import cached_property
from typing import Any

from _tkinter import Tcl_Obj, TclError

from orvex.tcl.hux import _cast_any

__all__ = [
    "Interpreter",
    "TclError",
    "TclValueError",
    "Tcl_Obj",
    "default_interpreter",
    "cast_list",
    "cast_boolean",
    "cast_array",
    "cast_any",
]

DEFAULT_HISTORY_LIMIT = 1000


class TclValueError(TclError, ValueError):
    """A Tcl value that cannot be read as what was asked for.

    Both a `TclError` (Tcl refused the value) and a `ValueError` (the value
    is wrong, not the program): keyed-list parsing takes ValueError as the
    mark of a plain value, so a malformed list must raise one.
    """


def _split_list(tk: Any, value: str | Tcl_Obj) -> list[str]:
    """Split a Tcl list (text or Tcl_Obj) into the texts of its elements."""
    try:
        if isinstance(value, str) and "\0" in value:
            # splitlist() refuses text holding NUL; Tcl's own lrange splits it.
            items = tk.call("::lrange", value, 0, "end")
        else:
            items = tk.splitlist(value)
    except TclError as error:
        raise TclValueError(*error.args) from None
    return [item if type(item) is str else str(item) for item in items]


class TclVars(MutableMapping):
    """The global variables of an interpreter, as a mapping.

    Keys are variable names (``'x'``, ``'::errorInfo'``, ``'arr(i)'``);
    reading a missing or array variable raises KeyError.
    """

    def __init__(self, tk: Any) -> None:
        self._tk = tk

    def __getitem__(self, name: str) -> Any:
        try:
            return self._tk.getvar(name)
        except TclError as error:
            raise KeyError(name) from error

    def __setitem__(self, name: str, value: Any) -> None:
        self._tk.setvar(name, value)

    def __delitem__(self, name: str) -> None:
        try:
            self._tk.unsetvar(name)
        except TclError as error:
            raise KeyError(name) from error

    def __contains__(self, name: object) -> bool:
        return isinstance(name, str) and bool(
            self._tk.getboolean(self._tk.call("::info", "exists", name))
        )

    def __iter__(self) -> Iterator[str]:
        return iter(_split_list(self._tk, self._tk.call("::info", "globals")))

    def __len__(self) -> int:
        return len(_split_list(self._tk, self._tk.call("::info", "globals")))


class Interpreter:
    """One Tcl interpreter, driven through tkinter.

    ``Interpreter(tclx=False, history_limit=1000)``: with ``tclx`` true the
    TclX extension is loaded at once (see `load_tclx`); `history` keeps the
    word lists of the last ``history_limit`` quick calls (None: unbounded).
    """

    def __init__(self, tclx: bool = False, history_limit: int | None = DEFAULT_HISTORY_LIMIT) -> None:
        self._app = tkinter.Tcl()
        #: The tkinter application object: call, eval, getvar, setvar, ...
        self.tk = self._app.tk
        #: The word lists of recent quick calls, oldest first.
        self.history: collections.deque = collections.deque(maxlen=history_limit)
        #: The global variables, as a mapping.
        self.vars = TclVars(self.tk)
        if tclx:
            self.load_tclx()

    def __repr__(self) -> str:
        return f"<{type(self).__module__}.{type(self).__qualname__} object at {id(self):#x}>"

    @cached_property
    def hux(self):
        """Quick calls: ``tcl.hux.ns.cmd(arg, opt=1)`` runs ``ns::cmd arg -opt 1``."""
        from orvex.tcl.hux import Hux

        return Hux(self)

    # --- running Tcl -----------------------------------------------------

    def eval(self, script: str) -> Any:
        """Evaluate a Tcl script; the raw result."""
        return self.tk.eval(script)

    def call(self, *words: Any) -> Any:
        """Run one command, each argument one word; the raw result."""
        return self.tk.call(*words)

    def load_tclx(self) -> str:
        """Load TclX (keyed lists and more) into this interpreter; its version."""
        return str(self.tk.call("package", "require", "Tclx"))

    # --- casts: Tcl results to Python values ----------------------------

    def cast_list(self, value: Any) -> list:
        """The elements of a Tcl list, as a list of texts.

        A Python list or tuple gives its items as they are; a Tcl_Obj or text
        is split by Tcl's list parser; anything else is split as its Tcl text
        (a number gives a one-element list).  Text that is not a well-formed
        list raises `TclValueError` (a TclError and a ValueError).
        """
        if isinstance(value, (list, tuple)):
            return list(value)
        if not isinstance(value, (str, Tcl_Obj)):
            from orvex.tcl.sorvan import sorvan

            value = sorvan(value)
        return _split_list(self.tk, value)

    def cast_boolean(self, value: Any) -> bool:
        """A truth value by Tcl's rules: 1/0, true/false, yes/no, on/off
        (any case and unique prefix), or any number (non-zero is true).
        Anything else raises `TclValueError`."""
        if isinstance(value, (bool, int, float)):
            return bool(value)
        try:
            return bool(self.tk.getboolean(value))
        except TclError:
            pass
        try:
            return self.tk.getdouble(value) != 0
        except (TclError, ValueError, TypeError):
            raise TclValueError(f'expected boolean value but got "{value}"') from None

    def cast_array(self, value: Any) -> dict:
        """The result of ``array get`` (name/value pairs) as a dict."""
        items = self.cast_list(value)
        return dict(zip(items[0::2], items[1::2]))

    # A Python value for a Tcl result (see _cast_value).  Native: it returns
    # what tkinter has already converted as it is, and a quick call
    # (orvex.tcl.hux) runs it without a Python call.
    cast_any = _cast_any


def _cast_value(interp: Interpreter, value: Any) -> Any:
    """`Interpreter.cast_any` for what is not already a plain Python value.

    A Tcl_Obj is converted by its Tcl type: numbers to numbers, a dict to a
    dict of texts, a TclX keyed list to a `orvex.tcl.kelvor.Kelvor`; any
    other type gives its text.  Anything else is returned as it is.
    """
    if not isinstance(value, Tcl_Obj):
        return value
    converter = _OBJ_CASTS.get(value.typename)
    if converter is None:
        return str(value)
    return converter(interp, value)


def _cast_dict(interp: Interpreter, value: Tcl_Obj) -> dict:
    return interp.cast_array(value)


def _cast_keyed_list(interp: Interpreter, value: Tcl_Obj) -> Any:
    from orvex.tcl.kelvor import Kelvor

    return Kelvor.from_tcl(value)


# Tcl object types that cast_any turns into something other than text.
_OBJ_CASTS = {
    "int": lambda interp, value: int(str(value), 0),
    "wideInt": lambda interp, value: int(str(value), 0),
    "bignum": lambda interp, value: int(str(value), 0),
    "double": lambda interp, value: interp.tk.getdouble(value),
    "boolean": lambda interp, value: interp.cast_boolean(value),
    "dict": _cast_dict,
    "keyedList": _cast_keyed_list,
}


# --- the package module as an interpreter ------------------------------------

_default: Interpreter | None = None


def default_interpreter() -> Interpreter:
    """The interpreter that the package module stands for, made on first use.

    ``orvex.tcl.tk``, ``orvex.tcl.vars``, ``orvex.tcl.history`` and the
    module-level casts all serve this interpreter, as do the handles built
    without an interpreter.
    """
    global _default
    if _default is None:
        _default = Interpreter()
        # From now on the module's members are plain attributes (no
        # __getattr__ detour on every access).
        globals().update(tk=_default.tk, vars=_default.vars, history=_default.history)
    return _default


def cast_list(value: Any) -> list:
    """`Interpreter.cast_list` on the default interpreter."""
    return default_interpreter().cast_list(value)


def cast_boolean(value: Any) -> bool:
    """`Interpreter.cast_boolean` on the default interpreter."""
    return default_interpreter().cast_boolean(value)


def cast_array(value: Any) -> dict:
    """`Interpreter.cast_array` on the default interpreter."""
    return default_interpreter().cast_array(value)


def cast_any(value: Any) -> Any:
    """`Interpreter.cast_any` on the default interpreter."""
    return default_interpreter().cast_any(value)


def __getattr__(name: str) -> Any:
    # tk, vars and history exist once the default interpreter does.
    if name in ("tk", "vars", "history"):
        return getattr(default_interpreter(), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

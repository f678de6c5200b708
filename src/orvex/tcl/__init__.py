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

import _tkinter
import collections
import threading
import tkinter
import traceback
from _tkinter import Tcl_Obj, TclError
from collections.abc import Iterator, MutableMapping
from typing import TYPE_CHECKING, Any

from orvex.tcl._version import __version__ as __version__

if TYPE_CHECKING:
    from _tkinter import TkappType

from orvex.tcl.hux import Hux, _cast_any

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
    "tcl_callback",
]

DEFAULT_HISTORY_LIMIT = 1000


class TclValueError(TclError, ValueError):
    """A Tcl value that cannot be read as what was asked for.

    Both a `TclError` (Tcl refused the value) and a `ValueError` (the value
    is wrong, not the program): keyed-list parsing takes ValueError as the
    mark of a plain value, so a malformed list must raise one.
    """


def _split_text(tk: Any, text: str) -> list[str]:
    """The texts of the elements of the Tcl list `text`, by Tcl's list parser."""
    try:
        if "\0" in text:
            # splitlist() refuses text holding NUL.  lrange parses a fresh
            # object made from the text, whose elements are untyped: tkinter
            # hands each back as its text, in a tuple (or "" for no element).
            items = tk.call("::lrange", text, 0, "end")
            if isinstance(items, tuple):
                return list(items)
            return [str(items)] if items != "" else []
        return list(tk.splitlist(text))
    except TclError as error:
        raise TclValueError(*error.args) from None


def _split_list(tk: Any, value: Any) -> list[Any]:
    """The elements of a Tcl list: a Python list or tuple gives its items as
    they are, anything else the texts of its elements.

    A Tcl_Obj is split through its text (its string representation), never
    as an object: splitting the object would turn it into a list, and
    tkinter would hand back its elements as Python values (tuples, numbers,
    Tcl_Objs) rather than as the texts that Tcl's lindex gives.
    """
    if type(value) is str:
        return _split_text(tk, value)
    if isinstance(value, (list, tuple)):
        return list(value)
    if not isinstance(value, (str, Tcl_Obj)):
        from orvex.tcl.sorvan import sorvan

        value = sorvan(value)
    return _split_text(tk, str(value))


class TclVars(MutableMapping[str, Any]):
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
        return iter(self._names())

    def __len__(self) -> int:
        return len(self._names())

    def _names(self) -> list[str]:
        # tkinter gives the list as a tuple of texts and Tcl_Objs (names
        # that Tcl has looked up), or as text.
        return [str(name) for name in _split_list(self._tk, self._tk.call("::info", "globals"))]


class Interpreter:
    """One Tcl interpreter, driven through tkinter.

    ``Interpreter(app=None, *, tclx=False, history_limit=1000)``: without
    ``app`` a new interpreter (no Tk); with ``app``, the interpreter of an
    existing tkinter application (``tkinter.Tk()``, ``tkinter.Tcl()``, or
    their ``.tk``), for instance a GUI's root window.  With ``tclx`` true
    the TclX extension is loaded at once (see `load_tclx`); `history` keeps
    the word lists of the last ``history_limit`` quick calls (None:
    unbounded).

    A failed `call` or `eval` raises TclError with the attributes
    ``errorinfo`` (::errorInfo, text) and ``errorcode`` (::errorCode, a
    tuple of texts); when a Python callback failed, its exception is the
    TclError's ``__cause__``.
    """

    # The attributes every call reads are fields: reading one costs no dict
    # lookup, from Python or from the C++ modules.  Instances still take
    # any other attribute in their __dict__.
    __slots__ = ("tk", "history", "vars", "hux", "__dict__", "__weakref__")

    def __init__(
        self,
        app: Any = None,
        *,
        tclx: bool = False,
        history_limit: int | None = DEFAULT_HISTORY_LIMIT,
    ) -> None:
        if app is None:
            app = tkinter.Tcl()
        if isinstance(app, tkinter.Tk):
            app = app.tk
        elif not isinstance(app, _tkinter.TkappType):
            raise TypeError(
                "app must be a tkinter application (tkinter.Tk(), tkinter.Tcl() "
                f"or their .tk), not {type(app).__name__}"
            )
        #: The tkinter application object: call, eval, getvar, setvar, ...
        self.tk = app
        #: The word lists of recent quick calls, oldest first.
        self.history: collections.deque[list[str]] = collections.deque(maxlen=history_limit)
        #: The global variables, as a mapping.
        self.vars = TclVars(self.tk)
        #: Quick calls: ``tcl.hux.ns.cmd(arg, opt=1)`` runs ``ns::cmd arg -opt 1``.
        self.hux: Hux = Hux(self)
        if tclx:
            self.load_tclx()

    def __repr__(self) -> str:
        return f"<{type(self).__module__}.{type(self).__qualname__} object at {id(self):#x}>"

    # --- running Tcl -----------------------------------------------------

    def eval(self, script: str) -> Any:
        """Evaluate a Tcl script; the raw result."""
        try:
            return self.tk.eval(script)
        except TclError as error:
            cause = _tcl_failure(self, error)
            if cause is not None:
                error.__cause__ = cause
            raise

    def call(self, *words: Any) -> Any:
        """Run one command, each argument one word; the raw result."""
        try:
            return self.tk.call(*words)
        except TclError as error:
            cause = _tcl_failure(self, error)
            if cause is not None:
                error.__cause__ = cause
            raise

    def load_tclx(self) -> str:
        """Load TclX (keyed lists and more) into this interpreter; its version."""
        return str(self.tk.call("package", "require", "Tclx"))

    # --- casts: Tcl results to Python values ----------------------------

    def cast_list(self, value: Any) -> list[str]:
        """The elements of a Tcl list, as a list of texts.

        A Python list or tuple gives its items as they are.  A Tcl_Obj or
        text gives, for each element, exactly the text that Tcl's ``lindex``
        gives, whatever the element is (a list, a dict, a number...); the
        Tcl_Obj keeps its Tcl type.  Anything else is split as its Tcl text
        (a number gives a one-element list).  Text that is not a well-formed
        list raises `TclValueError` (a TclError and a ValueError).
        """
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
            return bool(self.tk.getdouble(value) != 0)
        except (TclError, ValueError, TypeError):
            raise TclValueError(f'expected boolean value but got "{value}"') from None

    def cast_array(self, value: Any) -> dict[str, str]:
        """Name/value pairs (the result of ``array get``, a dict's text) as a
        dict, read as `cast_list` reads the elements.  A list of an odd
        number of elements raises `TclValueError`."""
        items = self.cast_list(value)
        if len(items) % 2:
            raise TclValueError("list must have an even number of elements")
        keys = items[0::2]
        if isinstance(value, (list, tuple)):
            # tkinter's tuples may hold Tcl_Objs, which cannot be keys: their text is
            keys = [str(key) if isinstance(key, Tcl_Obj) else key for key in keys]
        return dict(zip(keys, items[1::2]))

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


def _cast_dict(interp: Interpreter, value: Tcl_Obj) -> dict[str, str]:
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


# --- Python callbacks and Tcl errors ----------------------------------------
#
# tkinter runs a Python command and, when it raises, makes the Tcl command
# fail with no message (the exception is lost to Tcl).  tcl_callback's
# wrapper first raises the Tcl error itself (message, ::errorInfo and
# ::errorCode), then lets the exception go on to tkinter: raising is the only
# way a Python command can fail.
#
# tkinter keeps that exception in one process-wide place, which only a
# `mainloop` empties, raising it on the way out (a GUI's main loop would stop
# at once to raise it, long after the fact), and which the next failure
# overwrites without releasing it.  So the exception is taken out again where
# the Tcl error comes back to Python (Interpreter.call and eval, quick calls),
# and whatever is left there when a callback fails is taken out before it
# is overwritten.  The main loop that does this belongs to a Tcl interpreter
# of our own (one per thread, as tkinter binds an interpreter to its thread):
# a main loop also marks its interpreter as no longer serving other threads.
# It never loops: no count of Tk main windows exceeds _NO_LOOP.  (It also
# drops a pending quit request of tkinter's main loop.)
#
# _callback_error, the last exception a wrapper raised and the ::errorInfo
# it began, tells whether a Tcl error is that failure (and not one that Tcl
# caught, or that Tcl code made up).
_NO_LOOP = 2**31 - 1
_callback_error: tuple[BaseException, str] | None = None
_per_thread = threading.local()


def _take_kept_exception() -> BaseException | None:
    """Empty tkinter's place for a failed Python command; what it held."""
    app = getattr(_per_thread, "app", None)
    if app is None:
        # An interpreter without Tk that reads no profile scripts.
        app = _per_thread.app = _tkinter.create(None, "", "Tk", False, True, False, False, None)
    try:
        app.mainloop(_NO_LOOP)
    except BaseException as kept:
        return kept
    return None


_TAKE_KEPT_CODE = _take_kept_exception.__code__


def tcl_callback(app: Any, func: Any) -> Any:
    """`func` made ready to be a Tcl command of the tkinter application
    `app` (``app.createcommand(name, tcl_callback(app, func))``).

    The command returns what `func` returns.  When `func` raises, the command
    fails with a Tcl error: its result is ``"<ExceptionType>: <message>"``,
    ::errorInfo holds the Python traceback and ::errorCode is the list
    ``PYTHON <ExceptionType>``; a TclError raised by `Interpreter.call`,
    `Interpreter.eval` or a quick call for it has the exception as its
    ``__cause__``.  ``TclCommand.createcommand`` (and with it
    ``TempTclCommand(func)`` and the command views) registers callables
    through it.
    """

    def command(*args: Any) -> Any:
        try:
            return func(*args)
        except BaseException as error:
            _fail_in_tcl(app, error)
            raise

    command.__wrapped__ = func  # type: ignore[attr-defined]  # a function takes attributes
    return command


_COMMAND_CODE = tcl_callback(None, None).__code__


def _callback_frames(tb: Any) -> Any:
    """A callback's traceback without the frames of the machinery above."""
    while tb is not None and tb.tb_frame.f_code in (_COMMAND_CODE, _TAKE_KEPT_CODE):
        tb = tb.tb_next
    return tb


def _fail_in_tcl(app: Any, error: BaseException) -> None:
    global _callback_error
    _take_kept_exception()
    name = type(error).__name__
    try:
        message = f"{name}: {error}"
    except Exception:
        message = f"{name}: <unprintable {name} object>"
    trace = traceback.format_exception(type(error), error, _callback_frames(error.__traceback__))
    info = "".join(trace).rstrip("\n")
    _callback_error = (error, info)
    try:
        app.call("::error", message, info, ("PYTHON", name))
    except TclError:
        pass  # the Tcl error, as wanted: the interpreter holds it now


def _callback_exception(errorinfo: str) -> BaseException | None:
    """The exception of the callback whose failure ::errorInfo tells of,
    taken back from tkinter; None when it is not the last one to fail."""
    global _callback_error
    if _callback_error is None or not errorinfo.startswith(_callback_error[1]):
        return None
    expected, _callback_error = _callback_error[0], None
    kept = _take_kept_exception()
    if kept is not expected:
        return None
    kept.__traceback__ = _callback_frames(kept.__traceback__)
    return kept


def _tcl_failure(tcl: Any, error: TclError, info: Any = None) -> BaseException | None:
    """Complete `error`, a TclError that the interpreter of `tcl` has just
    raised: ``errorinfo`` is ::errorInfo as text (`info`, when the caller
    has read it already) and ``errorcode`` is ::errorCode as a tuple of
    texts.  Returns the exception of the Python callback that made the
    command fail, for the caller to raise `error` from, or None.

    A callback's exception that is not an Exception (KeyboardInterrupt,
    SystemExit) is raised here itself: it is for the program to act on.
    """
    variables = tcl.vars
    if info is None:
        # (unreadable only when the interpreter is gone: the error says why)
        info = variables.get("::errorInfo", error.args[0] if error.args else "")
    errorinfo = info if type(info) is str else str(info)
    code = variables.get("::errorCode")
    try:
        items = () if code is None else tcl.cast_list(code)
    except ValueError:  # Tcl code may set any text
        items = (code,)
    from orvex.tcl.sorvan import sorvan

    errorcode = tuple(item if type(item) is str else sorvan(item) for item in items)
    # TclError declares no attributes of its own: these go into its __dict__.
    error.__dict__.update(errorinfo=errorinfo, errorcode=errorcode)
    if errorcode[:1] != ("PYTHON",):
        return None
    cause = _callback_exception(errorinfo)
    if cause is not None and not isinstance(cause, Exception):
        raise cause
    return cause


# --- the package module as an interpreter ------------------------------------

_default: Interpreter | None = None

if TYPE_CHECKING:
    # Made by __getattr__ below, or set by default_interpreter().
    tk: TkappType
    vars: TclVars
    history: collections.deque[list[str]]


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


def cast_list(value: Any) -> list[str]:
    """`Interpreter.cast_list` on the default interpreter."""
    return default_interpreter().cast_list(value)


def cast_boolean(value: Any) -> bool:
    """`Interpreter.cast_boolean` on the default interpreter."""
    return default_interpreter().cast_boolean(value)


def cast_array(value: Any) -> dict[str, str]:
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

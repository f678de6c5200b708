"""Quick calls: Tcl commands called as attributes of the interpreter object.

    tcl.hux.set('count', 3)              # set count 3
    tcl.hux.app.cfg.load(path, force=1)  # app::cfg::load path -force 1
"""

from typing import Any, NoReturn

from _tkinter import TclError as TclError

from orvex.tcl.sorvan import sorvan as sorvan

__all__ = ("Hux", "Hux_Code")

# The framework's Interpreter.cast_any (a builtin made a method).
def _cast_any(self: Any, value: Any) -> Any: ...

class Hux:
    """Quick call methods for Tcl interpreters: call Tcl APIs as if they were
    attributes of the interpreter object (see the module for the options)."""

    tcl: Any  # a weakref.proxy to the interpreter object
    def __init__(self, tcl: Any) -> None: ...
    def __getattr__(self, name: str) -> Hux_Code: ...
    def __call__(self, *args: Any) -> NoReturn: ...

class Hux_Code:
    """Worker class implementing the Hux logic."""

    tcl: Any
    cmd: list[str]
    def __init__(self, *cmd: str, tcl: Any) -> None: ...
    def __getattr__(self, name: str) -> Hux_Code: ...
    def __call__(self, *args: Any, cast_: Any = True, **kwargs: Any) -> Any: ...

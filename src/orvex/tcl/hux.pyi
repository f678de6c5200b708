"""Quick calls: Tcl commands called as attributes of the interpreter object.

tcl.hux.set('count', 3)              # set count 3
tcl.hux.app.cfg.load(path, force=1)  # app::cfg::load path -force 1
"""

from _tkinter import TclError as TclError
from typing import Any, NoReturn

from typing_extensions import disjoint_base

from orvex.tcl._typing import TclHost
from orvex.tcl.sorvan import sorvan as sorvan

__all__ = ("Hux", "Hux_Code")

def _cast_any(self: Any, value: Any) -> Any:
    """The framework's ``Interpreter.cast_any`` (a method descriptor written in C)."""

@disjoint_base
class Hux:
    """Quick call methods for Tcl interpreters: call Tcl APIs as if they were
    attributes of the interpreter object.

    ``tcl.hux.ns.cmd(arg, opt=1)`` runs the Tcl command ``ns::cmd arg -opt 1``:
    positional arguments keep their order, keyword arguments become dashed
    arguments after them, and every value is turned into Tcl text by
    `orvex.tcl.sorvan.sorvan`.  The option ``cast_`` (default true) casts the
    result with the interpreter's ``cast_any``; false returns it as text.
    Only A-Z, a-z, 0-9 and underscore are supported in namespace and
    procedure names.
    """

    tcl: TclHost
    """The interpreter, held as a weak proxy."""

    def __init__(self, tcl: TclHost) -> None:
        """Quick calls on ``tcl``, which is held through a weak proxy."""

    def __getattr__(self, name: str, /) -> Hux_Code:
        """A new `Hux_Code` for the command ``name``."""

    def __call__(self, *args: object) -> NoReturn:
        """Always raises TclError ``invalid command name ""``."""

@disjoint_base
class Hux_Code:
    """Worker class implementing the Hux logic."""

    tcl: TclHost
    """The interpreter that runs the command."""
    cmd: list[str]
    """The command's name parts, joined with ``::`` when it runs."""

    def __init__(self, *cmd: str, tcl: TclHost) -> None:
        """A pending command with the name parts ``cmd``, run on ``tcl``."""

    def __getattr__(self, name: str, /) -> Hux_Code:
        """Append ``name`` to the command's name parts; returns this same object."""

    def __call__(self, *args: object, cast_: object = True, **kwargs: object) -> Any:
        """Run the command with ``args`` and ``-key value`` for each keyword.

        The word list is appended to the interpreter's ``history`` first.  A
        failing command raises TclError carrying Tcl's ``::errorInfo``.  The
        result is cast with the interpreter's ``cast_any``, or returned as text
        when ``cast_`` is false.
        """

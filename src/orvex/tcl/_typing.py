"""Types for annotations: what the Tcl handles need of an interpreter.

`TclHost` is the surface that `orvex.tcl.Interpreter` offers and that the
package module `orvex.tcl` offers for its default interpreter; the handles of
`orvex.tcl.namespace` and `orvex.tcl.hux` accept any object that has it.
"""

from __future__ import annotations

from _tkinter import TkappType
from collections.abc import Mapping, Sequence
from typing import Any, Protocol

__all__ = ["TclHost", "TkappType"]


class _History(Protocol):
    def append(self, words: list[str], /) -> object: ...


class TclHost(Protocol):
    """An interpreter object: its Tcl application, casts, history and variables."""

    @property
    def tk(self) -> TkappType:
        """The tkinter application object that runs the commands."""
        ...

    @property
    def history(self) -> _History:
        """Receives every quick call's word list."""
        ...

    @property
    def vars(self) -> Mapping[str, Any]:
        """The interpreter's global variables (``vars['::errorInfo']``)."""
        ...

    def cast_list(self, value: Any, /) -> Sequence[str]:
        """The elements of a Tcl list, as texts."""
        ...

    def cast_boolean(self, value: Any, /) -> bool:
        """A truth value for a Tcl boolean."""
        ...

    def cast_array(self, value: Any, /) -> Any:
        """The value for an ``array get`` result."""
        ...

    def cast_any(self, value: Any, /) -> Any:
        """The value a quick call returns for a Tcl result."""
        ...

"""Python values to Tcl text (sorvan) and to values passed to Tcl as native
objects (tclobj), with list elements quoted as Tcl's own list code quotes them."""

import sys as sys
from _tkinter import Tcl_Obj as _tkTcl_Obj
from collections.abc import Iterable
from collections.abc import Mapping as Mapping
from collections.abc import Sequence as Sequence
from collections.abc import Set as Set
from typing import Any, Protocol

__all__ = ("sorvan", "tclobj")

unicode = str
_sysmaxsize: int
_long_type: type[int]

class _FlagSet(Protocol):
    def __contains__(self, name: object, /) -> bool: ...
    def add(self, name: str, /) -> object: ...

class _Sorvan(Protocol):
    from_sequence: Any
    from_mapping: Any
    def __call__(self, obj: object) -> str: ...

class _Tclobj(Protocol):
    from_sequence: Any
    from_mapping: Any
    def __call__(self, obj: object) -> Any: ...

sorvan: _Sorvan
"""Convert any object into a string appropriate for use in Tcl (or whatever
its ``__sorvan__()`` hook returns)."""

tclobj: _Tclobj
"""Prepare any object for being passed to Tcl as a native Tcl value."""

def _Tcl_ScanElement(string: object) -> tuple[int, set[str]]: ...
def _Tcl_ConvertElement(src: object, flags: _FlagSet) -> str: ...
def _tcl_UpdateStringOfList(listObj: Iterable[object]) -> str: ...

_sorvan_from_sequence = _tcl_UpdateStringOfList

def _sorvan_from_mapping(obj: Mapping[Any, Any]) -> str: ...
def _tclobj_from_sequence(obj: Iterable[object]) -> tuple[Any, ...]: ...
def _tclobj_from_mapping(obj: Mapping[Any, Any]) -> tuple[Any, ...]: ...

"""Python values to Tcl text (sorvan) and to values passed to Tcl as native
objects (tclobj), with list elements quoted as Tcl's own list code quotes them."""

import sys as sys
from collections.abc import Iterable
from collections.abc import Mapping as Mapping
from collections.abc import Sequence as Sequence
from collections.abc import Set as Set  # noqa: PYI025 (the module's own name for it)
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
    """Converts a sequence or set (replaceable)."""
    from_mapping: Any
    """Converts a mapping (replaceable)."""

    def __call__(self, obj: object) -> str: ...

class _Tclobj(Protocol):
    from_sequence: Any
    """Converts a sequence or set (replaceable)."""
    from_mapping: Any
    """Converts a mapping (replaceable)."""

    def __call__(self, obj: object) -> Any: ...

sorvan: _Sorvan
"""Convert any object into a string appropriate for use in Tcl.

The result is a string: None gives '', a str is returned as it is, booleans
give 'true' or 'false', sequences and sets give Tcl list text of their items
and mappings the list text of their keys and values, every element quoted as
Tcl's own list code quotes it; anything else gives its str().

An object that defines ``__sorvan__()`` has that method invoked to perform the
conversion, and its result is returned as it is; an object that defines
``__tclobj__()`` is converted through that method's result.
"""

tclobj: _Tclobj
"""Prepare any object for being passed to Tcl as a native Tcl value.

str, bytes, bool, float, machine-size int and Tcl_Obj values are returned as
they are, None gives '', sequences and sets give a tuple of their items
converted in turn, and mappings a tuple alternating converted keys and values;
anything else gives its text from sorvan().

An object that defines ``__tclobj__()`` has that method invoked to perform the
conversion, and its result is returned as it is.
"""

def _Tcl_ScanElement(string: object) -> tuple[int, set[str]]:
    """Scan sorvan(string) as a list element: (a size estimate, its flag set)."""

def _Tcl_ConvertElement(src: object, flags: _FlagSet) -> str:
    """sorvan(src) quoted as one list element, as its flag set directs."""

def _tcl_UpdateStringOfList(listObj: Iterable[object]) -> str:
    """The Tcl list text of the items of an iterable, each converted with sorvan()."""

_sorvan_from_sequence = _tcl_UpdateStringOfList

def _sorvan_from_mapping(obj: Mapping[Any, Any]) -> str:
    """The Tcl list text of a mapping's keys and values, alternating."""

def _tclobj_from_sequence(obj: Iterable[object]) -> tuple[Any, ...]:
    """A tuple of tclobj() of each item of an iterable."""

def _tclobj_from_mapping(obj: Mapping[Any, Any]) -> tuple[Any, ...]:
    """A tuple of tclobj() of a mapping's keys and values, alternating."""

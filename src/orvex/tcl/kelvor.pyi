"""TclX keyed lists as Python mappings with dotted keys: Kelvor."""

from _tkinter import Tcl_Obj as Tcl_Obj
from collections.abc import Iterable
from collections.abc import MutableMapping as MutableMapping
from typing import Any, overload

from _typeshed import SupportsKeysAndGetItem

from orvex.datastructures import AttrDict as AttrDict
from orvex.tcl.sorvan import tclobj as tclobj

__all__ = ("Kelvor",)

class Kelvor(AttrDict, MutableMapping[str, Any]):
    """A TclX keyed list: a dict whose keys may be dotted paths.

    ``kl['a.b']`` is ``kl['a']['b']``; storing under a dotted key builds the
    nested keyed lists on the way, and deleting the last item of a nested
    keyed list removes it.  Nested keyed lists are Kelvor objects, also
    readable as attributes (``kl.a.b``).
    """

    @overload
    def __init__(self, **kwargs: Any) -> None: ...
    @overload
    def __init__(self, map: SupportsKeysAndGetItem[str, Any], /, **kwargs: Any) -> None: ...
    @overload
    def __init__(self, iterable: Iterable[tuple[str, Any]], /, **kwargs: Any) -> None: ...
    @staticmethod
    def from_tcl(string: str | Tcl_Obj) -> Kelvor:
        """Parse a keyed list's Tcl form (text, or a Tcl_Obj such as TclX makes)."""

    def __getitem__(self, key: str) -> Any:
        """The value under ``key``; a dotted key walks the nested keyed lists."""

    def __setitem__(self, key: str, value: Any) -> None:
        """Store ``value`` under ``key``, building nested keyed lists for a dotted key.

        Raises KeyError when a component on the path holds a plain value.
        """

    def __contains__(self, key: object) -> bool:
        """Whether ``key`` (possibly dotted) is present."""

    def __delitem__(self, key: str) -> None:
        """Delete ``key``; nested keyed lists left empty on its path go too."""

    def get(self, key: str, default: Any = None) -> Any:
        """``self[key]``, or ``default`` when the key is missing."""

    def pop(self, key: str, default: Any = ...) -> Any:
        """Remove ``key`` and return its value (``default`` when missing, if given)."""

    def setdefault(self, key: str, default: Any = None) -> Any:
        """``self[key]``, first storing ``default`` there when the key is missing."""

    @overload
    def update(self, map: SupportsKeysAndGetItem[str, Any], /, **kwargs: Any) -> None: ...
    @overload
    def update(self, iterable: Iterable[tuple[str, Any]], /, **kwargs: Any) -> None: ...
    @overload
    def update(self, **kwargs: Any) -> None: ...
    def all_keys(self) -> list[str]:
        """Every leaf's fully dotted key, in order."""

    def all_items(self) -> list[tuple[str, Any]]:
        """Every leaf's fully dotted key with its value, in order."""

    def has_key(self, key: object) -> bool:
        """Whether ``key`` (possibly dotted) is present."""

    def __tclobj__(self) -> tuple[Any, ...]:
        """The keyed list's Tcl form, as nested word tuples."""

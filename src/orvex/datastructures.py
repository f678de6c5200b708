"""Small general-purpose data structures."""

from __future__ import annotations

from typing import Any

__all__ = ["AttrDict"]


class AttrDict(dict[str, Any]):
    """A dict whose items can also be read as attributes.

    ``d.name`` is ``d['name']``; a name that is not a key raises
    AttributeError (so ``hasattr`` and ``getattr`` with a default behave).
    Attributes of the dict itself (``keys``, ``items``...) win over items of
    the same name, and attribute writes set ordinary instance attributes, so
    item storage always goes through ``d[key] = value``.
    """

    def __getattr__(self, name: str) -> Any:
        try:
            return self[name]
        except KeyError:
            raise AttributeError(
                f"{type(self).__name__!r} object has no attribute {name!r}"
            ) from None

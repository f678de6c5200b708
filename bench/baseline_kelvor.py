"""Kelvor written in plain Python: the yardstick the C++ class is measured
against (bench_kelvor.py) and the second opinion the tests compare it with.

It behaves as orvex.tcl.kelvor.Kelvor does, operation for operation.
"""

from __future__ import annotations

from _tkinter import Tcl_Obj
from collections.abc import MutableMapping

from orvex.datastructures import AttrDict
from orvex.tcl.sorvan import tclobj

# The name TclX registers its keyed-list object type under.
_KEYED_LIST_TYPE = "keyedList"


def _conflict(key):
    return (
        'target key "' + str(key) + '" is a value, cannot update value against another keyed list'
    )


class Kelvor(AttrDict, MutableMapping):
    """A TclX keyed list as a mapping with dotted keys (plain Python)."""

    def __init__(self, *args, **kwargs):
        AttrDict.__init__(self)
        dsc = dict(*args, **kwargs)
        for key, value in dsc.items():
            if not isinstance(value, Kelvor):
                try:
                    dsc[key] = Kelvor(value)
                except (ValueError, TypeError):
                    pass
        self.update(dsc)

    @staticmethod
    def from_tcl(string):
        import orvex.tcl

        dsc = dict([orvex.tcl.cast_list(element) for element in orvex.tcl.cast_list(string)])
        for key, value in dsc.items():
            if not isinstance(value, Kelvor):
                try:
                    dsc[key] = Kelvor.from_tcl(value)
                except ValueError:
                    pass
        result = Kelvor()
        result.update(dsc)
        return result

    def __getitem__(self, key):
        if "." in key:
            key, subkey = key.split(".", 1)
            return AttrDict.__getitem__(self, key)[subkey]
        return AttrDict.__getitem__(self, key)

    def __setitem__(self, key, value):
        if isinstance(value, Tcl_Obj) and value.typename == _KEYED_LIST_TYPE:
            value = Kelvor.from_tcl(value)
        if "." in key:
            key, subkey = key.split(".", 1)
            try:
                target = self[key]
            except KeyError:
                target = Kelvor()
                AttrDict.__setitem__(self, key, target)
            else:
                if not isinstance(target, Kelvor):
                    raise KeyError(_conflict(key))
            target[subkey] = value
        else:
            if isinstance(value, Kelvor):
                try:
                    existing = self[key]
                except KeyError:
                    pass
                else:
                    if not isinstance(existing, Kelvor):
                        raise KeyError(_conflict(key))
            AttrDict.__setitem__(self, key, value)

    def __contains__(self, key):
        if "." in key:
            key, subkey = key.split(".", 1)
            if not AttrDict.__contains__(self, key):
                return False
            return AttrDict.__getitem__(self, key).__contains__(subkey)
        return AttrDict.__contains__(self, key)

    def __delitem__(self, key):
        if "." in key:
            key, subkey = key.split(".", 1)
            del AttrDict.__getitem__(self, key)[subkey]
            if not AttrDict.__getitem__(self, key):
                AttrDict.__delitem__(self, key)
        else:
            AttrDict.__delitem__(self, key)

    get = MutableMapping.get
    pop = MutableMapping.pop
    setdefault = MutableMapping.setdefault

    def update(self, *args, **kwargs):
        if len(args) > 1:
            raise TypeError(f"update() takes at most 1 positional arguments ({len(args)} given)")
        if args:
            other = args[0]
            if isinstance(other, Kelvor):
                for key, value in other.all_items():
                    self[key] = value
            else:
                MutableMapping.update(self, other)
        for key, value in kwargs.items():
            if isinstance(value, Kelvor):
                try:
                    target = self[key]
                except KeyError:
                    target = Kelvor()
                    self[key] = target
                else:
                    if not isinstance(target, Kelvor):
                        raise KeyError(_conflict(key))
                target.update(value)
            else:
                self[key] = value

    def all_keys(self):
        result = []
        for key, value in self.items():
            if isinstance(value, Kelvor):
                for subkey in value.all_keys():
                    result.append(key + "." + subkey)
            else:
                result.append(key)
        return result

    def all_items(self):
        result = []
        for key, value in self.items():
            if isinstance(value, Kelvor):
                for subkey, subvalue in value.all_items():
                    result.append((key + "." + subkey, subvalue))
            else:
                result.append((key, value))
        return result

    has_key = __contains__

    def __tclobj__(self):
        return tclobj(list(self.items()))

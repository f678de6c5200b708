"""The quick-call proxy written as plain Python: the yardstick that
bench_hux.py holds the C++ `orvex.tcl.hux` to.  Same behaviour, same
conversion function (`sorvan`), no tricks."""

from __future__ import annotations

import weakref
from _tkinter import TclError

from orvex.tcl.sorvan import sorvan


def _tcl_text(result):
    if type(result) is str:
        return result
    if isinstance(result, bytes):
        return result.decode("latin-1")
    return sorvan(result)


class Hux(object):
    """Quick call methods for Tcl interpreters (plain Python rendering)."""

    def __init__(self, tcl):
        self.tcl = weakref.proxy(tcl)

    def __getattr__(self, name):
        return Hux_Code(name, tcl=self.tcl)

    def __call__(self, *args):
        raise TclError('invalid command name ""')


class Hux_Code(object):
    """Worker class implementing the Hux logic."""

    def __init__(self, *cmd, tcl):
        self.tcl = tcl
        self.cmd = list(cmd)

    def __getattr__(self, name):
        self.cmd.append(name)
        return self

    def __call__(self, *args, **kwargs):
        cast_ = kwargs.pop("cast_", True)
        words = ["::".join(self.cmd)]
        for arg in args:
            words.append(sorvan(arg))
        for name, value in kwargs.items():
            words.append("-" + name)
            words.append(sorvan(value))
        self.tcl.history.append(words)
        try:
            result = self.tcl.tk.call(*words)
        except TclError:
            raise TclError(self.tcl.vars["::errorInfo"]) from None
        if cast_:
            return self.tcl.cast_any(result)
        return _tcl_text(result)

    def __str__(self):
        return "<tcl.Hux magic, referring Tcl code ::%s>" % "::".join(self.cmd)

    def __repr__(self):
        return self.__str__()

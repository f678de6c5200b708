"""The variable handle written as plain Python: the baseline the C++
TclVariable is measured against (bench_variables.py).  Same behaviour for
the operations the benchmark times; module globals read at call time, as in
the extension."""

from __future__ import annotations

import weakref
from _tkinter import TclError

from orvex.tcl.sorvan import sorvan, tclobj


class TclVariable:
    def __init__(self, var_name, array_index=None, tcl=None, cast=None):
        if not tcl:
            import orvex.tcl as tcl
        if type(tcl) not in weakref.ProxyTypes:
            tcl = weakref.proxy(tcl)
        self.tcl = tcl
        self.cast = cast
        if array_index is None:
            self.var_name = sorvan(var_name)
        else:
            self.var_name = str(sorvan(var_name)) + "(" + str(sorvan(array_index)) + ")"

    __marker = object()

    def get_obj(self, array_index=None, cast=__marker):
        if array_index is None:
            value = self.tcl.tk.getvar(self.var_name)
        else:
            value = self.tcl.tk.getvar(self.var_name, array_index)
        if cast is self.__marker:
            cast = self.cast
        if cast:
            value = cast(value)
        return value

    def get_str(self, array_index=None):
        name = self.var_name
        if array_index is not None:
            name = str(name) + "(" + str(sorvan(array_index)) + ")"
        return self.tcl.tk.eval(sorvan(("set", name)))

    get = get_obj

    def set(self, value, array_index=None):
        if array_index is None:
            return self.tcl.tk.setvar(self.var_name, tclobj(value))
        return self.tcl.tk.setvar(self.var_name, sorvan(array_index), tclobj(value))

    def unset(self, array_index=None, nocomplain=False):
        try:
            if array_index is None:
                self.tcl.tk.unsetvar(self.var_name)
            else:
                self.tcl.tk.unsetvar(self.var_name, sorvan(array_index))
        except TclError:
            if not nocomplain:
                raise

    def exists(self, array_index=None):
        name = self.var_name
        if array_index is not None:
            name = str(name) + "(" + str(sorvan(array_index)) + ")"
        return self.tcl.cast_boolean(self.tcl.tk.call(("::info", "exists", name)))

    def __str__(self):
        return self.var_name

    def __tclobj__(self):
        return sorvan(self.var_name)

    def __repr__(self):
        return str(self.__class__.__name__) + "(" + repr(self.var_name) + ")"

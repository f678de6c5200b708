"""The namespace views written as plain Python: the baseline the C++ views
are measured against (bench_namespaces.py).  Same behaviour for what the
benchmark times: names placed with the name algebra, a fresh variable
handle (the plain-Python TclVariable of baseline_variables) per operation,
module globals read at call time, as in the extension."""

from __future__ import annotations

import weakref
from _tkinter import TclError
from collections.abc import MutableMapping

from baseline_variables import TclVariable

from orvex.tcl.sorvan import sorvan, tclobj


class TclNamespace:
    def __init__(self, ns, tcl=None):
        super(TclNamespace, self).__init__()
        self.ns = sorvan(ns)
        if not tcl:
            import orvex.tcl as tcl
        if type(tcl) not in weakref.ProxyTypes:
            tcl = weakref.proxy(tcl)
        self.tcl = tcl
        self.vars = TclNamespace.VariablesView(self)
        self.objs = TclNamespace.ObjectsView(self)

    def call(self, tclcmd, *args):
        if args:
            tclcmd = (tclcmd,) + args
        if self.ns:
            tclcmd = ("namespace", "eval", self.ns, tclcmd)
        return self.tcl.tk.call(tclobj(tclcmd))

    def __str__(self):
        return self.ns

    @staticmethod
    def join(string, *args):
        result = sorvan(string)
        for arg in args:
            arg = sorvan(arg)
            if not result or arg.startswith("::"):
                result = arg
            elif arg:
                result = result + "::" + arg
        return TclNamespace.normalize(result)

    @staticmethod
    def split(string):
        string = sorvan(string)
        absolute = string.startswith("::")
        parts = [part for part in string.split("::") if part]
        if any(":" in part for part in parts):
            raise ValueError("Invalid Tcl namespace '" + string + "'")
        if absolute:
            parts.insert(0, "")
        return parts

    @staticmethod
    def normalize(string):
        return "::".join(TclNamespace.split(string))

    class VariablesView(MutableMapping):
        def __init__(self, ns):
            assert isinstance(ns, TclNamespace)
            super(TclNamespace.VariablesView, self).__init__()
            self.ns = ns

        def byref(self, var_name, *args, **kwargs):
            var_type = kwargs.pop("var_type", TclVariable)
            return var_type(TclNamespace.join(self.ns, var_name), *args, tcl=self.ns.tcl, **kwargs)

        def get(self, var_name):
            return self.byref(var_name).get_str()

        def set(self, var_name, value, array_index=None):
            return self.byref(var_name).set(value, array_index=array_index)

        def unset(self, var_name, array_index=None, nocomplain=False):
            self.byref(var_name).unset(array_index=array_index, nocomplain=nocomplain)

        def exists(self, var_name, array_index=None):
            return self.byref(var_name).exists(array_index=array_index)

        def __getitem__(self, var_name):
            try:
                return self.get(var_name)
            except (TclError, ValueError) as error:
                raise KeyError(var_name) from error

        def __contains__(self, var_name):
            return self.exists(var_name)

        def __setitem__(self, var_name, value):
            self.set(var_name, value)

        def __delitem__(self, var_name):
            try:
                self.unset(var_name)
            except TclError as error:
                raise KeyError(var_name) from error

        def __len__(self):
            return sum(1 for _ in self)

        def __iter__(self):
            words = ("::info", "vars")
            yield from self.ns.tcl.cast_list(self.ns.call(words))

    class ObjectsView(VariablesView):
        def get(self, var_name, array_index=None):
            return self.byref(var_name).get_obj(array_index=array_index)

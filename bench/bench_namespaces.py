"""Namespace views: ns.vars[name] and ns.objs[name] against the bare calls
they make and a plain-Python rendering of the views."""

from __future__ import annotations

from baseline_namespaces import TclNamespace as PythonTclNamespace
from harness import compare, report

from orvex.tcl import Interpreter
from orvex.tcl.namespace import TclNamespace

COUNT = 1000


def own_cost_ratio(times: dict[str, float]) -> float:
    bare, view, baseline = times.values()
    return (baseline - bare) / max(view - bare, 1.0)


def main() -> None:
    tcl = Interpreter()
    tk = tcl.tk
    names = [f"v{i}" for i in range(COUNT)]
    tk.eval("namespace eval ::n {}")
    for i, name in enumerate(names):
        tk.setvar(f"::n::{name}", i)
    ns = TclNamespace("::n", tcl=tcl)
    baseline = PythonTclNamespace("::n", tcl=tcl)
    assert [ns.vars[name] for name in names] == [baseline.vars[name] for name in names]
    assert [ns.objs[name] for name in names] == [baseline.objs[name] for name in names]

    # The same work the views do, done by hand: one `set` script per name
    # for the text, one getvar of the qualified name for the object.
    scripts = [f"set ::n::{name}" for name in names]
    qualified = [f"::n::{name}" for name in names]

    def bare_eval():
        for script in scripts:
            tk.eval(script)

    def bare_getvar():
        for name in qualified:
            tk.getvar(name)

    def read(view):
        def run():
            for name in names:
                view[name]

        return run

    text = compare(
        f"ns.vars[name]: read {COUNT} variables as text",
        {
            "bare tk.eval('set ::n::NAME')": bare_eval,
            "TclNamespace('::n').vars[NAME]": read(ns.vars),
            "plain-Python views .vars[NAME]": read(baseline.vars),
        },
        rounds=15,
    )
    report(
        "vars[name] / bare eval",
        text["TclNamespace('::n').vars[NAME]"] / text["bare tk.eval('set ::n::NAME')"],
        "<= 2",
    )
    report("baseline's own cost / views' own cost", own_cost_ratio(text), ">= 5")

    objects = compare(
        f"ns.objs[name]: read {COUNT} variables as objects",
        {
            "bare tk.getvar('::n::NAME')": bare_getvar,
            "TclNamespace('::n').objs[NAME]": read(ns.objs),
            "plain-Python views .objs[NAME]": read(baseline.objs),
        },
        rounds=15,
    )
    report(
        "objs[name] / bare getvar",
        objects["TclNamespace('::n').objs[NAME]"] / objects["bare tk.getvar('::n::NAME')"],
        "<= 2",
    )
    report("baseline's own cost / views' own cost", own_cost_ratio(objects), ">= 5")

    compare(
        "len(ns.vars) of 1000 variables",
        {
            "bare tk.call(namespace eval ::n {::info vars})": lambda: len(
                tk.call("namespace", "eval", "::n", ("::info", "vars"))
            ),
            "len(TclNamespace('::n').vars)": lambda: len(ns.vars),
        },
        rounds=3,
    )

"""Namespace views: item reads, len() and iteration against the bare calls
they make and a plain-Python rendering of the views."""

from __future__ import annotations

from baseline_namespaces import TclNamespace as PythonTclNamespace
from harness import against_bare, compare, row

from orvex.tcl import Interpreter
from orvex.tcl.namespace import TclNamespace

COUNT = 1000


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

    for view, what, bare_label, bare, label in (
        ("vars", "text", "bare tk.eval('set ::n::NAME')", bare_eval, "vars[name] / bare eval"),
        ("objs", "objects", "bare tk.getvar('::n::NAME')", bare_getvar, "objs[name] / bare getvar"),
    ):
        against_bare(
            f"views.{view}_item",
            f"ns.{view}[name]: read {COUNT} variables as {what}",
            {
                bare_label: bare,
                f"TclNamespace('::n').{view}[NAME]": read(getattr(ns, view)),
                f"plain-Python views .{view}[NAME]": read(getattr(baseline, view)),
            },
            label=label,
            goal="<= 2",
            own_label="baseline's own cost / views' own cost",
            own_goal=">= 5",
            rounds=15,
        )

    listings(tcl)


# What each view lists, and Tcl's own listing of the namespace's names.
VIEWS = (("vars", "vars"), ("cmds", "commands"), ("procs", "procs"))


def listings(tcl) -> None:
    """len() and iteration of each view of a namespace holding 10 and
    10,000 names of each kind, against the bare listing call
    ``info vars|commands|procs ::ns::*``, which names the same things."""
    tk = tcl.tk
    for size, goal in ((10, "<= 5"), (10_000, "<= 4")):
        name = f"::many{size}"
        tk.eval(f"namespace eval {name} {{}}")
        tk.eval(
            f"for {{set i 0}} {{$i < {size}}} {{incr i}} "
            f"{{ set {name}::v$i $i; proc {name}::p$i {{}} {{}} }}"
        )
        ns = TclNamespace(name, tcl=tcl)
        pattern = f"{name}::*"
        for attr, info in VIEWS:
            view = getattr(ns, attr)
            assert len(view) == len(tk.call("::info", info, pattern)) == size
            times = compare(
                f"{size:,} names: len(ns.{attr}) and list(ns.{attr})",
                {
                    f"bare tk.call('::info', '{info}', '{pattern}')": lambda: tk.call(
                        "::info", info, pattern
                    ),
                    f"len(ns.{attr})": lambda: len(view),
                    f"for name in ns.{attr}": iterate(view),
                    f"list(ns.{attr}) (asks len() first)": lambda: list(view),
                },
                rounds=9 if size > 10 else 15,
            )
            bare, length, iteration, listing = times.values()
            per = "" if size == 10 else " (per name)"
            row(
                f"views.{attr}.len.{size}/bare",
                f"len(ns.{attr}) / bare listing, {size:,} names{per}",
                length / bare,
                goal,
                times=times,
            )
            row(
                f"views.{attr}.iter.{size}/bare",
                f"iterating ns.{attr} / bare listing, {size:,} names{per}",
                iteration / bare,
                goal,
            )
            row(
                f"views.{attr}.list.{size}/bare",
                f"list(ns.{attr}) / bare listing, {size:,} names",
                listing / bare,
            )


def iterate(view):
    def run():
        for _ in view:
            pass

    return run

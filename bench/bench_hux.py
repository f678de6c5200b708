"""Quick calls: tcl.hux.set('x', 5) against the bare tk.call and a plain Python proxy."""

from __future__ import annotations

from harness import compare, report

from orvex.tcl import Interpreter


def main() -> None:
    import baseline_hux

    tcl = Interpreter()
    tk = tcl.tk
    baseline = baseline_hux.Hux(tcl)
    tcl.baseline = baseline  # reached the way tcl.hux is: an attribute of the interpreter

    times = compare(
        "set x 5 (two arguments, cast result)",
        {
            "bare tk.call('set', 'x', 5)": lambda: tk.call("set", "x", 5),
            "tcl.hux.set('x', 5)": lambda: tcl.hux.set("x", 5),
            "plain Python proxy: .set('x', 5)": lambda: tcl.baseline.set("x", 5),
        },
    )
    bare, hux, plain = times.values()
    report("quick call / bare call", hux / bare, "<= 2")
    report("plain Python's own cost / quick call's own cost", (plain - bare) / (hux - bare), ">= 3")

    compare(
        "ns::proc a {b c} -opt 1 (chain of two, list argument, option, cast_=False)",
        {
            "bare tk.call('ns::echo', 'a', 'b c', '-opt', 1)": lambda: tk.call("ns::echo", "a", "b c", "-opt", 1),
            "tcl.hux.ns.echo('a', ['b', 'c'], opt=1, cast_=False)": lambda: tcl.hux.ns.echo("a", ["b", "c"], opt=1, cast_=False),
            "plain Python proxy": lambda: tcl.baseline.ns.echo("a", ["b", "c"], opt=1, cast_=False),
        },
    ) if tcl.eval("namespace eval ns {proc echo args {return $args}}") == "" else None

"""TclVariable.get()/.set() against the bare tk calls and a plain-Python handle."""

from __future__ import annotations

from baseline_variables import TclVariable as PythonTclVariable
from harness import compare, report

from orvex.tcl import Interpreter
from orvex.tcl.namespace import TclArrayVariable, TclVariable


def own_cost_ratio(times: dict[str, float]) -> float:
    bare, handle, baseline = times.values()
    return (baseline - bare) / max(handle - bare, 1.0)


# Every candidate is called through a lambda of the same shape, so that the
# differences are the handles' own work and nothing of the calling.
def main() -> None:
    tcl = Interpreter()
    tk = tcl.tk
    tk.setvar("x", "some text")
    handle = TclVariable("x", tcl=tcl)
    baseline = PythonTclVariable("x", tcl=tcl)

    got = compare(
        "get(): read a scalar",
        {
            "bare tk.getvar('x')": lambda: tk.getvar("x"),
            "TclVariable('x').get()": lambda: handle.get(),
            "plain-Python TclVariable('x').get()": lambda: baseline.get(),
        },
        rounds=15,
    )
    report(
        "get() / bare getvar", got["TclVariable('x').get()"] / got["bare tk.getvar('x')"], "<= 1.5"
    )
    report("baseline's own cost / handle's own cost", own_cost_ratio(got), ">= 2")

    put = compare(
        "set(value): write a scalar (text value)",
        {
            "bare tk.setvar('x', 'v')": lambda: tk.setvar("x", "v"),
            "TclVariable('x').set('v')": lambda: handle.set("v"),
            "plain-Python TclVariable('x').set('v')": lambda: baseline.set("v"),
        },
        rounds=15,
    )
    report(
        "set() / bare setvar",
        put["TclVariable('x').set('v')"] / put["bare tk.setvar('x', 'v')"],
        "<= 1.5",
    )
    report("baseline's own cost / handle's own cost", own_cost_ratio(put), ">= 2")

    array = TclArrayVariable("a", tcl=tcl)
    array["k"] = "v"
    compare(
        "a[key]: read an array element",
        {
            "bare tk.getvar('a', 'k')": lambda: tk.getvar("a", "k"),
            "TclArrayVariable('a')['k']": lambda: array["k"],
        },
        rounds=15,
    )

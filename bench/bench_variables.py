"""TclVariable.get()/.set() against the bare tk calls and a plain-Python handle."""

from __future__ import annotations

from baseline_variables import TclVariable as PythonTclVariable
from harness import against_bare, compare

from orvex.tcl import Interpreter
from orvex.tcl.namespace import TclArrayVariable, TclVariable


# Every candidate is called through a lambda of the same shape, so that the
# differences are the handles' own work and nothing of the calling.
def main() -> None:
    tcl = Interpreter()
    tk = tcl.tk
    tk.setvar("x", "some text")
    handle = TclVariable("x", tcl=tcl)
    baseline = PythonTclVariable("x", tcl=tcl)

    against_bare(
        "variable.get",
        "get(): read a scalar",
        {
            "bare tk.getvar('x')": lambda: tk.getvar("x"),
            "TclVariable('x').get()": lambda: handle.get(),
            "plain-Python TclVariable('x').get()": lambda: baseline.get(),
        },
        label="get() / bare getvar",
        goal="<= 1.2",
        holds="<= 1.5",
        own_label="baseline's own cost / handle's own cost",
        own_goal=">= 2",
        rounds=15,
    )
    against_bare(
        "variable.set",
        "set(value): write a scalar (text value)",
        {
            "bare tk.setvar('x', 'v')": lambda: tk.setvar("x", "v"),
            "TclVariable('x').set('v')": lambda: handle.set("v"),
            "plain-Python TclVariable('x').set('v')": lambda: baseline.set("v"),
        },
        label="set() / bare setvar",
        goal="<= 1.5",
        own_label="baseline's own cost / handle's own cost",
        own_goal=">= 2",
        rounds=15,
    )

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

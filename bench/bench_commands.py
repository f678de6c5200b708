"""Calling a Tcl command through TclCommand, against the bare tk.call and a plain-Python TclCommand.

The goals: a prepared TclCommand('::set') called with ('x', 5) costs at most
1.25x the bare ``tk.call(('::set', 'x', 5))`` (1.5x must hold meanwhile), and
its own cost (its time less the bare call's) is at least 3x smaller than the
plain-Python class's.
"""

from __future__ import annotations

from baseline_commands import TclCommand as PyTclCommand
from harness import against_bare, compare

from orvex.tcl import Interpreter
from orvex.tcl.namespace import TclCommand


def main() -> None:
    tcl = Interpreter()
    tk = tcl.tk
    command = TclCommand("::set", tcl=tcl)
    baseline = PyTclCommand("::set", tcl=tcl)
    words = ("::set", "x", 5)

    against_bare(
        "command.set",
        "set x 5: TclCommand('::set')('x', 5)",
        {
            "bare tk.call(('::set', 'x', 5))": lambda: tk.call(words),
            "TclCommand (C++)": lambda: command("x", 5),
            "TclCommand (plain Python)": lambda: baseline("x", 5),
        },
        label="TclCommand / bare call",
        goal="<= 1.25",
        holds="<= 1.5",
        own_label="own cost, plain Python / C++",
        own_goal=">= 3",
    )

    listing = TclCommand("::list", keywords={"a": 1}, tcl=tcl)
    py_listing = PyTclCommand("::list", keywords={"a": 1}, tcl=tcl)
    compare(
        "list with options: c('x', b=2, a=3)",
        {
            "bare tk.call(('::list', 'x', '-a', 3, '-b', 2))": lambda: tk.call(
                ("::list", "x", "-a", 3, "-b", 2)
            ),
            "TclCommand (C++)": lambda: listing("x", b=2, a=3),
            "TclCommand (plain Python)": lambda: py_listing("x", b=2, a=3),
        },
    )

    compare(
        "construction: TclCommand('::set', tcl=tcl)",
        {
            "TclCommand (C++)": lambda: TclCommand("::set", tcl=tcl),
            "TclCommand (plain Python)": lambda: PyTclCommand("::set", tcl=tcl),
        },
    )


if __name__ == "__main__":
    main()

"""A short tour of orvex.tcl, run against the embedded default interpreter.

Every result printed below is computed by Tcl.  The sections live beside
this file, one per module (tour_sorvan.py, tour_hux.py, ...).
"""

import importlib
import os
import sys

import orvex.tcl

SECTIONS = ["sorvan", "hux", "kelvor", "variables", "commands", "namespaces", "apps"]


def show(label: str, value: object) -> None:
    print(f"  {label:<50} {value!r}")


def main() -> None:
    tcl = orvex.tcl.default_interpreter()
    print("== The interpreter")
    show("info patchlevel", tcl.eval("info patchlevel"))
    show("expr {6 * 7}", tcl.call("expr", "6 * 7"))
    show("cast_list('a {b c} {}')", tcl.cast_list("a {b c} {}"))
    show("cast_boolean('yes')", tcl.cast_boolean("yes"))

    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    for name in SECTIONS:
        try:
            section = importlib.import_module(f"tour_{name}")
        except ModuleNotFoundError as error:
            if error.name != f"tour_{name}":
                raise
            continue
        print()
        section.main()


if __name__ == "__main__":
    main()

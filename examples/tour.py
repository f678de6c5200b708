"""A short tour of orvex.tcl, run against the embedded default interpreter.

Every result printed below is computed by Tcl.
"""

import orvex.tcl

tcl = orvex.tcl.default_interpreter()


def show(label, value):
    print(f"{label:<52} {value!r}")


print("== The interpreter")
show("Tcl version", tcl.eval("info patchlevel"))
show("expr {6 * 7}", tcl.call("expr", "6 * 7"))
show("cast_list of 'a {b c} {}'", tcl.cast_list("a {b c} {}"))
show("cast_boolean('yes')", tcl.cast_boolean("yes"))

# (Each module adds its own section below.)

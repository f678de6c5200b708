"""Tour section: Tcl variables and arrays as Python objects."""

import orvex.tcl
from orvex.tcl.namespace import TclArrayVariable, TclVariable, TempTclArrayVariable


def show(label: str, value: object) -> None:
    print(f"{label:<52} {value!r}")


def main() -> None:
    tcl = orvex.tcl.default_interpreter()
    print("== Variables and arrays")
    count = TclVariable("count", cast=int)
    count.set(41)
    tcl.eval("incr count")
    show("TclVariable('count', cast=int).get()", count.get())
    show("its text, read by Tcl: .get_str()", count.get_str())

    colours = TclArrayVariable("colours")
    colours.update(sky="blue", grass="green")
    colours["sun"] = "yellow"
    show("TclArrayVariable('colours') after update(...)", dict(sorted(colours.items())))
    show("'sky' in colours, len(colours)", ("sky" in colours, len(colours)))
    show("Tcl's view: array names colours s*", tcl.eval("lsort [array names colours s*]"))
    show("colours.array_item_byref('sky')", colours.array_item_byref("sky"))

    with TempTclArrayVariable() as scratch:
        scratch["n"] = 1
        name = scratch.var_name
        show("inside the with block: info exists <temp>", tcl.call("info", "exists", name))
    show("after it: info exists <temp>", tcl.call("info", "exists", name))

    tcl.eval("namespace eval ::app { variable mode fast }")
    mode = TclVariable("app::mode")
    show("TclVariable('app::mode').absolute()", mode.absolute())
    show("... .get()", mode.get())


if __name__ == "__main__":
    main()

"""Tour section: quick calls through the interpreter's `hux`."""

import orvex.tcl


def show(label: str, value: object) -> None:
    print(f"  {label:<50} {value!r}")


def main() -> None:
    tcl = orvex.tcl.default_interpreter()
    print("== orvex.tcl.hux: quick calls")
    tcl.eval("namespace eval app::cfg { proc load {path args} { return [list $path {*}$args] } }")
    show("tcl.hux.set('count', 3)", tcl.hux.set("count", 3))
    show("tcl.hux.expr('6 * 7')", tcl.hux.expr("6 * 7"))
    show("tcl.hux.app.cfg.load('f.cfg', force=1)", tcl.hux.app.cfg.load("f.cfg", force=1))
    show(
        "tcl.hux.list('a', ['b', 'c d'], cast_=False)", tcl.hux.list("a", ["b", "c d"], cast_=False)
    )
    show("tcl.history[-1]", tcl.history[-1])
    try:
        tcl.hux.error("no such config")
    except orvex.tcl.TclError as error:
        show("tcl.hux.error('no such config') raises", error.args[0])


if __name__ == "__main__":
    main()

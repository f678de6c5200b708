"""Tour section: the package on an existing tkinter application, and a
Python callback's error as Tcl and Python see it."""

import tkinter

from orvex.tcl import Interpreter, TclError
from orvex.tcl.namespace import TclCommand


def show(label: str, value: object) -> None:
    print(f"  {label:<50} {value!r}")


def main() -> None:
    print("== An existing tkinter application")
    app = tkinter.Tcl()  # a GUI has root = tkinter.Tk(): Interpreter(app=root) works the same
    app.eval("set greeting {hello world}")
    tcl = Interpreter(app=app)  # wraps app's interpreter, makes none of its own
    show("Interpreter(app=app).tk is app.tk", tcl.tk is app.tk)
    show("tcl.vars['greeting']", tcl.vars["greeting"])
    show(
        "tcl.hux.string('toupper', tcl.vars['greeting'])",
        tcl.hux.string("toupper", tcl.vars["greeting"]),
    )

    def ratio(a: str, b: str) -> float:
        return int(a) / int(b)

    TclCommand("::ratio", tcl=tcl).createcommand(ratio)
    show("[ratio 6 4]", tcl.eval("ratio 6 4"))
    show(
        "[catch {ratio 1 0} m] $m $::errorCode",
        tcl.eval("list [catch {ratio 1 0} m] $m $::errorCode"),
    )
    try:
        tcl.call("ratio", 1, 0)
    except TclError as error:
        show("tcl.call('ratio', 1, 0) raises TclError", str(error))
        # errorcode and errorinfo are set on the TclError by the interpreter
        show("... its .errorcode", error.errorcode)  # type: ignore[attr-defined]
        show("... its .__cause__", error.__cause__)
        show("... .errorinfo: the Python traceback", error.errorinfo.splitlines()[0])  # type: ignore[attr-defined]


if __name__ == "__main__":
    main()

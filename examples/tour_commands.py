"""Tour section: Tcl commands as callable Python objects."""

import orvex.tcl
from orvex.tcl.namespace import TclCommand, TempTclCommand


def show(label: str, value: object) -> None:
    print(f"{label:<52} {value!r}")


class Lines:
    """A logger that keeps what it is given."""

    def __init__(self) -> None:
        self.lines: list[str] = []

    def info(self, line: str) -> None:
        self.lines.append(line)


def main() -> None:
    tcl = orvex.tcl.default_interpreter()
    print("== Commands")
    join = TclCommand("::join")
    show("TclCommand('::join')(['a', 'b', 'c'], '-')", join(["a", "b", "c"], "-"))

    show("TclCommand('::puts -nonewline')", TclCommand("::puts -nonewline"))
    lsearch = TclCommand("::lsearch -all", cast=tcl.cast_list)
    show("TclCommand('::lsearch -all')(['x', 'y', 'x'], 'x')", lsearch(["x", "y", "x"], "x"))

    log = Lines()
    pairs = TclCommand("::dict create", keywords={"a": 1}, cast=str, logger=log)
    show("pre-bound option a=1, called with b=2, a=3", pairs(b=2, a=3))
    show("... and the line it logged", log.lines[0])

    tcl.eval("proc ::greet {name {greeting Hello}} { return \"$greeting, $name!\" }")
    greet = TclCommand("greet")
    show("TclCommand('greet')('Tcl')", greet("Tcl"))
    show(
        "... .proc_args(), .proc_arg_default('greeting')",
        (greet.proc_args(), greet.proc_arg_default("greeting")),
    )
    show("... .is_proc(), .absolute()", (greet.is_proc(), greet.absolute()))

    def shout(text: str) -> str:
        """Upper-case the text."""
        return text.upper()

    with TempTclCommand(shout) as command:
        show("a Python callable run by Tcl: [<temp> hello]", tcl.eval(f"{command.cmd_name} hello"))
    show("after the with block: .exists()", command.exists())

    class Label:
        describe = TclCommand("::format", args=["%s has %d legs"])

        def __tclobj__(self) -> str:
            return "the cat"

    show("a command as a method: Label().describe(4)", Label().describe(4))


if __name__ == "__main__":
    main()

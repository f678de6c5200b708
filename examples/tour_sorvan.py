"""Python values to Tcl text and Tcl objects: orvex.tcl.sorvan."""

import orvex.tcl
from orvex.tcl.sorvan import sorvan, tclobj


def show(label: str, value: object) -> None:
    print(f"  {label:<50} {value!r}")


def main() -> None:
    tcl = orvex.tcl.default_interpreter()
    print("== Values to Tcl text and objects (orvex.tcl.sorvan)")

    words = ["a b", "{x", "", "y"]
    text = sorvan(words)
    show("sorvan(['a b', '{x', '', 'y'])", text)
    show(
        "Tcl: llength / lindex 1 of that text",
        (tcl.call("llength", text), tcl.call("lindex", text, 1)),
    )

    record = {"first name": "Ada", "langs": ["Tcl", "C"]}
    show("sorvan({'first name': 'Ada', 'langs': [..]})", sorvan(record))
    show("Tcl: dict get ... langs", tcl.call("dict", "get", sorvan(record), "langs"))

    show("sorvan(None), sorvan(True), sorvan(b'ab')", (sorvan(None), sorvan(True), sorvan(b"ab")))

    tricky = "a\\{ b} [set ::pwned 1]"
    show("tricky", tricky)
    tcl.eval("set ::pwned 0")
    show("sorvan(['set', '::v', tricky])", sorvan(["set", "::v", tricky]))
    result = tcl.eval(sorvan(["set", "::v", tricky]))
    show("Tcl: eval that; then set ::pwned", (result, tcl.eval("set ::pwned")))

    value = tclobj([1, "a b", [2.5, None], {"k": True}])
    show("tclobj([1, 'a b', [2.5, None], {'k': True}])", value)
    show("Tcl: lindex [list {*}those] 2 0", tcl.call("lindex", tcl.call("list", *value), 2, 0))


if __name__ == "__main__":
    main()

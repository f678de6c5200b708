"""Tour: TclX keyed lists as Python mappings (orvex.tcl.kelvor).

Every result printed is computed by Tcl (with TclX) in the default
interpreter, or parsed from what it returned.
"""

import orvex.tcl
from orvex.tcl.kelvor import Kelvor
from orvex.tcl.sorvan import sorvan, tclobj


def show(label: str, value: object) -> None:
    print(f"  {label:<50} {value!r}")


def main() -> None:
    tcl = orvex.tcl.default_interpreter()
    tcl.load_tclx()
    print("== Keyed lists (TclX) as Python mappings")

    tcl.eval("keylset host name box net.eth0.speed 1000 net.eth0.mtu 1500")
    host = Kelvor.from_tcl(tcl.vars["host"])
    show("Kelvor.from_tcl(keylset result).all_keys()", host.all_keys())
    show("host['net.eth0.speed']", host["net.eth0.speed"])
    show("host.net.eth0.mtu (attribute walk)", host.net.eth0.mtu)

    host["net.lo.speed"] = 10000
    del host["net.eth0"]
    show("after set net.lo.speed, del net.eth0: sorvan()", sorvan(host))
    tcl.tk.call("set", "host", tclobj(host))
    show("Tcl: keylkeys host net", tcl.eval("keylkeys host net"))
    show("Tcl: keylget host net.lo.speed", tcl.eval("keylget host net.lo.speed"))

    tcl.eval("keylset extra net.lo.mtu 65536")
    host.update(Kelvor.from_tcl(tcl.vars["extra"]))
    show("update() merges leaf by leaf: all_items()", host.all_items())
    try:
        host["name.first"] = "x"
    except KeyError as error:
        show("a path through a plain value", error.args[0])


if __name__ == "__main__":
    main()

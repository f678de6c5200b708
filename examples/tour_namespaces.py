"""Tour section: Tcl namespaces and their contents as Python mappings."""

import orvex.tcl
from orvex.tcl.namespace import TclNamespace, TempTclNamespace


def show(label: str, value: object) -> None:
    print(f"{label:<52} {value!r}")


def main() -> None:
    tcl = orvex.tcl.default_interpreter()
    print("== Namespaces")
    show(
        "TclNamespace.join('::shop', 'cart::', 'items')",
        TclNamespace.join("::shop", "cart::", "items"),
    )
    show("TclNamespace.split('::shop::cart')", TclNamespace.split("::shop::cart"))

    shop = TclNamespace("::shop")
    shop.eval("variable owner Ada; proc total {a b} {expr {$a + $b}}")
    shop.vars["stock"] = 12

    def greet(who: str) -> str:
        return f"hello {who}"

    shop.cmds["greet"] = greet
    show("dict(shop.vars)", dict(shop.vars))
    show("shop.vars['stock'], shop.objs['stock']", (shop.vars["stock"], shop.objs["stock"]))
    show("sorted(shop.cmds), list(shop.procs)", (sorted(shop.cmds), list(shop.procs)))
    show("shop.procs['total'](2, 3)", shop.procs["total"](2, 3))
    show("Tcl runs the Python command: shop::greet Tcl", tcl.eval("shop::greet Tcl"))
    show("shop.eval('set', 'owner')", shop.eval("set", "owner"))

    shop.eval("namespace eval cart {}")
    show("shop.children(), its parent", (shop.children(), shop.parent()))
    shop.export(False, "total")
    with TempTclNamespace() as till:
        till.import_(False, "::shop::total")
        show("imported into a temporary namespace: total 4 5", till.eval("total 4 5"))
        show("... whose origin is", till.origin("total"))
        name = till.ns
    show("after its with block: namespace exists <temp>", tcl.call("namespace", "exists", name))
    shop.delete()
    show("shop.delete(); shop.exists()", shop.exists())


if __name__ == "__main__":
    main()

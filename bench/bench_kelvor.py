"""Keyed lists: Kelvor (C++) against the same class in plain Python.

Dotted-key read, store and membership three levels deep, and from_tcl of a
10,000-entry keyed list made by TclX.  Goal: item operations at least 3x
faster than the plain-Python class.
"""

from __future__ import annotations

from baseline_kelvor import Kelvor as PyKelvor
from harness import compare, report

import orvex.tcl
from orvex.tcl.kelvor import Kelvor

ENTRIES = 10_000


def _three_levels(cls):
    kl = cls()
    for i in range(10):
        kl[f"net{i}.port{i}.speed"] = i
    kl["net.eth0.speed"] = 1000
    return kl


def _item_operations() -> None:
    fast, slow = _three_levels(Kelvor), _three_levels(PyKelvor)
    key = "net.eth0.speed"

    def store(kl):
        def run():
            kl[key] = 100

        return run

    cases = [
        ("get kl['net.eth0.speed']", lambda: fast[key], lambda: slow[key]),
        ("set kl['net.eth0.speed'] = 100", store(fast), store(slow)),
        ("'net.eth0.speed' in kl", lambda: key in fast, lambda: key in slow),
    ]
    for title, c_op, py_op in cases:
        # Short operations: many rounds, so a busy machine costs few of them.
        times = compare(title, {"plain Python": py_op, "Kelvor (C++)": c_op}, rounds=25)
        report("speed-up", times["plain Python"] / times["Kelvor (C++)"], "at least 3x")
    # get() is MutableMapping's own Python function in both classes, and a
    # miss is a KeyError caught there: only the path walk beneath is ours.
    times = compare(
        "get('net.eth0.mtu') (missing leaf, through MutableMapping.get)",
        {
            "plain Python": lambda: slow.get("net.eth0.mtu"),
            "Kelvor (C++)": lambda: fast.get("net.eth0.mtu"),
        },
        rounds=25,
    )
    report("speed-up", times["plain Python"] / times["Kelvor (C++)"])


def _from_tcl() -> None:
    tcl = orvex.tcl.default_interpreter()
    tcl.load_tclx()
    tcl.eval(
        f"set ::kl {{}}; for {{set i 0}} {{$i < {ENTRIES}}} {{incr i}} "
        "{ keylset ::kl key$i value$i }"
    )
    value = tcl.tk.getvar("kl")
    assert value.typename == "keyedList"
    assert len(Kelvor.from_tcl(value)) == ENTRIES
    times = compare(
        f"from_tcl of a {ENTRIES:,}-entry keyed list",
        {
            "plain Python": lambda: PyKelvor.from_tcl(value),
            "Kelvor (C++)": lambda: Kelvor.from_tcl(value),
        },
        rounds=3,
    )
    report("speed-up", times["plain Python"] / times["Kelvor (C++)"])


def main() -> None:
    _item_operations()
    _from_tcl()


if __name__ == "__main__":
    main()

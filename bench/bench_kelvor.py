"""Keyed lists: Kelvor (C++) against the same class in plain Python.

Dotted-key read, store and membership: one key three levels deep, and a
working set of distinct keys in shuffled order at 10, 1,000 and 100,000
keys; from_tcl of a large keyed list, of a small one against asking TclX
for its leaves, and of the same leaves nested one and twelve levels deep.
"""

from __future__ import annotations

import random

from baseline_kelvor import Kelvor as PyKelvor
from harness import compare, row

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
    for (title, c_op, py_op), op in zip(cases, ("get", "set", "in")):
        # Short operations: many rounds, so a busy machine costs few of them.
        times = compare(title, {"plain Python": py_op, "Kelvor (C++)": c_op}, rounds=25)
        row(
            f"kelvor.{op}.one_key/python",
            f"speed-up on one key, {op}",
            times["plain Python"] / times["Kelvor (C++)"],
            ">= 3",
            times=times,
        )
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
    row(
        "kelvor.get_missing/python",
        "speed-up, missing leaf through get()",
        times["plain Python"] / times["Kelvor (C++)"],
        times=times,
    )


def distinct_keys(count: int, seed: int = 13) -> list[str]:
    """`count` distinct dotted keys three levels deep, shuffled."""
    keys = [f"g{i % 97}.s{i // 97 % 101}.leaf{i}" for i in range(count)]
    random.Random(seed).shuffle(keys)
    return keys


def _working_sets() -> None:
    """Every key of a working set once per pass, in shuffled order, so that
    no memo of recent keys can hold them all at the larger sizes."""
    for count in (10, 1_000, 100_000):
        keys = distinct_keys(count)
        fast, slow = Kelvor(), PyKelvor()
        for i, key in enumerate(keys):
            fast[key] = slow[key] = i
        order = distinct_keys(count, seed=29)  # the same keys, another order

        def get(kl):
            return lambda: [kl[k] for k in order]

        def store(kl):
            def run():
                for k in order:
                    kl[k] = 1

            return run

        def contains(kl):
            return lambda: [k in kl for k in order]

        # The floor a keyed list's layout (a dict of dicts) stands on: the
        # three lookups alone, in plain nested dicts, each key split in
        # advance.  Past the caches this is mostly waiting for memory.
        nested: dict = {}
        for i, key in enumerate(keys):
            top, middle, leaf = key.split(".")
            nested.setdefault(top, {}).setdefault(middle, {})[leaf] = i
        split_order = [tuple(key.split(".")) for key in order]

        def nested_get():
            return [nested[a][b][c] for a, b, c in split_order]

        for op, make in (("get", get), ("set", store), ("in", contains)):
            candidates = {"plain Python": make(slow), "Kelvor (C++)": make(fast)}
            if op == "get":
                candidates["plain nested dicts, keys split in advance"] = nested_get
            times = compare(
                f"{op} over {count:,} distinct keys, shuffled",
                candidates,
                rounds=15 if count < 100_000 else 5,
            )
            row(
                f"kelvor.{op}.{count}/python",
                f"speed-up, {op} over {count:,} keys",
                times["plain Python"] / times["Kelvor (C++)"],
                ">= 3",
                times=times,
            )
            if op == "get":
                row(
                    f"kelvor.get.{count}.nested_dicts/python",
                    "the floor: three plain dict lookups per key, speed-up over plain Python",
                    times["plain Python"] / times["plain nested dicts, keys split in advance"],
                    times=times,
                )


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
        rounds=5,
    )
    row(
        f"kelvor.from_tcl.{ENTRIES}/python",
        f"from_tcl speed-up, {ENTRIES:,} entries",
        times["plain Python"] / times["Kelvor (C++)"],
        ">= 10",
        times=times,
    )

    # What a tool's API hands back on every call: a few leaves, one level
    # nested.  The alternative is to ask TclX for each leaf (keylget reads
    # a variable).
    tcl.eval("set ::small {}; keylset ::small id 7 name eth0 stat.rx 10 stat.tx 20")
    small = tcl.tk.getvar("small")
    call = tcl.tk.call
    leaves = ("id", "name", "stat.rx", "stat.tx")
    assert sorted(Kelvor.from_tcl(small).all_keys()) == sorted(leaves)
    times = compare(
        "a 4-leaf keyed list: from_tcl against four keylget calls",
        {
            "four keylget calls": lambda: [call("keylget", "::small", leaf) for leaf in leaves],
            "Kelvor.from_tcl": lambda: Kelvor.from_tcl(small),
            "plain Python from_tcl": lambda: PyKelvor.from_tcl(small),
        },
        rounds=15,
    )
    row(
        "kelvor.from_tcl.4_leaves/keylget",
        "from_tcl of 4 leaves / four keylget calls",
        times["Kelvor.from_tcl"] / times["four keylget calls"],
        "<= 2",
        times=times,
    )

    # The same 4,096 leaves flat and as a binary tree twelve levels deep.
    tcl.eval("set ::flat {}; for {set i 0} {$i < 4096} {incr i} { keylset ::flat k$i v$i }")
    tcl.eval(
        "set ::deep {}; for {set i 0} {$i < 4096} {incr i} {"
        " set key {}; for {set l 11} {$l >= 0} {incr l -1} {"
        "  lappend key n[expr {($i >> $l) & 1}] };"
        " keylset ::deep [join $key .] v$i }"
    )
    flat, deep = tcl.tk.getvar("flat"), tcl.tk.getvar("deep")
    assert len(Kelvor.from_tcl(flat).all_keys()) == len(Kelvor.from_tcl(deep).all_keys()) == 4096
    times = compare(
        "from_tcl of 4,096 leaves, flat and nested twelve levels deep",
        {"depth 1": lambda: Kelvor.from_tcl(flat), "depth 12": lambda: Kelvor.from_tcl(deep)},
        rounds=9,
    )
    row(
        "kelvor.from_tcl.depth12/depth1",
        "from_tcl per leaf, depth 12 / depth 1",
        times["depth 12"] / times["depth 1"],
        "<= 1.5",
        times=times,
    )


def main() -> None:
    _item_operations()
    _working_sets()
    _from_tcl()


if __name__ == "__main__":
    main()

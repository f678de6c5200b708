"""orvex.tcl.sorvan: list text and Tcl objects, against plain Python and Tcl's own quoting."""

from __future__ import annotations

import random
import subprocess
import sys
import textwrap
import time
import tkinter

import baseline_sorvan
from harness import compare, format_time, report

from orvex.tcl.sorvan import _Tcl_ConvertElement, sorvan, tclobj


def mixed_texts(count: int, seed: int = 1) -> list[str]:
    """Short texts of every kind the quoting tells apart."""
    rng = random.Random(seed)
    kinds = [
        lambda: rng.choice(["set", "name", "value", "x", "widget", "-text", "42", "3.14"]),
        lambda: " ".join(rng.choice(["a", "bc", "def"]) for _ in range(rng.randint(2, 4))),
        lambda: rng.choice(["{a b}", "x{", "}y", "{}", "a{b}c"]),
        lambda: rng.choice(["C:\\temp", "a\\", "\\n", "x\\{y"]),
        lambda: "",
    ]
    return [rng.choice(kinds)() for _ in range(count)]


def nested_structure(count: int) -> list:
    """About `count` leaves: records of texts, numbers, flags, lists and dicts."""
    records = []
    for i in range(count // 10):
        records.append(
            {
                "name": f"item {i}",
                "id": i,
                "ratio": i / 7,
                "tags": ["a", "b c", f"t{i}"],
                "ok": i % 2 == 0,
                "none": None,
            }
        )
    return records


def peak_memory(kind: str) -> tuple[int, int]:
    """Peak memory taken by sorvan over a 1,000,000-element list beyond what
    was allocated before the call (the result included), and the size of the
    result, traced by tracemalloc in a fresh process.  The module takes its
    working memory from Python's allocator, so the figure covers it too."""
    script = textwrap.dedent(
        f"""
        import sys, tracemalloc
        from orvex.tcl.sorvan import sorvan
        words = ["alpha", "b c", "{{d", "", "e\\\\", "x" * 12]
        items = [words[i % len(words)] for i in range(1_000_000)]
        if {kind!r} == "mixed":
            items = [item if i % 3 else i for i, item in enumerate(items)]
        if {kind!r} == "deque":
            import collections
            items = collections.deque(items)
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        text = sorvan(items)
        peak = tracemalloc.get_traced_memory()[1]
        print(peak - before, sys.getsizeof(text))
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    extra, size = map(int, out.stdout.split())
    return extra, size


def main() -> None:
    tk = tkinter.Tcl().tk
    items = mixed_texts(10_000)
    assert sorvan(items) == baseline_sorvan.sorvan(items)
    assert [str(x) for x in tk.splitlist(sorvan(items))] == items

    times = compare(
        "sorvan of 10,000 mixed short texts",
        {
            "orvex.tcl.sorvan.sorvan": lambda: sorvan(items),
            "plain Python rendering (bench/baseline_sorvan)": lambda: baseline_sorvan.sorvan(items),
            "tkinter._join (tkinter's Python quoting)": lambda: tkinter._join(items),
            "str(tk.call('list', *items)) (Tcl's C code)": lambda: str(tk.call("list", *items)),
        },
    )
    ours, baseline, join, tcl_list = times.values()
    report("faster than the plain Python rendering", baseline / ours, ">= 50")
    report("faster than tkinter._join", join / ours, ">= 10")
    report("faster than Tcl's own quoting reached from Python", tcl_list / ours, ">= 3")

    structure = nested_structure(10_000)
    assert tclobj(structure) == baseline_sorvan.tclobj(structure)
    times = compare(
        "tclobj of a nested structure of 10,000 items",
        {
            "orvex.tcl.sorvan.tclobj": lambda: tclobj(structure),
            "plain Python rendering": lambda: baseline_sorvan.tclobj(structure),
        },
    )
    ours, baseline = times.values()
    report("faster than the plain Python rendering", baseline / ours, ">= 20")
    times = compare(
        "sorvan of the same structure",
        {
            "orvex.tcl.sorvan.sorvan": lambda: sorvan(structure),
            "plain Python rendering": lambda: baseline_sorvan.sorvan(structure),
        },
    )
    ours, baseline = times.values()
    report("faster than the plain Python rendering", baseline / ours, "")

    big = "plain-text_" * 1_000_000  # 11 MB, nothing to quote
    spaced = "plain text " * 1_000_000  # the same size, written in braces
    print("\nOne 10 MB element")
    rates = {}
    for label, fn in (
        ("sorvan([text]), nothing to quote", lambda: sorvan([big])),
        ("sorvan([text]), braces around it", lambda: sorvan([spaced])),
        ("_Tcl_ConvertElement(text, set())", lambda: _Tcl_ConvertElement(big, set())),
    ):
        best = min(_timed(fn) for _ in range(7))
        rates[label] = len(big) / best / 1e9
        print(f"  {label:<44} {format_time(best * 1e9):>12}   {rates[label]:7.2f} GB/s")
    report(
        "sorvan of one 10 MB plain element, GB/s", rates["sorvan([text]), nothing to quote"], ">= 1"
    )

    print("\nsorvan of a 1,000,000-element list: peak memory taken, result included")
    for kind, label in (
        ("texts", "list of texts"),
        ("deque", "the same texts in a deque"),
        ("mixed", "the texts, every third an int instead"),
    ):
        extra, size = peak_memory(kind)
        print(
            f"  {label:<44} {extra / 1e6:6.1f} MB for a {size / 1e6:.1f} MB result: {extra / size:.2f}x"
        )
    extra, size = peak_memory("texts")
    report("peak memory / result size, list of texts", extra / size, "<= about 2")


def _timed(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


if __name__ == "__main__":
    main()

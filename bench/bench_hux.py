"""Quick calls: tcl.hux.set('x', 5) against the bare tk.call and a plain Python proxy."""

from __future__ import annotations

from harness import against_bare, compare, own_cost_ratio, report, row

from orvex.tcl import Interpreter


def main() -> None:
    import baseline_hux

    class PlainInterpreter(Interpreter):
        """An interpreter whose `hux` is the plain Python rendering, reached
        the same way (an instance attribute) as the real one."""

        def __init__(self) -> None:
            super().__init__()
            self.hux = baseline_hux.Hux(self)  # type: ignore[assignment]

    tcl = Interpreter()
    plain = PlainInterpreter()
    tk = tcl.tk

    against_bare(
        "hux.set",
        "set x 5: two arguments, result cast",
        {
            "bare tk.call('set', 'x', 5)": lambda: tk.call("set", "x", 5),
            "tcl.hux.set('x', 5)": lambda: tcl.hux.set("x", 5),
            "plain Python proxy: .hux.set('x', 5)": lambda: plain.hux.set("x", 5),
        },
        label="quick call / bare call",
        goal="<= 1.7",
        holds="<= 2",
        own_label="plain Python's own cost / quick call's own cost",
        own_goal=">= 3",
    )

    from orvex.tcl.sorvan import sorvan

    words = ["set", "x", "5"]
    compare(
        "where a quick call's own time goes: what it asks of sorvan and the interpreter",
        {
            "bare tk.call('set', 'x', 5)": lambda: tk.call("set", "x", 5),
            "tcl.hux (an instance attribute)": lambda: tcl.hux,
            "sorvan(5)": lambda: sorvan(5),
            "tcl.history.append(words)": lambda: tcl.history.append(words),
            "tcl.cast_any(5)": lambda: tcl.cast_any(5),
            "an empty lambda (the harness's own cost)": lambda: None,
        },
    )

    script = "namespace eval ns {proc echo args {return $args}}"
    tcl.eval(script)
    plain.eval(script)
    ptk = plain.tk
    times = compare(
        "ns::echo a {b c} -opt 1: a chain of two, a list argument, an option, cast_=False",
        {
            "bare tk.call('ns::echo', 'a', 'b c', '-opt', 1)": lambda: ptk.call(
                "ns::echo", "a", "b c", "-opt", 1
            ),
            "tcl.hux.ns.echo('a', ['b', 'c'], opt=1, cast_=False)": lambda: tcl.hux.ns.echo(
                "a", ["b", "c"], opt=1, cast_=False
            ),
            "plain Python proxy": lambda: plain.hux.ns.echo("a", ["b", "c"], opt=1, cast_=False),
        },
    )
    bare, quick, python = times.values()
    row("hux.chain_options/bare", "quick call / bare call", quick / bare, times=times)
    report("plain Python's own cost / quick call's own cost", own_cost_ratio(bare, quick, python))


if __name__ == "__main__":
    main()

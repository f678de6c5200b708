"""Hostile input across the package: values and names that once crashed the
process, ran text as code or reached the wrong Tcl object.

Repros that used to kill the process run in a subprocess, so that a
regression fails its test instead of ending the whole run."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

from orvex.tcl import TclError
from orvex.tcl.namespace import TclArrayVariable, TclCommand, TclNamespace, TclVariable
from orvex.tcl.sorvan import sorvan, tclobj


def run_python(code: str) -> str:
    """Run code in a fresh interpreter; its output, or fail with its end."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=300
    )
    assert result.returncode == 0, (result.returncode, result.stdout, result.stderr[-2000:])
    return result.stdout


def list_text(tcl, words) -> str:
    """Tcl's own list text of the words."""
    return tcl.call("format", "%s", tcl.call("list", *words))


# --- crashes --------------------------------------------------------------------


def test_a_conversion_hook_never_meets_a_half_built_word_tuple():
    out = run_python("""
        import gc
        from orvex.tcl import Interpreter
        from orvex.tcl.namespace import TclCommand
        marker = "bound-arg"
        seen = []
        class Peek:
            def __tclobj__(self):
                for t in gc.get_referrers(marker):
                    if type(t) is tuple:
                        seen.append(t[-1])
                return "x"
        tcl = Interpreter()
        print(TclCommand("list", args=(marker,), tcl=tcl)(Peek(), "y"))
        print(all(item is not None for item in seen))
    """)
    assert out.splitlines()[0] in ("bound-arg x y", "('bound-arg', 'x', 'y')")
    assert out.splitlines()[-1] == "True"


def test_tclobj_never_changes_a_tuple_that_python_code_has_seen():
    marker = "tclobj-marker"
    seen = []

    class Peek:
        def __tclobj__(self):
            import gc

            seen.extend(t for t in gc.get_referrers(marker) if type(t) is tuple)
            return "x"

    result = tclobj([marker, Peek(), None])
    assert result == (marker, "x", "")
    assert all(t == tuple(t) and len(t) == 3 for t in seen)
    assert all(t[1] is not None and type(t[1]).__name__ in ("Peek", "str") for t in seen)
    assert [t for t in seen if t is not result and t[1] == "x"] == []


def test_freeing_long_chains_of_quick_call_objects():
    out = run_python("""
        from orvex.tcl import Interpreter
        from orvex.tcl.hux import Hux, Hux_Code
        c = None
        for i in range(400_000):
            c = Hux_Code('x', tcl=c)
        del c
        tcl = Interpreter()
        h = Hux(tcl)
        for i in range(400_000):
            nxt = Hux(tcl)
            nxt.tcl = h
            h = nxt
        del h, nxt
        print("freed")
    """)
    assert out.strip() == "freed"


def test_a_lone_surrogate_raises_and_sends_nothing():
    out = run_python(r"""
        from orvex.tcl import Interpreter
        from orvex.tcl.namespace import TclArrayVariable, TclCommand, TclVariable
        from orvex.tcl.sorvan import tclobj
        tcl = Interpreter()
        class Hook:
            def __tclobj__(self):
                return ('ok', ['\ud800'])
        attempts = {
            "set": lambda: TclVariable('x', tcl=tcl).set(['\ud800']),
            "set wide": lambda: TclVariable('x', tcl=tcl).set(['\U0001f600\udc80']),
            "set element": lambda: TclVariable('x', tcl=tcl).set(['ok', ('\udfff',)], array_index='i'),
            "command": lambda: TclCommand('set', tcl=tcl)('x', ['\ud800']),
            "command option": lambda: TclCommand('set', tcl=tcl)('x', opt={'k': '\ud800'}),
            "bound": lambda: TclCommand('set', args=('x', ['\ud800']), tcl=tcl)(),
            "update": lambda: TclArrayVariable('x', tcl=tcl).update(k=['\ud800']),
            "tclobj": lambda: tcl.tk.call('set', 'x', tclobj({'k': '\ud800'})),
            "str subclass": lambda: tclobj([type('S', (str,), {})('\ud800')]),
            "hook": lambda: TclVariable('x', tcl=tcl).set(Hook()),
        }
        for name, attempt in attempts.items():
            try:
                attempt()
            except UnicodeEncodeError as error:
                print(name, "raised", "surrogates not allowed" in str(error))
            else:
                print(name, "sent")
        print("exists", tcl.tk.call('info', 'exists', 'x'))
    """)
    lines = out.splitlines()
    assert lines[:-1] == [
        f"{name} raised True"
        for name in (
            "set",
            "set wide",
            "set element",
            "command",
            "command option",
            "bound",
            "update",
            "tclobj",
            "str subclass",
            "hook",
        )
    ]
    assert lines[-1] == "exists 0"


def test_surrogate_free_wide_text_still_passes(tcl):
    TclVariable("x", tcl=tcl).set(["\U0001f600", "\u20ac", ("\uffff",)])
    assert tcl.cast_list(tcl.tk.eval("set x")) == ["\U0001f600", "\u20ac", "\uffff"]


# --- list text that is evaluated ---------------------------------------------------


def test_a_leading_hash_is_quoted_so_the_text_never_turns_into_a_comment(tcl):
    words = ["#", "note\nset ::pwned 1"]
    assert sorvan(words) == "{#} {note\nset ::pwned 1}"
    with pytest.raises(TclError, match='invalid command name "#"'):
        tcl.call("eval", sorvan(words))
    assert tcl.call("info", "exists", "::pwned") == 0


@pytest.mark.parametrize(
    "first",
    [
        "#",
        "#a",
        "#a b",
        "#{",
        "#}",
        "#a\\",
        '#"',
        "#a]",
        "#a\nb",
        "#a\\\nb",
        "#{}",
        "#\\{",
        "##",
        "#\u20ac",
        "#\U0001f600 x",
    ],
)
def test_a_leading_hash_is_quoted_as_tcls_own_list_quotes_it(tcl, first):
    for words in ([first], [first, "x"], [first, 5], [first, "\u20ac"]):
        assert sorvan(words) == list_text(tcl, words)
    assert sorvan(["x", first]) == list_text(tcl, ["x", first])


def test_the_join_through_replaced_element_functions_quotes_a_leading_hash(monkeypatch, tcl):
    from orvex.tcl import sorvan as module

    convert = module._Tcl_ConvertElement
    monkeypatch.setattr(module, "_Tcl_ConvertElement", lambda text, flags: convert(text, flags))
    for words in (["#", "x"], ["#{", "x"], ["#a b"], ["x", "#"]):
        assert sorvan(words) == list_text(tcl, words)


def test_a_hook_giving_a_non_str_first_element_with_a_leading_hash_is_braced(tcl):
    class Text:
        def __init__(self, text):
            self.text = text

        def __sorvan__(self):
            return self.text

    class Outer:
        def __sorvan__(self):
            return Text("#a b")  # not a str: its own hook gives the text

    for words in ([Outer(), "x"], [Outer()]):
        plain = ["#a b" if isinstance(w, Outer) else w for w in words]
        assert sorvan(words) == list_text(tcl, plain)
    assert sorvan([Outer(), "x"]) == "{#a b} x"


def test_evaluated_word_lists_with_a_leading_hash_run_the_command(tcl):
    tcl.eval("proc #cmd {args} {return ran:$args}")
    assert TclCommand("#cmd", args=("a b",), tcl=tcl).eval() == "ran:{a b}"
    assert TclNamespace("", tcl=tcl).eval("#cmd", "x") == "ran:x"
    assert TclNamespace("::n", tcl=tcl).eval(("#cmd", "y")) == "ran:y"


# --- names holding NUL -----------------------------------------------------------------


def test_a_command_name_with_nul_never_reaches_tcl(tcl):
    tcl.eval("proc keepme {} {return kept}")
    command = TclCommand("keepme\0x", args=(), tcl=tcl)
    for operation in (
        command.delete,
        command.exists,
        command.is_proc,
        command.proc_body,
        command.origin,
        command.proc_args,
        command,
        command.eval,
        lambda: command.rename("other"),
        lambda: command.proc_arg_default("a"),
        lambda: command.createcommand(print),
    ):
        with pytest.raises(ValueError, match="null character"):
            operation()
    with pytest.raises(ValueError, match="null character"):
        TclCommand("keepme", args=(), tcl=tcl).rename("gone\0x")
    with pytest.raises(ValueError, match="null character"):
        TclCommand("keepme", args=(), tcl=tcl).proc_arg_default("a\0b")
    assert tcl.call("keepme") == "kept"


def test_an_option_name_with_nul_never_reaches_tcl(tcl):
    with pytest.raises(ValueError, match="null character"):
        TclCommand("list", tcl=tcl)(**{"a\0b": 1})
    with pytest.raises(ValueError, match="null character"):
        TclCommand("list", keywords={"a\0b": 1}, tcl=tcl)()
    with pytest.raises(ValueError, match="null character"):
        tcl.hux.list(**{"a\0b": 1})


def test_a_quick_call_name_with_nul_never_reaches_tcl(tcl):
    with pytest.raises(ValueError, match="null character"):
        getattr(tcl.hux, "set\0junk")("::b", 5)
    with pytest.raises(ValueError, match="null character"):
        getattr(tcl.hux.info, "exists\0x")("::b")
    assert tcl.call("info", "exists", "::b") == 0
    assert len(tcl.history) == 0


def test_a_namespace_name_with_nul_never_reaches_tcl(tcl):
    tcl.eval("namespace eval ::keep {}")
    for name in ("\0anything", "::keep\0x"):
        ns = TclNamespace(name, tcl=tcl)
        for operation in (
            ns.delete,
            ns.exists,
            ns.parent,
            lambda: ns.call("set", "v", 1),
            lambda: ns.eval("set v 1"),
            lambda: ns.children("*"),
        ):
            with pytest.raises(ValueError, match="null character"):
                operation()
        assert "\0" in str(ns)
    keep = TclNamespace("::keep", tcl=tcl)
    for operation in (
        lambda: keep.children("*\0x"),
        lambda: keep.export(False, "a\0*"),
        lambda: keep.forget("::x::*\0y"),
        lambda: keep.import_(False, "::x::*\0y"),
        lambda: keep.origin("set\0x"),
        lambda: keep.which("set\0x"),
    ):
        with pytest.raises(ValueError, match="null character"):
            operation()
    assert tcl.call("namespace", "exists", "::keep") == 1
    assert tcl.eval("set x 1") == "1"  # the interpreter is alive


def test_a_variable_name_index_or_pattern_with_nul_never_reaches_tcl(tcl):
    tcl.eval("array set ::arr {keep 1 other 2}; set ::a 1")
    variable = TclVariable("a\0b", tcl=tcl)
    for operation in (
        variable.exists,
        variable.get,
        variable.get_str,
        lambda: variable.set(1),
        variable.unset,
        variable.is_array,
        variable.array_size,
        variable.array_names,
        variable.array_unset,
        lambda: variable.array_set({"k": 1}),
    ):
        with pytest.raises(ValueError, match="null character"):
            operation()
    array = TclArrayVariable("::arr", tcl=tcl)
    for operation in (
        lambda: array.array_unset("*\0x"),
        lambda: array.array_names("*\0x"),
        lambda: array.array_get("*\0x"),
        lambda: array.exists("k\0x"),
        lambda: array.get("k\0x"),
        lambda: array.unset("k\0x"),
        lambda: array.set(1, "k\0x"),
    ):
        with pytest.raises(ValueError, match="null character"):
            operation()
    assert dict(array) == {"keep": "1", "other": "2"}
    assert str(tcl.call("set", "::a")) == "1"


# --- glob characters in command names ------------------------------------------------------


def test_exists_and_is_proc_match_the_name_alone(tcl):
    assert not TclCommand(("s*",), tcl=tcl).exists()
    assert not TclCommand(("?et",), tcl=tcl).exists()
    assert TclCommand(("set",), tcl=tcl).exists()
    tcl.eval(r"proc {a[1]} {} {}; proc {b\c} {} {}; proc {q*} {} {}")
    for name in ("a[1]", "b\\c", "q*"):
        command = TclCommand((name,), tcl=tcl)
        assert command.exists() and command.is_proc() and not command.is_command()
    assert not TclCommand(("a1",), tcl=tcl).exists()
    assert not TclCommand(("q",), tcl=tcl).is_proc()


def test_view_membership_agrees_with_the_listing(tcl):
    ns = TclNamespace("::g", tcl=tcl)
    ns.eval("proc {b[1]} {} {}; proc plain {} {}")
    assert "b[1]" in list(ns.procs)
    assert "b[1]" in ns.procs and "b[1]" in ns.cmds
    assert "*" not in ns.cmds and "*" not in ns.procs
    assert "p*" not in ns.procs and "plain" in ns.procs


# --- array keys --------------------------------------------------------------------


def test_none_is_no_array_key(tcl):
    array = TclArrayVariable("::arr", tcl=tcl)
    array["k"] = "v"
    assert None not in array
    with pytest.raises(KeyError):
        array[None]
    with pytest.raises(KeyError):
        del array[None]
    assert dict(array) == {"k": "v"}
    assert array.get(None, "default") == "default"


def test_int_keys_work_both_ways(tcl):
    array = TclArrayVariable("::arr", tcl=tcl)
    array[5] = "v"
    assert 5 in array and "5" in array
    assert array[5] == "v"
    assert TclVariable("::arr", tcl=tcl).get_obj(array_index=5) == "v"
    del array[5]
    assert 5 not in array

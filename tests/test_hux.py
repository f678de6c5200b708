"""Quick calls (orvex.tcl.hux) against a real Tcl interpreter.

The words a call sends are read back from Tcl itself where possible (a proc
that returns its arguments) and from the interpreter's `history`; a
recording double stands in for the interpreter only where a test checks
what reaches `tk.call` word for word, or what happens around it.
"""

from __future__ import annotations

import collections
import gc
import sys
import threading
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import orvex.tcl
import orvex.tcl.hux as hux_module
from orvex.tcl import Interpreter, TclError
from orvex.tcl.hux import Hux, Hux_Code
from orvex.tcl.sorvan import sorvan

PROCS = """
namespace eval app::cfg {
    proc load {path args} { return [list loaded $path $args] }
    proc fail {} { error "no config here" }
}
proc echo args { return $args }
proc answer {} { return [expr {40 + 2}] }
"""


@pytest.fixture
def tcl(tcl):
    tcl.eval(PROCS)
    return tcl


class Recorder:
    """An interpreter double that records what reaches it."""

    def __init__(self, result="ok", error=None, error_info="trace"):
        self.calls = []
        self.history = []
        self.vars = {"::errorInfo": error_info}
        self.result, self.error = result, error
        self.tk = self

    def call(self, *words):
        self.calls.append(words)
        if self.error:
            raise self.error
        return self.result

    def cast_any(self, value):
        return ("cast", value)


# --- calling commands ---------------------------------------------------------


def test_attribute_chains_call_procs_in_nested_namespaces(tcl):
    assert tcl.hux.app.cfg.load("f.cfg", force=1) == ("loaded", "f.cfg", ("-force", "1"))
    assert tcl.hux.answer() == 42  # the interpreter's cast_any turned it into an int
    assert tcl.hux.set("count", 3) == "3"  # arguments travel as text
    # Subcommands are arguments, not attributes.
    assert tcl.hux.info("exists", "count") == 1
    with pytest.raises(TclError, match='invalid command name "info::level"'):
        tcl.hux.info.level()


def test_words_positional_first_then_options_in_keyword_order(tcl):
    words = tcl.hux.echo("p1", 2, opt=1, flag=True, cast_=False, last=None)
    assert tcl.cast_list(words) == ["p1", "2", "-opt", "1", "-flag", "true", "-last", ""]
    assert tcl.history[-1] == ["echo", "p1", "2", "-opt", "1", "-flag", "true", "-last", ""]
    # cast_ is never sent, wherever it stands among the keywords.
    tcl.hux.echo(cast_=True, a=1)
    assert tcl.history[-1] == ["echo", "-a", "1"]


def test_arguments_go_through_sorvan(tcl):
    assert (
        tcl.hux.echo([1, [2, 3]], None, "a b", {"k": "v w"}, cast_=False)
        == "{1 {2 3}} {} {a b} {k {v w}}"
    )
    assert tcl.history[-1] == ["echo", "1 {2 3}", "", "a b", "k {v w}"]

    class Hooked:
        def __sorvan__(self):
            return "via hook"

    tcl.hux.set("x", Hooked())
    assert tcl.vars["x"] == "via hook"


def test_exact_words_reach_tk_call_one_per_argument():
    interp = Recorder()
    code = Hux_Code("ns", "cmd", tcl=interp)
    assert code(5, [1, "a b"], None, opt=2.5) == ("cast", "ok")
    assert interp.calls == [("ns::cmd", "5", "1 {a b}", "", "-opt", "2.5")]
    # The very list that was sent is what history holds.
    assert interp.history == [["ns::cmd", "5", "1 {a b}", "", "-opt", "2.5"]]
    interp.calls.clear()
    Hux_Code("x", tcl=interp)(**{"odd name": 1, "cast_": 0})
    assert interp.calls == [("x", "-odd name", "1")]


def test_module_globals_are_read_when_the_call_runs(tcl, monkeypatch):
    seen = []

    def loud_sorvan(value):
        seen.append(value)
        return str(value).upper()

    monkeypatch.setattr(hux_module, "sorvan", loud_sorvan)
    tcl.hux.echo("abc", 1)
    assert seen == ["abc", 1]
    assert tcl.history[-1] == ["echo", "ABC", "1"]

    class Recording(Hux_Code):
        pass

    monkeypatch.setattr(hux_module, "Hux_Code", Recording)
    assert type(tcl.hux.anything) is Recording
    monkeypatch.undo()

    def init(self, *cmd, tcl):
        self.tcl, self.cmd = tcl, ["echo", *cmd]

    monkeypatch.setattr(Hux_Code, "__init__", init)
    assert tcl.hux.anything.cmd == ["echo", "anything"]


# --- results -----------------------------------------------------------------


def test_cast_false_gives_tcl_text(tcl):
    # A list result comes back as list text that Tcl reads as the same list,
    # not as the text of a Python tuple.
    text = tcl.hux.list("a", "b c", "", cast_=False)
    assert text == "a {b c} {}"
    assert tcl.cast_list(text) == ["a", "b c", ""]
    assert tcl.hux.expr("6 * 7", cast_=False) == "42"
    assert tcl.hux.expr("1.5 * 2", cast_=False) == "3.0"
    assert tcl.hux.set("s", "plain text", cast_=False) == "plain text"
    # A byte array's text has one character per byte.
    assert tcl.hux.binary("format", "a*", "ab\u00e9", cast_=False) == "ab\u00e9"
    assert tcl.hux.set("n", 7, cast_=0) == "7"
    # A value tkinter leaves as a Tcl_Obj gives its Tcl text.
    assert tcl.hux.dict("create", "a", "b c", cast_=False) == "a {b c}"
    # With casting on, the interpreter's cast_any decides.
    assert tcl.hux.dict("create", "a", 1) == {"a": "1"}


def test_text_result_is_returned_itself():
    text = "some text"
    assert Hux_Code("x", tcl=Recorder(result=text))(cast_=False) is text


def test_cast_any_replaced_anywhere_is_honoured(tcl, monkeypatch):
    tagged = lambda *args: ("cast", args[-1])  # noqa: E731
    # On the instance or on the class.
    monkeypatch.setattr(tcl, "cast_any", tagged, raising=False)
    assert tcl.hux.set("x", 5) == ("cast", "5")
    monkeypatch.delattr(tcl, "cast_any")
    assert tcl.hux.set("x", 5) == "5"
    monkeypatch.setattr(Interpreter, "cast_any", tagged)
    assert tcl.hux.set("x", (1, 2)) == ("cast", "1 2")
    monkeypatch.undo()
    # A subclass's own cast_any wins too.

    class Own(Interpreter):
        def cast_any(self, value):
            return ("own", value)

    assert Own().hux.set("x", 5) == ("own", "5")
    # The framework's own method, bound and kept on the instance, or with
    # the instance's __dict__ made, is still the framework's.
    monkeypatch.setattr(tcl, "cast_any", tcl.cast_any, raising=False)
    assert tcl.hux.set("x", 5) == "5" and vars(tcl)["cast_any"](value=7) == 7
    monkeypatch.undo()
    assert "cast_any" not in vars(tcl) and tcl.hux.set("x", 5) == "5"
    # The framework's cast_any is native: plain results come back as they
    # are, anything else goes to orvex.tcl._cast_value, read when it runs.
    seen = []

    def recording(interp, value):
        seen.append(value)
        return ("framework", str(value))

    monkeypatch.setattr(orvex.tcl, "_cast_value", recording)
    assert tcl.hux.set("x", 5) == "5" and seen == []
    assert tcl.hux.dict("create", "a", 1) == ("framework", "a 1") and len(seen) == 1
    assert tcl.cast_any(tcl.tk.call("dict", "create", "b", 2)) == ("framework", "b 2")
    monkeypatch.undo()
    assert tcl.hux.dict("create", "a", 1) == {"a": "1"}


@settings(max_examples=60, deadline=None)
@given(
    st.lists(
        st.recursive(
            st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\0")),
            lambda inner: st.lists(inner, max_size=3),
            max_leaves=6,
        ),
        max_size=5,
    )
)
def test_words_read_back_by_tcl(arguments):
    tcl = orvex.tcl.default_interpreter()
    text = tcl.hux.list(*arguments, cast_=False)
    assert list(tcl.tk.splitlist(text)) == [sorvan(a) for a in arguments]


# --- failures ------------------------------------------------------------------


def test_failing_command_raises_the_tcl_trace(tcl):
    with pytest.raises(TclError) as caught:
        tcl.hux.app.cfg.fail()
    error = caught.value
    message = error.args[0]
    assert message.startswith("no config here\n    while executing")
    assert '(procedure "app::cfg::fail" line 1)' in message
    assert message == tcl.vars["::errorInfo"]
    assert error.__cause__ is None and error.__suppress_context__
    # The word list was recorded before Tcl ran.
    assert tcl.history[-1] == ["app::cfg::fail"]


def test_failure_inside_an_except_block(tcl):
    outer = LookupError("outer")
    try:
        raise outer
    except LookupError:
        with pytest.raises(TclError) as caught:
            tcl.hux.app.cfg.fail()
        assert sys.exc_info()[1] is outer  # the handled exception is left as it was
    # The TclError from Tcl was raised while handling `outer`.
    assert caught.value.__context__.__context__ is outer


def test_history_is_appended_before_tcl_runs(tcl):
    tcl.tk.createcommand("peek", lambda: len(tcl.history))
    before = len(tcl.history)
    assert tcl.hux.peek() == before + 1


def test_history_is_bounded():
    tcl = Interpreter(history_limit=3)
    for i in range(5):
        tcl.hux.set("x", i)
    assert list(tcl.history) == [["set", "x", "2"], ["set", "x", "3"], ["set", "x", "4"]]


def test_history_and_tk_are_looked_up_as_attributes():
    class Interp(Interpreter):
        pass

    tcl = Interp()
    tcl.hux.set("x", 1)
    assert list(tcl.history) == [["set", "x", "1"]]
    # A property defined later on the class wins over the instance's own.
    seen = []
    Interp.history = property(lambda self: seen)
    tcl.hux.set("x", 2)
    assert seen == [["set", "x", "2"]]
    del Interp.history
    assert len(tcl.history) == 1
    tk = tcl.tk
    del tcl.tk
    with pytest.raises(AttributeError, match="Interp' object has no attribute 'tk'"):
        tcl.hux.set("x", 3)
    Interp.tk = tk  # a class attribute serves as well
    assert tcl.hux.set("x", 4, cast_=False) == "4"
    assert [words[-1] for words in tcl.history] == ["1", "3", "4"]


def test_errors_around_the_call():
    # Only TclError is translated; others pass unchanged.
    interp = Recorder(error=KeyError("boom"))
    with pytest.raises(KeyError, match="boom"):
        Hux_Code("x", tcl=interp)()
    # A missing ::errorInfo propagates, raised while handling the TclError.
    interp = Recorder(error=TclError("failed"))
    del interp.vars["::errorInfo"]
    with pytest.raises(KeyError) as caught:
        Hux_Code("x", tcl=interp)()
    assert isinstance(caught.value.__context__, TclError)
    # A failing conversion stops the call before anything is recorded.

    class Bad:
        def __sorvan__(self):
            raise ValueError("no text for me")

    interp = Recorder()
    with pytest.raises(ValueError, match="no text for me"):
        Hux_Code("x", tcl=interp)(1, Bad())
    assert interp.history == [] and interp.calls == []


def test_calling_hux_itself(tcl):
    with pytest.raises(TclError) as caught:
        tcl.hux(1, "two")
    assert caught.value.args == ('invalid command name ""',)
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        tcl.hux(x=1)


def test_interpreter_gone_raises_reference_error():
    interp = Interpreter()
    hux, code = interp.hux, interp.hux.kept
    ref = weakref.ref(interp)
    del interp
    gc.collect()
    assert ref() is None  # the proxies kept nothing alive
    with pytest.raises(ReferenceError):
        hux.set("x", 1)
    with pytest.raises(ReferenceError):
        code()
    assert str(code) == "<tcl.Hux magic, referring Tcl code ::kept>"


def test_used_from_a_thread_that_does_not_own_the_interpreter():
    # tkinter decides what happens (here: no main loop to hand the call to);
    # a quick call raises just as the bare call does, and nothing crashes.
    tcl = Interpreter()
    kept = tcl.hux.set
    outcome = {}

    def worker():
        for key, run in (
            ("bare", lambda: tcl.tk.call("set", "x", 1)),
            ("quick", lambda: tcl.hux.set("x", 1)),
            ("kept", lambda: kept("x", 1)),
        ):
            try:
                outcome[key] = ("returned", run())
            except Exception as error:  # noqa: BLE001 - compared below
                outcome[key] = (type(error), str(error))

    thread = threading.Thread(target=worker)
    thread.start()
    thread.join()
    assert outcome["quick"] == outcome["kept"] == outcome["bare"]
    assert tcl.hux.set("x", 2) == "2"  # still fine on its own thread


# --- the objects ------------------------------------------------------------------


def test_chains_grow_one_object(tcl):
    assert tcl.hux.a is not tcl.hux.a  # a new Hux_Code per access on Hux
    p = tcl.hux.ns
    assert p.a is p and p.b is p
    assert p.cmd == ["ns", "a", "b"]
    tcl.eval("namespace eval ns::a { proc b args { incr ::calls; return $args } }")
    tcl.vars["calls"] = 0
    assert p(1) == ("1",) and p(2) == ("2",)  # the same command twice
    assert p.cmd == ["ns", "a", "b"] and tcl.vars["calls"] == 2


def test_cmd_is_an_ordinary_attribute(tcl):
    code = tcl.hux.echo
    path = code.cmd
    assert path == ["echo"] and code.cmd is path  # one list, kept
    path.append("more")  # the list is the path itself
    assert str(code) == "<tcl.Hux magic, referring Tcl code ::echo::more>"
    code = tcl.hux.echo
    assert str(code) == "<tcl.Hux magic, referring Tcl code ::echo>"
    assert code("a", cast_=False) == "a" and code.cmd == ["echo"]
    code.cmd = "as assigned"
    assert code.cmd == "as assigned"
    del code.cmd
    with pytest.raises(AttributeError):
        code.cmd
    with pytest.raises(AttributeError):
        del code.cmd
    with pytest.raises(AttributeError):
        code.anything  # extending the path needs it
    code.cmd = ["echo"]
    assert code.x.cmd == ["echo", "x"]


def test_own_attributes_are_not_command_parts(tcl):
    assert isinstance(tcl.hux.tcl, weakref.ProxyType)
    assert tcl.hux.tcl.tk is tcl.tk
    code = tcl.hux.x
    assert code.tcl is tcl.hux.tcl and code.cmd == ["x"]
    code.cmd = ["echo"]  # ordinary writable attributes
    assert code("a", cast_=False) == "a"
    code.note = "kept in __dict__"
    assert vars(code) == {"note": "kept in __dict__"}
    assert code.note == "kept in __dict__" and code.cmd == ["echo"]
    weakref.ref(code)

    # Names found on the class, with or without an instance dict, are
    # attributes too; only names found nowhere become command parts.
    class Labelled(Hux_Code):
        label = "a class attribute"

    bare = Labelled("x", tcl=tcl)
    assert bare.label == "a class attribute" and bare.__class__ is Labelled
    assert bare.other is bare and bare.cmd == ["x", "other"]


def test_instances_behave_as_slotted_objects(tcl):
    code = tcl.hux.x
    del code.cmd
    with pytest.raises(AttributeError, match="'Hux_Code' object has no attribute 'cmd'"):
        code.more
    # Cycles through the fields and the __dict__ are collected.
    code = Hux_Code("x", tcl=tcl)
    code.cmd.append(code)
    code.me = code
    ref = weakref.ref(code)
    assert code.__weakref__ is ref
    del code
    gc.collect()
    assert ref() is None


def test_freed_objects_and_lists_come_back_clean(tcl):
    # Many at once, dropped, then made again: each has a list of its own
    # holding only its name, and works.
    for _ in range(2):
        codes = [getattr(tcl.hux, f"n{i}") for i in range(40)]
        assert [c.cmd for c in codes] == [[f"n{i}"] for i in range(40)]
        assert len({id(c.cmd) for c in codes}) == 40
        assert all(vars(c) == {} for c in codes)
        codes[0].note = "in its __dict__"
        codes[1].more.names  # a longer list
        del codes
    # A list something else still holds is left to it.
    kept = tcl.hux.a.b.cmd
    fresh = [tcl.hux.c for _ in range(20)]
    assert kept == ["a", "b"] and all(c.cmd == ["c"] and c.cmd is not kept for c in fresh)
    del fresh

    # Letting a name go may run code that makes and drops quick calls itself.
    class Name(str):
        def __del__(self):
            for _ in range(40):
                tcl.hux.inner.more
            gc.collect()

    code = Hux_Code(Name("a"), Name("b"), tcl=tcl)
    code.cmd.append(Name("c"))
    del code
    gc.collect()
    assert tcl.hux.echo("x", cast_=False) == "x"
    assert [tcl.hux.d.cmd for _ in range(20)] == [["d"]] * 20


def test_string_form_and_docs(tcl):
    code = tcl.hux.ns.cmd_a
    assert str(code) == "<tcl.Hux magic, referring Tcl code ::ns::cmd_a>"
    assert repr(code) == str(code)

    class Named(Hux_Code):
        def __str__(self):
            return "named"

    assert repr(Named("x", tcl=tcl)) == "named"  # repr goes through __str__
    assert "quick call" in Hux.__doc__.lower() and "cast_" in Hux.__doc__
    assert "A-Z, a-z, 0-9 and underscore" in Hux.__doc__
    assert Hux_Code.__doc__.count("\n") == 0 and "Hux" in Hux_Code.__doc__
    assert Hux.__module__ == Hux_Code.__module__ == "orvex.tcl.hux"
    assert Hux.__bases__ == Hux_Code.__bases__ == (object,)


def test_constructors(tcl):
    code = Hux_Code("a", "b", tcl=tcl)
    assert code.cmd == ["a", "b"] and code.tcl is tcl  # stored as given
    assert Hux_Code(tcl=tcl).cmd == []
    with pytest.raises(
        TypeError, match=r"__init__\(\) missing 1 required keyword-only argument: 'tcl'"
    ):
        Hux_Code("a")
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'tcl'"):
        Hux()
    with pytest.raises(TypeError):
        Hux(tcl, tcl)


def test_subclasses_override_as_usual(tcl):
    class Logged(Hux_Code):
        def __getattr__(self, name):
            return super().__getattr__(name.lower())

        def __call__(self, *args, **kwargs):
            return ("called", self.cmd, super().__call__(*args, **kwargs))

    code = Logged("ECHO", tcl=tcl).IGNORED
    assert code.cmd == ["ECHO", "ignored"]
    code.cmd = ["echo"]
    assert code(1, cast_=False) == ("called", ["echo"], "1")


def test_interpreters_offer_hux():
    default = orvex.tcl.default_interpreter()
    assert isinstance(default.hux, Hux) and default.hux is default.hux
    assert default.hux.expr("1 + 1") == 2
    assert orvex.tcl.hux is hux_module  # the package's `hux` is this module


def test_no_leaks(tcl, no_leak):
    tcl.history = collections.deque(maxlen=10)
    no_leak(lambda: tcl.hux.set("x", 5))
    no_leak(lambda: tcl.hux.echo("a", [1, 2], opt=None, cast_=False))

    def failing():
        with pytest.raises(TclError):
            tcl.hux.app.cfg.fail()

    no_leak(failing, iterations=500)
    no_leak(lambda: repr(tcl.hux.ns.cmd_a))

"""Every extension module works in more than one Python interpreter.

Each module in `USES` is imported and used in legacy subinterpreters (the
kind that can import tkinter) and in the main interpreter, in every order of
import, use and destroy; reloaded; and used from threads, each with an
interpreter of its own.  Each scenario runs in a subprocess of its own, so
that a crash fails the test instead of killing the suite.

To add a module: one entry in `USES`, the module's name and a snippet that
imports it and uses it (asserting what it gets).  The snippet must be
repeatable in one interpreter and must not rely on a display.
"""

from __future__ import annotations

import importlib.util
import subprocess
import sys
import textwrap

import pytest

USES = {
    "orvex.tcl._capi_check": """
        import inspect
        import orvex.tcl._capi_check as m
        c = m.Counter(1)
        assert c.add(1, 2, 3, scale=2, x=1) == (14, {"x": 1})
        assert isinstance(c, __import__("collections.abc").abc.Mapping)
        assert dict(c) == {"start": 1}
        assert m.bump() >= 1
        assert m.globals_held() and m.own_add(c) and m.counter_unchanged(c)
        class Probe:
            __slots__ = ()
            def probe(self):
                return "p"
        assert m.call_probe(Probe()) == "p"
        assert str(inspect.signature(m.describe)) == "(x, *, label)"
        assert m.describe(1, label="one") == "one: 1"
    """,
    "orvex.tcl.kelvor": """
        import inspect, threading
        import orvex.tcl
        from orvex.tcl.kelvor import Kelvor
        kl = Kelvor({"a.b": 1}, c={"d": 2})
        kl["a.e.f"] = 3
        assert kl["a.e.f"] == 3 and "c.d" in kl and kl.get("x.y") is None
        assert kl.all_keys() == ["a.b", "a.e.f", "c.d"]
        del kl["a.e.f"]
        assert kl.all_items() == [("a.b", 1), ("c.d", 2)]
        assert isinstance(kl, __import__("collections.abc").abc.MutableMapping)
        assert str(inspect.signature(Kelvor.from_tcl)) == "(string)"
        # from_tcl splits through the package's default interpreter, which
        # belongs to the thread that made it: only the interpreter's main
        # thread makes and uses it here.
        if threading.current_thread() is threading.main_thread():
            parsed = Kelvor.from_tcl("{a {{b 1} {e 2}}} {d 3}")
            assert parsed.all_items() == [("a.b", "1"), ("a.e", "2"), ("d", "3")]
        assert orvex.tcl.sorvan.sorvan(Kelvor({"a.b": 1, "d": 3})) == "{a {{b 1}}} {d 3}"
    """,
    "orvex.tcl.namespace": """
        import inspect, sys, threading
        from orvex.tcl import Interpreter
        from orvex.tcl.namespace import TclNamespace, TempTclNamespace
        tcl = Interpreter()
        ns = TclNamespace("::orvex_use", tcl)
        ns.create()
        tcl.eval("set ::orvex_use::a 1; proc ::orvex_use::p {} {}")
        assert ns.exists() and ns.vars["a"] == "1"
        assert ns.objs["a"] == tcl.tk.getvar("::orvex_use::a")  # 1, or "1" where tkinter gives text
        assert list(ns.vars) == ["a"] and len(ns.vars) == 1 and "a" in ns.vars
        assert list(ns.procs) == ["p"] and "p" in ns.cmds
        assert TclNamespace.join("::orvex_use", "b") == "::orvex_use::b"
        with TempTclNamespace(tcl=tcl) as temp:
            assert temp.exists()
        assert str(inspect.signature(TclNamespace.VariablesView.get)) == "(self, /, var_name)"
        # From a thread that does not own the interpreter: tkinter's error.
        raised = []
        def elsewhere():
            try:
                ns.vars["a"]
            except RuntimeError as error:
                raised.append(error)
        thread = threading.Thread(target=elsewhere)
        thread.start()
        thread.join()
        assert len(raised) == 1, raised
        ns.delete()
        from orvex.tcl.namespace import (TclArrayVariable, TclCommand, TclVariable,
                                         TempTclCommand, TempTclVariable)
        v = TclVariable("x", tcl=tcl)
        v.set("5")
        assert v.get() == "5" and v.get(cast=int) == 5 and v.exists()
        a = TclArrayVariable("a", tcl=tcl)
        a.update(k="v w")
        assert dict(a) == {"k": "v w"}
        with TempTclVariable(tcl=tcl) as t:
            t.set("y")
            assert t.get() == "y"
        assert not t.exists()
        # A command given as text is split by the package's default
        # interpreter, which belongs to the thread that made it: only the
        # main thread makes and uses it here.
        c = TclCommand(("::set",), tcl=tcl)
        assert c("x", "7") == "7" and c.exists() and c.build_tclcmd(k=1) == ("::set", "-k", 1)
        if threading.current_thread() is threading.main_thread():
            with TempTclCommand(lambda: "called", tcl=tcl) as f:
                assert tcl.eval(f.cmd_name) == "called"
            del f  # while its interpreter is alive: it deletes its command when it goes
        # (3.13.0's inspect binds a class's C-level __init__ to the class
        # itself and fails; 3.12 reads it.)
        if sys.version_info < (3, 13):
            assert str(inspect.signature(TclCommand)) == (
                "(cmd, args=None, keywords=None, tcl=None, cast=None, logger=None)")
        assert str(inspect.signature(v.get)) == "(array_index=None, cast=Ellipsis)"
        # Nothing may keep the interpreter alive past this snippet in a cycle
        # (the function and the error's traceback refer to these globals): a
        # Tcl interpreter must be deleted by the thread that made it.
        del elsewhere, raised
    """,
    "orvex.tcl.hux": """
        import inspect
        import orvex.tcl
        from orvex.tcl.hux import Hux, Hux_Code
        tcl = orvex.tcl.Interpreter()
        assert tcl.hux.set("x", 5) == "5" and tcl.history[-1] == ["set", "x", "5"]
        assert tcl.hux.list("a b", [1, 2], opt=None, cast_=False) == "{a b} {1 2} -opt {}"
        assert tcl.hux.dict("create", "k", 1) == {"k": "1"}
        try:
            tcl.hux.error("boom")
        except orvex.tcl.TclError as error:
            assert error.args[0].startswith("boom")
        else:
            raise AssertionError("no TclError")
        assert type(tcl.hux) is Hux and type(tcl.hux.a.b) is Hux_Code
        assert str(inspect.signature(Hux_Code)) == "(*cmd, tcl)"
    """,
    "orvex.tcl.sorvan": """
        import collections, inspect
        import orvex.tcl.sorvan as m
        from orvex.tcl.sorvan import sorvan, tclobj
        assert sorvan(["a b", {"k": 1}, None, 2.5, "é{"]) == "{a b} {k 1} {} 2.5 \\u00e9\\\\{"
        assert sorvan(collections.OrderedDict(a=[1, "x y"])) == "a {1 {x y}}"
        assert tclobj([1, ("a", None), {"k": 2.5}]) == (1, ("a", ""), ("k", 2.5))
        class Hooked:
            def __sorvan__(self):
                return "hooked"
        assert sorvan([Hooked(), True]) == "hooked true"
        saved = m.sorvan
        m.sorvan = lambda obj: "X"
        try:
            assert sorvan(["a", "b c"]) == "X X"
        finally:
            m.sorvan = saved
        assert sorvan(["a", "b c"]) == "a {b c}"
        assert str(inspect.signature(sorvan)) == "(obj)"
        assert str(inspect.signature(m._Tcl_ConvertElement)) == "(src, flags)"
        assert type(m._capi).__name__ == "PyCapsule"
    """,
}

# The driver every scenario runs under: `create()`, `run(interp, code)`
# (raising when the code failed there), `destroy(interp)`, and `use()` in the
# calling interpreter.
DRIVER = """
import importlib, os, sys, threading
# CPython 3.12's _tkinter (single-phase init, process-wide state) crashes the
# process at exit when a subinterpreter imports it first and is destroyed
# after the main interpreter imported it too; with tkinter loaded in the
# main interpreter first, the orders below test our modules, not that.
import _tkinter
try:
    import _interpreters as _subs            # 3.13
    def create():
        return _subs.create("legacy")
except ImportError:
    import _xxsubinterpreters as _subs       # 3.12
    def create():
        return _subs.create(isolated=False)
destroy = _subs.destroy

def run(interp, code):
    failed = _subs.run_string(interp, code)  # 3.12 raises, 3.13 returns
    if failed is not None:
        raise RuntimeError(f"in a subinterpreter: {{failed}}")

MODULE = {module!r}
USE = {use!r}

def use():
    exec(USE, {{}})

{scenario}
print("ok")
"""

SCENARIOS = {
    "sub_then_main": """
        i = create()
        run(i, USE)
        destroy(i)
        use()
        use()
    """,
    "main_then_sub": """
        use()
        i = create()
        run(i, USE)
        run(i, USE)
        destroy(i)
        use()
    """,
    "two_subs_at_once": """
        a, b = create(), create()
        run(a, USE)
        run(b, USE)
        use()
        run(a, USE)
        destroy(a)
        run(b, USE)
        destroy(b)
        use()
        if sys.version_info < (3, 13):
            # CPython 3.12: when two legacy subinterpreters subclass the
            # TclError class that _tkinter shares between interpreters (the
            # package's TclValueError does), its subclass list keeps a
            # dangling entry that crashes the process at exit (plain Python
            # shows it too; fixed in 3.13).  Leave without finalising.
            print("ok", flush=True)
            os._exit(0)
    """,
    "reload": """
        use()
        module = importlib.import_module(MODULE)
        assert importlib.reload(module) is module
        use()
        i = create()
        run(i, USE + f"\\nimport importlib, {MODULE}\\nimportlib.reload({MODULE})\\n" + USE)
        destroy(i)
        use()
    """,
    "threads": """
        errors = []
        def in_main():
            try:
                for _ in range(3):
                    use()
            except BaseException as error:
                errors.append(error)
        def in_own_interpreter():
            try:
                i = create()
                try:
                    run(i, USE)
                    run(i, USE)
                finally:
                    destroy(i)
            except BaseException as error:
                errors.append(error)
        threads = [threading.Thread(target=in_main) for _ in range(2)]
        threads += [threading.Thread(target=in_own_interpreter) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert not errors, errors
        use()
    """,
}


def run_scenario(module: str, use: str, scenario: str) -> None:
    script = DRIVER.format(
        module=module, use=textwrap.dedent(use), scenario=textwrap.dedent(scenario)
    )
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120
    )
    if (
        result.returncode != 0
        and sys.version_info < (3, 13)
        and VERSION_TAG_MIX_UP in result.stderr
    ):
        # CPython 3.12 numbers the versions of mutable heap types per
        # interpreter, while _tkinter (single-phase init) shares its types
        # (tkapp, TclError, ...) between interpreters, numbered where they
        # were first looked up.  Another class can then carry the same number
        # in an interpreter, and the method cache hands it the shared type's
        # attribute of the same name (plain Python shows it too; 3.13 numbers
        # heap types from one counter).  Our own classes are kept apart from
        # those numbers; other classes (the ast module's, say) cannot be.
        pytest.xfail("CPython 3.12: a class shares its version number with a tkinter type")
    assert result.returncode == 0 and result.stdout.strip().endswith("ok"), (
        f"exit status {result.returncode}\n{result.stdout}\n{result.stderr}"
    )


# How the mix-up shows: a descriptor of one type called on an object of another.
VERSION_TAG_MIX_UP = "objects doesn't apply to a"


CAPI_CHECK = "orvex.tcl._capi_check"


def need_capi_check() -> None:
    # The layer's test module is built only by the dev and sanitizer builds.
    if importlib.util.find_spec(CAPI_CHECK) is None:
        pytest.skip("the C++ layer's test module is not in release builds")


@pytest.mark.parametrize("scenario", sorted(SCENARIOS))
@pytest.mark.parametrize("module", sorted(USES))
def test_module_in_interpreters(module, scenario):
    if module == CAPI_CHECK:
        need_capi_check()
    run_scenario(module, USES[module], SCENARIOS[scenario])


def test_each_interpreter_has_its_own_state():
    need_capi_check()
    # The call count lives in the module state: a subinterpreter starts from
    # zero whatever the main interpreter did, and destroying it leaves the
    # main interpreter's count alone.
    run_scenario(
        "orvex.tcl._capi_check",
        "",
        """
        import orvex.tcl._capi_check as m
        m.bump(); m.bump()
        i = create()
        run(i, "import orvex.tcl._capi_check as m\\nassert m.bump() == 1, m.bump()")
        run(i, "assert m.bump() == 2")
        destroy(i)
        assert m.bump() == 3
        # Each interpreter has its own module object, class and state.
        i = create()
        run(i, "import orvex.tcl._capi_check as m, sys\\n"
               "assert m.bump() == 1\\n"
               "assert m.Counter.__module__ == 'orvex.tcl._capi_check'")
        destroy(i)
    """,
    )


def test_namespace_handles_used_from_a_thread_that_does_not_own_the_interpreter():
    # A handle sends its commands on the caller's thread: from a thread other
    # than the interpreter's it fails as the bare tkinter call fails there.
    run_scenario(
        "orvex.tcl.namespace",
        "",
        """
        from orvex.tcl import Interpreter
        from orvex.tcl.namespace import TclArrayVariable, TclCommand, TclVariable
        tcl = Interpreter()
        tcl.tk.setvar("x", "1")
        v, c = TclVariable("x", tcl=tcl), TclCommand("::set", tcl=tcl)
        a = TclArrayVariable("a", tcl=tcl)
        def outcome(fn):
            try:
                return ("ok", fn())
            except Exception as error:
                return (type(error), str(error))
        results = {}
        def in_other_thread():
            results["bare get"] = outcome(lambda: tcl.tk.getvar("x"))
            results["get"] = outcome(v.get)
            results["bare call"] = outcome(lambda: tcl.tk.call(("::set", "x")))
            results["call"] = outcome(lambda: c("x"))
            results["set"] = outcome(lambda: v.set("2"))
            results["item"] = outcome(lambda: a.__setitem__("k", "v"))
        t = threading.Thread(target=in_other_thread)
        t.start()
        t.join()
        assert results["get"] == results["bare get"], results
        assert results["call"] == results["bare call"], results
        for key in ("set", "item"):
            assert results[key][0] is results["bare get"][0], results
        # The interpreter's own thread is unaffected.
        assert v.get() == tcl.tk.getvar("x") and c("x") == v.get()
    """,
    )

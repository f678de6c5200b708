"""TclNamespace, TempTclNamespace and the four views, against a real Tcl."""

from __future__ import annotations

import gc
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from recording import RecordingInterpreter

import orvex.tcl
from orvex.tcl import Interpreter, TclError
from orvex.tcl.namespace import (
    TclArrayVariable,
    TclCommand,
    TclNamespace,
    TclVariable,
    TempTclNamespace,
)


@pytest.fixture
def rec(tcl):
    return RecordingInterpreter(tcl)


def tcl_list(tcl, value):
    return sorted(tcl.cast_list(value))


# --- construction -----------------------------------------------------------------


def test_construction_sets_attributes_and_views(tcl):
    ns = TclNamespace("::n", tcl)
    assert ns.ns == "::n"
    assert type(ns.tcl) in weakref.ProxyTypes
    assert ns.tcl.tk is tcl.tk
    assert type(ns.vars) is TclNamespace.VariablesView
    assert type(ns.objs) is TclNamespace.ObjectsView
    assert type(ns.procs) is TclNamespace.ProcsView
    assert type(ns.cmds) is TclNamespace.CommandsView
    for view in (ns.vars, ns.objs, ns.procs, ns.cmds):
        assert view.ns is ns
    # Passive: nothing exists until asked for.
    assert not ns.exists()


def test_name_goes_through_sorvan_unchanged(tcl):
    assert TclNamespace("a::::b", tcl=tcl).ns == "a::::b"
    assert TclNamespace(7, tcl=tcl).ns == "7"
    assert TclNamespace(None, tcl=tcl).ns == ""
    assert TclNamespace(TclNamespace("::x", tcl=tcl), tcl=tcl).ns == "::x"


def test_interpreter_proxy_is_not_wrapped_twice(tcl):
    proxy = weakref.proxy(tcl)
    assert TclNamespace("::n", tcl=proxy).tcl is proxy


def test_default_interpreter_is_the_package_module():
    ns = TclNamespace("::orvex_default_ns")
    assert ns.tcl.tk is orvex.tcl.tk
    ns.create()
    try:
        assert orvex.tcl.tk.call("namespace", "exists", "::orvex_default_ns")
    finally:
        ns.delete()


def test_dead_interpreter_raises_reference_error():
    interp = Interpreter()
    ns = TclNamespace("::n", tcl=interp)
    del interp
    gc.collect()
    with pytest.raises(ReferenceError):
        ns.exists()
    with pytest.raises(ReferenceError):
        ns.vars["x"]


def test_class_layout():
    expected = [
        "__init__",
        "children",
        "code",
        "current",
        "create",
        "delete",
        "eval",
        "call",
        "exists",
        "export",
        "forget",
        "import_",
        "origin",
        "parent",
        "which",
        "is_absolute",
        "is_relative",
        "absolute",
        "make_absolute",
        "__str__",
        "qualifiers",
        "tail",
        "join",
        "split",
        "normalize",
        "VariablesView",
        "ObjectsView",
        "CommandsView",
        "ProcsView",
    ]
    assert [name for name in TclNamespace.__dict__ if name in expected] == expected
    assert TclNamespace.__bases__ == (object,)
    assert TempTclNamespace.__bases__ == (TclNamespace,)
    assert TclNamespace.VariablesView.__qualname__ == "TclNamespace.VariablesView"
    views = {
        TclNamespace.VariablesView: "__init__ byref array_byref get set unset array_get array_set "
        "array_unset array_names is_array exists __getitem__ "
        "__contains__ __setitem__ __delitem__ __len__ __iter__",
        TclNamespace.ObjectsView: "get array_get",
        TclNamespace.CommandsView: "__init__ byref exists createcommand delete rename origin "
        "proc_body proc_args proc_arg_default __getitem__ __contains__ "
        "__setitem__ __delitem__ __len__ __iter__",
        TclNamespace.ProcsView: "exists __iter__",
    }
    for view, names in views.items():
        expected_body = names.split()
        assert [name for name in view.__dict__ if name in expected_body] == expected_body
    assert TclNamespace.ProcsView.__bases__ == (TclNamespace.CommandsView,)
    assert TclNamespace.ObjectsView.__bases__ == (TclNamespace.VariablesView,)
    import collections.abc

    assert TclNamespace.VariablesView.__bases__ == (collections.abc.MutableMapping,)
    assert orvex.tcl.namespace.__all__ == (
        "TclVariable",
        "TempTclVariable",
        "TclArrayVariable",
        "TempTclArrayVariable",
        "TclCommand",
        "TempTclCommand",
        "TclNamespace",
        "TempTclNamespace",
    )


# --- the namespace command ----------------------------------------------------------


def test_create_exists_delete(tcl):
    ns = TclNamespace("::made", tcl=tcl)
    assert ns.create() is None
    assert ns.exists() is True
    assert tcl.tk.call("namespace", "exists", "::made")
    assert ns.delete() is None
    assert ns.exists() is False
    with pytest.raises(TclError):
        ns.delete()


def test_create_current_namespace_is_refused_before_anything_is_sent(rec):
    ns = TclNamespace("", tcl=rec)
    with pytest.raises(ValueError, match="^Cannot create current namespace$"):
        ns.create()
    assert rec.sent == []
    # The global namespace itself may be "created": the empty script runs there.
    TclNamespace("::", tcl=rec).create()
    assert rec.sent == [("eval", "namespace eval :: {}")]


def test_delete_and_exists_of_the_current_namespace_name_it(rec):
    ns = TclNamespace("", tcl=rec)
    assert ns.exists() is True
    assert rec.sent == [("call", ("namespace", "current")), ("call", ("namespace", "exists", "::"))]


def test_relative_names_resolve_from_the_current_namespace(tcl):
    ns = TclNamespace("rel", tcl=tcl)
    ns.create()
    assert tcl.tk.call("namespace", "exists", "::rel")
    assert ns.absolute() == "::rel"
    ns.make_absolute()
    assert ns.ns == "::rel"


def test_children(tcl):
    tcl.eval("namespace eval ::p {namespace eval ca {}; namespace eval cb {}; namespace eval d {}}")
    tcl.eval("namespace eval ::p::ca::deep {}")
    ns = TclNamespace("::p", tcl=tcl)
    assert sorted(ns.children()) == tcl_list(tcl, tcl.eval("namespace children ::p"))
    assert sorted(ns.children()) == ["::p::ca", "::p::cb", "::p::d"]
    assert sorted(ns.children("c*")) == tcl_list(tcl, tcl.eval("namespace children ::p c*"))
    assert sorted(ns.children("c*")) == ["::p::ca", "::p::cb"]
    assert ns.children("nothing*") == []
    # Relative and current namespaces list their own children.
    assert sorted(TclNamespace("p", tcl=tcl).children("c?")) == ["::p::ca", "::p::cb"]
    assert "::p" in TclNamespace("", tcl=tcl).children("p")
    assert "::p" in TclNamespace("::", tcl=tcl).children("p*")


@pytest.mark.parametrize("name", ["::a", "::a::b", "::a::b::c", "::", "::a::b::", "::::a::::b"])
def test_parent_computed_agrees_with_tcl(tcl, name):
    tcl.tk.call("namespace", "eval", name, "")
    ns = TclNamespace(name, tcl=tcl)
    asked = ns.parent()
    assert asked == tcl.tk.call("namespace", "parent", name)
    assert ns.parent(force_eval=True) == asked


def test_parent_asks_for_relative_and_current_names(tcl, rec):
    tcl.eval("namespace eval ::q::r {}")
    assert TclNamespace("q::r", tcl=tcl).parent(True) == "::q"
    assert TclNamespace("", tcl=tcl).parent() == ""
    TclNamespace("::q::r", tcl=rec).parent(True)
    assert rec.sent == []
    TclNamespace("q::r", tcl=rec).parent(True)
    assert rec.sent == [("call", ("namespace", "parent", "q::r"))]


def test_code_runs_in_the_namespace(tcl):
    ns = TclNamespace("::c", tcl=tcl)
    ns.eval("proc hello {} {return hi}")
    script = ns.code("hello")
    assert tcl.tk.call(script) == "hi"


def test_export_import_forget_origin(tcl):
    lib = TclNamespace("::lib", tcl=tcl)
    lib.eval("proc f {} {return lib-f}; proc g {} {return lib-g}; proc h {} {}")
    assert lib.export() == []
    assert lib.export(False, "f", "g*") is None
    assert sorted(lib.export()) == ["f", "g*"]
    assert lib.export(True) is None
    assert lib.export() == []
    lib.export(False, "f", "g")

    app = TclNamespace("::app", tcl=tcl)
    app.create()
    assert app.import_(False, "::lib::*") is None
    assert sorted(app.cmds) == ["f", "g"] == sorted(app.procs)
    assert "h" not in app.cmds
    assert app.eval("f") == "lib-f"
    assert app.origin("f") == "::lib::f"
    with pytest.raises(TclError):  # f exists already
        app.eval("proc f {} {}; namespace import ::lib::f")
    assert app.import_(True, "::lib::f") is None
    assert app.origin("f") == "::lib::f"
    assert app.forget("::lib::g") is None
    assert "g" not in app.cmds and "f" in app.cmds


def test_which(tcl):
    ns = TclNamespace("::w", tcl=tcl)
    ns.eval("variable v 1; proc p {} {}")
    assert ns.which("p") == "::w::p"
    assert ns.which("p", command=True) == "::w::p"
    assert ns.which("set", True) == "::set"
    assert ns.which("v", variable=True) == "::w::v"
    assert ns.which("nothing", variable=True) == ""
    with pytest.raises(TclError):
        ns.which("v", True, True)


def test_subcommand_words(rec):
    ns = TclNamespace("::s", tcl=rec)
    ns.create()
    rec.sent.clear()
    ns.export(False, "a*", "b*")
    ns.export(True)
    ns.which("x", variable=True)
    ns.current()
    assert rec.sent == [
        ("call", ("namespace", "eval", "::s", ("namespace", "export", "a*", "b*"))),
        ("call", ("namespace", "eval", "::s", ("namespace", "export", "-clear"))),
        ("call", ("namespace", "eval", "::s", ("namespace", "which", "-variable", "x"))),
        ("call", ("namespace", "current")),
    ]


def test_import_words(tcl, rec):
    tcl.eval("namespace eval ::lib {proc f {} {}; namespace export f}")
    ns = TclNamespace("::s", tcl=rec)
    ns.import_(True, "::lib::*")
    assert rec.sent == [
        ("call", ("namespace", "eval", "::s", ("namespace", "import", "-force", "::lib::*")))
    ]


# --- eval and call --------------------------------------------------------------------


def test_eval_texts(rec):
    ns = TclNamespace("::foo", tcl=rec)
    assert ns.eval("set x 1") == "1"
    assert ns.eval("set", "x", 2) == "2"
    assert ns.eval(["set", "y", "a b"]) == "a b"
    TclNamespace("", tcl=rec).eval("set z 3")
    assert rec.sent == [
        ("eval", "namespace eval ::foo {set x 1}"),
        ("eval", "namespace eval ::foo {set x 2}"),
        ("eval", "namespace eval ::foo {set y {a b}}"),
        ("eval", "set z 3"),
    ]
    assert rec.tk._tk.getvar("::foo::y") == "a b"


def test_call_runs_word_by_word(tcl):
    ns = TclNamespace("::k", tcl=tcl)
    assert ns.call("set", "x", "a [b] $c") == "a [b] $c"
    assert tcl.tk.getvar("::k::x") == "a [b] $c"
    # One string: a script inside a namespace, one command name outside.
    assert ns.call("set y 5") == "5"
    assert tcl.tk.getvar("::k::y") == "5"
    with pytest.raises(TclError, match='invalid command name "set y 5"'):
        TclNamespace("", tcl=tcl).call("set y 5")
    assert TclNamespace("", tcl=tcl).call("set", "::k::z", 1) == 1


def test_a_leading_hash_runs_as_a_command(tcl):
    tcl.eval("proc {::#hash} {a} {return hash-$a}")
    tcl.eval("namespace eval ::h {proc #hash {a} {return h-hash-$a}}")
    assert TclNamespace("", tcl=tcl).eval("#hash", "x") == "hash-x"
    assert TclNamespace("", tcl=tcl).eval(("#hash", "y")) == "hash-y"
    assert TclNamespace("::h", tcl=tcl).eval("#hash", "z") == "h-hash-z"
    assert TclNamespace("::h", tcl=tcl).call("#hash", "w") == "h-hash-w"
    # A string is a script: there, '#' starts a comment.
    assert TclNamespace("", tcl=tcl).eval("#hash x") == ""
    assert TclNamespace("::h", tcl=tcl).eval("#hash x") == ""


def test_eval_errors_propagate(tcl):
    with pytest.raises(TclError):
        TclNamespace("::e", tcl=tcl).eval("error boom")


# --- the name -------------------------------------------------------------------------


def test_name_classification(tcl):
    assert TclNamespace("::a", tcl=tcl).is_absolute() is True
    assert TclNamespace("::a", tcl=tcl).is_relative() is False
    assert TclNamespace("a", tcl=tcl).is_absolute() is False
    assert TclNamespace("a", tcl=tcl).is_relative() is True
    empty = TclNamespace("", tcl=tcl)
    assert empty.is_absolute() == "" and empty.is_relative() == ""
    assert str(TclNamespace("a::b", tcl=tcl)) == "a::b"


def test_absolute(tcl):
    assert TclNamespace("::x::::y", tcl=tcl).absolute() == "::x::::y"
    assert TclNamespace("x", tcl=tcl).absolute() == "::x"
    assert TclNamespace("x::::y::", tcl=tcl).absolute() == "::x::y"
    assert TclNamespace("", tcl=tcl).absolute() == ""
    bad = TclNamespace("a:::b", tcl=tcl)
    with pytest.raises(ValueError):
        bad.make_absolute()
    assert bad.ns == "a:::b"


# --- TempTclNamespace -------------------------------------------------------------------


def test_temporary_namespace(tcl):
    temp = TempTclNamespace(tcl=tcl)
    assert temp.ns == f"::__orvex__TempTclNamespace_{id(temp)}_tmp"
    assert not temp.exists()
    with temp as entered:
        assert entered is temp
        assert temp.exists()
        temp.vars["x"] = 1
    assert not temp.exists()


def test_temporary_namespace_gone_after_delete_or_error(tcl):
    with TempTclNamespace(tcl=tcl) as temp:
        temp.delete()
    assert not temp.exists()
    with pytest.raises(KeyError):
        with TempTclNamespace(tcl=tcl) as temp:
            raise KeyError("inside")
    assert not temp.exists()


def test_temporary_namespace_template_and_subclass(tcl):
    class Scratch(TempTclNamespace):
        pass

    scratch = Scratch(tcl=tcl)
    assert scratch.ns == f"::__orvex__Scratch_{id(scratch)}_tmp"
    named = TempTclNamespace("::t_{cls}", tcl=tcl)
    assert named.ns == "::t_TempTclNamespace"
    with pytest.raises(KeyError):
        TempTclNamespace("::{other}", tcl=tcl)
    with pytest.raises(TypeError):
        TempTclNamespace("::a", tcl)
    with named:
        assert tcl.tk.call("namespace", "exists", "::t_TempTclNamespace")
    assert not named.exists()


def test_subclass_of_tclnamespace(tcl):
    class Mine(TclNamespace):
        def __init__(self, ns, tcl=None):
            super().__init__(ns, tcl=tcl)
            self.extra = True

    mine = Mine("::mine", tcl=tcl)
    mine.create()
    mine.vars["x"] = 3
    assert mine.extra and mine.vars["x"] == "3" and list(mine.vars) == ["x"]


# --- the variable views ---------------------------------------------------------------


@pytest.fixture
def n(tcl):
    ns = TclNamespace("::n", tcl=tcl)
    ns.create()
    return ns


def test_byref_places_names(n, tcl):
    var = n.vars.byref("x")
    assert type(var) is TclVariable and var.var_name == "::n::x"
    assert var.tcl is n.tcl
    assert n.vars.byref("::g::y").var_name == "::g::y"
    assert n.vars.byref("a::::b").var_name == "::n::a::b"
    assert n.vars.byref("x", "i").var_name == "::n::x(i)"
    assert n.vars.byref("x", cast=int).cast is int
    arr = n.vars.array_byref("x")
    assert type(arr) is TclArrayVariable and arr.var_name == "::n::x"
    assert type(n.vars.byref("x", var_type=TclArrayVariable)) is TclArrayVariable
    with pytest.raises(TypeError):
        n.vars.byref("x", tcl=tcl)
    with pytest.raises(TypeError):
        n.vars.array_byref("x", tcl)
    with pytest.raises(ValueError):
        n.vars.byref("a:b")


def test_variable_view_operations(n, tcl):
    v = n.vars
    v["x"] = 1
    assert tcl.tk.getvar("::n::x") == 1
    assert v["x"] == "1" and v.get("x") == "1"
    assert n.objs["x"] == 1
    assert "x" in v and "y" not in v
    v.set("s", "a b")
    assert v["s"] == "a b"
    assert v.unset("s") is None
    assert "s" not in v
    assert v.unset("s", nocomplain=True) is None
    with pytest.raises(TclError):
        v.unset("s")
    with pytest.raises(TclError):  # the view's own get is not a mapping get
        v.get("missing")

    v.array_set("a", {"k": 1, "l": "two"})
    assert v.is_array("a") is True and v.is_array("x") is False
    assert v.array_get("a") == {"k": "1", "l": "two"}
    assert n.objs.array_get("a", "k") == {"k": "1"}
    assert sorted(v.array_names("a")) == ["k", "l"]
    assert v.exists("a", "k") is True and v.exists("a", "z") is False
    v.set("a", 5, array_index="z")
    assert v.exists("a", array_index="z")
    assert n.objs.get("a", "z") == 5
    v.unset("a", "z")
    assert v.array_unset("a", "k") is None
    assert v.array_names("a") == ["l"]
    v.array_unset("a")
    assert not v.is_array("a")


def test_missing_items_raise_key_error(n):
    with pytest.raises(KeyError) as error:
        n.vars["missing"]
    assert error.value.args == ("missing",)
    assert isinstance(error.value.__cause__, TclError)
    assert error.value.__suppress_context__
    with pytest.raises(KeyError) as error:
        n.objs["missing"]
    assert error.value.args == ("missing",)
    with pytest.raises(KeyError) as error:
        n.vars["a:b"]
    assert isinstance(error.value.__cause__, ValueError)
    with pytest.raises(KeyError) as error:
        del n.vars["missing"]
    assert isinstance(error.value.__cause__, TclError)
    # A tuple key stays one argument.
    with pytest.raises(KeyError) as error:
        n.vars[("a", "b")]
    assert error.value.args == (("a", "b"),)


def test_variable_views_are_consistent_mappings(n, tcl):
    n.eval("variable declared; array set arr {a 1}")
    n.vars["x"] = 1
    n.vars["sp ace"] = 2
    n.eval("namespace eval child {variable inner 1}")
    assert sorted(n.vars) == ["sp ace", "x"]
    assert dict(n.vars) == {"x": "1", "sp ace": "2"}
    assert dict(n.objs.items()) == {"x": 1, "sp ace": 2}
    assert len(n.vars) == 2 == len(n.objs)
    assert set(n.vars.keys()) == {"x", "sp ace"}
    assert n.vars == {"x": "1", "sp ace": "2"}
    with pytest.raises(TypeError):
        hash(n.vars)
    # The global variables that Tcl adds inside a namespace are not listed.
    assert "tcl_version" not in list(n.vars)
    assert "tcl_version" not in n.vars


def test_global_and_current_namespace_views(tcl):
    tcl.eval("set ::gx 1; array set ::garr {a 1}")
    for name in ("::", ""):
        view = TclNamespace(name, tcl=tcl).vars
        names = list(view)
        assert "gx" in names and "tcl_version" in names
        assert "garr" not in names and "env" not in names
        assert dict(view)["gx"] == "1"
        assert len(view) == len(names)


@pytest.mark.parametrize("name", ["::g*", "::gl[1]", "::sp ace", "::b\\s", "::{br"])
def test_views_of_namespaces_with_special_names(tcl, name):
    tcl.tk.call("namespace", "eval", name, "variable v 1; proc p {} {}")
    tcl.tk.call("namespace", "eval", "::gx", "variable w 1; proc q {} {}")
    ns = TclNamespace(name, tcl=tcl)
    assert dict(ns.vars) == {"v": "1"}
    assert list(ns.procs) == ["p"]
    assert list(ns.cmds) == ["p"]
    assert ns.cmds["p"]() == ""


def test_listing_a_missing_namespace(tcl):
    assert list(TclNamespace("::nowhere", tcl=tcl).vars) == []


def test_iteration_asks_only_when_iterated(n, rec):
    view = TclNamespace("::n", tcl=rec).vars
    it = iter(view)
    assert rec.sent == []
    n.eval("variable late 1")
    assert list(it) == ["late"]
    assert len(rec.sent) == 1
    len(view)
    len(view)
    assert len(rec.sent) == 3


def test_view_construction_is_checked(n):
    with pytest.raises(AssertionError):
        TclNamespace.VariablesView("::n")
    with pytest.raises(AssertionError):
        TclNamespace.CommandsView(object())
    assert TclNamespace.ObjectsView(n).ns is n


def test_view_construction_is_not_checked_without_assertions():
    import subprocess
    import sys

    code = "from orvex.tcl.namespace import TclNamespace; print(TclNamespace.CommandsView(5).ns)"
    out = subprocess.run(
        [sys.executable, "-O", "-c", code], capture_output=True, text=True, check=True
    ).stdout
    assert out == "5\n"


# --- the command views ----------------------------------------------------------------


def test_command_views(n, tcl):
    n.eval("proc p {a {b 2}} {return $a-$b}")
    n.cmds["py"] = lambda *args: "py:" + ",".join(args)
    assert isinstance(n.cmds["p"], TclCommand)
    assert n.cmds["p"].cmd_name == "::n::p"
    assert n.cmds["p"]("x") == "x-2"
    assert n.cmds["py"]("a", "b") == "py:a,b"
    assert "p" in n.procs and "p" in n.cmds
    assert "py" not in n.procs and "py" in n.cmds
    assert "nothing" not in n.cmds
    assert n.cmds["nothing"].cmd_name == "::n::nothing"  # no existence check
    assert sorted(n.cmds) == ["p", "py"] and list(n.procs) == ["p"]
    assert len(n.cmds) == 2 and len(n.procs) == 1
    assert n.cmds.proc_args("p") == ["a", "b"]
    assert n.cmds.proc_body("p") == "return $a-$b"
    assert n.cmds.proc_arg_default("p", "b") == "2"
    assert n.cmds.proc_arg_default("p", "a") is None
    assert n.cmds.origin("p") == "::n::p"
    assert n.cmds.exists("p") is True
    assert n.cmds.byref("p", ["fixed"])() == "fixed-2"
    assert n.cmds.byref("p", args=["A", "B"])() == "A-B"
    assert n.cmds.byref("p", cast=len)("xyz") == 5
    del n.cmds["py"]
    assert "py" not in n.cmds
    with pytest.raises(KeyError) as error:
        del n.cmds["py"]
    assert isinstance(error.value.__cause__, TclError)
    assert n.cmds.delete("p") is None
    assert len(n.procs) == 0 and list(n.cmds) == []


def test_command_names_are_single_words(n, tcl):
    odd = ["a b", "br{ace", "back\\slash", "x -opt"]
    for name in odd:
        tcl.tk.call("proc", "::n::" + name, "args", 'return "ok $args"')
    assert sorted(n.cmds) == sorted(odd) == sorted(n.procs)
    for name in odd:
        command = n.cmds[name]
        assert command.cmd_name == "::n::" + name and command.args == ()
        if "\\" not in name:  # existence tests take the name as a glob pattern
            assert name in n.cmds and name in n.procs
        assert tcl.cast_list(command("z")) == ["ok", "z"]
    assert dict(n.cmds).keys() == set(odd)


def test_rename_into_and_out_of_the_namespace(n, tcl):
    n.eval("proc f {} {return f}")
    assert n.cmds.rename("f", "g") is None
    assert "g" in n.procs and "f" not in n.procs
    n.cmds.rename("g", "::outside")
    assert tcl.eval("::outside") == "f" and "g" not in n.cmds
    TclNamespace("::", tcl=tcl).cmds.rename("outside", "::n::back")
    assert list(n.procs) == ["back"]


def test_procs_of_an_empty_namespace(n):
    assert len(n.procs) == 0 and list(n.cmds) == []


# --- leaks ----------------------------------------------------------------------------


def test_no_leak(n, no_leak):
    n.eval("variable x 1; variable y 2; proc p {} {}")

    def missing():
        with pytest.raises(KeyError):
            n.vars["missing"]

    no_leak(lambda: list(n.vars))
    no_leak(lambda: dict(n.objs))
    no_leak(lambda: len(n.cmds))
    no_leak(lambda: n.vars["x"])
    no_leak(lambda: n.objs["y"])
    no_leak(lambda: n.cmds["p"])
    no_leak(missing)
    no_leak(lambda: n.vars.byref("x", "i", cast=int))
    no_leak(lambda: n.children("*"))
    no_leak(lambda: n.eval("set", "x"))
    no_leak(lambda: TclNamespace("::n", tcl=n.tcl))


# --- module globals and classes read at call time ----------------------------------------


def test_views_build_what_the_module_names_now(n, monkeypatch):
    import orvex.tcl.namespace as module

    n.vars["x"] = 1
    seen = []

    class Traced(TclVariable):
        def get_str(self, array_index=None):
            seen.append(("get_str", self.var_name))
            return super().get_str(array_index)

        def get_obj(self, array_index=None, cast=None):
            seen.append(("get_obj", self.var_name))
            return "traced"

    monkeypatch.setattr(module, "TclVariable", Traced)
    assert type(n.vars.byref("x")) is Traced
    assert n.vars["x"] == "1"
    assert n.objs["x"] == "traced"
    assert seen == [("get_str", "::n::x"), ("get_obj", "::n::x")]
    monkeypatch.undo()
    assert n.objs["x"] == 1 and len(seen) == 2


def test_views_follow_a_replaced_method_or_join(n, monkeypatch):
    n.vars["x"] = 1
    monkeypatch.setattr(TclVariable, "get_obj", lambda self, array_index=None: "patched")
    assert n.objs["x"] == "patched"
    monkeypatch.undo()

    joined = []

    def join(string, *args):
        joined.append((str(string),) + args)
        return "::n::x"

    monkeypatch.setattr(TclNamespace, "join", staticmethod(join))
    assert n.vars["anything"] == "1"
    assert joined == [("::n", "anything")]
    monkeypatch.undo()
    with pytest.raises(KeyError):
        n.vars["anything"]


def test_a_view_subclass_is_served_through_its_own_methods(n):
    class Shouting(TclNamespace.VariablesView):
        def get(self, var_name):
            return super().get(var_name).upper()

    n.vars["x"] = "quiet"
    view = Shouting(n)
    assert view["x"] == "QUIET"
    assert dict(view) == {"x": "QUIET"}


def test_a_hook_on_the_namespace_object_is_honoured(n):
    n.vars["x"] = 1
    other = TclNamespace("::other", tcl=n.tcl)
    other.create()
    other.vars["x"] = 2
    n.__sorvan__ = lambda: "::other"
    assert TclNamespace.join(n, "x") == "::other::x"
    assert n.vars["x"] == "2"


def test_command_views_build_what_the_module_names_now(n, monkeypatch):
    import orvex.tcl.namespace as module

    made = []

    class Recorded(TclCommand):
        def __init__(self, cmd, *args, **kwargs):
            made.append((cmd, args, sorted(kwargs)))
            super().__init__(cmd, *args, **kwargs)

    monkeypatch.setattr(module, "TclCommand", Recorded)
    assert type(n.cmds["p q"]) is Recorded
    n.cmds.byref("p", ["a"])
    n.cmds.byref("p", args=None, cast=str)
    assert made == [
        (("::n::p q",), (), ["tcl"]),
        ("::n::p", (["a"],), ["tcl"]),
        (("::n::p",), (), ["args", "cast", "tcl"]),
    ]


# --- any names -----------------------------------------------------------------------------

# One interpreter for the property tests (hypothesis runs many examples
# within one test call).
shared = Interpreter()
odd_names = st.text(alphabet=st.sampled_from(list("ab {}[]$;\"\\#*?\n")), min_size=1, max_size=8)


@settings(max_examples=150, deadline=None)
@given(st.dictionaries(odd_names, st.text(alphabet="xy {}\\", max_size=4), max_size=5))
def test_any_variable_names_round_trip(values):
    with TempTclNamespace(tcl=shared) as ns:
        for name, value in values.items():
            shared.tk.setvar(ns.ns + "::" + name, value)
        assert dict(ns.vars) == values
        assert len(ns.objs) == len(values)
        for name in values:
            assert name in ns.vars
            ns.vars[name] = "new"
            assert shared.tk.getvar(ns.ns + "::" + name) == "new"
            del ns.vars[name]
        assert list(ns.vars) == []


@settings(max_examples=100, deadline=None)
@given(st.sets(odd_names, max_size=4))
def test_any_command_names_are_listed_and_called(names):
    with TempTclNamespace(tcl=shared) as ns:
        for name in names:
            shared.tk.call(
                "proc", ns.ns + "::" + name, "", "return [namespace tail [lindex [info level 0] 0]]"
            )
        assert sorted(ns.procs) == sorted(names) == sorted(ns.cmds)
        for name in names:
            assert ns.cmds[name]() == name


def test_reads_send_what_a_variable_handle_sends(n, rec):
    n.vars["v1"] = 1
    n.vars["a b"] = 2
    ns = TclNamespace("::n", tcl=rec)
    assert (ns.vars["v1"], ns.vars["a b"], ns.objs["v1"]) == ("1", "2", 1)
    handle = RecordingInterpreter(n.tcl)
    TclVariable("::n::v1", tcl=handle).get_str()
    TclVariable("::n::a b", tcl=handle).get_str()
    TclVariable("::n::v1", tcl=handle).get_obj()
    assert (
        rec.sent
        == handle.sent
        == [("eval", "set ::n::v1"), ("eval", "set {::n::a b}"), ("getvar", "::n::v1")]
    )


def test_views_convert_names_with_the_module_sorvan_of_the_moment(n, monkeypatch):
    import orvex.tcl.namespace as module

    n.vars["x"] = 1
    original = module.sorvan
    converted = []

    def tracing(value):
        converted.append(value)
        return original(value)

    monkeypatch.setattr(module, "sorvan", tracing)
    assert n.vars["x"] == "1" and n.objs["x"] == 1
    # The name is placed (ns, "x") and then converted by the handle itself.
    assert converted.count("::n::x") == 2 and converted.count("x") == 2


# --- listing ---------------------------------------------------------------------------------

# What a view lists, worked out by Tcl itself: the namespace's own names,
# cut with `namespace tail`, without empty tails or tails holding ':', and
# for variables only those holding a scalar value and not of the form a(b).
LISTED_BY_TCL = r"""{ns kind} {
    set names {}
    foreach name [::info $kind ${ns}::*] {
        set tail [::namespace tail $name]
        if {$tail eq "" || [::string first : $tail] >= 0} continue
        if {$kind eq "vars" && ([::string match *(*) $tail]
                || ![::info exists $name] || [::array exists $name])} continue
        ::lappend names $tail
    }
    return $names
}"""

colon_names = st.text(alphabet=st.sampled_from(list("a:()b ")), min_size=1, max_size=6)


@settings(max_examples=100, deadline=None)
@given(st.sets(colon_names, max_size=5), st.sets(colon_names, max_size=3))
def test_views_list_what_tcls_own_rule_lists(variables, arrays):
    with TempTclNamespace(tcl=shared) as ns:
        for name in variables:
            shared.tk.eval(f"catch {{set {{{ns.ns}::{name}}} 1}}")
            shared.tk.eval(f"catch {{proc {{{ns.ns}::{name}}} {{}} {{}}}}")
        for name in arrays:
            shared.tk.eval(f"catch {{array set {{{ns.ns}::{name}}} {{k 1}}}}")
        shared.tk.eval(f"namespace eval {ns.ns} {{variable declared}}")
        for view, kind in ((ns.vars, "vars"), (ns.cmds, "commands"), (ns.procs, "procs")):
            expected = list(shared.tk.call("::apply", LISTED_BY_TCL, ns.ns, kind))
            assert sorted(view) == sorted(expected)
            assert len(view) == len(expected)


def test_listing_across_interpreters_and_namespaces():
    first, second = Interpreter(), Interpreter()
    for index, interp in enumerate((first, second)):
        interp.eval(
            f"namespace eval ::a {{variable x{index} 1}}; namespace eval ::b {{proc p{index} {{}} {{}}}}"
        )
    for _ in range(3):
        for index, interp in enumerate((first, second)):
            a, b = TclNamespace("::a", tcl=interp), TclNamespace("b", tcl=interp)
            assert list(a.vars) == [f"x{index}"] and len(a.vars) == 1 and list(a.procs) == []
            assert list(b.procs) == [f"p{index}"] and len(b.cmds) == 1
    # An interpreter's listings go with it; the others go on listing.
    del first, a, b
    gc.collect()
    assert list(TclNamespace("::a", tcl=second).vars) == ["x1"]


def test_listing_words_that_outlive_their_interpreter():
    rec = RecordingInterpreter()
    rec.real.eval("namespace eval ::k {variable v 1}")
    ns = TclNamespace("::k", tcl=rec)
    for _ in range(3):
        assert list(ns.vars) == ["v"] and len(ns.vars) == 1
    sent = rec.sent
    del rec, ns
    gc.collect()
    assert len(sent) == 9
    del sent  # the Tcl objects among the words, after their interpreter
    gc.collect()


def test_a_namespace_with_its_own_call_lists_through_it(tcl):
    seen = []

    class Seen(TclNamespace):
        def call(self, *words):
            seen.append(words)
            return super().call(*words)

    tcl.eval("namespace eval ::s {variable v 1; proc p {} {}}")
    ns = Seen("::s", tcl=tcl)
    assert list(ns.vars) == ["v"] and len(ns.procs) == 1 and list(ns.cmds) == ["p"]
    assert len(seen) == 5 and all(words[0][0] == "::eval" for words in seen)  # list() asks len()

"""Variable and array handles of orvex.tcl.namespace, against real Tcl."""

import collections.abc
import gc
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from recording import RecordingInterpreter

import orvex.tcl
import orvex.tcl.namespace as namespace_module
from orvex.tcl import Interpreter, TclError
from orvex.tcl.namespace import (
    TclArrayVariable,
    TclVariable,
    TempTclArrayVariable,
    TempTclVariable,
)
from orvex.tcl.sorvan import sorvan


@pytest.fixture
def rec():
    return RecordingInterpreter()


# --- names ------------------------------------------------------------------------


def test_name_forms(tcl):
    assert TclVariable("x", tcl=tcl).var_name == "x"
    assert TclVariable("a", array_index="k", tcl=tcl).var_name == "a(k)"
    assert TclVariable("a", array_index="k l", tcl=tcl).var_name == "a(k l)"
    assert TclVariable("a", array_index=["k", "l"], tcl=tcl).var_name == "a(k l)"
    assert TclVariable("a", 5, tcl=tcl).var_name == "a(5)"
    v = TclVariable("::x", tcl=tcl)
    assert repr(v) == "TclVariable('::x')"
    assert str(v) is v.var_name
    assert sorvan(v) == "::x" and v.__tclobj__() == "::x"
    assert repr(TclArrayVariable("a b", tcl=tcl)) == "TclArrayVariable('a b')"


def test_absolute(rec):
    v = TclVariable("x", tcl=rec)
    assert v.absolute() == "::x"
    rec.sent.clear()
    assert TclVariable("::x::::y", tcl=rec).absolute() == "::x::::y"  # unchanged, not asked
    assert TclVariable("n::x", tcl=rec).absolute() == "::n::x"
    assert rec.sent == [("call", "namespace", "current")]
    assert v.make_absolute() is None and v.var_name == "::x"
    with pytest.raises(ValueError, match="Invalid Tcl namespace"):
        TclVariable("a:::b", tcl=rec).absolute()


def test_absolute_keeps_the_element_index(tcl):
    # Colons inside an index are text, not namespace separators: the
    # qualified handle still addresses the very same element.
    a = TclVariable("arr", array_index="a::::b", tcl=tcl)
    a.set("v")
    assert a.absolute() == "::arr(a::::b)"
    assert TclVariable("arr(a:::b)", tcl=tcl).absolute() == "::arr(a:::b)"
    assert TclVariable("n::arr(i)", tcl=tcl).absolute() == "::n::arr(i)"
    a.make_absolute()
    assert a.get() == "v" and tcl.eval("array names ::arr") == "a::::b"


def test_namespaced_variables(tcl):
    tcl.eval("namespace eval ::n { variable x inside }")
    assert TclVariable("::n::x", tcl=tcl).get() == "inside"
    assert TclVariable("n::x", tcl=tcl).get_str() == "inside"
    TclVariable("::n::y", tcl=tcl).set(5)
    assert tcl.eval("set ::n::y") == "5"


# --- scalars and elements ---------------------------------------------------------


def test_scalar_operations(tcl):
    v = TclVariable("x", tcl=tcl)
    assert not v.exists()
    with pytest.raises(TclError):
        v.get()
    v.set("a b")
    assert v.get() == v.get_obj() == v.get_str() == "a b"
    assert v.exists() is True and v.is_array() is False
    v.set([1, [2, 3]])  # a list travels as a Tcl list
    assert tcl.eval("lindex $x 1 1") == "3"
    assert v.unset() is None and not v.exists()
    with pytest.raises(TclError):
        v.unset()
    assert v.unset(nocomplain=True) is None


def test_element_operations(tcl, rec):
    a = TclVariable("a", tcl=tcl)
    a.set("one", array_index="k l")
    a.set(2, array_index=5)
    assert a.get("k l") == "one" and a.get_str(5) == "2"
    assert a.exists(array_index="k l") and not a.exists("nope")
    assert a.is_array() and not TclVariable("a", "k l", tcl=tcl).is_array()
    a.unset(array_index=5)
    assert not a.exists(5)
    with pytest.raises(TclError):
        a.unset(5)
    a.unset(5, nocomplain=True)
    # The index reaches getvar unconverted, setvar and unsetvar through sorvan.
    r = TclVariable("a", tcl=rec)
    r.set(True, array_index=("i", "j"))
    r.get_obj(array_index="i j")
    r.unset(array_index=("i", "j"))
    assert rec.sent == [
        ("setvar", "a", "i j", True),
        ("getvar", "a", "i j"),
        ("unsetvar", "a", "i j"),
    ]


def test_casts(tcl):
    tcl.eval("set n 42")
    v = TclVariable("n", tcl=tcl, cast=int)
    assert v.get_obj() == 42 and type(v.get_obj()) is int
    assert v.get_obj(cast=None) == v.get_obj(cast=0) == tcl.tk.getvar("n")
    assert v.get(cast=str) == "42"
    assert v.get(cast=lambda x: ("got", x)) == ("got", tcl.tk.getvar("n"))
    assert v.get(cast=TclVariable._TclVariable__marker) == 42  # the sentinel: the default cast
    v.cast = 0  # a falsy default applies none
    assert v.get() == tcl.tk.getvar("n")


def test_array_item_byref(tcl, monkeypatch):
    class Mine(TclVariable):
        pass

    a = Mine("a", tcl=tcl)
    item = a.array_item_byref("k", cast=int)
    assert type(item) is TclVariable  # the module's class, not the subclass
    assert item.var_name == "a(k)" and item.cast is int and item.tcl is a.tcl
    item.set("7")
    assert a.get("k") == "7" and item.get() == 7
    # The class is looked up when the function runs.
    monkeypatch.setattr(namespace_module, "TclVariable", Mine)
    assert type(a.array_item_byref("k")) is Mine


# --- whole arrays -----------------------------------------------------------------


def test_array_operations(tcl):
    a = TclVariable("a", tcl=tcl)
    assert a.array_set({"x": 1, "y": "a b", "z w": [1, 2]}) is None
    assert a.array_size() == 3
    assert sorted(a.array_names()) == ["x", "y", "z w"]
    assert sorted(a.array_names("?")) == ["x", "y"]
    assert a.array_names("") == []
    assert a.array_get_obj("y") == a.array_get("y") == {"y": "a b"}
    assert a.array_get_str() == {"x": "1", "y": "a b", "z w": "1 2"}
    assert a.array_unset("?") is None and a.array_names() == ["z w"]
    a.array_unset()
    assert not a.exists()


# What each operation sends, word for word (the handle named "a b").
SENT = [
    (lambda v: v.get_str(), [("eval", "set {a b}")]),
    (lambda v: v.get_str("k"), [("eval", "set {a b(k)}")]),
    (lambda v: v.exists(), [("call", ("::info", "exists", "a b"))]),
    (lambda v: v.exists(["k", 1]), [("call", ("::info", "exists", "a b(k 1)"))]),
    (lambda v: v.is_array(), [("call", ("::array", "exists", "a b"))]),
    (lambda v: v.array_size(), [("call", ("::array", "size", "a b"))]),
    (lambda v: v.array_names(), [("call", ("::array", "names", "a b"))]),
    (lambda v: v.array_names("x*"), [("call", ("::array", "names", "a b", "x*"))]),
    (lambda v: v.array_names(""), [("call", ("::array", "names", "a b", ""))]),
    (lambda v: v.array_get_obj(1), [("call", ("::array", "get", "a b", "1"))]),
    (lambda v: v.array_get_str("[x]"), [("eval", "::array get {a b} {[x]}")]),
    (lambda v: v.array_set({"k": 1}), [("call", ("::array", "set", "a b", ("k", 1)))]),
    (lambda v: v.array_unset(), [("call", ("::array", "unset", "a b"))]),
    (lambda v: v.array_unset("k*"), [("call", ("::array", "unset", "a b", "k*"))]),
    (lambda v: v.absolute(), [("call", "namespace", "current")]),
]


@pytest.mark.parametrize("operation, sent", SENT)
def test_words_sent(rec, operation, sent):
    try:
        operation(TclVariable("a b", tcl=rec))
    except TclError:
        pass  # the words were sent all the same
    assert rec.sent == sent


def test_array_mapping(tcl):
    a = TclArrayVariable("arr", tcl=tcl)
    assert isinstance(a, collections.abc.MutableMapping)
    assert len(a) == 0 and list(a) == []
    a["k"] = "v"
    a.update({"x": 1}, y=2)
    assert "k" in a and "nope" not in a
    assert a.get("k") == "v" and a["x"] == 1  # values keep their Tcl type
    assert sorted(a) == ["k", "x", "y"] and len(a) == 3
    assert dict(a.items()) == {"k": "v", "x": 1, "y": 2}
    assert a == {"k": "v", "x": 1, "y": 2}
    with pytest.raises(TypeError):
        hash(a)
    with pytest.raises(TclError):  # a missing element is a Tcl error, not None
        a.get("nope")
    del a["k"]
    assert "k" not in a
    # Iteration runs over the names taken at its first step.
    seen = []
    for name in a:
        seen.append(name)
        a["added_" + name] = 0
    assert sorted(seen) == ["x", "y"]
    a.clear()
    assert a.clear() is None and not a.is_array() and not a.exists()
    a.update()  # an empty update still makes the (empty) array
    assert a.is_array()


def test_iteration_is_lazy(rec):
    a = TclArrayVariable("arr", tcl=rec)
    it = iter(a)
    assert rec.sent == []
    assert list(it) == []
    assert rec.sent == [("call", ("::array", "names", "arr"))]


def test_update_is_one_array_set(rec):
    a = TclArrayVariable("arr", tcl=rec)
    a.update(k="v w")
    assert rec.sent == [("call", ("::array", "set", "arr", ("k", "v w")))]
    assert rec.real.eval("set arr(k)") == "v w"
    with pytest.raises(TypeError):
        a.update({}, {})


# --- classes ----------------------------------------------------------------------


def test_class_layout():
    assert namespace_module.__all__[:4] == (
        "TclVariable",
        "TempTclVariable",
        "TclArrayVariable",
        "TempTclArrayVariable",
    )
    body = [k for k in vars(TclVariable) if k not in ("__module__", "__doc__", "__slots__")]
    assert body[:22] == [
        "__init__",
        "_TclVariable__marker",
        "get_obj",
        "get_str",
        "get",
        "set",
        "unset",
        "exists",
        "array_item_byref",
        "array_get_obj",
        "array_get_str",
        "array_get",
        "array_set",
        "array_unset",
        "array_size",
        "array_names",
        "is_array",
        "absolute",
        "make_absolute",
        "__str__",
        "__tclobj__",
        "__repr__",
    ]
    assert vars(TclVariable)["get"] is vars(TclVariable)["get_obj"]
    assert vars(TclVariable)["array_get"] is vars(TclVariable)["array_get_obj"]
    assert type(TclVariable._TclVariable__marker) is object
    mm = collections.abc
    assert TclArrayVariable.__mro__ == (
        TclArrayVariable,
        mm.MutableMapping,
        mm.Mapping,
        mm.Collection,
        mm.Sized,
        mm.Iterable,
        mm.Container,
        TclVariable,
        object,
    )
    assert TempTclArrayVariable.__mro__[:3] == (
        TempTclArrayVariable,
        TempTclVariable,
        TclArrayVariable,
    )
    assert TclArrayVariable.get is mm.Mapping.get and TclArrayVariable.pop is mm.MutableMapping.pop


def test_interpreter_proxy(tcl):
    v = TclVariable("x", tcl=tcl)
    assert type(v.tcl) in weakref.ProxyTypes and v.tcl.tk is tcl.tk
    proxy = weakref.proxy(tcl)
    assert TclVariable("x", tcl=proxy).tcl is proxy  # not wrapped again
    with pytest.raises(TypeError):
        TclVariable("x", tcl=object())  # cannot be weakly referenced
    # Without an interpreter, the package module stands for one.
    d = TclVariable("orvex_default_test")
    d.set("yes")
    assert orvex.tcl.tk.getvar("orvex_default_test") == "yes"
    d.unset()
    assert v.tcl.cast_boolean is not None and d.tcl.cast_list is not None


def test_interpreter_gone():
    interp = Interpreter()
    v = TclVariable("x", tcl=interp)
    a = TclArrayVariable("a", tcl=interp)
    del interp
    gc.collect()
    for operation in (
        v.get,
        lambda: v.set(1),
        v.exists,
        a.__len__,
        lambda: a.unset(nocomplain=True),
    ):
        with pytest.raises(ReferenceError):
            operation()
    assert v.var_name == "x" and repr(v) == "TclVariable('x')"


def test_module_globals_are_read_at_call_time(tcl, monkeypatch):
    v = TclVariable("x", tcl=tcl)
    monkeypatch.setattr(namespace_module, "tclobj", lambda value: "converted")
    v.set(1)
    assert tcl.eval("set x") == "converted"
    monkeypatch.setattr(namespace_module, "sorvan", lambda value: "renamed")
    assert TclVariable("anything", tcl=tcl).var_name == "renamed"

    class Names:
        @staticmethod
        def join(base, name):
            return f"{base}|{name}"

    monkeypatch.setattr(namespace_module, "TclNamespace", Names)
    assert v.absolute() == "::|x"


def test_subclasses(tcl):
    class Counter(TclArrayVariable):
        def get_obj(self, array_index=None, cast=None):  # the mapping goes through it
            return f"seen:{super().get_obj(array_index, cast)}"

    c = Counter("counts", tcl=tcl)
    c["a"] = 1
    assert c["a"] == "seen:1"
    assert repr(c) == "Counter('counts')"


# --- temporary variables ----------------------------------------------------------


def test_temporary_names(tcl):
    t = TempTclVariable(tcl=tcl)
    assert t.var_name == f"::__orvex__TempTclVariable_{id(t)}_tmp"
    a = TempTclArrayVariable(tcl=tcl)
    assert a.var_name == f"::__orvex__TempTclArrayVariable_{id(a)}_tmp"
    assert t.var_name != TempTclVariable(tcl=tcl).var_name
    assert TempTclVariable("::v_{cls}", tcl=tcl).var_name == "::v_TempTclVariable"
    assert TempTclVariable("::v_{{x}}", tcl=tcl).var_name == "::v_{x}"
    assert TempTclVariable("a", array_index="i", tcl=tcl).var_name == "a(i)"

    class Scratch(TempTclArrayVariable):
        pass

    s = Scratch(tcl=tcl)
    assert s.var_name == f"::__orvex__Scratch_{id(s)}_tmp"
    with pytest.raises(TypeError):
        TempTclVariable("a", "b")
    with pytest.raises(TypeError):
        TempTclArrayVariable(array_index="i", tcl=tcl)
    with pytest.raises(KeyError):
        TempTclVariable("::v_{other}", tcl=tcl)


def test_temporary_variables_leave_nothing_behind(tcl):
    before = set(tcl.cast_list(tcl.eval("info globals")))
    with TempTclArrayVariable(tcl=tcl) as a:
        a["k"] = "v"
        assert dict(a) == {"k": "v"}
    with TempTclVariable(tcl=tcl) as v:
        v.set(1)
    with TempTclVariable(tcl=tcl) as never_set:
        pass
    with pytest.raises(RuntimeError, match="boom"):
        with TempTclVariable(tcl=tcl) as failing:
            failing.set(1)
            raise RuntimeError("boom")
    assert set(tcl.cast_list(tcl.eval("info globals"))) == before
    assert not (a.exists() or v.exists() or never_set.exists() or failing.exists())
    a["again"] = 1  # still usable afterwards, under the same name
    assert a.is_array()
    t = TempTclVariable(tcl=tcl)
    assert t.__enter__() is t and t.__exit__(None, None, None) is False


# --- hostile names ----------------------------------------------------------------

HOSTILE_NAMES = [
    "[canary]",
    "$ran",
    "a;canary",
    "a b",
    "x\\{",
    "\\{[canary]",
    "a\nb;canary",
    "{",
    "}",
    "a}b{",
    "[canary",
    "x\\",
    "::[canary]$ran",
    '"[canary]"',
    "#[canary]",
    "a\\\nb",
    "{a}[canary]",
]


def glob_escape(text):
    return "".join("\\" + c if c in "*?[]\\" else c for c in text)


@pytest.fixture
def canary(tcl):
    tcl.eval("set ::ran 0; proc ::canary args { incr ::ran }")
    yield lambda: tcl.eval("set ::ran")


@pytest.mark.parametrize("name", HOSTILE_NAMES)
def test_hostile_names_run_nothing(tcl, canary, name):
    tcl.tk.setvar(name, "value of " + name)
    v = TclVariable(name, tcl=tcl)
    assert v.get_str() == "value of " + name
    v.set("set by handle", array_index=None)
    assert tcl.tk.getvar(name) == "set by handle"
    v.unset()
    # As an array and as an element index.
    a = TclVariable(name, tcl=tcl)
    a.array_set({name: "element"})
    assert a.array_get_str() == {name: "element"}
    assert a.array_get_str(glob_escape(name)) == {name: "element"}
    assert a.get_str(array_index=name) == "element" and a.exists(name)
    assert TclVariable(name, array_index=name, tcl=tcl).get_str() == "element"
    assert canary() == "0"


# One interpreter for all examples (hypothesis runs the test many times).
_SHARED = []


def _shared_interpreter():
    if not _SHARED:
        _SHARED.append(Interpreter())
    return _SHARED[0]


@settings(max_examples=60, deadline=None)
@given(
    st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00(:"), min_size=1)
)
def test_any_name_reads_back(name):
    # Tcl is the oracle: whatever Tcl stores under the name, get_str reads
    # back from the script it builds.
    interp = _shared_interpreter()
    interp.tk.setvar(name, name)
    try:
        assert TclVariable(name, tcl=interp).get_str() == name
    finally:
        interp.tk.unsetvar(name)


@settings(max_examples=60, deadline=None)
@given(st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00")))
def test_any_index_reads_back(index):
    interp = _shared_interpreter()
    element = TclVariable("arr", array_index=index, tcl=interp)
    element.set(index)
    try:
        assert interp.tk.getvar("arr", index) == index
        assert element.get_str() == element.get() == index and element.exists()
        assert TclVariable("arr", tcl=interp).get_str(index) == index
    finally:
        element.unset()


# --- reference leaks ---------------------------------------------------------------


def test_no_leaks(tcl, no_leak):
    v = TclVariable("x", tcl=tcl, cast=str)
    v.set("1")
    no_leak(lambda: v.get())
    no_leak(lambda: v.get_str())
    no_leak(lambda: v.set("a b"))
    no_leak(lambda: v.set(["a", 1], array_index=None))
    no_leak(lambda: v.unset(array_index="nope", nocomplain=True))
    no_leak(lambda: v.absolute())
    a = TclArrayVariable("a", tcl=tcl)
    a.update(k="v")

    def mapping_operations():
        a["k"] = "w"
        a["k"]
        "k" in a
        len(a)
        list(a)
        a.update(j=1)
        del a["j"]

    no_leak(mapping_operations, iterations=500)

    def temporary():
        with TempTclArrayVariable(tcl=tcl) as t:
            t["k"] = 1

    no_leak(temporary, iterations=500)

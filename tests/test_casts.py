"""The casts read Tcl values exactly: every element is the text Tcl's own
lindex / dict get gives, and reading never changes a value's Tcl type.

Values are built inside Tcl (lists, dicts, TclX keyed lists, numbers, byte
arrays, text full of list syntax), so that they reach the casts as the
Tcl_Objs that tkinter hands out, with their Tcl types intact."""

from __future__ import annotations

import itertools

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import orvex.tcl
from orvex.tcl import Interpreter, Tcl_Obj, TclError, TclValueError
from orvex.tcl.kelvor import Kelvor

SPECIAL = "{}\\\"[]$; \t\n#"
texts = st.text(
    alphabet=st.one_of(
        st.sampled_from(SPECIAL + "ab.\0"),
        st.characters(codec="utf-8", exclude_categories=("Cs",)),
    ),
    max_size=8,
)
# TclX keys: no dots (a dot is a path), no white space, not empty.
keys = st.text(alphabet="abcxyz_0123456789", min_size=1, max_size=4)

# A recipe for a Tcl value, built by `build` below.
leaves = st.one_of(
    st.tuples(st.just("text"), texts),
    st.tuples(st.just("int"), st.integers(min_value=-(2**70), max_value=2**70)),
    st.tuples(st.just("double"), st.floats(allow_nan=False, allow_infinity=False)),
    st.tuples(st.just("bytes"), st.binary(max_size=6)),
)
recipes = st.recursive(
    leaves,
    lambda inner: st.one_of(
        st.tuples(st.just("list"), st.lists(inner, max_size=4)),
        st.tuples(st.just("dict"), st.lists(st.tuples(texts, inner), max_size=3)),
        st.tuples(st.just("keyed"), st.lists(st.tuples(keys, inner), max_size=3)),
    ),
    max_leaves=12,
)


@pytest.fixture(scope="module")
def tcl():
    return Interpreter(tclx=True)


_names = itertools.count()


def build(tcl, recipe) -> str:
    """Build the value inside Tcl; the name of the global variable holding it."""
    kind, content = recipe
    name = f"::v{next(_names)}"
    tk = tcl.tk
    if kind == "text":
        tk.setvar(name, content)
    elif kind == "int":
        tk.eval(f"set {name} [expr {{{content}}}]")
    elif kind == "double":
        tk.eval(f"set {name} [expr {{double({content!r})}}]")
    elif kind == "bytes":
        tk.eval(f"set {name} [binary format H* {{{content.hex()}}}]")
    elif kind == "list":
        tk.eval(f"set {name} [list {' '.join('$' + build(tcl, item) for item in content)}]")
    elif kind == "dict":
        words = []
        for key, item in content:
            key_name = build(tcl, ("text", key))
            words += ["$" + key_name, "$" + build(tcl, item)]
        tk.eval(f"set {name} [dict create {' '.join(words)}]")
    else:
        tk.eval(f"set {name} {{}}")
        for key, item in content:
            tk.eval(f"keylset {name} {key} ${build(tcl, item)}")
    return name


def text_of(tcl, script) -> str:
    """The text of a script's result.  (tk.eval reads it as a C string,
    which ends at the first NUL; a new string object comes back whole.)"""
    return tcl.tk.call("::eval", f"::format <%s> [{script}]")[1:-1]


def lindex_texts(tcl, name) -> list[str]:
    count = int(tcl.eval(f"llength ${name}"))
    return [text_of(tcl, f"lindex ${name} {i}") for i in range(count)]


def dict_get_texts(tcl, name) -> dict[str, str]:
    count = int(tcl.eval(f"llength ${name}"))
    return {
        text_of(tcl, f"lindex ${name} {i}"): text_of(tcl, f"dict get ${name} [lindex ${name} {i}]")
        for i in range(0, count, 2)
    }


def representation(tcl, name) -> str:
    """Tcl's own account of the value's type (its first words)."""
    return " ".join(tcl.eval(f"::tcl::unsupported::representation ${name}").split()[:4])


@settings(max_examples=300, deadline=None)
@given(recipe=recipes)
def test_elements_are_the_texts_tcl_gives(tcl, recipe):
    name = build(tcl, recipe)
    text = text_of(tcl, f"set {name}")
    value = tcl.tk.getvar(name)  # tkinter's value: a Tcl_Obj when it has no Python twin
    before = representation(tcl, name)
    typename = value.typename if isinstance(value, Tcl_Obj) else None
    exact = isinstance(value, (Tcl_Obj, str))  # (else tkinter made it a Python value)

    def cast(method, value):
        try:
            return method(value)
        except TclValueError:
            return TclValueError

    as_list, from_text = cast(tcl.cast_list, value), cast(tcl.cast_list, text)
    array = array_from_text = None
    if from_text is not TclValueError and len(from_text) % 2 == 0:
        array_from_text = tcl.cast_array(text)
        if exact:
            array = tcl.cast_array(value)
    any_value = tcl.cast_any(value)

    # Reading changed nothing: not the Tcl_Obj's type, not Tcl's value.
    assert representation(tcl, name) == before
    if typename is not None:
        assert value.typename == typename

    try:
        tcl.eval(f"llength ${name}")
    except TclError:  # not a list (text such as "{"): no cast splits it either
        assert from_text is TclValueError
        assert as_list is TclValueError or not exact
        return
    expected = lindex_texts(tcl, name)  # (lindex makes the value a list)
    assert from_text == expected
    if exact:
        assert as_list == expected
    elif isinstance(value, tuple):  # gives its items as they are
        assert as_list == list(value)
    if array_from_text is not None:
        assert array_from_text == dict_get_texts(tcl, name)
        if exact:
            assert array == array_from_text
    if typename == "dict":
        assert any_value == array_from_text
    elif typename == "keyedList":
        assert isinstance(any_value, Kelvor) and any_value == Kelvor.from_tcl(text)


def test_nested_values_come_back_as_tcl_text(tcl):
    tcl.eval(
        "set d [dict create hosts [list a.example [dict create name b.example weight 2]] port 80]"
    )
    value = tcl.tk.getvar("d")
    assert tcl.cast_any(value) == {"hosts": "a.example {name b.example weight 2}", "port": "80"}
    assert tcl.cast_list(value) == ["hosts", "a.example {name b.example weight 2}", "port", "80"]
    assert tcl.cast_array(value)["hosts"] == "a.example {name b.example weight 2}"
    assert value.typename == "dict"
    # Text holding NUL (which tkinter's own splitter refuses) splits as well.
    tcl.tk.setvar("n", "a\0b {c\0 d} 1")
    assert tcl.cast_list(tcl.tk.getvar("n")) == ["a\0b", "c\0 d", "1"]
    with pytest.raises(TclValueError):
        tcl.cast_list("{x\0")


def test_reading_a_keyed_list_leaves_it_one(tcl):
    tcl.eval("keylset k id 17 status.total 10")
    first = tcl.hux.set("k")
    assert isinstance(first, Kelvor)
    for _ in range(2):
        kl = Kelvor.from_tcl(tcl.tk.getvar("k"))
        assert kl == first and kl["status.total"] == "10"
        assert tcl.cast_list(tcl.tk.getvar("k")) == ["id 17", "status {{total 10}}"]
        assert tcl.cast_any(tcl.tk.getvar("k")) == first
    assert tcl.tk.getvar("k").typename == "keyedList"
    assert isinstance(tcl.hux.set("k"), Kelvor)


def test_an_odd_list_is_no_array(tcl):
    for odd in ("a b c", ["a", "b", "c"], ("a",)):
        with pytest.raises(
            TclValueError, match="^list must have an even number of elements$"
        ) as caught:
            tcl.cast_array(odd)
        assert isinstance(caught.value, TclError) and isinstance(caught.value, ValueError)
    assert tcl.cast_array(("a", 1)) == {"a": 1}
    # A tuple from tkinter: its items as they are, but a Tcl_Obj key as its text.
    pairs = tcl.call("list", tcl.call("dict", "create", "k", "v"), tcl.call("dict", "create"))
    assert isinstance(pairs[0], Tcl_Obj)
    assert tcl.cast_array(pairs) == {"k v": pairs[1]}
    with pytest.raises(ValueError):
        orvex.tcl.cast_array("a b c")

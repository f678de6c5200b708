"""The algebra of Tcl qualified names: the static methods of TclNamespace."""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from orvex.tcl import Interpreter
from orvex.tcl.namespace import TclNamespace

# One interpreter for the property tests (hypothesis runs many examples
# within one test call, so the per-test fixture does not fit).
tcl = Interpreter()

INVALID = ValueError

# name: split, normalize, tail, qualifiers
TABLE = {
    "::a::b": (["", "a", "b"], "::a::b", "b", "::a"),
    "a::b::": (["a", "b"], "a::b", "", "a::b"),
    "a::b": (["a", "b"], "a::b", "b", "a"),
    "a": (["a"], "a", "a", ""),
    "::": ([""], "", "", ""),
    "": ([], "", "", ""),
    "a::::b": (["a", "b"], "a::b", "b", "a"),
    "::::a": (["", "a"], "::a", "a", ""),
    "::a::b::c": (["", "a", "b", "c"], "::a::b::c", "c", "::a::b"),
    "a:::b": (INVALID, INVALID, "b", "a"),
    "::a:b": (INVALID, INVALID, "a:b", ""),
}


@pytest.mark.parametrize("name", list(TABLE))
def test_name_table(name):
    methods = (
        TclNamespace.split,
        TclNamespace.normalize,
        TclNamespace.tail,
        TclNamespace.qualifiers,
    )
    for method, expected in zip(methods, TABLE[name]):
        if expected is INVALID:
            with pytest.raises(ValueError) as error:
                method(name)
            assert str(error.value) == f"Invalid Tcl namespace '{name}'"
        else:
            assert method(name) == expected, method.__name__


@pytest.mark.parametrize(
    "args, expected",
    [
        (("::a", "b", "c"), "::a::b::c"),
        (("a", "::b", "c"), "::b::c"),
        (("", "a"), "a"),
        (("::", "a"), "::a"),
        (("a", ""), "a"),
        (("::",), ""),
        (("a::", "b::"), "a::b"),
        (("a", "", "", "b"), "a::b"),
    ],
)
def test_join(args, expected):
    assert TclNamespace.join(*args) == expected


def test_join_error_names_the_joined_text():
    with pytest.raises(ValueError, match=r"^Invalid Tcl namespace 'a::b:::c'$"):
        TclNamespace.join("a", "b:", "c")
    # Odd runs of colons on both sides of the joint make one even run.
    assert TclNamespace.join("a:", ":b") == "a::b"


def test_arguments_go_through_sorvan():
    class Named:
        def __sorvan__(self):
            return "::hooked"

    assert TclNamespace.join(1, 2.5, None) == "1::2.5"
    assert TclNamespace.split(["a b", "c"]) == ["{a b} c"]
    assert TclNamespace.normalize(Named()) == "::hooked"
    assert TclNamespace.tail(True) == "true"
    assert TclNamespace.join("::n", Named(), "x") == "::hooked::x"
    # A namespace object stands for its name.
    assert TclNamespace.join(TclNamespace("::n::"), "x") == "::n::x"
    assert TclNamespace.qualifiers(TclNamespace("::n::m")) == "::n"


def test_a_hook_that_gives_no_text_is_refused():
    class Numbered:
        def __sorvan__(self):
            return 42

    with pytest.raises(TypeError):
        TclNamespace.split(Numbered())


def test_static_methods_bind_like_python_ones():
    for name in ("split", "join", "normalize", "tail", "qualifiers"):
        assert isinstance(TclNamespace.__dict__[name], staticmethod)
    assert TclNamespace("::n").tail("a::b") == "b"
    assert TclNamespace.normalize(string="::a::") == "::a"
    assert TclNamespace.join(string="a") == "a"
    with pytest.raises(TypeError):
        TclNamespace.tail()
    with pytest.raises(TypeError):
        TclNamespace.split("a", "b")


def test_characters_beyond_ascii():
    assert TclNamespace.split("::ü::€x::𝄞") == ["", "ü", "€x", "𝄞"]
    assert TclNamespace.normalize("::ü::::€x::𝄞::") == "::ü::€x::𝄞"
    assert TclNamespace.join("ü", "𝄞") == "ü::𝄞"
    assert TclNamespace.tail("€::ß") == "ß"
    assert TclNamespace.qualifiers("𝄞:::ß") == "𝄞"


names = st.text(alphabet=st.sampled_from(["a", "b", ":", "ü", " "]), max_size=14)


@given(names)
def test_normal_form_properties(name):
    try:
        parts = TclNamespace.split(name)
    except ValueError:
        with pytest.raises(ValueError):
            TclNamespace.normalize(name)
        return
    canonical = TclNamespace.normalize(name)
    assert canonical == "::".join(parts)
    assert TclNamespace.normalize(canonical) == canonical
    assert TclNamespace.split(canonical) == parts or (parts == [""] and canonical == "")
    assert all(part and ":" not in part for part in parts[1 if name.startswith("::") else 0 :])


@settings(max_examples=300)
@given(names)
def test_tail_and_qualifiers_agree_with_tcl(name):
    # Tcl's own namespace tail/qualifiers read any text, valid or not.
    assert TclNamespace.tail(name) == tcl.tk.call("namespace", "tail", name)
    assert TclNamespace.qualifiers(name) == tcl.tk.call("namespace", "qualifiers", name)


@settings(max_examples=200)
@given(names.filter(lambda n: n.strip(": ")))
def test_normal_form_names_the_namespace_tcl_makes(name):
    # For a valid absolute name, Tcl creates the namespace under the name
    # that normalize gives.
    try:
        canonical = TclNamespace.normalize("::" + name)
    except ValueError:
        return
    made = tcl.tk.call("namespace", "eval", "::" + name, "namespace current")
    assert made == canonical
    tcl.tk.call("namespace", "delete", made)


def test_no_leak(no_leak):
    no_leak(lambda: TclNamespace.split("::a::b::c"))
    no_leak(lambda: TclNamespace.join("::a", "b::", 3, "::c::d"))
    no_leak(lambda: TclNamespace.normalize("a::::b"))
    no_leak(lambda: TclNamespace.tail("a::b"))
    no_leak(lambda: TclNamespace.qualifiers("a:::b"))

    def invalid():
        with pytest.raises(ValueError):
            TclNamespace.join("a", "b:")

    no_leak(invalid)

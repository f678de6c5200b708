"""Properties of the Tcl text that sorvan produces, with Tcl's own list
parser and script evaluator in a real interpreter as the oracle."""

from __future__ import annotations

import os
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from orvex.tcl import Interpreter
from orvex.tcl.sorvan import _Tcl_ConvertElement, _Tcl_ScanElement, sorvan, tclobj

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "bench"))
import baseline_sorvan  # noqa: E402  (the same rules in plain Python)

# Everything that matters to Tcl's list and script syntax, Tcl's white
# space, and text beyond ASCII (Latin-1, the BMP, astral, NUL).
SPECIAL = "{}\\\"[]$; \t\n\r\f\v#"
texts = st.text(
    alphabet=st.one_of(
        st.sampled_from(SPECIAL + "ab"),
        st.characters(codec="utf-8", exclude_categories=("Cs",)),
    ),
    max_size=12,
)
nested_lists = st.recursive(
    st.lists(texts, max_size=5),
    lambda inner: st.lists(st.one_of(texts, inner), max_size=4),
    max_leaves=20,
)


@pytest.fixture(scope="module")
def tk():
    return Interpreter().tk


def split(tk, text):
    """Tcl's reading of a list text: llength, then every element by lindex."""
    count = int(tk.call("llength", text))
    return [str(tk.call("lindex", text, i)) for i in range(count)]


def assert_same_structure(tk, value, text):
    if isinstance(value, str):
        assert text == value
        return
    elements = split(tk, text)
    assert len(elements) == len(value)
    for item, element in zip(value, elements):
        assert_same_structure(tk, item, element)


@settings(max_examples=400, deadline=None)
@given(st.lists(texts, max_size=8))
def test_tcl_splits_the_text_back_into_the_elements(tk, items):
    assert split(tk, sorvan(items)) == items


@settings(max_examples=200, deadline=None)
@given(nested_lists)
def test_nested_lists_read_back_level_by_level(tk, value):
    assert_same_structure(tk, value, sorvan(value))


@settings(max_examples=200, deadline=None)
@given(st.lists(texts, min_size=1, max_size=6))
def test_a_command_built_with_sorvan_runs_no_bracketed_text(tk, words):
    tk.eval("set ::ran 0")
    marked = [word + "[incr ::ran]" for word in words] + words
    script = sorvan(["list", *marked])
    # (scripts go through the `eval` command: tk.eval cannot carry NUL)
    assert [str(x) for x in tk.splitlist(tk.call("eval", script))] == marked
    assert tk.eval("set ::ran") == "0"
    word = words[0] + "[incr ::ran]"
    assert str(tk.call("eval", sorvan(["set", "::result", word]))) == word
    assert tk.eval("set ::ran") == "0"


@settings(max_examples=200, deadline=None)
@given(st.dictionaries(texts, st.one_of(texts, st.lists(texts, max_size=3)), max_size=5))
def test_a_mapping_reads_back_as_a_tcl_dict(tk, mapping):
    text = sorvan(mapping)
    for key, value in mapping.items():
        assert_same_structure(tk, value, str(tk.call("dict", "get", text, key)))


scalars = st.one_of(texts, st.none(), st.booleans(), st.integers(), st.floats())
values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.tuples(inner, inner),
        st.dictionaries(st.one_of(texts, st.integers(), st.tuples(texts)), inner, max_size=3),
        st.frozensets(st.one_of(texts, st.integers()), max_size=3),
    ),
    max_leaves=25,
)


@settings(max_examples=300, deadline=None)
@given(st.lists(values, max_size=6))
def test_the_same_results_as_the_plain_python_rules(items):
    assert sorvan(items) == baseline_sorvan.sorvan(items)
    assert tclobj(items) == baseline_sorvan.tclobj(items)


@settings(max_examples=300, deadline=None)
@given(texts)
def test_the_element_functions_agree_with_the_list(text):
    size, flags = _Tcl_ScanElement(text)
    assert size == 2 * len(text) + 2
    assert _Tcl_ConvertElement(text, set(flags)) == sorvan([text])
    expected_flags = baseline_sorvan._Tcl_ScanElement(text)[1]
    assert flags == expected_flags
    baseline_flags = set(expected_flags)
    assert _Tcl_ConvertElement(text, flags) == baseline_sorvan._Tcl_ConvertElement(
        text, baseline_flags
    )
    assert flags == baseline_flags


@settings(max_examples=100, deadline=None)
@given(st.lists(texts, max_size=6))
def test_tclobj_words_reach_tcl_as_the_same_list(tk, items):
    assert [str(x) for x in tk.splitlist(tk.call("list", *tclobj(items)))] == items

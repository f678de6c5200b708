"""Keyed lists: Kelvor, held to TclX in a real interpreter where Tcl can
judge, and to the plain-Python rendering of the class elsewhere."""

from __future__ import annotations

import abc
import collections.abc
import os
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import orvex.tcl
from orvex.datastructures import AttrDict
from orvex.tcl import Tcl_Obj, TclError
from orvex.tcl.kelvor import Kelvor
from orvex.tcl.sorvan import sorvan, tclobj

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "bench"))
import baseline_kelvor  # noqa: E402


def conflict(key):
    return f'target key "{key}" is a value, cannot update value against another keyed list'


def plain(value):
    """A Kelvor tree as nested dicts, marking which levels are keyed lists."""
    if isinstance(value, (Kelvor, baseline_kelvor.Kelvor)):
        return ("K", {k: plain(v) for k, v in dict.items(value)})
    return dict(value) if type(value) is dict else value


# --- the class -----------------------------------------------------------------


def test_class_is_made_like_the_class_statement():
    assert type(Kelvor) is abc.ABCMeta
    assert Kelvor.__mro__[:4] == (Kelvor, AttrDict, dict, collections.abc.MutableMapping)
    assert Kelvor.__module__ == "orvex.tcl.kelvor" and Kelvor.__doc__
    body = [name for name in vars(Kelvor) if name not in ("__module__", "__doc__")]
    assert body[:14] == [
        "__init__",
        "from_tcl",
        "__getitem__",
        "__setitem__",
        "__contains__",
        "__delitem__",
        "get",
        "pop",
        "setdefault",
        "update",
        "all_keys",
        "all_items",
        "has_key",
        "__tclobj__",
    ]
    mm = collections.abc.MutableMapping
    assert (vars(Kelvor)["get"], vars(Kelvor)["pop"], vars(Kelvor)["setdefault"]) == (
        mm.get,
        mm.pop,
        mm.setdefault,
    )
    assert vars(Kelvor)["has_key"] is vars(Kelvor)["__contains__"]
    assert isinstance(vars(Kelvor)["from_tcl"], staticmethod)
    assert not Kelvor.__abstractmethods__
    import orvex.tcl.kelvor as module

    assert module.tclobj is tclobj and module.Tcl_Obj is Tcl_Obj and module.AttrDict is AttrDict


def test_binding_errors_are_pythons():
    kl = Kelvor()
    for call in (
        lambda: kl.__getitem__(),
        lambda: kl.__getitem__("a", "b"),
        lambda: kl.__setitem__("a"),
        lambda: kl.__contains__(),
        lambda: kl.__delitem__("a", "b"),
        lambda: Kelvor.from_tcl(),
        lambda: Kelvor.from_tcl("a", "b"),
    ):
        with pytest.raises(TypeError):
            call()
    assert kl.__getitem__ is not None and kl.get(key="x", default=3) == 3
    kl.__setitem__(key="a.b", value=1)
    assert kl.__getitem__(key="a.b") == 1


# --- construction --------------------------------------------------------------


def test_constructor_converts_what_dict_takes():
    assert Kelvor() == {} and type(Kelvor()) is Kelvor
    kl = Kelvor({"a.b": 1})
    assert list(kl) == ["a"] and type(kl["a"]) is Kelvor and kl["a.b"] == 1 and "a.b" in kl
    for value in ({"x": 1}, [("x", 1)], (("x", 1),)):
        kl = Kelvor(a=value)
        assert type(kl["a"]) is Kelvor and kl["a.x"] == 1
    for empty in ("", [], ()):
        assert plain(Kelvor(a=empty)) == ("K", {"a": ("K", {})})
    for stays in ("text", 5, None, 1.5):
        assert Kelvor(a=stays)["a"] == stays
    assert plain(Kelvor(a=["xy"])) == ("K", {"a": ("K", {"x": "y"})})
    deep = Kelvor(a={"b": {"c": [("d", 1)]}})
    assert deep["a.b.c.d"] == 1 and type(deep["a.b.c"]) is Kelvor
    assert Kelvor([("k", 1)], k=2) == {"k": 2}  # keywords come after
    with pytest.raises(TypeError):
        Kelvor({}, {})
    with pytest.raises(ValueError):
        Kelvor(["abc"])


def test_constructor_from_kelvor_shares_nested_levels():
    old = Kelvor({"a.b": 1, "c": 2})
    new = Kelvor(old)
    assert new == old and new is not old
    new["a.x"] = 5
    assert old["a.x"] == 5 and new["a"] is old["a"]


def test_attribute_access_walks_levels():
    kl = Kelvor({"net.eth0.speed": 100})
    assert kl.net.eth0.speed == 100
    with pytest.raises(AttributeError):
        kl.nothing


# --- item operations -------------------------------------------------------------


def test_read():
    kl = Kelvor({"a.b.c": 1, "s": "text", "d": {"x": 1}})
    assert kl["a.b.c"] == 1 and kl["a"]["b"] == {"c": 1}
    with pytest.raises(KeyError) as caught:
        kl["a.zz.c"]
    assert caught.value.args == ("zz",)  # the missing component, not the path
    with pytest.raises(KeyError) as caught:
        kl["missing"]
    assert caught.value.args == ("missing",)
    with pytest.raises(TypeError):
        kl["s.b"]  # indexing a plain string
    assert kl["d.x"] == 1  # a plain dict is indexed as itself
    with pytest.raises(TypeError):
        kl[5]
    assert kl.get("m.r") is None and kl.get("a.b.zz", 0) == 0
    with pytest.raises(TypeError):
        kl.get("s.x")  # only KeyError means "missing"


def test_store_builds_levels_and_refuses_conflicts():
    kl = Kelvor()
    kl["a.b.c"] = 1
    assert plain(kl) == ("K", {"a": ("K", {"b": ("K", {"c": 1})})})
    kl["s"] = "abc"
    for key, value, named in (("s.b", 1, "s"), ("s", Kelvor(), "s"), ("s.x.y", Kelvor(), "s")):
        with pytest.raises(KeyError) as caught:
            kl[key] = value
        assert caught.value.args == (conflict(named),)
    assert kl["s"] == "abc"
    kl["a.b.c"] = "leaf"
    with pytest.raises(KeyError) as caught:
        kl["a.b.c.k"] = 1
    assert caught.value.args == (conflict("c"),)  # named at the level of the plain value
    kl["d"] = {"x": 1}  # a plain dict is stored unchanged
    assert type(kl["d"]) is dict
    with pytest.raises(KeyError, match="is a value"):
        kl["d.y"] = 1


def test_store_replaces_without_merging():
    kl = Kelvor({"a.x": 1})
    kl["a"] = Kelvor(y=2)
    assert kl["a.y"] == 2 and "a.x" not in kl
    kl["a"] = "plain"  # a plain value replaces a keyed list unchecked
    assert kl == {"a": "plain"}


def test_keys_with_empty_components():
    kl = Kelvor()
    kl["a."] = 1
    kl[".b"] = 2
    kl["x..y"] = 3
    assert plain(kl) == (
        "K",
        {"a": ("K", {"": 1}), "": ("K", {"b": 2}), "x": ("K", {"": ("K", {"y": 3})})},
    )
    assert kl["a."] == 1 and ".b" in kl and kl["x..y"] == 3
    assert kl.all_keys() == ["a.", ".b", "x..y"]


def test_delete_removes_emptied_levels():
    kl = Kelvor({"a.b.k": 1})
    del kl["a.b.k"]
    assert kl == {}
    kl = Kelvor({"a.b.k": 1, "a.d": 2})
    del kl["a.b.k"]
    assert plain(kl) == ("K", {"a": ("K", {"d": 2})})
    nested = Kelvor({"b.c": 1})
    del nested["b.c"]
    assert nested == {}  # the keyed list the deletion started on stays
    kl = Kelvor({"a.b": 1})
    with pytest.raises(KeyError) as caught:
        del kl["a.x"]
    assert caught.value.args == ("x",) and kl["a.b"] == 1
    kl["s"] = "abc"
    with pytest.raises(TypeError):
        del kl["s.a"]
    with pytest.raises(KeyError):
        del kl["nothing.here"]


def test_membership():
    kl = Kelvor({"a.b": 1, "s": "abc", "n": 5})
    assert "a.b" in kl and "a" in kl and "a.c" not in kl and "x.y" not in kl
    assert kl.has_key("a.b") is True and kl.has_key("zz") is False
    # Under a plain value the value itself answers.
    assert "s.b" in kl and "s.z" not in kl
    with pytest.raises(AttributeError):
        "n.z" in kl
    with pytest.raises(TypeError):
        5 in kl


def test_pop_and_setdefault_walk_paths():
    kl = Kelvor({"a.b.c": 1, "a.d": 2})
    assert kl.pop("a.b.c") == 1 and plain(kl) == ("K", {"a": ("K", {"d": 2})})
    assert kl.pop("a.zz", "dflt") == "dflt"
    with pytest.raises(KeyError):
        kl.pop("a.zz")
    assert kl.setdefault("x.y", 7) == 7 and kl["x.y"] == 7
    assert kl.setdefault("x.y", 8) == 7


def test_tcl_objects_that_are_not_keyed_lists_are_stored_as_they_are(tcl):
    obj = tcl.tk.call("dict", "create", "a", "b")
    assert isinstance(obj, Tcl_Obj) and obj.typename == "dict"
    kl = Kelvor()
    kl["x.y"] = obj
    assert kl["x.y"] is obj


# --- update and flattening ---------------------------------------------------------


def test_update_merges_a_kelvor_and_replaces_through_a_mapping():
    kl = Kelvor({"a.x": 1})
    kl.update(Kelvor({"a.y": 2}))
    assert plain(kl) == ("K", {"a": ("K", {"x": 1, "y": 2})})
    kl = Kelvor({"a.x": 1})
    kl.update(a=Kelvor(y=2))
    assert plain(kl) == ("K", {"a": ("K", {"x": 1, "y": 2})})
    kl = Kelvor({"a.x": 1})
    kl.update({"a": Kelvor(y=2)})
    assert plain(kl) == ("K", {"a": ("K", {"y": 2})})
    kl = Kelvor()
    kl.update(Kelvor(c=Kelvor()))
    assert kl == {}  # an empty level has no leaves to merge
    kl.update([("p.q", 1)], r=2)
    assert kl["p.q"] == 1 and kl["r"] == 2
    kl.update(kl)
    assert plain(kl) == ("K", {"p": ("K", {"q": 1}), "r": 2})


def test_update_errors():
    kl = Kelvor(s="text")
    with pytest.raises(TypeError) as caught:
        kl.update({}, {})
    assert str(caught.value) == "update() takes at most 1 positional arguments (2 given)"
    with pytest.raises(KeyError) as caught:
        kl.update(t=1, s=Kelvor(x=1))
    assert caught.value.args == (conflict("s"),)
    assert kl == {"s": "text", "t": 1}  # what came before the failure stays


def test_all_keys_and_all_items():
    kl = Kelvor()
    kl["a.b"] = 1
    kl["c"] = Kelvor()
    kl["d"] = 2
    kl["e.f.g"] = {"plain": "dict"}
    assert kl.all_keys() == ["a.b", "d", "e.f.g"]
    assert kl.all_items() == [("a.b", 1), ("d", 2), ("e.f.g", {"plain": "dict"})]
    assert Kelvor().all_keys() == [] and Kelvor().all_items() == []


def test_subclass_overrides_are_honoured():
    seen = []

    class Logged(Kelvor):
        def __setitem__(self, key, value):
            seen.append(key)
            super().__setitem__(key, value)

        def all_items(self):
            return [("only", "this")]

    kl = Kelvor({"a.b": 1})
    kl["sub"] = Logged()
    kl["sub.x.y"] = 1  # the nested level is stored through the subclass
    assert seen == ["x.y"] and kl["sub.x.y"] == 1
    assert kl.all_items() == [("a.b", 1), ("sub.only", "this")]
    target = Logged()
    target.update(Kelvor({"p.q": 1}))
    assert seen[-1] == "p.q"

    class Counted(Kelvor):
        updates = 0

        def update(self, *args, **kwargs):
            type(self).updates += 1
            super().update(*args, **kwargs)

    assert Counted(a=1) == {"a": 1} and Counted.updates == 1  # __init__ stores through update

    class ListedItems(Kelvor):
        def items(self):
            return [[key, value] for key, value in super().items()]

    assert ListedItems({"a.b": 1, "c": 2}).all_items() == [("a.b", 1), ("c", 2)]
    assert ListedItems(c=2).__tclobj__() == (("c", 2),)


# --- the Tcl form ----------------------------------------------------------------


def test_from_tcl_text():
    kl = Kelvor.from_tcl("{a {{b 1} {e 2}}} {d 3}")
    assert plain(kl) == ("K", {"a": ("K", {"b": "1", "e": "2"}), "d": "3"})
    assert kl.all_keys() == ["a.b", "a.e", "d"]
    assert Kelvor.from_tcl("") == {} and type(Kelvor.from_tcl("")) is Kelvor
    assert plain(Kelvor.from_tcl("{a {}}")) == ("K", {"a": ("K", {})})
    assert Kelvor.from_tcl("{a x}") == {"a": "x"}
    assert Kelvor.from_tcl("{a {x y}}") == {"a": "x y"}
    assert plain(Kelvor.from_tcl("{a {{x y}}}")) == ("K", {"a": ("K", {"x": "y"})})
    assert Kelvor.from_tcl("{a {{x y} z}}") == {"a": "{x y} z"}
    assert list(Kelvor.from_tcl("{a 1} {b 2} {a 3}").items()) == [("a", "3"), ("b", "2")]
    assert Kelvor.from_tcl("{a.b 1}")["a.b"] == "1"
    assert Kelvor.from_tcl("{a \\{}") == {"a": "{"}  # not a list: a plain value
    with pytest.raises(KeyError) as caught:
        Kelvor.from_tcl("{a 1} {a.b 2}")
    assert caught.value.args == (conflict("a"),)
    for not_pairs in ("a b", "{a 1} b", "{a 1 2}"):
        with pytest.raises(ValueError):
            Kelvor.from_tcl(not_pairs)
    with pytest.raises(ValueError):
        Kelvor.from_tcl("{a 1} {b")  # malformed at the top: Tcl's own error


def test_from_tcl_uses_the_package_cast_list(monkeypatch):
    calls = []

    def cast_list(value):
        calls.append(value)
        return [["k", "v"]] if value == "TOP" else list(value) if isinstance(value, list) else []

    monkeypatch.setattr(orvex.tcl, "cast_list", cast_list)
    assert Kelvor.from_tcl("TOP") == {"k": Kelvor()}
    assert calls[:2] == ["TOP", ["k", "v"]]


def test_tclobj_and_sorvan_give_the_keyed_list_form():
    assert Kelvor().__tclobj__() == () and sorvan(Kelvor()) == ""
    kl = Kelvor()
    kl["a.b"] = 1
    kl["d"] = 3
    assert kl.__tclobj__() == (("a", (("b", 1),)), ("d", 3))
    assert tclobj(kl) == kl.__tclobj__()
    assert sorvan(kl) == "{a {{b 1}}} {d 3}"
    # Through Tcl and back, an empty string becomes an empty level.
    back = Kelvor.from_tcl(sorvan(Kelvor(e="", v="x y", w="{p q}")))
    assert plain(back) == ("K", {"e": ("K", {}), "v": "x y", "w": ("K", {"p": "q"})})


# --- with TclX ------------------------------------------------------------------


def test_tclx_keyed_list_reads_as_kelvor(tclx):
    def keyed_list():
        # Reading a Tcl object as a list changes its Tcl type, so each read
        # starts from a keyed list just made by TclX.
        tclx.eval("unset -nocomplain k; keylset k a.b 1 a.e {two words} d 3 brace \\{")
        obj = tclx.tk.getvar("k")
        assert isinstance(obj, Tcl_Obj) and obj.typename == "keyedList"
        return obj

    expected = ("K", {"a": ("K", {"b": "1", "e": "two words"}), "d": "3", "brace": "{"})
    assert plain(Kelvor.from_tcl(keyed_list())) == expected
    holder = Kelvor()
    holder["x.y"] = keyed_list()  # a keyed-list object is parsed on store
    assert type(holder["x.y"]) is Kelvor and plain(holder["x.y"]) == expected
    assert plain(Kelvor(k=keyed_list())) == ("K", {"k": expected})
    keyed_list()
    assert plain(tclx.cast_any(tclx.tk.call("set", "k"))) == expected


def test_tclx_values_holding_nul_read_back(tclx):
    tclx.tk.setvar("v", "a\0b")
    tclx.eval("keylset k key $v nested.key $v")
    kl = Kelvor.from_tcl(tclx.tk.getvar("k"))
    assert kl["key"] == "a\0b" and kl["nested.key"] == "a\0b"
    assert orvex.tcl.cast_list("x \0 {y z}") == ["x", "\0", "y z"]


def test_tclx_duplicate_keys_keep_the_last_value(tclx):
    tclx.eval("set k {{a 1} {b 2} {a 3}}")
    assert tclx.eval("keylget k a") == "3"
    assert list(Kelvor.from_tcl(tclx.tk.getvar("k")).items()) == [("a", "3"), ("b", "2")]


def test_kelvor_passed_to_tclx(tclx):
    kl = Kelvor({"net.eth0.speed": 100, "net.eth0.name": "first card", "host": "box"})
    kl["net.lo"] = Kelvor()
    tclx.tk.call("set", "k", tclobj(kl))
    assert tclx.cast_list(tclx.tk.call("keylkeys", "k")) == ["net", "host"]
    assert tclx.cast_list(tclx.tk.call("keylkeys", "k", "net")) == ["eth0", "lo"]
    assert tclx.cast_list(tclx.tk.call("keylkeys", "k", "net.eth0")) == ["speed", "name"]
    assert str(tclx.tk.call("keylget", "k", "net.eth0.speed")) == "100"
    assert tclx.tk.call("keylget", "k", "net.eth0.name") == "first card"
    tclx.tk.setvar("t", sorvan(kl))
    assert tclx.eval("keylget t host") == "box"
    assert tclx.cast_list(tclx.eval("keylkeys t net.eth0")) == ["speed", "name"]
    with pytest.raises(TclError):
        tclx.eval("keylget t net.eth1")


# TclX keys: not empty, no ".", no NUL.
keys = st.text(
    st.characters(blacklist_categories=("Cs",), blacklist_characters=".\x00"),
    min_size=1,
    max_size=6,
)
# Single words: no white space, and no backslash (whose substitution could
# make white space when the value is split again).
words = st.text(
    st.characters(blacklist_categories=("Cs", "Zs", "Zl", "Zp", "Cc"), blacklist_characters="\\"),
    min_size=1,
    max_size=6,
)
trees = st.recursive(
    words, lambda inner: st.dictionaries(keys, inner, min_size=1, max_size=4), max_leaves=12
)


_tclx = []


def shared_tclx():
    """One TclX interpreter for all examples of a property test."""
    if not _tclx:
        _tclx.append(orvex.tcl.Interpreter(tclx=True))
    return _tclx[0]


@pytest.mark.tclx
@settings(max_examples=60, deadline=None)
@given(st.dictionaries(keys, trees, max_size=5))
def test_tclx_reads_what_kelvor_writes(tree):
    # TclX is the oracle: every leaf path answers keylget with its value,
    # every level lists the same keys, and the text parses back unchanged
    # (single-word values stay plain).
    tclx = shared_tclx()
    kl = Kelvor(tree)
    tclx.tk.call("set", "k", tclobj(kl))
    for path, value in kl.all_items():
        assert tclx.tk.call("keylget", "k", path) == value

    def levels(level, path):
        yield path, list(level)
        for key, value in level.items():
            if isinstance(value, Kelvor):
                yield from levels(value, f"{path}.{key}" if path else key)

    for path, level_keys in levels(kl, ""):
        assert (
            tclx.cast_list(tclx.tk.call("keylkeys", "k", *([path] if path else []))) == level_keys
        )
    assert plain(Kelvor.from_tcl(tclx.tk.getvar("k"))) == plain(kl)
    assert plain(Kelvor.from_tcl(sorvan(kl))) == plain(kl)


# --- against the plain-Python rendering ----------------------------------------------------

paths = st.lists(st.sampled_from(["a", "b", "c", ""]), min_size=1, max_size=3).map(".".join)
values = st.one_of(
    st.integers(0, 3),
    st.sampled_from(["abc", "", "b"]),
    st.dictionaries(paths, st.integers(0, 3), max_size=2).map(lambda d: ("K", d)),
    st.just("plain dict"),
)
operations = st.lists(
    st.tuples(
        st.sampled_from(
            [
                "set",
                "get",
                "del",
                "in",
                "pop",
                "setdefault",
                "update",
                "update_kw",
                "update_dict",
                "all_items",
            ]
        ),
        paths,
        values,
    ),
    max_size=25,
)


def _apply(cls, ops):
    kl, log = cls(), []
    for op, key, value in ops:
        try:
            if isinstance(value, tuple):
                value = cls(value[1])
            elif value == "plain dict":
                value = {"a": 1}  # a fresh one for each class: deletions change it
            if op == "set":
                kl[key] = value
                result = None
            elif op == "get":
                result = kl[key]
            elif op == "del":
                del kl[key]
                result = None
            elif op == "in":
                result = key in kl
            elif op == "pop":
                result = kl.pop(key, "none")
            elif op == "setdefault":
                result = kl.setdefault(key, value)
            elif op == "update":
                result = kl.update(value if isinstance(value, cls) else cls({key: value}))
            elif op == "update_kw":
                result = kl.update(**{key: value})
            elif op == "update_dict":
                result = kl.update({key: value})
            else:
                result = kl.all_items()
            log.append(
                (
                    "ok",
                    plain(result)
                    if not isinstance(result, list)
                    else [(k, plain(v)) for k, v in result],
                )
            )
        except Exception as error:  # the failure itself is compared
            log.append((type(error).__name__, error.args))
        log.append(plain(kl))
    return log


@settings(max_examples=300, deadline=None)
@given(operations)
def test_behaves_as_the_plain_python_class(ops):
    assert _apply(Kelvor, ops) == _apply(baseline_kelvor.Kelvor, ops)


# Components of every str width (a Latin-1 component inside a wider key
# among them), long ones, and enough distinct ones to pass any table of
# recent components.
wide_components = st.one_of(
    st.sampled_from(["a", "", "\u00e9", "\u20ac", "\U0001f600", "x" * 70, "x" * 70 + "y"]),
    st.integers(0, 20_000).map(lambda i: f"c{i}"),
)
wide_paths = st.lists(wide_components, min_size=1, max_size=4).map(".".join)
wide_operations = st.lists(
    st.tuples(st.sampled_from(["set", "get", "in", "del"]), wide_paths, st.integers(0, 3)),
    max_size=40,
)


@settings(max_examples=200, deadline=None)
@given(wide_operations)
def test_paths_of_any_text_behave_as_the_plain_python_class(ops):
    assert _apply(Kelvor, ops) == _apply(baseline_kelvor.Kelvor, ops)


def test_paths_past_the_remembered_ones_still_resolve():
    keys = [f"g{i % 13}.{chr(0x100 + i % 300)}{i}.\u00e9{i % 5000}" for i in range(20_000)]
    kl = Kelvor()
    for i, key in enumerate(keys):
        kl[key] = i
    expected = {key: i for i, key in enumerate(keys)}
    assert all(kl[key] == value for key, value in expected.items())
    assert all("".join([key, "x"]) not in kl for key in keys[:2000])


# --- from_tcl's own split against the package's casts -------------------------------

# Texts near the keyed-list form: pairs of words and nested levels, with the
# characters Tcl's list syntax gives meaning to (braces, quotes, backslashes,
# separators) and dots, duplicates and non-ASCII text among them.
tcl_words = st.sampled_from(
    [
        "a",
        "b",
        "a.b",
        "",
        "x y",
        "{",
        "}",
        '"q"',
        '"',
        "\\{",
        "a\\ b",
        "{p q}",
        "{{p q}}",
        "\u00e9",
        "\u20ac.\U0001f600",
        "\t",
        "a{b",
        "b}",
    ]
)


def _braced(text):
    return "{" + text + "}"


tcl_lists = st.recursive(
    tcl_words,
    lambda inner: st.lists(
        st.tuples(tcl_words, st.one_of(inner, inner.map(_braced))).map(
            lambda kv: _braced(f"{kv[0]} {kv[1]}")
        ),
        max_size=4,
    ).map(" ".join),
    max_leaves=10,
)


def _from_tcl_outcome(text):
    try:
        return "ok", plain(Kelvor.from_tcl(text))
    except Exception as error:  # noqa: BLE001 - the outcome is compared
        return type(error), error.args


@settings(max_examples=400, deadline=None)
@given(st.one_of(tcl_lists, st.text(st.sampled_from('{} "\\ab.\t\n'), max_size=24)))
def test_from_tcl_splits_as_the_package_casts_do(text):
    fast = _from_tcl_outcome(text)
    original = orvex.tcl.cast_list
    orvex.tcl.cast_list = lambda value: original(value)  # not the package's own: its casts split
    try:
        by_casts = _from_tcl_outcome(text)
    finally:
        orvex.tcl.cast_list = original
    assert fast == by_casts


# Nested levels repeating a few key names (some dotted, some long, and more
# distinct ones than a parse keeps at hand), each key and value braced.
tree_keys = st.one_of(
    st.sampled_from(["n0", "n1", "a", "a.b", "", "x y", "k" * 40, "k" * 40 + "."]),
    st.integers(0, 150).map(lambda i: f"key{i}"),
)
tree_values = st.sampled_from(["v", "1", "", "x y", "{p q}", "{}", "a.b", "{n0 1} {n1 2}"])
trees_deep = st.recursive(
    tree_values,
    lambda inner: st.dictionaries(tree_keys, inner, min_size=1, max_size=4),
    max_leaves=60,
)


def _tcl_text(tree):
    if not isinstance(tree, dict):
        return tree
    return " ".join("{{" + k + "} {" + _tcl_text(v) + "}}" for k, v in tree.items())


@settings(max_examples=200, deadline=None)
@given(trees_deep)
def test_from_tcl_of_nested_levels_splits_as_the_package_casts_do(tree):
    text = _tcl_text(tree)
    fast = _from_tcl_outcome(text)
    original = orvex.tcl.cast_list
    orvex.tcl.cast_list = lambda value: original(value)
    try:
        assert fast == _from_tcl_outcome(text)
    finally:
        orvex.tcl.cast_list = original


def test_from_tcl_honours_replaced_interpreter_casts(monkeypatch):
    original = orvex.tcl.Interpreter.cast_list
    calls = []

    def cast_list(self, value):
        calls.append(value)
        return original(self, value)

    expected = ("K", {"a": ("K", {"b": "1"}), "d": "3"})
    monkeypatch.setattr(orvex.tcl.Interpreter, "cast_list", cast_list)
    assert plain(Kelvor.from_tcl("{a {{b 1}}} {d 3}")) == expected
    assert calls[0] == "{a {{b 1}}} {d 3}" and len(calls) > 3
    monkeypatch.undo()
    calls.clear()
    monkeypatch.setattr(
        orvex.tcl.default_interpreter(),
        "cast_list",
        lambda value: cast_list(orvex.tcl.default_interpreter(), value),
    )
    assert plain(Kelvor.from_tcl("{a {{b 1}}} {d 3}")) == expected
    assert calls[0] == "{a {{b 1}}} {d 3}"


def test_from_tcl_splits_natively_while_the_casts_are_the_packages():
    # Seen through the profiler: the package's cast_list never runs.
    called = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_name == "cast_list":
            called.append(frame.f_code.co_qualname)

    orvex.tcl.default_interpreter()
    sys.setprofile(profile)
    try:
        result = Kelvor.from_tcl("{a {{b 1}}} {d 3}")
    finally:
        sys.setprofile(None)
    assert plain(result) == ("K", {"a": ("K", {"b": "1"}), "d": "3"})
    assert called == []


def test_from_tcl_leaves_the_tcl_type_alone(tclx):
    tclx.eval("keylset k a.b 1 a.e {two words} d 3")
    obj = tclx.tk.getvar("k")
    assert plain(Kelvor.from_tcl(obj)) == (
        "K",
        {"a": ("K", {"b": "1", "e": "two words"}), "d": "3"},
    )
    assert obj.typename == "keyedList"


def test_many_distinct_dotted_keys():
    keys = [f"g{i % 7}.s{i % 11}.leaf{i}" for i in range(3000)]
    kl = Kelvor()
    for i, key in enumerate(keys):
        kl[key] = i
    assert [kl[key] for key in keys] == list(range(3000)) and all(key in kl for key in keys)
    assert sorted(kl.all_keys()) == sorted(keys)


# --- robustness --------------------------------------------------------------------


def test_deep_structures_raise_instead_of_crashing():
    key = ".".join(["k"] * 50_000)  # deeper than any interpreter's C recursion limit
    kl = Kelvor()
    kl[key] = 1  # a path is walked in a loop: any depth is fine
    assert kl[key] == 1 and key in kl
    with pytest.raises(RecursionError):
        kl.all_keys()
    with pytest.raises(RecursionError):
        del kl[key]
    assert kl[key] == 1
    # Parsing recurses once per level: it either copes or says so.
    deep = "{k 1}"
    for _ in range(3000):
        deep = "{k {" + deep + "}}"
    try:
        level = Kelvor.from_tcl(deep)
    except RecursionError:
        pass
    else:
        for _ in range(3000):
            level = level["k"]
        assert level == {"k": "1"}


def test_no_leaks(no_leak, tclx):
    kl = Kelvor({"a.b.c": 1, "s": "abc"})
    no_leak(lambda: kl["a.b.c"])
    no_leak(lambda: kl.get("a.x.c"))
    no_leak(lambda: "a.b.c" in kl and "s.b" in kl)
    no_leak(lambda: kl.__setitem__("a.b.c", 2))

    def store_and_delete():
        kl["n.e.w"] = 1
        del kl["n.e.w"]

    no_leak(store_and_delete)

    def conflict_error():
        try:
            kl["s.x"] = 1
        except KeyError:
            pass

    no_leak(conflict_error)
    no_leak(lambda: Kelvor({"x.y": [("p", 1)]}, z=5).update(Kelvor({"x.q": 1}), w=Kelvor(v=1)))
    no_leak(lambda: kl.all_items() and kl.all_keys() and kl.__tclobj__())
    tclx.eval("keylset k a.b 1 a.e {two words} d 3 brace \\{")
    obj = tclx.tk.getvar("k")
    no_leak(lambda: Kelvor.from_tcl(obj), iterations=300)
    no_leak(lambda: Kelvor().__setitem__("x", obj), iterations=300)

"""The C++ layer makes classes and functions the way Python code does, and
keeps everything per module in the module's state.

`orvex.tcl._capi_check` holds a class and functions built with it; the
Python equivalent is in the docstring of its source.  Running it in other
interpreters is tests/test_interpreters.py's part.
"""

import abc
import collections.abc
import importlib
import inspect
import subprocess
import sys
import textwrap
import weakref

import pytest

# The module is built only by the dev and sanitizer builds, not for wheels.
check = pytest.importorskip(
    "orvex.tcl._capi_check", reason="the C++ layer's test module is not in release builds"
)
Counter, describe = check.Counter, check.describe


def test_class_is_made_like_a_class_statement():
    # The metaclass comes from the bases (Mapping -> ABCMeta), the body keeps
    # its order, and the module and docstring are set.
    assert type(Counter) is abc.ABCMeta
    assert issubclass(Counter, collections.abc.Mapping)
    assert Counter.__module__ == "orvex.tcl._capi_check"
    assert Counter.__qualname__ == "Counter"
    assert Counter.__doc__ == "Counts calls."
    body = [k for k in vars(Counter) if not k.startswith("_abc")]
    assert body[:11] == [
        "__module__",
        "__doc__",
        "__slots__",
        "__init__",
        "add",
        "twice",
        "kind",
        "again",
        "__getitem__",
        "__iter__",
        "__len__",
    ]
    assert not Counter.__abstractmethods__


def test_methods_are_method_descriptors():
    c = Counter(10)
    assert type(vars(Counter)["add"]).__name__ == "method_descriptor"
    assert Counter.add.__doc__ == "Adds up, times scale."
    assert Counter.add.__qualname__ == "Counter.add"
    assert c.add(1) == (12, {})
    bound = c.add
    assert bound.__self__ is c and bound(2, 3) == (15, {})
    assert Counter.add(c, 1, b=0) == (11, {})
    assert Counter.again is Counter.add  # an alias is the same object
    assert Counter.twice(4) == 8 and c.twice(5) == 10  # static method
    assert dict(c) == {"start": 10}  # mapping mixins on our own special methods
    assert c.kind == "counter"


def test_parameters_bind_like_python():
    c = Counter(1)
    assert c.add(1, 2, 3, 4, scale=2, x=1) == (22, {"x": 1})
    assert c.add(a=1, b=0, scale=3) == (6, {})
    assert describe(3, label="x") == "x: 3"
    assert describe.__module__ == "orvex.tcl._capi_check"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c: c.add(), "Counter.add() missing 1 required positional argument: 'a'"),
        (lambda c: c.add(1, a=2), "Counter.add() got multiple values for argument 'a'"),
        (
            lambda c: Counter(1, 2),
            "Counter.__init__() takes from 1 to 2 positional arguments but 3 were given",
        ),
        (lambda c: Counter.twice(), "Counter.twice() missing 1 required positional argument: 'x'"),
        (lambda c: describe(1), "describe() missing 1 required keyword-only argument: 'label'"),
        (lambda c: describe(1, 2), "describe() takes 1 positional argument but 2 were given"),
        (
            lambda c: describe(1, label=2, other=3),
            "describe() got an unexpected keyword argument 'other'",
        ),
    ],
)
def test_binding_errors_are_worded_like_cpython(call, message):
    with pytest.raises(TypeError) as caught:
        call(Counter())
    assert str(caught.value) == message


def test_slots_are_ordinary_attributes_beside_a_dict():
    c = Counter(3)
    c.start = 5
    assert c.add(1, 0) == (6, {})
    c.other = 1
    assert vars(c) == {"other": 1}
    weakref.ref(c)
    del c.start
    with pytest.raises(AttributeError, match="start"):
        c.add(1)


def test_subclass_and_super():
    class Sub(Counter):
        def add(self, a, b=1, *rest, scale=1, **extra):
            return ("sub", super().add(a, b, *rest, scale=scale, **extra))

    class Hooked(Counter):
        seen = []

        def __init_subclass__(cls, **kw):
            Hooked.seen.append(cls.__name__)

    class Child(Hooked):
        pass

    assert Sub(1).add(1) == ("sub", (3, {}))
    assert Hooked.seen == ["Child"]


def test_no_leak(no_leak):
    c = Counter(1)
    no_leak(lambda: c.add(1, 2, 3, scale=2, x=1))
    no_leak(lambda: Counter(2))


def test_text_signatures_come_from_the_parameter_list():
    c = Counter()
    assert str(inspect.signature(Counter.add)) == "(self, /, a, b=1, *rest, scale=1, **extra)"
    assert str(inspect.signature(c.add)) == "(a, b=1, *rest, scale=1, **extra)"
    assert str(inspect.signature(Counter.__init__)) == "(self, /, start=0)"
    assert str(inspect.signature(Counter.twice)) == "(x)"
    assert str(inspect.signature(Counter.__getitem__)) == "(self, /, key)"
    assert str(inspect.signature(describe)) == "(x, *, label)"
    assert str(inspect.signature(check.bump)) == "()"
    # Defaults kept in the module state bind as the signature shows them.
    assert inspect.signature(Counter.add).parameters["b"].default == 1
    assert Counter().start == 0


def test_state_is_per_module_and_survives_reload():
    before = check.bump()
    assert check.bump() == before + 1
    # A reload of an extension module with state gives the same, working
    # module: its state is not made again.
    again = importlib.reload(check)
    assert again is check
    assert check.bump() == before + 2
    assert Counter(1).add(1) == (3, {})


def test_state_reached_from_subclass_methods():
    class Sub(Counter):
        pass

    # The defining class is Counter, whose module state the methods use,
    # whatever the instance's class.
    assert Sub(2).add(1, 1) == (4, {})
    assert Sub.__init__ is Counter.__init__


def test_type_cache_follows_class_changes():
    class Probe:
        __slots__ = ()

        def probe(self):
            return "first"

    p = Probe()
    assert check.call_probe(p) == "first"
    assert check.probe_cached(p)
    Probe.probe = lambda self: "second"
    assert not check.probe_cached(p)  # the class changed: its tag moved on
    assert check.call_probe(p) == "second"

    class Base:
        __slots__ = ()

        def probe(self):
            return "base"

    class Derived(Base):
        __slots__ = ()

    d = Derived()
    assert check.call_probe(d) == "base"
    Base.probe = lambda self: "changed base"  # a base's change reaches the subclass
    assert check.call_probe(d) == "changed base"

    class WithDict:
        def probe(self):
            return "class"

    w = WithDict()
    w.probe = lambda: "instance"  # instances with a dict take the ordinary path
    assert check.call_probe(w) == "instance"
    assert not check.probe_cached(w)
    with pytest.raises(AttributeError):
        check.call_probe(object())


def test_instance_attr_reads_the_dict_unless_the_class_has_the_name():
    class Holder:
        pass

    h = Holder()
    h.label = "mine"
    assert check.read_label(h) == "mine"
    Holder.label = property(lambda self: "property")  # a data descriptor wins
    assert check.read_label(h) == "property"
    del Holder.label
    assert check.read_label(h) == "mine"
    del h.label
    with pytest.raises(AttributeError):
        check.read_label(h)


def test_instance_attr_reads_a_slot_as_python_does():
    class Slotted:
        __slots__ = ("label", "__dict__")

    s = Slotted()
    s.label = "field"
    s.__dict__["label"] = "shadowed"  # a slot is a data descriptor: the dict loses
    assert check.read_label(s) == s.label == "field"
    s.label = "changed"
    assert check.read_label(s) == "changed"
    del s.label
    with pytest.raises(AttributeError, match="Slotted' object has no attribute 'label'"):
        check.read_label(s)

    class Sub(Slotted):
        label = property(lambda self: "property")  # the subclass's own attribute wins

    assert check.read_label(Sub()) == "property"
    s.label = "again"
    Slotted.label2 = None  # any change to the class: the lookup is made again
    assert check.read_label(s) == "again"


def test_own_method_and_unchanged_class():
    class Sub(Counter):
        pass

    class Override(Counter):
        def add(self, a):
            return a

    c = Counter()
    assert check.own_add(c) and check.own_add(Sub())
    assert not check.own_add(Override())
    c.add = lambda a: a  # shadowed by the instance
    assert not check.own_add(c)
    del c.add
    assert check.own_add(c)
    assert check.counter_unchanged(c) and not check.counter_unchanged(Sub())


def test_class_change_is_seen(tmp_path):
    # Changing Counter for good would spoil the other tests: done in a
    # process of its own.
    code = textwrap.dedent("""
        import orvex.tcl._capi_check as check
        c = check.Counter()
        assert check.counter_unchanged(c) and check.own_add(c)
        original = check.Counter.add
        check.Counter.add = lambda self, a: a
        assert not check.counter_unchanged(c) and not check.own_add(c)
        check.Counter.add = original
        assert check.own_add(c)  # the same entry again
        print("ok")
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.stdout.strip() == "ok", result.stderr


def test_globals_check_sees_rebinding_and_deletion():
    assert check.globals_held()
    original = check.describe
    try:
        check.describe = lambda x, *, label: None
        assert not check.globals_held()
        check.describe = original
        assert check.globals_held()
        del check.describe
        assert not check.globals_held()
    finally:
        check.describe = original
    assert check.globals_held()
    check.unrelated = 1  # any change means a new look, with the same answer
    del check.unrelated
    assert check.globals_held()


def test_classes_are_tied_to_their_module():
    import gc

    assert check in gc.get_referents(Counter)

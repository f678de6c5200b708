"""The C++ layer makes classes and functions the way Python code does.

`orvex.tcl._capi_check` holds a class and a function built with it; the
Python equivalent is in the docstring of its source.
"""

import abc
import collections.abc
import weakref

import pytest

# The module is built only by the dev and sanitizer builds, not for wheels.
_capi_check = pytest.importorskip(
    "orvex.tcl._capi_check", reason="the C++ layer's test module is not in release builds"
)
Counter, describe = _capi_check.Counter, _capi_check.describe


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

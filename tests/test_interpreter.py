"""The interpreter object and the package module standing in for one."""

import gc
import weakref

import pytest

import orvex.tcl
from orvex.datastructures import AttrDict
from orvex.tcl import Interpreter, TclError, TclValueError


def test_attrdict():
    d = AttrDict(a=1, keys=2)
    assert d.a == 1 and d["keys"] == 2 and callable(d.keys)
    with pytest.raises(AttributeError):
        d.missing
    assert getattr(d, "missing", None) is None
    assert isinstance(d, dict) and AttrDict() == {}


def test_call_eval_and_vars(tcl):
    assert tcl.call("set", "x", "a b") == "a b"
    assert tcl.eval("set x") == "a b"
    assert tcl.vars["x"] == "a b"
    tcl.vars["y"] = 7
    assert tcl.eval("set y") == "7"  # eval gives text
    assert "y" in tcl.vars and "nope" not in tcl.vars
    del tcl.vars["y"]
    with pytest.raises(KeyError):
        tcl.vars["y"]
    assert "x" in list(tcl.vars)
    with pytest.raises(TclError):
        tcl.eval("error boom")
    assert "boom" in tcl.vars["::errorInfo"]


def test_cast_list(tcl):
    assert tcl.cast_list("a {b c} {}") == ["a", "b c", ""]
    assert tcl.cast_list("") == []
    assert tcl.cast_list([]) == [] and tcl.cast_list(("x", 1)) == ["x", 1]
    assert tcl.cast_list(5) == ["5"]
    assert tcl.cast_list(tcl.eval("list 1 {2 3}")) == ["1", "2 3"]
    obj = tcl.tk.call("list", "a b", "c")
    assert tcl.cast_list(obj) == ["a b", "c"]
    for bad in ("{", "a {b", '"x"y'):
        with pytest.raises(ValueError) as caught:
            tcl.cast_list(bad)
        assert isinstance(caught.value, TclError) and isinstance(caught.value, TclValueError)


def test_cast_boolean(tcl):
    for true in ("1", "true", "Yes", "on", "2.5", 1, True, "-3"):
        assert tcl.cast_boolean(true) is True
    for false in ("0", "false", "no", "OFF", 0, "0.0"):
        assert tcl.cast_boolean(false) is False
    for bad in ("maybe", ""):
        with pytest.raises(ValueError):
            tcl.cast_boolean(bad)


def test_cast_array(tcl):
    tcl.eval("array set a {x 1 y {2 3}}")
    assert tcl.cast_array(tcl.call("array", "get", "a")) == {"x": "1", "y": "2 3"}
    assert tcl.cast_array("") == {}


def test_cast_any(tcl):
    assert tcl.cast_any("text") == "text"
    assert tcl.cast_any(5) == 5 and tcl.cast_any(("a", "b")) == ("a", "b")
    d = tcl.call("dict", "create", "a", "1", "b", "x y")
    assert tcl.cast_any(d) == {"a": "1", "b": "x y"}
    assert tcl.cast_any(tcl.call("expr", "2**70")) == 2**70
    # Other object types come back as their text, never guessed from it.
    assert tcl.cast_any(tcl.call("namespace", "current")) == "::"


def test_history_is_bounded():
    interp = Interpreter(history_limit=3)
    for i in range(5):
        interp.history.append([str(i)])
    assert list(interp.history) == [["2"], ["3"], ["4"]]
    assert Interpreter().history.maxlen == 1000


def test_tclx_loads(tclx):
    tclx.eval("keylset k a 1")
    assert tclx.call("keylget", "k", "a") in ("1", 1)


def test_interpreter_accepts_weak_references():
    interp = Interpreter()
    proxy = weakref.proxy(interp)
    assert proxy.eval("expr 1+1") == "2"
    del interp
    gc.collect()
    with pytest.raises(ReferenceError):
        proxy.eval("expr 1+1")


def test_package_module_stands_for_the_default_interpreter():
    interp = orvex.tcl.default_interpreter()
    assert interp is orvex.tcl.default_interpreter()
    assert orvex.tcl.tk is interp.tk
    assert orvex.tcl.vars is interp.vars and orvex.tcl.history is interp.history
    assert orvex.tcl.cast_list("a {b c}") == ["a", "b c"]
    assert orvex.tcl.cast_boolean("yes") is True
    assert orvex.tcl.cast_array("k v") == {"k": "v"}
    assert orvex.tcl.cast_any("x") == "x"
    with pytest.raises(ValueError):
        orvex.tcl.cast_list("{")
    proxy = weakref.proxy(orvex.tcl)
    assert proxy.tk.eval("expr 2+2") == "4"

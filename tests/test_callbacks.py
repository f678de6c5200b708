"""Python callables run by Tcl: their exceptions become Tcl errors that Tcl
and Python both see in full; and the TclError of a failed call carries
::errorInfo and ::errorCode."""

from __future__ import annotations

import sys
import threading

import pytest

import orvex.tcl
from orvex.tcl import Interpreter, TclError
from orvex.tcl.namespace import TclCommand, TclNamespace, TempTclCommand


class Oops(Exception):
    pass


@pytest.fixture(autouse=True)
def nothing_kept():
    yield
    # A callback failure that Tcl caught stays with tkinter (its main loop
    # would raise it): none may reach another test's main loop.
    orvex.tcl._take_kept_exception()


@pytest.fixture
def tcl(tcl):
    # A proc between the quick call and the callback: the error passes through Tcl code.
    tcl.eval("proc py_call_through {name} { $name from-proc }")
    return tcl


FAILURES = [
    (lambda: int("x1"), "ValueError", "ValueError: invalid literal for int() with base 10: 'x1'"),
    (lambda: {}["k"], "KeyError", "KeyError: 'k'"),
    (lambda: 1 / 0, "ZeroDivisionError", "ZeroDivisionError: division by zero"),
    (lambda: Oops("ünïcode {and} [brackets] $x"), "Oops", "Oops: ünïcode {and} [brackets] $x"),
    (lambda: Oops(), "Oops", "Oops: "),
]


def failing(make):
    """A callback that raises what `make` raises (or returns), keeping it."""
    raised = []

    def callback(*args):
        try:
            error = make()
        except Exception as caught:
            error = caught
        raised.append(error)
        raise error

    callback.raised = raised
    return callback


@pytest.fixture(params=["createcommand", "TempTclCommand", "view"])
def register(request, tcl):
    """Each way of making a Python callable a Tcl command: its Tcl name."""
    holders = []

    def register(func):
        if request.param == "createcommand":
            TclCommand("::py_cmd", tcl=tcl).createcommand(func)
            return "::py_cmd"
        if request.param == "TempTclCommand":
            holders.append(TempTclCommand(func, tcl=tcl))
            return holders[-1].cmd_name
        space = TclNamespace("::py", tcl=tcl)
        space.create()
        space.cmds["cmd"] = func
        return "::py::cmd"

    yield register
    holders.clear()  # deleted (when made with a callable) while the interpreter lives


@pytest.mark.parametrize("make, type_name, message", FAILURES)
def test_a_callback_exception_is_a_tcl_error(tcl, register, make, type_name, message):
    callback = failing(make)
    name = register(callback)

    # Tcl sees the message, the Python traceback and the error code.
    caught = tcl.eval(
        f"list [catch {{{name} a b}} m opts] $m [dict get $opts -errorcode] $::errorCode"
    )
    assert tcl.cast_list(caught) == ["1", message, f"PYTHON {type_name}", f"PYTHON {type_name}"]
    info = tcl.vars["::errorInfo"]
    assert info.startswith("Traceback (most recent call last):\n")
    assert ", in callback\n    raise error\n" in info
    assert f'\n    invoked from within\n"{name} a b"' in info
    assert "tcl_callback" not in info and "in command" not in info  # no frames of the wrapper

    # Python sees a TclError with the exception as its cause.
    for run in (lambda: tcl.call(name, "a"), lambda: tcl.eval(f"{name} a")):
        with pytest.raises(TclError) as caught:
            run()
        error = caught.value
        assert error.args == (message,)
        assert error.errorcode == ("PYTHON", type_name)
        assert error.errorinfo.startswith("Traceback (most recent call last):\n")
        assert error.__cause__ is callback.raised[-1] and error.__cause__.__context__ is None
        # The cause's traceback begins in the callback, not in the machinery.
        assert error.__cause__.__traceback__.tb_frame.f_code is callback.__code__

    # A quick call: the one argument is ::errorInfo, the cause the exception.
    with pytest.raises(TclError) as caught:
        tcl.hux.py_call_through(name)
    error = caught.value
    assert error.args == (error.errorinfo,) and error.errorinfo.startswith("Traceback")
    assert error.errorcode == ("PYTHON", type_name)
    assert error.__cause__ is callback.raised[-1] and error.__suppress_context__

    # Taken out of tkinter, the exception does not come up again in a main loop.
    tcl.tk.mainloop()


def test_callbacks_keep_their_results_and_names(tcl):
    def pair(a, b="two"):
        """Give a pair."""
        return (a, b)

    with TempTclCommand(pair, tcl=tcl) as command:
        assert command.__name__ == "pair" and command.__doc__ == "Give a pair."
        assert command.__wrapped__ is pair
        assert tcl.call(command.cmd_name, "x") == ("x", "two")
        assert tcl.eval(f"{command.cmd_name} {{a b}} c") == "{a b} c"
        # A wrong number of arguments is the callback's TypeError, also a Tcl error.
        assert tcl.eval(f"catch {{{command.cmd_name}}} m; set ::errorCode") == "PYTHON TypeError"
    TclCommand("::answer", tcl=tcl).createcommand(lambda: 42)
    assert tcl.call("::answer") == 42 and tcl.hux.answer() == 42
    # Registered callables are still no procs.
    assert TclCommand("::answer", tcl=tcl).is_command()


def test_the_exception_of_a_nested_callback(tcl):
    inner = failing(lambda: Oops("deep"))
    TclCommand("::inner", tcl=tcl).createcommand(inner)
    TclCommand("::outer", tcl=tcl).createcommand(lambda: tcl.call("::inner"))
    with pytest.raises(TclError) as caught:
        tcl.call("::outer")
    outer_error = caught.value
    assert outer_error.args == ("TclError: Oops: deep",)
    assert outer_error.errorcode == ("PYTHON", "TclError")
    middle = outer_error.__cause__
    assert isinstance(middle, TclError) and middle.args == ("Oops: deep",)
    assert middle.__cause__ is inner.raised[-1]
    tcl.tk.mainloop()


def test_interrupts_are_not_turned_into_errors(tcl):
    def interrupted():
        raise KeyboardInterrupt

    TclCommand("::interrupted", tcl=tcl).createcommand(interrupted)
    with pytest.raises(KeyboardInterrupt):
        tcl.call("::interrupted")
    with pytest.raises(KeyboardInterrupt):
        tcl.hux.interrupted()
    tcl.tk.mainloop()


# --- TclErrors with errorinfo and errorcode ------------------------------------


def test_tcl_errors_carry_errorinfo_and_errorcode(tcl):
    tcl.eval("proc fail {} { error boom {} {MY CODE {two words}} }")
    for run in (lambda: tcl.call("fail"), lambda: tcl.eval("fail"), lambda: tcl.hux.fail()):
        with pytest.raises(TclError) as caught:
            run()
        error = caught.value
        assert error.errorcode == ("MY", "CODE", "two words")
        assert error.errorinfo == tcl.vars["::errorInfo"]
        assert error.errorinfo.startswith("boom\n    while executing\n")
        assert error.__cause__ is None
    assert caught.value.args == (caught.value.errorinfo,) and caught.value.__suppress_context__
    with pytest.raises(TclError) as caught:
        tcl.call("expr", "1/0")
    assert caught.value.args == ("divide by zero",)
    assert caught.value.errorcode == ("ARITH", "DIVZERO", "divide by zero")
    with pytest.raises(TclError) as caught:
        tcl.eval("no_such_command")
    assert caught.value.errorcode == ("TCL", "LOOKUP", "COMMAND", "no_such_command")


def test_only_a_callback_failure_gives_a_cause(tcl):
    # An error code that merely looks like a callback's: no cause, as before.
    tcl.eval("proc fake {} { error {ValueError: no} {} {PYTHON ValueError} }")
    with pytest.raises(TclError) as caught:
        tcl.hux.fake()
    assert caught.value.errorcode == ("PYTHON", "ValueError")
    assert caught.value.__cause__ is None and caught.value.__suppress_context__
    with pytest.raises(TclError) as caught:
        tcl.call("fake")
    assert caught.value.__cause__ is None
    # A callback failure caught inside Tcl is not the cause of a later error.
    failing_callback = failing(lambda: Oops("caught in Tcl"))
    TclCommand("::quiet", tcl=tcl).createcommand(failing_callback)
    assert tcl.eval("catch quiet") == "1"
    with pytest.raises(TclError) as caught:
        tcl.call("fake")
    assert caught.value.__cause__ is None


def test_a_failing_call_inside_an_except_block_keeps_its_context(tcl):
    try:
        raise LookupError("outer")
    except LookupError:
        with pytest.raises(TclError) as caught:
            tcl.call("error", "inner")
    assert isinstance(caught.value.__context__, LookupError)
    assert not caught.value.__suppress_context__


def test_errors_from_doubles_without_error_code():
    # An interpreter double whose vars hold ::errorInfo alone: errorcode ().
    from orvex.tcl.hux import Hux_Code

    class Double:
        history, vars = [], {"::errorInfo": "trace"}

        def __init__(self):
            self.tk = self

        def call(self, *words):
            raise TclError("failed")

    with pytest.raises(TclError) as caught:
        Hux_Code("x", tcl=Double())()
    assert caught.value.args == ("trace",)
    assert caught.value.errorinfo == "trace" and caught.value.errorcode == ()


def test_the_main_loop_is_left_clean(tcl):
    # What tkinter kept of a callback failure is gone once Python has the TclError.
    TclCommand("::bad", tcl=tcl).createcommand(failing(lambda: Oops("once")))
    with pytest.raises(TclError):
        tcl.call("bad")
    tcl.tk.mainloop()  # would raise Oops('once') had it been left there
    assert sys.exc_info() == (None, None, None)


@pytest.mark.slow  # thousands of tracebacks; under the sanitizers counted by tracemalloc, too coarsely
def test_failing_callbacks_leak_nothing(no_leak):
    tcl = Interpreter(history_limit=1)

    def bad():
        raise Oops("again")

    TclCommand("::bad", tcl=tcl).createcommand(bad)

    def fail_in_python():
        with pytest.raises(TclError) as caught:
            tcl.hux.bad()
        assert isinstance(caught.value.__cause__, Oops)

    def fail_in_tcl():
        tcl.eval("catch bad")

    def register():
        with TempTclCommand(lambda: None, tcl=tcl):
            pass

    for operation in (fail_in_python, fail_in_tcl, register):
        no_leak(operation, iterations=500)


def test_a_running_main_loop_keeps_serving_other_threads(tcl):
    # A callback failure reported to Python inside a running main loop: the
    # loop carries on, serving calls from other threads as before.
    def fail():
        raise Oops("in the loop")

    seen = []
    handled = threading.Event()

    def handler():
        with pytest.raises(TclError) as caught:
            tcl.call("fail_in_loop")
        seen.append(type(caught.value.__cause__))
        handled.set()

    def worker():
        handled.wait(5)
        try:
            seen.append(tcl.tk.call("set", "from_thread", "yes"))
        except Exception as error:  # RuntimeError: main thread is not in main loop
            seen.append(error)
        tcl.tk.call("after", 0, "stop")

    TclCommand("::fail_in_loop", tcl=tcl).createcommand(fail)
    TclCommand("::handler", tcl=tcl).createcommand(handler)
    TclCommand("::stop", tcl=tcl).createcommand(tcl.tk.quit)
    tcl.eval("after 10 handler; after 10000 stop")
    thread = threading.Thread(target=worker)
    thread.start()
    tcl.tk.mainloop(-1)  # (-1: loop even with no Tk window) until `stop`
    thread.join()
    assert seen == [Oops, "yes"]

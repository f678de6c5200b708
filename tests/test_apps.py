"""The package on the interpreter of an existing tkinter application: a
tkinter.Tcl(), and a Tk GUI under a real X server (Xvfb)."""

from __future__ import annotations

import os
import shutil
import subprocess
import time
import tkinter

import pytest

from orvex.tcl import Interpreter, TclError
from orvex.tcl.kelvor import Kelvor
from orvex.tcl.namespace import TclCommand, TclVariable


def _free_display() -> int:
    for number in range(90, 190):
        if not os.path.exists(f"/tmp/.X{number}-lock") and not os.path.exists(
            f"/tmp/.X11-unix/X{number}"
        ):
            return number
    raise RuntimeError("no free X display number")


@pytest.fixture(scope="session")
def display():
    """The name of a display of an Xvfb server started for these tests.

    It runs to the end of the session: Tk keeps its connection to the
    display after the last window is gone, and Xlib ends the process when
    that connection breaks."""
    xvfb = shutil.which("Xvfb")
    if xvfb is None:
        pytest.skip("Xvfb is not installed (Debian package xvfb; `make system` installs it)")
    number = _free_display()
    server = subprocess.Popen(
        [xvfb, f":{number}", "-screen", "0", "800x600x24", "-nolisten", "tcp"],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    try:
        deadline = time.monotonic() + 10
        while not os.path.exists(f"/tmp/.X11-unix/X{number}"):
            if server.poll() is not None or time.monotonic() > deadline:
                pytest.skip(f"Xvfb did not start on display :{number}")
            time.sleep(0.05)
        yield f":{number}"
    finally:
        server.terminate()
        server.wait(timeout=10)


@pytest.fixture
def root(display):
    root = tkinter.Tk(screenName=display)
    yield root
    root.destroy()


def test_wrapping_a_tk_gui(root):
    tcl = Interpreter(app=root)
    assert tcl.tk is root.tk  # no interpreter of its own
    assert tcl.eval("winfo exists .") == "1"
    root.tk.setvar("title", "orvex")
    assert tcl.vars["title"] == "orvex" and tcl.hux.set("title") == "orvex"
    assert tcl.history[-1] == ["set", "title"]
    assert TclVariable("title", tcl=tcl).get() == "orvex"
    assert Interpreter(app=root.tk).tk is root.tk

    # A button whose command is a Python callable registered through the package.
    clicks = []
    TclCommand("::clicked", tcl=tcl).createcommand(lambda: clicks.append(1) or len(clicks))
    button = tkinter.Button(root, text="go", command="::clicked")
    button.pack()
    root.update()
    assert tcl.call(str(button), "invoke") == 1 and clicks == [1]

    # One that fails: seen from Python with its cause ...
    def fail():
        raise LookupError("no such thing")

    TclCommand("::broken", tcl=tcl).createcommand(fail)
    button.configure(command="::broken")
    with pytest.raises(TclError) as caught:
        tcl.call(str(button), "invoke")
    assert caught.value.args == ("LookupError: no such thing",)
    assert isinstance(caught.value.__cause__, LookupError)
    # ... and the GUI's main loop runs on, with nothing left over to raise.
    root.after(20, root.quit)
    root.mainloop()


def test_wrapping_a_tcl_app():
    app = tkinter.Tcl()
    app.eval("set shared 1")
    for tcl in (Interpreter(app=app), Interpreter(app.tk, tclx=True, history_limit=2)):
        assert tcl.tk is app.tk and tcl.eval("set shared") == "1"
    app.eval("keylset k a.b 1")  # TclX, loaded by the second
    assert isinstance(tcl.cast_any(app.tk.getvar("k")), Kelvor)
    assert tcl.history.maxlen == 2


def test_only_tkinter_applications_are_wrapped():
    for wrong in ("interp0", 1, True, object(), Interpreter()):
        with pytest.raises(TypeError, match=r"app must be a tkinter application .* not "):
            Interpreter(wrong)
    with pytest.raises(TypeError):
        Interpreter(None, True)  # tclx and history_limit only by keyword
    with pytest.raises(TypeError):
        Interpreter(app=None, tclx=False, history=3)

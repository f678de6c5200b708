"""Shared fixtures: real Tcl interpreters (through tkinter), with and without
TclX, and the leak check."""

from __future__ import annotations

import gc
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

from leakcheck import assert_no_leak  # noqa: E402

import orvex.tcl  # noqa: E402
from orvex.tcl import Interpreter, TclError  # noqa: E402


def _tclx_missing() -> str | None:
    """Why TclX cannot be loaded here, or None when it can."""
    try:
        Interpreter().tk.eval("package require Tclx")
    except TclError as error:
        return (
            f"TclX is not installed ({error}); install it, e.g. Debian's tclx8.4,"
            " to run the keyed-list tests against TclX"
        )
    return None


TCLX_MISSING = _tclx_missing()


def pytest_report_header(config):
    return [
        f"orvex.tcl {orvex.tcl.__version__} from {os.path.dirname(orvex.tcl.__file__)}",
        f"TclX: {'missing' if TCLX_MISSING else 'available'}",
    ]


def pytest_collection_modifyitems(config, items):
    # Tests that need TclX (the tclx fixture, or the tclx mark) skip without it.
    if TCLX_MISSING:
        skip = pytest.mark.skip(reason=TCLX_MISSING)
        for item in items:
            if "tclx" in getattr(item, "fixturenames", ()) or item.get_closest_marker("tclx"):
                item.add_marker(skip)


@pytest.fixture
def tcl() -> Interpreter:
    """A fresh interpreter of its own for each test."""
    interp = Interpreter()
    yield interp
    del interp
    gc.collect()


@pytest.fixture
def tclx() -> Interpreter:
    """A fresh interpreter with TclX loaded."""
    if TCLX_MISSING:
        pytest.skip(TCLX_MISSING)
    return Interpreter(tclx=True)


@pytest.fixture
def no_leak():
    """The reference-leak check: ``no_leak(lambda: operation())``."""
    return assert_no_leak

"""Shared fixtures: real Tcl interpreters (through tkinter), with and without
TclX, and the leak check."""

from __future__ import annotations

import gc
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

from leakcheck import assert_no_leak  # noqa: E402

from orvex.tcl import Interpreter  # noqa: E402


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
    return Interpreter(tclx=True)


@pytest.fixture
def no_leak():
    """The reference-leak check: ``no_leak(lambda: operation())``."""
    return assert_no_leak

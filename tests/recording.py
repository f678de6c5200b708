"""A recording double for the tests that must check the exact words sent:
a real interpreter whose Tcl application object records every operation
(and its arguments) before passing it on."""

from __future__ import annotations

from orvex.tcl import Interpreter


class RecordingTk:
    """Forwards every operation to a real Tcl application object and records
    the exact arguments it was given, as (operation, *args)."""

    def __init__(self, tk):
        self._tk = tk
        self.sent = []

    def __getattr__(self, operation):
        real = getattr(self._tk, operation)

        def record(*args):
            self.sent.append((operation, *args))
            return real(*args)

        return record


class RecordingInterpreter:
    """A real interpreter (a new one, or `real`) whose `tk` records what the
    handles send; the casts are the real interpreter's own."""

    def __init__(self, real: Interpreter | None = None):
        self.real = real if real is not None else Interpreter()
        self.tk = RecordingTk(self.real.tk)
        for cast in ("cast_boolean", "cast_list", "cast_array", "cast_any"):
            setattr(self, cast, getattr(self.real, cast))

    @property
    def sent(self):
        return self.tk.sent

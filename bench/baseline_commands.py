"""TclCommand written as plain Python: the yardstick for the C++ class.

The same behaviour on the paths the benchmark takes (construction, building
the word tuple, call, eval, the log line); the queries and the temporary
class are left out.  It uses the same `sorvan` and `tclobj` as the C++ class,
so the comparison measures only the class's own work.
"""

from __future__ import annotations

import weakref

from orvex.tcl.sorvan import sorvan, tclobj


class TclCommand(object):
    def __init__(self, cmd, args=None, keywords=None, tcl=None, cast=None, logger=None):
        super(TclCommand, self).__init__()
        import orvex.tcl

        if not tcl:
            tcl = orvex.tcl
        if type(tcl) not in weakref.ProxyTypes:
            tcl = weakref.proxy(tcl)
        self.tcl = tcl
        if args is None:
            if isinstance(cmd, TclCommand):
                cmd = cmd.build_tclcmd()
            elif type(cmd) is not tuple:
                cmd = orvex.tcl.cast_list(cmd)
            args = cmd[1:]
            cmd = cmd[0]
        else:
            args = orvex.tcl.cast_list(args)
            if isinstance(cmd, TclCommand):
                cmd = cmd.build_tclcmd(*args)
                args = cmd[1:]
                cmd = cmd[0]
        self.cmd_name = sorvan(cmd)
        self.args = tclobj(args)
        self.keywords = {}
        if keywords:
            for k, v in keywords.items():
                self.keywords[k] = tclobj(v)
        self.cast = cast
        self.logger = logger

    def build_tclcmd(self, *args, **kwargs):
        words = (self.cmd_name,) + self.args + tclobj(args)
        if kwargs:
            keywords = self.keywords.copy()
            for k, v in kwargs.items():
                keywords[k] = tclobj(v)
        else:
            keywords = self.keywords
        return words + self.kwargs_to_dashed_args(**keywords)

    @staticmethod
    def kwargs_to_dashed_args(**kwargs):
        result = ()
        for k, v in kwargs.items():
            result += ("-" + k, v)
        return result

    def call(self, *args, **kwargs):
        words = self.build_tclcmd(*args, **kwargs)
        if self.logger:
            self.logger.info(f"Calling: {sorvan(words)}")
        result = self.tcl.tk.call(words)
        if self.cast:
            result = self.cast(result)
        return result

    def __call__(self, *args, **kwargs):
        return self.call(*args, **kwargs)

    def eval(self, *args, **kwargs):
        words = self.build_tclcmd(*args, **kwargs)
        script = sorvan(words)
        if script.startswith("#"):
            script = "\\" + script
        result = self.tcl.tk.eval(script)
        if self.cast:
            result = self.cast(result)
        return result

"""orvex: a Python framework whose ``orvex.tcl`` package bridges Python and Tcl."""

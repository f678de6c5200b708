"""Sphinx configuration: the API reference, read from the package's sources
and stubs (the C++ modules' documentation lives in their .pyi files)."""

import re
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
VERSION_FILE = ROOT / "src" / "orvex" / "tcl" / "_version.py"

project = "orvex.tcl"
author = "The orvex.tcl authors"
copyright = "2026, The orvex.tcl authors"
release = re.search(r'__version__ = "([^"]+)"', VERSION_FILE.read_text()).group(1)
version = release

extensions = ["autoapi.extension"]

autoapi_type = "python"
autoapi_dirs = [str(ROOT / "src")]
# Stubs win over sources: the extension modules have nothing else.
autoapi_file_patterns = ["*.pyi", "*.py"]
autoapi_options = [
    "members",
    "undoc-members",
    "show-inheritance",
    "special-members",
    "imported-members",
]
autoapi_member_order = "bysource"
autoapi_add_toctree_entry = False
autoapi_keep_files = False
autoapi_python_class_content = "both"

default_role = "py:obj"
nitpicky = False

html_theme = "alabaster"
html_title = f"orvex.tcl {release}"
exclude_patterns = ["_build"]

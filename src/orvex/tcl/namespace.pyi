"""Python handles on Tcl namespaces, variables, arrays and commands.

Every handle holds a name and the interpreter (as a weak proxy; without
``tcl`` the package module `orvex.tcl` and its default interpreter) and sends
its Tcl command when an operation is called; nothing is cached.  The ``Temp``
variants name themselves uniquely and remove their Tcl entity when their
``with`` block ends.
"""

from collections.abc import Callable, Iterable, Iterator, Mapping, MutableMapping
from typing import Any, ClassVar, Literal, Self

from typing_extensions import disjoint_base

from orvex.tcl._typing import TclHost

__all__ = (
    "TclVariable",
    "TempTclVariable",
    "TclArrayVariable",
    "TempTclArrayVariable",
    "TclCommand",
    "TempTclCommand",
    "TclNamespace",
    "TempTclNamespace",
)

type _Cast = Callable[[Any], Any]

# --- variables and arrays -----------------------------------------------------------

class TclVariable:
    """A Tcl variable (scalar, array or array element) of one interpreter.

    ``TclVariable('x')`` is the variable ``x``; ``TclVariable('a', 'i')`` the
    element ``a(i)``.  ``cast`` is applied to what `get_obj` reads.
    """

    tcl: TclHost
    """The interpreter, held as a weak proxy."""
    cast: _Cast | None
    """The default cast of `get_obj`."""
    var_name: str
    """The variable's name, or ``name(index)`` for an array element."""
    _TclVariable__marker: ClassVar[object]

    def __init__(
        self,
        var_name: object,
        array_index: object = None,
        tcl: TclHost | None = None,
        cast: _Cast | None = None,
    ) -> None: ...
    def get_obj(self, array_index: object = None, cast: _Cast | None = ...) -> Any:
        """The value as the interpreter returns it, passed through ``cast``
        (by default the variable's own; None: no cast)."""

    def get_str(self, array_index: object = None) -> str:
        """The value as Tcl text."""
    get = get_obj
    def set(self, value: object, array_index: object = None) -> Any:
        """Set the variable (or the element ``array_index``); Tcl's result."""

    def unset(self, array_index: object = None, nocomplain: bool = False) -> None:
        """Unset the variable or element; a missing one raises TclError unless ``nocomplain``."""

    def exists(self, array_index: object = None) -> bool:
        """Whether the variable (or the element ``array_index``) exists."""

    def array_item_byref(self, array_index: object, cast: _Cast | None = None) -> TclVariable:
        """A handle on the element ``array_index`` of this array."""

    def array_get_obj(self, pattern: object = None) -> Any:
        """``array get`` (elements matching the glob ``pattern``), cast by the
        interpreter's ``cast_array``."""

    def array_get_str(self, pattern: object = None) -> Any:
        """``array get`` evaluated as a script, so values come back as text;
        cast by the interpreter's ``cast_array``."""
    array_get = array_get_obj
    def array_set(self, value: object) -> None:
        """``array set`` from a mapping, or a list of name/value pairs."""

    def array_unset(self, pattern: object = None) -> None:
        """``array unset`` (the elements matching ``pattern``, or the whole array)."""

    def array_size(self) -> Any:
        """``array size``, as the interpreter returns it."""

    def array_names(self, pattern: object = None) -> list[str]:
        """The element names (those matching the glob ``pattern``)."""

    def is_array(self) -> bool:
        """Whether the variable is an array."""

    def absolute(self) -> str:
        """The fully qualified name (in the current namespace when relative)."""

    def make_absolute(self) -> None:
        """Replace the name with `absolute`'s."""

    def __tclobj__(self) -> str:
        """The variable's name, for use as a Tcl word."""

class TempTclVariable(TclVariable):
    """A variable under a name of its own, unset when its `with` block ends."""

    def __init__(self, var_name: str = "::__orvex__{cls}_{id}_tmp", **kwargs: Any) -> None:
        """``var_name`` is a template: ``{cls}`` and ``{id}`` are filled in."""

    def __enter__(self) -> Self: ...
    def __exit__(self, *args: object) -> Literal[False] | Any:
        """Unset the variable (no complaint when it does not exist)."""

class TclArrayVariable(MutableMapping[str, Any], TclVariable):  # type: ignore[misc]
    """A Tcl array, as a mutable mapping of element names to values."""

    def __init__(
        self, var_name: object, tcl: TclHost | None = None, cast: _Cast | None = None
    ) -> None: ...
    def __len__(self) -> int:
        """``array size``."""

    def __iter__(self) -> Iterator[str]:
        """The element names (read once, when iteration starts)."""

    def __contains__(self, key: object) -> bool:
        """Whether the element exists."""

    def __getitem__(self, key: str) -> Any:
        """The element's value, through the default cast."""

    def __setitem__(self, key: str, value: Any) -> None:
        """Set the element."""

    def __delitem__(self, key: str) -> None:
        """Unset the element."""

    def clear(self) -> None:
        """Unset the whole array."""

    def update(self, *args: Mapping[str, Any] | Iterable[tuple[str, Any]], **kwargs: Any) -> None:  # type: ignore[override]
        """Set many elements with one ``array set``."""

class TempTclArrayVariable(TempTclVariable, TclArrayVariable):  # type: ignore[misc]
    """An array under a name of its own, unset when its `with` block ends."""

    def __init__(self, var_name: str = "::__orvex__{cls}_{id}_tmp", **kwargs: Any) -> None:
        """``var_name`` is a template: ``{cls}`` and ``{id}`` are filled in."""

# --- commands -------------------------------------------------------------------------

@disjoint_base
class TclCommand:
    """A Tcl command of one interpreter, callable from Python.

    ``args`` and ``keywords`` are bound in front: ``TclCommand('cmd', ('a',),
    {'opt': 1})(x, k=2)`` runs ``cmd a x -opt 1 -k 2``.  ``cast`` is applied to
    every result; ``logger.info`` receives one line for every `call`.
    """

    tcl: TclHost
    """The interpreter, held as a weak proxy."""
    cmd_name: str
    """The command's name."""
    args: tuple[Any, ...]
    """Arguments placed right after the name in every call."""
    keywords: dict[str, Any]
    """Options (names without the dash) placed after all arguments in every call."""
    cast: _Cast | None
    """Applied to the result of every `call` and `eval`."""
    logger: Any
    """Receives ``logger.info("Calling: ...")`` for every `call`."""

    def __init__(
        self,
        cmd: object,
        args: Iterable[Any] | None = None,
        keywords: Mapping[str, Any] | None = None,
        tcl: TclHost | None = None,
        cast: _Cast | None = None,
        logger: Any = None,
    ) -> None:
        """``cmd``: a name, a word sequence (name and bound arguments) or a TclCommand."""

    def createcommand(self, func: Callable[..., Any]) -> None:
        """Make the Python callable ``func`` the Tcl command of this name."""

    def exists(self) -> bool:
        """Whether a command of this name exists."""

    def is_command(self) -> bool:
        """Whether a command of this name exists."""

    def is_proc(self) -> bool:
        """Whether the command is a Tcl procedure."""

    def rename(self, new_name: object) -> None:
        """Rename the Tcl command and follow it."""

    def delete(self) -> None:
        """Delete the Tcl command."""

    def origin(self) -> Any:
        """``namespace origin``: the command's original name, after imports."""

    def proc_body(self) -> Any:
        """The procedure's body."""

    def proc_args(self) -> list[str]:
        """The procedure's argument names."""

    def proc_arg_default(self, arg_name: object) -> Any:
        """The default value of a procedure argument, or None when it has none."""

    def build_tclcmd(self, *args: object, **kwargs: object) -> tuple[Any, ...]:
        """The words of one call: name, bound and given arguments, then the options."""

    @staticmethod
    def kwargs_to_dashed_args(**kwargs: object) -> tuple[Any, ...]:
        """``-name value`` words for each keyword, in order."""

    def call(self, *args: object, **kwargs: object) -> Any:
        """Run the command with these arguments and options (``-name value``)."""

    def __call__(self, *args: object, **kwargs: object) -> Any:
        """`call`."""

    def eval(self, *args: object, **kwargs: object) -> Any:
        """Run the command as a script (its words joined as Tcl text)."""

    def absolute(self) -> str:
        """The fully qualified name (in the current namespace when relative)."""

    def make_absolute(self) -> None:
        """Replace the name with `absolute`'s."""

    def __tclobj__(self) -> tuple[Any, ...]:
        """The command's words, for use as a Tcl list."""

    def __get__(self, instance: object, owner: type | None = None, /) -> Any:
        """On an instance: a bound method that passes the instance first."""

class TempTclCommand(TclCommand):
    """A command under a name of its own, deleted when its `with` block ends."""

    def __init__(
        self,
        func: Callable[..., Any] | None = None,
        cmd_name: str = "::__orvex__{cls}_{id}_tmp",
        **kwargs: Any,
    ) -> None:
        """With ``func``, it is registered as the command at once.

        ``cmd_name`` is a template: ``{cls}`` and ``{id}`` are filled in.
        """

    def __enter__(self) -> Self: ...
    def __exit__(self, *args: object) -> Literal[False] | Any:
        """Delete the command (no complaint when it is gone)."""

    def __del__(self) -> None: ...

# --- namespaces and their views -------------------------------------------------------

class TclNamespace:
    """A Tcl namespace of one interpreter (the empty name: the current one).

    `vars`, `objs`, `procs` and `cmds` show its contents as mappings.  The
    static methods work on qualified names without an interpreter.
    """

    ns: str
    """The namespace's name."""
    tcl: TclHost
    """The interpreter, held as a weak proxy."""
    vars: TclNamespace.VariablesView
    """The namespace's variables, values as text."""
    objs: TclNamespace.ObjectsView
    """The namespace's variables, values as the interpreter returns them."""
    procs: TclNamespace.ProcsView
    """The namespace's procedures, as TclCommand objects."""
    cmds: TclNamespace.CommandsView
    """The namespace's commands, as TclCommand objects."""

    def __init__(self, ns: object, tcl: TclHost | None = None) -> None: ...
    def children(self, pattern: object = None) -> list[str]:
        """The child namespaces (those matching the glob ``pattern``)."""

    def code(self, script: object) -> Any:
        """``namespace code``: the script wrapped to run in this namespace."""

    def current(self) -> Any:
        """The interpreter's current namespace."""

    def create(self) -> None:
        """Create the namespace."""

    def delete(self) -> None:
        """Delete the namespace and everything in it."""

    def eval(self, tclcmd: object, *args: object) -> Any:
        """Evaluate a script (its words joined as text) in the namespace."""

    def call(self, tclcmd: object, *args: object) -> Any:
        """Run one command (each argument one word) in the namespace."""

    def exists(self) -> bool:
        """Whether the namespace exists."""

    def export(self, clear: bool = False, *patterns: object) -> list[str] | None:
        """``namespace export``: the export patterns when none is given."""

    def forget(self, *patterns: object) -> None:
        """``namespace forget`` imported commands."""

    def import_(self, force: bool = False, *patterns: object) -> None:
        """``namespace import`` commands into this namespace."""

    def origin(self, command: object) -> Any:
        """``namespace origin`` of a command, seen from this namespace."""

    def parent(self, force_eval: bool = False) -> Any:
        """The parent namespace's name."""

    def which(self, name: object, command: bool = False, variable: bool = False) -> Any:
        """``namespace which``: the fully qualified name a command (or
        variable) name resolves to in this namespace."""

    def is_absolute(self) -> bool | str:
        """Whether the name begins with ``::``."""

    def is_relative(self) -> bool | str:
        """Whether the name does not begin with ``::``."""

    def absolute(self) -> str:
        """The fully qualified name (in the current namespace when relative)."""

    def make_absolute(self) -> None:
        """Replace the name with `absolute`'s."""

    @staticmethod
    def qualifiers(string: object) -> str:
        """Everything before the last ``::`` (``namespace qualifiers``)."""

    @staticmethod
    def tail(string: object) -> str:
        """Everything after the last ``::`` (``namespace tail``)."""

    @staticmethod
    def join(string: object, *args: object) -> str:
        """Join names with ``::``."""

    @staticmethod
    def split(string: object) -> list[str]:
        """The components of a qualified name."""

    @staticmethod
    def normalize(string: object) -> str:
        """The name with repeated separators collapsed; invalid names raise ValueError."""

    class VariablesView(MutableMapping[str, Any]):
        """The namespace's variables: names to values as text."""

        ns: TclNamespace
        """The namespace viewed."""

        def __init__(self, ns: TclNamespace) -> None: ...
        def byref(self, var_name: object, *args: Any, **kwargs: Any) -> TclVariable:
            """A handle on the variable ``var_name`` of this namespace."""

        def array_byref(self, var_name: object, *args: Any, **kwargs: Any) -> TclArrayVariable:
            """A handle on the array ``var_name`` of this namespace."""

        def get(self, var_name: object) -> Any:  # type: ignore[override]
            """The variable's value."""

        def set(self, var_name: object, value: object, array_index: object = None) -> Any:
            """Set the variable (or an element of it)."""

        def unset(
            self, var_name: object, array_index: object = None, nocomplain: bool = False
        ) -> None:
            """Unset the variable (or an element of it)."""

        def array_get(self, var_name: object, pattern: object = None) -> Any:
            """``array get`` of the array ``var_name``."""

        def array_set(self, var_name: object, value: object) -> None:
            """``array set`` of the array ``var_name``."""

        def array_unset(self, var_name: object, pattern: object = None) -> None:
            """``array unset`` of the array ``var_name``."""

        def array_names(self, var_name: object, pattern: object = None) -> list[str]:
            """The element names of the array ``var_name``."""

        def is_array(self, var_name: object) -> bool:
            """Whether the variable is an array."""

        def exists(self, var_name: object, array_index: object = None) -> bool:
            """Whether the variable (or an element of it) exists."""

        def __getitem__(self, var_name: str) -> Any: ...
        def __contains__(self, var_name: object) -> bool: ...
        def __setitem__(self, var_name: str, value: Any) -> None: ...
        def __delitem__(self, var_name: str) -> None: ...
        def __len__(self) -> int: ...
        def __iter__(self) -> Iterator[str]: ...

    class ObjectsView(VariablesView):
        """The namespace's variables: names to values as objects."""

        def get(self, var_name: object, array_index: object = None) -> Any:
            """The variable's (or element's) value, as the interpreter returns it."""

        def array_get(self, var_name: object, pattern: object = None) -> Any:
            """``array get`` of the array ``var_name``, values as objects."""

    class CommandsView(MutableMapping[str, Any]):
        """The namespace's commands: names to TclCommand objects."""

        ns: TclNamespace
        """The namespace viewed."""

        def __init__(self, ns: TclNamespace) -> None: ...
        def byref(self, cmd_name: object, *args: Any, **kwargs: Any) -> TclCommand:
            """A handle on the command ``cmd_name`` of this namespace."""

        def exists(self, cmd_name: object) -> bool:
            """Whether the command exists."""

        def createcommand(self, cmd_name: object, func: Callable[..., Any]) -> None:
            """Make the Python callable ``func`` a command of this namespace."""

        def delete(self, cmd_name: object) -> None:
            """Delete the command."""

        def rename(self, cmd_name: object, new_name: object) -> None:
            """Rename the command."""

        def origin(self, cmd_name: object) -> Any:
            """``namespace origin`` of the command."""

        def proc_body(self, cmd_name: object) -> Any:
            """The procedure's body."""

        def proc_args(self, cmd_name: object) -> list[str]:
            """The procedure's argument names."""

        def proc_arg_default(self, cmd_name: object, arg_name: object) -> Any:
            """The default of a procedure argument, or None."""

        def __getitem__(self, cmd_name: str) -> TclCommand: ...
        def __contains__(self, cmd_name: object) -> bool: ...
        def __setitem__(self, cmd_name: str, func: Callable[..., Any]) -> None: ...
        def __delitem__(self, cmd_name: str) -> None: ...
        def __len__(self) -> int: ...
        def __iter__(self) -> Iterator[str]: ...

    class ProcsView(CommandsView):
        """The namespace's procedures: names to TclCommand objects."""

        def exists(self, cmd_name: object) -> bool:
            """Whether the procedure exists."""

class TempTclNamespace(TclNamespace):
    """A namespace under a name of its own, created on entering a `with`
    block and deleted on leaving it."""

    def __init__(self, ns: str = "::__orvex__{cls}_{id}_tmp", **kwargs: Any) -> None:
        """``ns`` is a template: ``{cls}`` and ``{id}`` are filled in."""

    def __enter__(self) -> Self:
        """Create the namespace."""

    def __exit__(self, *exc_info: object) -> Any:
        """Delete the namespace."""

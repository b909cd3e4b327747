"""TindralXL's Python side: the worksheet function registry and the agent entry.

The add-in reads ``_registry`` after importing this package and every module of
its ``modules`` folder. Each entry is a plain ``(name, function, arg_count)``
tuple, with a fourth item, the conversion kinds, when the function has
annotations; register functions with the ``xl_function`` decorator rather than by
editing the list::

    from tindral_xl import xl_function

    @xl_function
    def add(a, b):
        return a + b

    @xl_function(name="GREET")
    def greet(who=None):
        return "Hello, %s!" % (who or "world")

How values arrive: numbers as ``float`` (also whole ones), text as ``str``,
booleans as ``bool``, and empty cells, omitted arguments and error values as
``None``. A range (or an array constant) arrives as a list of rows, each a list
of values by those rules, always two-dimensional: ``A1:A3`` is
``[[1.0], [2.0], [3.0]]`` and a single cell given as a range is ``[[x]]``.
The add-in always calls with exactly as many positional arguments as the
function was registered with; a parameter with a default
(``def power_of(x, p=2)``) takes its default when its argument is omitted or
empty, so ``=POWER_OF(3)`` gives 9. An error value is not an omission: it
arrives as ``None`` even where the parameter has a default, so
``=POWER_OF(3, NA())`` is not 9 (here it raises, and the cell shows #VALUE!). ``*args`` and ``**kwargs`` are refused
unless ``args=`` says how many arguments Excel passes. Dates arrive as their
serial numbers; ``from_excel_date`` turns one into a ``datetime``.

Annotated parameters are converted by the add-in instead, in C, by a kind
decided when the function is registered: ``x: float``, ``n: int`` (whole
numbers only), ``b: bool``, ``s: str``, ``d: datetime.date`` (or
``datetime.datetime``) from its serial, ``xs: list[float]`` (one row or
column) or ``list[list[float]]`` (rows), ``a: Array`` (the range as one
buffer of doubles), and ``Optional[T]`` for an argument that may be left out.
A value that does not convert shows #VALUE! and the log names the argument.
A return annotation (``-> float``, ``-> int``, ``-> bool``, ``-> str``,
``-> datetime.date``) is enforced.

What comes back: ``None`` is an empty cell, ``bool``, ``int`` and ``float`` are
values (a NaN or infinite ``float`` shows #NUM!), ``str`` is text (at most
32,767 UTF-16 units are shown), a ``datetime.date`` or ``datetime.datetime`` is
its serial number (format the cell as a date). A ``list`` or ``tuple`` spills
as an array: a list of rows is a table, short rows padded with #N/A; a flat
list is one row; an empty list is #N/A (a subclass of these types shows its
``repr``). An object exporting a buffer of doubles (a memoryview,
``array.array('d')``) spills its numbers the same way. Raising shows #VALUE!
and the message goes to the add-in's log; ``=TINDRAL.ERROR(B3)`` shows the
message of cell B3's last error.

Any other result (a dict, a set, an object of your own class) is kept in the
add-in's object store and the cell shows its handle, such as ``<Model #12>``;
given to another worksheet function, that cell's handle arrives as the object
itself. See ``tindral_xl.objects``.

An ``async def`` is an asynchronous worksheet function: Excel calls it,
gets no value back at once and goes on (the sheet stays responsive; the
cell waits), while the coroutine runs on the add-in's event loop, a thread
of its own; its result, converted by the rules above, then fills the cell.
Many such cells wait at the same time, so a hundred calls that each
``await asyncio.sleep(0.5)`` take about half a second in all. A cancelled
calculation (Esc) cancels the coroutines still running. Such a function takes
at most 9 arguments (Excel's handle takes the tenth position)::

    import asyncio

    @xl_function
    async def slow_square(x):
        await asyncio.sleep(0.5)
        return x * x
"""

import datetime
import math
import os
import sys

_registry = []
# Function-wizard categories given with xl_function(category=...), by name;
# a name without one shows under its module's name.
_categories = {}


def _read_version():
    """The release number, from the one file VERSION at the repository's top.

    Where an add-in folder is laid out, the build's copy of it sits beside
    this file as _version.py; straight from a source checkout it is read from
    VERSION itself. "unknown" when neither is there.
    """
    try:
        from ._version import __version__ as version
        return version
    except ImportError:
        pass
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "VERSION")
    try:
        with open(path, encoding="ascii") as f:
            return f.read().strip() or "unknown"
    except (OSError, ValueError):
        return "unknown"


__version__ = _read_version()

# Every worksheet entry point of the add-in receives exactly ten arguments.
MAX_ARGS = 10
# Excel's longest function name, in its own characters (UTF-16 units; one
# per character of the Basic Multilingual Plane). The add-in holds names to
# the same limit.
MAX_NAME_CHARS = 255

# A function's code object carries its flags: these two mark *args and **kw,
# the third an ``async def``.
_CO_VARARGS = 0x04
_CO_VARKEYWORDS = 0x08
_CO_COROUTINE = 0x80
# An asynchronous function's calls carry Excel's handle in the last of the ten
# positions.
MAX_ASYNC_ARGS = MAX_ARGS - 1
_FUNCTION = type(lambda: None)


class _Param:
    """One parameter as registration needs it: its name, whether Excel can
    pass it by position, whether it is *args or **kw, and its default
    (``_Param.empty`` when it has none)."""

    __slots__ = ("name", "positional", "star", "default")
    empty = object()

    def __init__(self, name, positional, star, default):
        self.name = name
        self.positional = positional
        self.star = star  # "", "*" or "**"
        self.default = default


def _code_parameters(func):
    """The parameters of a plain function, read from its code object, or None
    when only ``inspect`` can tell (a wrapper naming what it wraps, a declared
    signature, a bound method, a partial, a class, any other callable).
    ``inspect`` costs the add-in's start-up more than everything else the
    package imports, and a worksheet module's functions are nearly all plain."""
    if type(func) is not _FUNCTION:
        return None
    attrs = getattr(func, "__dict__", None)
    if attrs and ("__wrapped__" in attrs or "__signature__" in attrs):
        return None
    code = func.__code__
    names = code.co_varnames
    count = code.co_argcount
    keyword_only = code.co_kwonlyargcount
    defaults = func.__defaults__ or ()
    first_default = count - len(defaults)
    params = [_Param(names[i], True, "", defaults[i - first_default] if i >= first_default else _Param.empty)
              for i in range(count)]
    at = count + keyword_only
    kw_defaults = func.__kwdefaults__ or {}
    params[count:count] = [_Param(names[i], False, "", kw_defaults.get(names[i], _Param.empty))
                           for i in range(count, at)]
    if code.co_flags & _CO_VARARGS:
        # *args comes before the keyword-only names in the signature.
        params.insert(count, _Param(names[at], False, "*", _Param.empty))
        at += 1
    if code.co_flags & _CO_VARKEYWORDS:
        params.append(_Param(names[at], False, "**", _Param.empty))
    return params


def _inspected_parameters(func):
    import inspect  # only for callables that are not plain functions

    positional = (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD)
    stars = {inspect.Parameter.VAR_POSITIONAL: "*", inspect.Parameter.VAR_KEYWORD: "**"}
    try:
        found = inspect.signature(func).parameters.values()
    except (TypeError, ValueError):
        return None
    return [_Param(p.name, p.kind in positional, stars.get(p.kind, ""),
                   _Param.empty if p.default is p.empty else p.default) for p in found]


def _parameters(func):
    params = _code_parameters(func)
    return _inspected_parameters(func) if params is None else params


def _positional_count(func, name):
    params = _parameters(func)
    if params is None:
        raise TypeError(
            "cannot read the parameters of %r; pass args= to say how many it takes" % (func,)
        )
    variadic = [p.star + p.name for p in params if p.star]
    if variadic:
        raise ValueError(
            "worksheet function %r takes %s; pass args= to say how many arguments Excel passes"
            % (name, " and ".join(variadic))
        )
    return sum(1 for p in params if p.positional)


class _Omitted:
    """What the add-in passes, in place of None, for an omitted or empty
    argument of a function wrapped below; the wrapper never lets it through."""

    __slots__ = ()

    def __repr__(self):
        return "<omitted argument>"


# The one marker. The add-in looks for it on a bound function as the
# attribute _tindral_omitted: only functions that carry it receive it.
_OMITTED = _Omitted()


def _is_async(func):
    """Whether ``func`` is an ``async def`` (or a callable ``inspect`` calls a
    coroutine function: a partial of one, a marked wrapper)."""
    if type(func) is _FUNCTION:
        if func.__code__.co_flags & _CO_COROUTINE:
            return True
        attrs = getattr(func, "__dict__", None)
        if not attrs or "__wrapped__" not in attrs:
            return False
    import inspect  # only for callables that are not plain functions

    return inspect.iscoroutinefunction(func)


def _as_coroutine_function(func):
    """``func`` as a plain ``async def`` the add-in recognises by its code:
    itself when it is one, otherwise a thin one around it."""
    if type(func) is _FUNCTION and func.__code__.co_flags & _CO_COROUTINE:
        return func
    import functools

    @functools.wraps(func)
    async def call(*args):
        return await func(*args)

    return call


def _with_defaults(func):
    """``func`` itself, or a wrapper that passes a parameter's default when
    Excel's argument for it was omitted or empty. An error value arrives as
    None like any other call's, and None never takes a default: a default
    stands for what the user left out, not for what went wrong."""
    params = _parameters(func) or []
    defaults = {i: p.default for i, p in enumerate(q for q in params if q.positional)
                if p.default is not _Param.empty and p.default is not None}
    if not defaults:
        return func
    import functools  # only for functions with defaults: most have none

    if _is_async(func):
        # Still an ``async def``: the add-in tells the call kind by the code.
        @functools.wraps(func)
        async def call(*args):
            args = [defaults.get(i) if a is _OMITTED else a for i, a in enumerate(args)]
            return await func(*args)
    else:
        @functools.wraps(func)
        def call(*args):
            args = [defaults.get(i) if a is _OMITTED else a for i, a in enumerate(args)]
            return func(*args)

    call._tindral_omitted = _OMITTED
    return call


class Array:
    """Annotate a parameter ``x: tindral_xl.Array`` to receive a range as one
    buffer of doubles: a ``memoryview`` of format ``'d'`` and shape
    ``(rows, cols)``, made in one C loop with no Python object per cell.
    Numbers arrive as they are; empty cells, text, booleans and error values
    as NaN. ``x.tolist()`` gives rows of floats, ``x.cast('B').cast('d')`` one
    flat view, and numpy (where installed) takes it without a copy:
    ``numpy.asarray(x)``. The view stays valid after the call if kept.

    A result that exports a buffer of doubles with one or two dimensions
    (a ``memoryview`` like this one, ``array.array('d')``, a numpy ``float64``
    array) spills as numbers the same way: one dimension is one row; NaN and
    infinity show #NUM!.
    """

    __slots__ = ()


def _kinds(func, name, count):
    """The conversion kinds of ``func``'s annotations (see _typed), or None
    for a function without annotations, which keeps today's rules."""
    annotations = None if isinstance(func, type) else getattr(func, "__annotations__", None)
    if not annotations or not isinstance(annotations, dict):
        return None
    params = [(p.name, p.default is not _Param.empty) for p in (_parameters(func) or []) if p.positional]
    from . import _typed  # only for annotated functions

    return _typed.kinds(func, annotations, params, count, name, _log)


def _log(message):
    """One line for the add-in's log; a warning when running outside it."""
    native = sys.modules.get(__name__ + "._native")
    if native is not None:
        native.log(message)
    else:
        import warnings

        warnings.warn(message, stacklevel=3)


def _owner(entry):
    return getattr(entry[1], "__module__", None)


def _name_chars(name):
    """The length Excel counts: UTF-16 units."""
    return len(name.encode("utf-16-le", "surrogatepass")) // 2


def _check_name(name):
    if type(name) is not str or not name:
        raise ValueError("worksheet function name must be a non-empty str, got %r" % (name,))
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        # A lone surrogate: Excel could be handed no faithful text for it.
        raise ValueError("worksheet function name %r is not valid text" % (name,)) from None
    if _name_chars(name) > MAX_NAME_CHARS:
        raise ValueError(
            "worksheet function name %r is longer than Excel's %d characters" % (name, MAX_NAME_CHARS)
        )


def _kept_whole(func):
    """A wrapper whose result goes into the object store as it is, even one
    that has a cell value (``returns="object"``)."""
    import functools
    from .objects import _Whole

    @functools.wraps(func)
    def call(*args):
        return _Whole(func(*args))

    return call


def register(func, name=None, args=None, category=None, returns=None):
    """Lists ``func`` as a worksheet function and returns it unchanged.

    ``name`` defaults to the function's own name, ``args`` to its number of
    named positional parameters. ``returns="object"`` keeps every result in
    the object store (the cell shows its handle), also one that would
    convert, such as a list. An entry of the same name (compared exactly,
    case included, as the add-in does) is replaced in place, so re-running a
    module does not grow the list. Excel's function wizard shows the function
    under ``category`` (by default its module's name), with the first line of
    its docstring and, per argument, the text its docstring gives the
    parameter (``Args:``, numpy or ``:param x:`` style) or its name and
    annotation; the add-in reads them when it registers the function.
    """
    if category is not None and (type(category) is not str or not category):
        raise ValueError("category of a worksheet function must be a non-empty str, got %r" % (category,))
    if returns not in (None, "object"):
        raise ValueError("returns must be None or \"object\", got %r" % (returns,))
    if not callable(func):
        raise TypeError("worksheet function must be callable, got %r" % (func,))
    name = getattr(func, "__name__", None) if name is None else name
    _check_name(name)
    count = _positional_count(func, name) if args is None else args
    asynchronous = _is_async(func)
    most = MAX_ASYNC_ARGS if asynchronous else MAX_ARGS
    if type(count) is not int or not 0 <= count <= most:
        raise ValueError(
            "worksheet function %r takes %r arguments; Excel passes 0 to %d%s"
            % (name, count, most, " to an asynchronous function" if asynchronous else "")
        )
    bound = _with_defaults(func)
    if asynchronous and returns == "object":
        raise ValueError("worksheet function %r: returns=\"object\" is for functions that return at once, "
                         "not for an async def" % (name,))
    if asynchronous:
        bound = _as_coroutine_function(bound)
    elif returns == "object":
        bound = _kept_whole(bound)
    entry = (name, bound, count)
    kinds = _kinds(func, name, count)
    if kinds is not None:
        entry += (kinds,)
    if category is None:
        _categories.pop(name, None)
    else:
        _categories[name] = category
    for i, existing in enumerate(_registry):
        if type(existing) is tuple and len(existing) in (3, 4) and existing[0] == name:
            if _owner(existing) != _owner(entry):
                _log("WARNING: worksheet function %s of module %s replaces the one of module %s"
                     % (name, _owner(entry), _owner(existing)))
            _registry[i] = entry
            break
    else:
        _registry.append(entry)
    return func


def xl_function(func=None, *, name=None, args=None, category=None, returns=None):
    """Decorator form of ``register``: ``@xl_function`` or
    ``@xl_function(name="X", args=2, category="Finance", returns="object")``."""
    if func is None:
        return lambda f: register(f, name=name, args=args, category=category, returns=returns)
    return register(func, name=name, args=args, category=category, returns=returns)


def registered():
    """The names listed so far, in registration order."""
    return [entry[0] for entry in _registry if type(entry) is tuple and len(entry) in (3, 4)]


# Excel's 1900 date system: day 0 is 1899-12-30 from 1 March 1900 on. Excel
# also counts a 29 February 1900 that never was (serial 60), so the serials
# 1 to 59 (1900-01-01 to 1900-02-28) are one less than that rule gives.
_DAY_ZERO = datetime.datetime(1899, 12, 30)
_FIRST_TRUE_SERIAL = 61  # 1900-03-01
_LAST_SERIAL = 2958466  # the first serial after 9999-12-31


def to_excel_date(d):
    """The Excel serial number (a ``float``) of a ``datetime.date`` or ``datetime.datetime``.

    A datetime's wall-clock time becomes the fraction of the day; its time zone,
    if any, is ignored, as Excel keeps none. This is the number the add-in
    shows for a date result. Dates before 1900-01-01 have no serial: ValueError.
    """
    if not isinstance(d, datetime.date):
        raise TypeError("to_excel_date needs a datetime.date or datetime.datetime, got %r" % (d,))
    serial = d.toordinal() - _DAY_ZERO.toordinal()
    if serial < _FIRST_TRUE_SERIAL:
        serial -= 1
    if serial < 1:
        raise ValueError("%s is before 1900-01-01, the first date Excel shows" % (d,))
    value = float(serial)
    if isinstance(d, datetime.datetime):
        seconds = d.hour * 3600 + d.minute * 60 + d.second
        value += (seconds + d.microsecond / 1e6) / 86400
    return value


def from_excel_date(x):
    """The ``datetime.datetime`` of an Excel serial number, as a date cell arrives (a float).

    The whole part is the day (1 is 1900-01-01, 61 is 1900-03-01), the fraction
    the time of day, to the nearest microsecond; a serial below 1 is a time on
    Excel's day 0 (shown by Excel as 1900-01-00, here 1899-12-31). Serial 60 is
    the 29 February 1900 Excel counts but the calendar lacks, and numbers that
    are negative, not finite or past 9999-12-31 name no day: ValueError. Take
    ``.date()`` of the result when only the day matters.
    """
    if type(x) is bool or not isinstance(x, (int, float)):
        raise TypeError("from_excel_date needs a number, got %r" % (x,))
    if not math.isfinite(x) or x < 0 or x >= _LAST_SERIAL:
        raise ValueError("%r is not an Excel date serial (0 to 2958465)" % (x,))
    if 60 <= x < _FIRST_TRUE_SERIAL:
        raise ValueError("serial %r is 29 February 1900, a day Excel counts that never was" % (x,))
    day_zero = _DAY_ZERO if x >= _FIRST_TRUE_SERIAL else _DAY_ZERO + datetime.timedelta(days=1)
    try:
        return day_zero + datetime.timedelta(days=x)
    except OverflowError:  # rounds up past 9999-12-31 23:59:59.999999
        raise ValueError("%r is not an Excel date serial (0 to 2958465)" % (x,)) from None


# Why a cell shows #VALUE!: =TINDRAL.ERROR(B3) gives the message of the
# cell's last error, or "". The package's own worksheet function: it takes one
# of the 64 slots, and Excel passes it the cell itself (see _errors).
from ._errors import cell_error  # noqa: E402

register(cell_error, name="TINDRAL.ERROR", category="TindralXL")

# Excel's error values, as tindral_xl.excel reads and writes them.
from .excel import XLError  # noqa: E402


def __getattr__(name):
    # The object store is imported at its first use, not at the add-in's open.
    if name == "objects":
        __import__(__name__ + ".objects")  # sets the attribute, as any submodule import does
        return sys.modules[__name__ + ".objects"]
    raise AttributeError("module %r has no attribute %r" % (__name__, name))

"""TindralXL's Python side: the worksheet function registry and the agent entry.

The add-in reads ``_registry`` after importing this package and every module of
its ``modules`` folder. Each entry is a plain ``(name, function, arg_count)``
tuple; register functions with the ``xl_function`` decorator rather than by
editing the list::

    from tindral_xl import xl_function

    @xl_function
    def add(a, b):
        return a + b

    @xl_function(name="GREET")
    def greet(who=None):
        return "Hello, %s!" % (who or "world")

How values arrive: numbers as ``float`` (also whole ones), text as ``str``,
booleans as ``bool``, and empty cells, omitted arguments, error values and
ranges as ``None``. A function is always called with exactly as many
positional arguments as it was registered with, so defaults never apply: an
omitted argument is ``None``. What comes back: ``None`` is an empty cell,
``bool``, ``int`` and ``float`` are values, ``str`` is text (at most 32,767
UTF-16 units are shown), anything else shows its ``repr``; raising shows
#VALUE! and the message goes to the add-in's log.
"""

import inspect

# The add-in's release, as the agent interfaces report it (MCP's serverInfo).
__version__ = "0.1.0"

_registry = []

# Every worksheet entry point of the add-in receives exactly ten arguments.
MAX_ARGS = 10
# The add-in keeps at most this many bytes of a name (UTF-8).
MAX_NAME_BYTES = 127

_POSITIONAL = (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD)


def _positional_count(func):
    try:
        params = inspect.signature(func).parameters.values()
    except (TypeError, ValueError):
        raise TypeError(
            "cannot read the parameters of %r; pass args= to say how many it takes" % (func,)
        ) from None
    return sum(1 for p in params if p.kind in _POSITIONAL)


def _check_name(name):
    if type(name) is not str or not name:
        raise ValueError("worksheet function name must be a non-empty str, got %r" % (name,))
    if len(name.encode("utf-8")) > MAX_NAME_BYTES:
        raise ValueError(
            "worksheet function name %r is longer than %d UTF-8 bytes" % (name, MAX_NAME_BYTES)
        )


def register(func, name=None, args=None):
    """Lists ``func`` as a worksheet function and returns it unchanged.

    ``name`` defaults to the function's own name, ``args`` to its number of
    named positional parameters. An entry of the same name (compared exactly,
    case included, as the add-in does) is replaced in place, so re-running a
    module does not grow the list.
    """
    if not callable(func):
        raise TypeError("worksheet function must be callable, got %r" % (func,))
    name = getattr(func, "__name__", None) if name is None else name
    _check_name(name)
    count = _positional_count(func) if args is None else args
    if type(count) is not int or not 0 <= count <= MAX_ARGS:
        raise ValueError(
            "worksheet function %r takes %r arguments; Excel passes 0 to %d"
            % (name, count, MAX_ARGS)
        )
    entry = (name, func, count)
    for i, existing in enumerate(_registry):
        if type(existing) is tuple and len(existing) == 3 and existing[0] == name:
            _registry[i] = entry
            break
    else:
        _registry.append(entry)
    return func


def xl_function(func=None, *, name=None, args=None):
    """Decorator form of ``register``: ``@xl_function`` or ``@xl_function(name="X", args=2)``."""
    if func is None:
        return lambda f: register(f, name=name, args=args)
    return register(func, name=name, args=args)


def registered():
    """The names listed so far, in registration order."""
    return [entry[0] for entry in _registry if type(entry) is tuple and len(entry) == 3]

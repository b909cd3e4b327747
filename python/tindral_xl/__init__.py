"""TindralXL's Python side: the worksheet function registry and the agent entry.

The add-in reads ``_registry`` after importing this package and every module of
its ``modules`` folder. Each entry is a plain ``(name, function, arg_count)``
tuple; register functions with the ``xl_function`` decorator rather than by
editing the list.
"""

_registry = []

MAX_ARGS = 10


def _positional_count(func):
    import inspect

    params = inspect.signature(func).parameters.values()
    kinds = (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD)
    return sum(1 for p in params if p.kind in kinds)


def register(func, name=None, args=None):
    """Lists ``func`` as a worksheet function and returns it unchanged.

    ``name`` defaults to the function's own name, ``args`` to its number of
    positional parameters. An entry of the same name is replaced in place, so
    a reloaded module does not grow the list.
    """
    if not callable(func):
        raise TypeError("worksheet function must be callable, got %r" % (func,))
    name = func.__name__ if name is None else name
    if not isinstance(name, str) or not name:
        raise ValueError("worksheet function name must be a non-empty str")
    count = _positional_count(func) if args is None else args
    if type(count) is not int or not 0 <= count <= MAX_ARGS:
        raise ValueError(
            "worksheet function %r takes %r arguments; Excel passes 0 to %d"
            % (name, count, MAX_ARGS)
        )
    entry = (name, func, count)
    for i, (existing, _, _) in enumerate(_registry):
        if existing == name:
            _registry[i] = entry
            break
    else:
        _registry.append(entry)
    return func


def xl_function(func=None, *, name=None, args=None):
    """Decorator form of ``register``: ``@xl_function`` or ``@xl_function(name="X")``."""
    if func is None:
        return lambda f: register(f, name=name, args=args)
    return register(func, name=name, args=args)

"""Annotations as conversion kinds, decided once when a function is registered.

The add-in converts each annotated argument in C by its kind; this module only
reads the annotations and writes the numbers the add-in understands (the same
as func_kind in the add-in's sources). Imported only for a function that has
annotations; it imports neither ``typing`` nor ``inspect`` (an annotation that
uses ``typing`` finds it already imported by the module that wrote it).
"""

import datetime
import sys

ANY = 0
FLOAT = 1
INT = 2
BOOL = 3
STR = 4
DATE = 5
DATETIME = 6
ARRAY = 7
OPTIONAL = 0x10
LIST1 = 0x20
LIST2 = 0x40
ITEM_OPTIONAL = 0x80

_NONE_TYPE = type(None)


class Unresolved(Exception):
    """An annotation given as text that names nothing the module defines."""


def _scalars():
    from . import Array

    return {float: FLOAT, int: INT, bool: BOOL, str: STR,
            datetime.date: DATE, datetime.datetime: DATETIME, Array: ARRAY}


def _union_args(ann):
    """The members of ``Optional[T]``, ``Union[...]`` or ``T | None``; None for
    anything else."""
    typing = sys.modules.get("typing")
    if typing is not None and getattr(ann, "__origin__", None) is typing.Union:
        return ann.__args__
    types = sys.modules.get("types")
    if types is not None and type(ann) is getattr(types, "UnionType", None):
        return ann.__args__
    return None


def _optional_of(ann):
    """``T`` for ``Optional[T]`` (or ``T | None``), else None."""
    members = _union_args(ann)
    if members is None or _NONE_TYPE not in members:
        return None
    rest = [m for m in members if m is not _NONE_TYPE]
    return rest[0] if len(rest) == 1 else None


def _list_of(ann):
    """``T`` for ``list[T]`` or ``typing.List[T]``, else None."""
    if getattr(ann, "__origin__", None) is list:
        args = getattr(ann, "__args__", ())
        if len(args) == 1:
            return args[0]
    return None


def _element(ann, scalars):
    """The kind bits of a list's element annotation: a scalar kind, maybe
    ITEM_OPTIONAL; an element we have no kind for keeps the untyped rules."""
    inner = _optional_of(ann)
    flag = 0
    if inner is not None:
        ann, flag = inner, ITEM_OPTIONAL
    kind = scalars.get(ann, ANY) if _hashable(ann) else ANY
    if kind == ARRAY:  # a list of buffers has no meaning for a range
        return ANY
    return kind | (flag if kind != ANY else 0)


def _hashable(ann):
    try:
        hash(ann)
    except TypeError:
        return False
    return True


def kind_of(ann, scalars=None):
    """The kind number for one resolved annotation; ANY when it asks for no
    conversion the add-in knows (which keeps today's rules)."""
    scalars = _scalars() if scalars is None else scalars
    flag = 0
    inner = _optional_of(ann)
    if inner is not None:
        ann, flag = inner, OPTIONAL
    items = _list_of(ann)
    if items is not None:
        rows = _list_of(items)
        if rows is not None:
            return LIST2 | _element(rows, scalars) | flag
        return LIST1 | _element(items, scalars) | flag
    kind = scalars.get(ann, ANY) if _hashable(ann) else ANY
    return kind | flag if kind != ANY else ANY


def resolve(ann, func):
    """An annotation as an object: a text annotation (``from __future__
    import annotations``, or a quoted one) is evaluated in the function's
    module, as ``typing.get_type_hints`` does. Unresolved when it fails."""
    if not isinstance(ann, str):
        return ann
    namespace = getattr(func, "__globals__", None)
    if namespace is None:
        module = sys.modules.get(getattr(func, "__module__", None) or "")
        namespace = vars(module) if module is not None else {}
    try:
        return eval(ann, namespace, {})  # noqa: S307 - the module's own annotation
    except Exception as e:
        raise Unresolved("%s: %s" % (type(e).__name__, e)) from None


def kinds(func, annotations, params, count, name, log):
    """The kinds tuple of a _registry entry, or None when nothing is typed:
    the result's kind, then one ``(kind, parameter name)`` per argument Excel
    passes. ``params`` are the positional parameters (name, has a default).
    An annotation that cannot be resolved is logged and keeps today's rules."""
    scalars = _scalars()

    def one(key, what):
        ann = annotations.get(key)
        if ann is None:
            return ANY
        try:
            return kind_of(resolve(ann, func), scalars)
        except Unresolved as e:
            log("WARNING: annotation %r of %s of worksheet function %s cannot be resolved (%s); "
                "it converts as unannotated" % (ann, what, name, e))
            return ANY

    typed = []
    for i in range(count):
        if i < len(params):
            pname, has_default = params[i]
            kind = one(pname, "parameter " + pname)
            # A parameter with a default may be left out whatever its type.
            if kind != ANY and has_default:
                kind |= OPTIONAL
        else:
            pname, kind = "arg%d" % (i + 1), ANY
        typed.append((kind, pname))
    result = one("return", "the result")
    if result & (LIST1 | LIST2) or result & 0x0F == ARRAY:
        result = ANY  # spilled as it is: lists and buffers need no check
    if result == ANY and all(k == ANY for k, _ in typed):
        return None
    return (result,) + tuple(typed)

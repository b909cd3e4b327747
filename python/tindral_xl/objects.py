"""Python objects in cells: the store behind handles such as ``<Model #12>``.

A worksheet function whose result has no cell value (not a number, text,
bool, date, ``None``, list or tuple) puts it here, and its cell shows the
object's handle: the type's name and a number. A handle text given to any
worksheet function arrives as the object itself, so one cell can build a
fitted model or a parsed file and others use it::

    @xl_function
    def fit(xs, ys):
        return Model(xs, ys)          # the cell shows <Model #1>

    @xl_function
    def predict(model: Model, x):     # =PREDICT(A1, 5): the Model itself
        return model.predict(x)

Each object made in a cell belongs to that cell: when the cell computes
again its previous object is released and the new one gets a new number
(its handle changes, so the cells that use it compute again too). Closing
the add-in releases every object. Objects an agent puts here with
:func:`put` belong to no cell and stay until :func:`delete`.

Agents use :func:`get`, :func:`put`, :func:`delete` and :func:`list`. The
add-in calls the functions starting with an underscore, on Excel's main
thread; agents call from their own; all hold the interpreter lock, and the
lock below keeps one writer's steps together. An object is let go only after
that lock is released: its finalizer may run any code, even code that uses
this store.
"""

import reprlib
import threading

# An agent reads at most this much of each object's repr in a listing.
REPR_CHARS = 200

_lock = threading.Lock()
_numbers = {}      # number -> [handle, object, owning cell or None, function name or None]
_by_cell = {}      # owning cell -> number of its object
_per_function = {}  # function name -> objects that function's cells own
_next = [1]        # the next number; never reused while the add-in runs


class _Whole:
    """A result of a function registered with ``returns="object"``: stored
    as it is, even when it has a cell value (a list kept whole)."""

    __slots__ = ("value",)

    def __init__(self, value):
        self.value = value


class _Gone(LookupError):
    """A handle argument names no live object: the cell shows #REF!."""


class _WrongType(TypeError):
    """A handle argument's object is not of its parameter's annotated class:
    the cell shows #VALUE!."""


def _type_name(obj):
    return type(obj).__name__


def _handle_number(handle):
    """The number of a text shaped like a handle ("<dict #3>"), or None."""
    if type(handle) is not str or len(handle) < 5 or handle[0] != "<" or handle[-1] != ">":
        return None
    name, sep, digits = handle[1:-1].rpartition(" #")
    if not sep or not name or not digits.isdigit() or not digits.isascii() or digits[0] == "0":
        return None
    return int(digits)


def _lookup(handle):
    """The record of the live object named by `handle` (its whole text must
    match: a number of a previous session may name another object now)."""
    number = _handle_number(handle)
    record = _numbers.get(number) if number is not None else None
    return record if record is not None and record[0] == handle else None


def _add(obj, cell, function):
    """Stores obj for `cell` (None: no cell) and answers (handle, the
    object it replaced or None). Lock held."""
    number = _next[0]
    _next[0] += 1
    handle = "<%s #%d>" % (_type_name(obj), number)
    old = _drop_cell(cell) if cell is not None else None
    _numbers[number] = [handle, obj, cell, function]
    if cell is not None:
        _by_cell[cell] = number
        _per_function[function] = _per_function.get(function, 0) + 1
    return handle, old


def _drop_number(number):
    """Removes one record; answers its object, to be let go by the caller
    once the lock is released. Lock held."""
    handle, obj, cell, function = _numbers.pop(number)
    if cell is not None:
        _by_cell.pop(cell, None)
        left = _per_function.get(function, 0) - 1
        if left > 0:
            _per_function[function] = left
        else:
            _per_function.pop(function, None)
    return obj


def _drop_cell(cell):
    number = _by_cell.get(cell)
    return _drop_number(number) if number is not None else None


# --- the add-in's side ---------------------------------------------------------------------


def _put_from_cell(obj, cell, function):
    """The result `obj` of worksheet function `function` computed in `cell`
    (None when Excel named no cell): stored, the cell's previous object
    released. Answers (handle, objects `function`'s cells now own)."""
    if type(obj) is _Whole:
        obj = obj.value
    with _lock:
        handle, old = _add(obj, cell, function)
        held = _per_function.get(function, 0)
    del old  # let go outside the lock
    return handle, held


def _release_cell(cell, function):
    """`cell` computed again without making an object: the one it made goes.
    Answers the objects `function`'s cells still own."""
    with _lock:
        old = _drop_cell(cell)
        held = _per_function.get(function, 0)
    del old
    return held


def _release_all():
    """The add-in closes: every object goes. Answers how many there were."""
    with _lock:
        gone = [_numbers[n][1] for n in _numbers]
        _numbers.clear()
        _by_cell.clear()
        _per_function.clear()
    count = len(gone)
    del gone
    return count


def _parameter_classes(function, index):
    """The classes parameter `index` of `function` is annotated with, a
    tuple, or None when it names none (no annotation, a text annotation,
    ``object``). ``Optional[Model]`` and ``Model | None`` name Model."""
    while hasattr(function, "__wrapped__"):
        function = function.__wrapped__
    annotations = getattr(function, "__annotations__", None)
    if not annotations:
        return None
    code = getattr(function, "__code__", None)
    if code is not None and type(function).__name__ == "function":
        names = code.co_varnames[:code.co_argcount]
    else:
        from . import _parameters
        names = [p.name for p in (_parameters(function) or []) if p.positional]
    if index >= len(names) or names[index] not in annotations:
        return None
    note = annotations[names[index]]
    if isinstance(note, type):
        return None if note is object else (note,)
    members = getattr(note, "__args__", None)
    if type(note).__name__ in ("UnionType", "_UnionGenericAlias") and members:
        classes = tuple(m for m in members if isinstance(m, type) and m is not type(None))
        return classes if classes and object not in classes else None
    return None


def _argument(handle, function, index, name):
    """The object a handle argument names, for parameter `index` of the
    callable `function` (registered as `name`). Raises _Gone when it names no
    live object, _WrongType when its parameter's class annotation refuses it;
    the add-in logs the message."""
    record = _lookup(handle)
    if record is None:
        raise _Gone("%s argument %d: %s is gone (its cell computed again, or it was deleted)"
                    % (name, index + 1, handle))
    obj = record[1]
    classes = _parameter_classes(function, index)
    if classes is not None and not isinstance(obj, classes):
        raise _WrongType("%s argument %d: %s is not a %s" % (
            name, index + 1, handle, " or ".join(c.__qualname__ for c in classes)))
    return obj


# --- agents' side --------------------------------------------------------------------------


def get(handle):
    """The live object named by `handle` ("<Model #12>"). KeyError when none."""
    with _lock:
        record = _lookup(handle)
        if record is None:
            raise KeyError("no live object %r" % (handle,))
        return record[1]


def put(obj):
    """Stores `obj` for cells to use and answers its handle. It belongs to no
    cell: it stays until :func:`delete` or the add-in closes."""
    if type(obj) is _Whole:
        obj = obj.value
    with _lock:
        handle, _ = _add(obj, None, None)
    return handle


def delete(handle):
    """Releases the object named by `handle`; False when there is none."""
    with _lock:
        record = _lookup(handle)
        if record is None:
            return False
        obj = _drop_number(_handle_number(handle))
    del obj
    return True


_short = reprlib.Repr()
_short.maxstring = REPR_CHARS
_short.maxother = REPR_CHARS
_short.maxlong = REPR_CHARS


def _repr(obj, limit=REPR_CHARS):
    try:
        text = _short.repr(obj) if limit <= REPR_CHARS else repr(obj)
    except Exception as e:  # a repr that raises still names its type
        text = "<%s object (repr failed: %s)>" % (_type_name(obj), type(e).__name__)
    return text if len(text) <= limit else text[:limit - 3] + "..."


def _describe(record, limit=REPR_CHARS):
    handle, obj, cell, _function = record
    kind = type(obj)
    module = getattr(kind, "__module__", "")
    return {
        "handle": handle,
        "type": kind.__qualname__ if module in ("builtins", None) else "%s.%s" % (module, kind.__qualname__),
        "cell": cell,
        "repr": _repr(obj, limit),
    }


def list():  # noqa: A001 - the store's own name for its listing
    """Every live object, oldest first: handle, type, owning cell (None for
    an agent's object) and repr cut to 200 characters."""
    with _lock:
        records = [_numbers[n] for n in sorted(_numbers)]
    return [_describe(r) for r in records]


def inspect(handle, repr_chars=2000):
    """One live object in more detail: as in :func:`list`, with a longer
    repr and its public attribute names (at most 200). KeyError when none."""
    with _lock:
        record = _lookup(handle)
    if record is None:
        raise KeyError("no live object %r" % (handle,))
    answer = _describe(record, repr_chars)
    try:
        names = [n for n in dir(record[1]) if not n.startswith("_")]
    except Exception:
        names = []
    answer["attributes"] = names[:200]
    return answer

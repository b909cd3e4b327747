"""The last error of each cell: why a worksheet function's cell shows #VALUE!.

The add-in calls :func:`record` when a worksheet function raises, with the
cell Excel was computing (``"[Book1]Sheet1!$B$3"``), and :func:`forget` when
a function with records here succeeds in a cell. Both answer how many records
the store holds for that function, which is how the add-in knows whether a
success has anything to clear (a success asks Excel for its cell only then).

The store lives here, in Python, because everything that reads it is Python:
the ``errors`` op and ``cell_errors`` tool of the agent channel and the
``TINDRAL.ERROR`` worksheet function. Writers run on Excel's main thread,
readers also on the agent's thread, all with the interpreter lock; the lock
below keeps a reader's walk apart from a writer's eviction.
"""

import collections
import os
import reprlib
import threading

# The store keeps the last this many errors (one per cell): a workbook full of
# failing cells cannot grow it without bound.
LIMIT = 1000

_lock = threading.Lock()
_records = collections.OrderedDict()  # cell text -> record, oldest first
_per_function = collections.Counter()  # function name -> records held

_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))

_short = reprlib.Repr()
_short.maxstring = 60
_short.maxother = 60
_short.maxlist = 6
_short.maxtuple = 6
_short.maxdict = 4


def _short_repr(value):
    try:
        return _short.repr(value)
    except Exception as e:  # a repr that raises still names its type
        return "<%s object (repr failed: %s)>" % (type(value).__name__, type(e).__name__)


def _user_traceback(exc_type, exc, tb):
    """The traceback text of the user's frames only: frames of this package go."""
    import traceback as _traceback  # only on the error path: it costs start-up time
    frames = [f for f in _traceback.extract_tb(tb)
              if not os.path.abspath(f.filename).startswith(_PACKAGE_DIR + os.sep)]
    lines = ["Traceback (most recent call last):\n"] if frames else []
    lines += _traceback.format_list(frames)
    lines += _traceback.format_exception_only(exc_type, exc)
    return "".join(lines)


def _drop(cell):
    old = _records.pop(cell, None)
    if old is not None:
        _per_function[old["function"]] -= 1
        if _per_function[old["function"]] <= 0:
            del _per_function[old["function"]]


def record(cell, function, args, exc_type, exc, tb):
    """Keeps `function`'s error in `cell` in place of the cell's last one."""
    entry = {
        "cell": cell,
        "function": function,
        "args": [_short_repr(a) for a in args],
        "type": getattr(exc_type, "__qualname__", str(exc_type)),
        "message": str(exc),
        "traceback": _user_traceback(exc_type, exc, tb),
    }
    with _lock:
        _drop(cell)
        _records[cell] = entry
        _per_function[function] += 1
        while len(_records) > LIMIT:
            _drop(next(iter(_records)))
        return _per_function[function]


def forget(cell, function):
    """A success of `function` in `cell`: the cell's record goes."""
    with _lock:
        _drop(cell)
        return _per_function.get(function, 0)


def _split(text):
    """("sheet" or None, "B3") of a cell text: "[Book1]Sheet1!$B$3", "'My sheet'!B3", "b3"."""
    sheet, bang, address = text.strip().rpartition("!")
    address = address.replace("$", "").upper()
    if not bang:
        return None, address
    sheet = sheet.strip()
    if len(sheet) >= 2 and sheet[0] == "'" and sheet[-1] == "'":
        sheet = sheet[1:-1].replace("''", "'")
    sheet = sheet.rpartition("]")[2]
    return sheet.casefold(), address


def find(ref):
    """The record of cell `ref`, or None. A text without a sheet matches that
    address on any sheet (the latest error of those)."""
    sheet, address = _split(ref)
    with _lock:
        for entry in reversed(_records.values()):
            s, a = _split(entry["cell"])
            if a == address and (sheet is None or s == sheet):
                return dict(entry)
    return None


def all_records():
    """Every record, oldest first (copies)."""
    with _lock:
        return [dict(e) for e in _records.values()]


def clear():
    """Forgets everything (the add-in closing, a test)."""
    with _lock:
        _records.clear()
        _per_function.clear()


def cell_error(ref):
    """The message of the last error in the cell `ref` ("B3", "Sheet1!B3"), or ""."""
    if not isinstance(ref, str) or not ref.strip():
        return ""
    entry = find(ref)
    if entry is None:
        return ""
    return "%s: %s" % (entry["type"], entry["message"])

"""The last error of each cell: why a worksheet function's cell shows #VALUE!.

The add-in calls :func:`record` when a worksheet function raises, with the
cell Excel was computing (``"[Book1]Sheet1!$B$3"``), and :func:`forget` when
any function succeeds in a cell its own index says may hold a record. Both
answer how many records the store holds: while it holds none, a success does
not ask Excel for its cell at all.

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


def record(cell, function, args, exc_type, exc, tb):
    """Keeps `function`'s error in `cell` in place of the cell's last one;
    answers how many records the store holds."""
    entry = {
        "cell": cell,
        "function": function,
        "args": [_short_repr(a) for a in args],
        "type": getattr(exc_type, "__qualname__", str(exc_type)),
        "message": str(exc),
        "traceback": _user_traceback(exc_type, exc, tb),
    }
    with _lock:
        _records.pop(cell, None)
        _records[cell] = entry
        while len(_records) > LIMIT:
            _records.popitem(last=False)
        return len(_records)


def forget(cell):
    """A success in `cell`, whatever function succeeded: the cell's record
    goes (its formula may have changed). Answers how many records remain."""
    with _lock:
        _records.pop(cell, None)
        return len(_records)


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


def cells():
    """The cell texts that hold a record, oldest first: the add-in rebuilds its
    own index of them from this."""
    with _lock:
        return list(_records)


def clear():
    """Forgets everything (the add-in closing, a test)."""
    with _lock:
        _records.clear()


def cell_error(ref):
    """Why a cell shows #VALUE!: the message of its last error, or empty text.

    Args:
        ref: the cell, such as B3 or Sheet2!B3 (or its address as text, "B3")
    """
    if not isinstance(ref, str) or not ref.strip():
        return ""
    entry = find(ref)
    if entry is None:
        return ""
    return "%s: %s" % (entry["type"], entry["message"])


# Registered with a reference argument (type "U" rather than "Q"): Excel
# passes =TINDRAL.ERROR(B3) the cell B3 itself, which the add-in hands on as
# its address, "[Book1]Sheet1!$B$3". As a value argument it would receive
# B3's #VALUE!, which names no cell. The reference also makes Excel compute
# the formula again after B3.
cell_error._tindral_reference = True

"""Read and write the workbook from agent code.

Excel serves its cells on its main thread only. Each call here hands a
request to that thread (the add-in runs it at its next tick, within 50 ms
while requests come) and waits for the answer, at most ``timeout`` seconds
(default 60), without holding the interpreter lock::

    from tindral_xl import excel

    rows = excel.read("Sheet1!A1:B3")          # [[1.0, 'x'], [2.0, None], ...]
    excel.write("C1", [[r[0] * 2] for r in rows])  # one cell: the top-left corner
    excel.set_formula("D1", "=SUM(A1:A3)")
    excel.calculate()
    excel.sheets()                              # ['Sheet1', 'Data']
    excel.selection()                           # 'Sheet1!$A$1:$B$3'

References are A1 texts: ``"A1"``, ``"B2:D10"`` (the active sheet),
``"Sheet1!A1:C10"``, ``"'My sheet'!A1"``, or a defined name. Values arrive as
worksheet arguments do (numbers as ``float``, text as ``str``, ``bool``,
empty cells as ``None``) and error values as :class:`XLError`. ``write``
takes rows of ``None`` (clears the cell), ``bool``, ``int``, ``float``,
``str`` or ``XLError``; the block must have the reference's shape, or the
reference is one cell and names the block's top-left corner.

A bad reference, an unknown sheet, a block beyond Excel's grid
(1,048,576 rows x 16,384 columns) or more than 1,000,000 cells in one call
raise ``ValueError`` and change nothing. ``RuntimeError`` means Excel refused
or the add-in is closing; ``TimeoutError`` that Excel did not get to the
request in time. These functions wait for Excel's main thread, so they cannot
be called on it: from a worksheet function they raise ``RuntimeError``.
"""

import time

__all__ = ["XLError", "read", "write", "set_formula", "calculate", "sheets", "selection", "DEFAULT_TIMEOUT"]

DEFAULT_TIMEOUT = 60.0
MAX_CELLS = 1000000

# Request numbers shared with the add-in (excel_jobs_op).
_READ, _WRITE, _FORMULA, _CALCULATE, _SHEETS, _SELECTION = 1, 2, 3, 4, 5, 6
# The longest the add-in blocks in one wait: an interrupt or a request's time
# limit is seen between two waits.
_SLICE = 0.05

_ERROR_NAMES = {
    0: "#NULL!", 7: "#DIV/0!", 15: "#VALUE!", 23: "#REF!", 29: "#NAME?", 36: "#NUM!", 42: "#N/A",
    43: "#GETTING_DATA",
}
_ERROR_CODES = {name: code for code, name in _ERROR_NAMES.items()}


class XLError:
    """An Excel error value, such as ``XLError("#DIV/0!")``.

    Made from its name or its code (``XLError(7)``); equal when the code is.
    """

    __slots__ = ("code",)

    def __init__(self, error):
        if isinstance(error, XLError):
            code = error.code
        elif isinstance(error, str):
            if error.upper() not in _ERROR_CODES:
                raise ValueError("unknown Excel error %r; expected one of %s" % (error, ", ".join(_ERROR_CODES)))
            code = _ERROR_CODES[error.upper()]
        elif isinstance(error, int) and not isinstance(error, bool) and 0 <= error <= 0xFFFF:
            code = error
        else:
            raise ValueError("an Excel error is made from its name (\"#N/A\") or code, not %r" % (error,))
        object.__setattr__(self, "code", code)

    def __setattr__(self, name, value):
        raise AttributeError("XLError values cannot be changed")

    @property
    def name(self):
        return _ERROR_NAMES.get(self.code, "#ERR%d" % self.code)

    def __eq__(self, other):
        return isinstance(other, XLError) and other.code == self.code

    def __hash__(self):
        return hash(("XLError", self.code))

    def __repr__(self):
        return "XLError(%r)" % self.name

    def __str__(self):
        return self.name


# One value per code, index = code: what the add-in hands back for errors.
_ERRORS = [XLError(code) for code in range(64)]


def _native():
    try:
        from tindral_xl import _native as native
    except ImportError:
        native = None
    if native is None or not hasattr(native, "excel_submit"):
        raise RuntimeError("tindral_xl.excel works inside Excel, with the TindralXL add-in loaded")
    return native


def _check_timeout(timeout):
    if timeout is None:
        return DEFAULT_TIMEOUT
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not timeout > 0:
        raise ValueError("timeout must be a positive number of seconds, not %r" % (timeout,))
    return float(timeout)


def _check_ref(ref, what):
    if not isinstance(ref, str):
        raise ValueError("%s: a reference is a text such as \"Sheet1!A1:C10\", not %s" % (what, type(ref).__name__))
    if not ref.strip():
        raise ValueError("%s: the reference is empty" % what)
    return ref.strip()


def _raise(kind, message, what, ref=None):
    if message.startswith("no such sheet") and ref and "!" in ref:
        sheet = ref.rsplit("!", 1)[0]
        if len(sheet) > 1 and sheet[0] == sheet[-1] == "'":
            sheet = sheet[1:-1].replace("''", "'")
        message = "no sheet named %r in the active workbook" % sheet
    cls = ValueError if kind == "ValueError" else RuntimeError
    raise cls("%s: %s" % (what, message))


def _run(op, ref, payload, timeout, what):
    native = _native()
    limit = _check_timeout(timeout)
    answer = native.excel_submit((op, ref, payload))
    if isinstance(answer, tuple):
        _raise(answer[0], answer[1], what, ref)
    job = answer
    deadline = time.monotonic() + limit
    try:
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            answer = native.excel_wait((job, max(1, int(min(left, _SLICE) * 1000)), _ERRORS))
            if answer is not None:
                job = None
                kind, value = answer
                if kind == "ok":
                    return value
                _raise(kind, value, what, ref)
    finally:
        # Reached by the time limit, and by anything raised while waiting (an
        # interrupt, the request's own limit): the request is given up.
        started = native.excel_cancel(job) if job is not None else False
    if started:
        raise TimeoutError("%s: Excel started the request but did not finish it within %g s; it may still take "
                           "effect" % (what, limit))
    raise TimeoutError("%s: Excel did not run the request within %g s (it is busy, or a cell is being edited); "
                       "it was withdrawn and nothing changed" % (what, limit))


def read(ref, timeout=None):
    """The values of the range ``ref`` as a list of rows."""
    what = "read(%r)" % (ref,)
    return _run(_READ, _check_ref(ref, what), None, timeout, what)


def _cell(value, r, c, what):
    kind = type(value)
    if value is None or kind in (bool, float, int, str) or kind is XLError:
        return value
    # Subclasses (numpy's float64, an IntEnum) as their plain value.
    if isinstance(value, bool):
        return bool(value)
    if isinstance(value, float):
        return float(value)
    if isinstance(value, int):
        return int(value)
    if isinstance(value, str):
        return str(value)
    if isinstance(value, XLError):
        return XLError(value.code)
    raise ValueError("%s: row %d, column %d holds a %s; a cell takes None, bool, int, float, str or XLError"
                     % (what, r + 1, c + 1, kind.__name__))


def write(ref, rows, timeout=None):
    """Writes ``rows`` (a list of equally long lists) into ``ref``; returns
    the number of cells written. ``None`` clears a cell."""
    what = "write(%r)" % (ref,)
    ref = _check_ref(ref, what)
    if isinstance(rows, (str, bytes)) or not isinstance(rows, (list, tuple)):
        raise ValueError("%s: values are a list of rows, e.g. [[1, 2], [3, 4]], not %s"
                         % (what, type(rows).__name__))
    if not rows:
        raise ValueError("%s: no rows to write" % what)
    width = None
    flat = []
    for r, row in enumerate(rows):
        if isinstance(row, (str, bytes)) or not isinstance(row, (list, tuple)):
            raise ValueError("%s: row %d is a %s, not a list of values (one row is written as [[a, b, c]])"
                             % (what, r + 1, type(row).__name__))
        if width is None:
            width = len(row)
            if not width:
                raise ValueError("%s: row 1 is empty" % what)
            if len(rows) * width > MAX_CELLS:
                raise ValueError("%s: %d x %d is more than the 1,000,000 cells one call may write"
                                 % (what, len(rows), width))
        elif len(row) != width:
            raise ValueError("%s: row %d has %d values but row 1 has %d; rows must be equally long"
                             % (what, r + 1, len(row), width))
        flat.extend(_cell(v, r, c, what) for c, v in enumerate(row))
    return _run(_WRITE, ref, (flat, len(rows), width, XLError), timeout, what)


def set_formula(ref, text, timeout=None):
    """Enters ``text`` (a formula such as "=SUM(A1:A3)", or a constant) into the one cell ``ref``."""
    what = "set_formula(%r)" % (ref,)
    ref = _check_ref(ref, what)
    if not isinstance(text, str) or not text:
        raise ValueError("%s: the formula is a non-empty text such as \"=SUM(A1:A3)\"" % what)
    _run(_FORMULA, ref, text, timeout, what)


def calculate(timeout=None):
    """Recalculates every open workbook (Excel's Calculate Now)."""
    _run(_CALCULATE, None, None, timeout, "calculate()")


def sheets(timeout=None):
    """The names of the active workbook's sheets, in order."""
    return _run(_SHEETS, None, None, timeout, "sheets()")


def selection(timeout=None):
    """The current selection as an A1 reference text, e.g. ``"Sheet1!$A$1:$B$3"``."""
    return _run(_SELECTION, None, None, timeout, "selection()")

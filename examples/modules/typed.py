"""Typed worksheet functions: annotations say what a parameter takes, and the
add-in converts Excel's value in C before the call (#VALUE! when it cannot,
with a log line naming the argument).

``tindral_xl.Array`` takes a range as one buffer of doubles (a memoryview of
shape (rows, cols)), with no Python object per cell: the fast way to pass
large ranges. numpy, where installed, reads it without a copy:
``numpy.asarray(values)``.
"""

import datetime

from tindral_xl import Array, xl_function


@xl_function(name="COMPOUND")
def compound(principal: float, rate: float, years: int = 1) -> float:
    """=COMPOUND(1000, 0.05, 10): the value of 1000 after 10 years at 5% a year.

    years must be a whole number: =COMPOUND(1000, 0.05, 2.5) is #NUM!.
    """
    return principal * (1 + rate) ** years


@xl_function(name="ADD_MONTHS")
def add_months(start: datetime.date, months: int) -> datetime.date:
    """=ADD_MONTHS(45306, 1): the same day a number of months later (the month's
    last day where it is shorter); a date in, a date out."""
    month = start.month - 1 + months
    year, month = start.year + month // 12, month % 12 + 1
    for day in range(start.day, 27, -1):
        try:
            return start.replace(year=year, month=month, day=day)
        except ValueError:
            continue
    return start.replace(year=year, month=month)


@xl_function(name="DOT")
def dot(a: Array, b: Array) -> float:
    """=DOT({1,2,3}, {4,5,6}) gives 32: the sum of the products of two ranges
    of the same shape, such as =DOT(A2:A3, B2:B3) (blanks, text and errors
    count as 0)."""
    if a.shape != b.shape:
        raise ValueError("DOT needs two ranges of one shape, got %d x %d and %d x %d" % (a.shape + b.shape))
    return sum(x * y for x, y in zip(a.cast("B").cast("d"), b.cast("B").cast("d")) if x == x and y == y)


@xl_function(name="SCALED")
def scaled(values: Array, factor: float):
    """=SCALED({1,2;3,4}, 10) spills the range times the factor, with its shape:
    a buffer of doubles in, a buffer of doubles out."""
    out = bytearray(values.nbytes)
    view = memoryview(out).cast("d")
    for i, v in enumerate(values.cast("B").cast("d")):
        view[i] = v * factor
    return view.cast("B").cast("d", values.shape)

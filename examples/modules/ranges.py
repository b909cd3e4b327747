"""Ranges in, arrays out: a range arrives as a list of rows, a list comes back
as an array that spills into the cells below and to the right."""

import datetime

from tindral_xl import from_excel_date, xl_function


@xl_function(name="TOTAL")
def total(values):
    """=TOTAL(A1:C10): the sum of the numbers in a range; text, blanks and errors are skipped."""
    if values is None:
        return 0
    if not isinstance(values, list):  # a single value typed into the formula
        values = [[values]]
    return sum(v for row in values for v in row if type(v) is float)


@xl_function(name="TIMES_TABLE")
def times_table(n):
    """=TIMES_TABLE(5) spills a 5 x 5 multiplication table (at most 100 x 100)."""
    n = int(n)
    if not 1 <= n <= 100:
        raise ValueError("TIMES_TABLE needs a size from 1 to 100, got %r" % (n,))
    return [[row * col for col in range(1, n + 1)] for row in range(1, n + 1)]


@xl_function(name="NEXT_WORKDAYS")
def next_workdays(start, count):
    """=NEXT_WORKDAYS(A1, 5) spills, down one column, the 5 weekdays after the date in A1.

    Dates arrive as serial numbers and go back as dates (format the cells as dates).
    """
    day = from_excel_date(start).date()
    out = []
    while len(out) < int(count):
        day += datetime.timedelta(days=1)
        if day.weekday() < 5:
            out.append([day])
    return out

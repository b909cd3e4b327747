"""Objects in cells: one function builds a fitted line, another uses it.

FIT_LINE's result has no cell value, so the add-in keeps it and the cell
shows its handle (``<LineFit #1>``); giving that cell to PREDICT_LINE passes
the LineFit itself. When the cell with FIT_LINE computes again, its old fit
is released and the new one gets a new number.
"""

from tindral_xl import xl_function


class LineFit:
    """A least-squares line y = slope * x + intercept."""

    def __init__(self, slope, intercept, points):
        self.slope = slope
        self.intercept = intercept
        self.points = points

    def predict(self, x):
        return self.slope * x + self.intercept

    def __repr__(self):
        return "LineFit(slope=%g, intercept=%g, points=%d)" % (self.slope, self.intercept, self.points)


def _numbers(values):
    if not isinstance(values, list):  # a single value typed into the formula
        values = [[values]]
    return [v for row in values for v in row if type(v) is float]


@xl_function(name="FIT_LINE")
def fit_line(xs, ys):
    """=FIT_LINE(A1:A10, B1:B10) fits a line through the points; the cell shows <LineFit #N>."""
    xs, ys = _numbers(xs), _numbers(ys)
    if len(xs) != len(ys) or len(xs) < 2:
        raise ValueError("FIT_LINE needs two ranges of as many numbers, at least 2, got %d and %d"
                         % (len(xs), len(ys)))
    n = len(xs)
    mx, my = sum(xs) / n, sum(ys) / n
    sxx = sum((x - mx) ** 2 for x in xs)
    if sxx == 0:
        raise ValueError("FIT_LINE needs at least two different x values")
    slope = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sxx
    return LineFit(slope, my - slope * mx, n)


@xl_function(name="PREDICT_LINE")
def predict_line(fit: LineFit, x):
    """=PREDICT_LINE(C1, 10): the fitted line of the cell C1 (a FIT_LINE) at x."""
    return fit.predict(x)

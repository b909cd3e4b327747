"""Money and growth: numbers in, numbers out.

Excel passes numbers as float, so whole numbers arrive as 2.0, not 2.
"""

from tindral_xl import xl_function


@xl_function(name="LOAN_PAYMENT")
def loan_payment(annual_rate, years, principal):
    """Monthly payment of an annuity loan, e.g. =LOAN_PAYMENT(0.05, 30, 300000)."""
    months = int(years * 12)
    if months <= 0:
        raise ValueError("years must be positive")
    r = annual_rate / 12
    if r == 0:
        return principal / months
    return principal * r / (1 - (1 + r) ** -months)


@xl_function(name="CAGR")
def cagr(start_value, end_value, years):
    """Compound annual growth rate between two values."""
    if start_value <= 0 or years <= 0:
        raise ValueError("start value and years must be positive")
    return (end_value / start_value) ** (1 / years) - 1


@xl_function(name="FACTORIAL")
def factorial(n):
    """n! as a number: exact up to 2^53, #NUM! once it outgrows a double (n > 170)."""
    import math

    return math.factorial(int(n))

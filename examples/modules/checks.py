"""Booleans, and errors: raising shows #VALUE! in the cell and logs the message."""

from tindral_xl import xl_function


@xl_function(name="IS_PRIME")
def is_prime(n):
    """TRUE or FALSE for a whole number."""
    if n is None or n != int(n):
        raise ValueError("IS_PRIME needs a whole number, got %r" % (n,))
    n = int(n)
    if n < 2:
        return False
    f = 2
    while f * f <= n:
        if n % f == 0:
            return False
        f += 1
    return True


@xl_function(name="SAFE_DIVIDE")
def safe_divide(a, b, fallback):
    """a / b, or `fallback` when b is 0; with no fallback given it raises (#VALUE!)."""
    if b == 0:
        if fallback is None:
            raise ZeroDivisionError("division by zero and no fallback given")
        return fallback
    return a / b

"""Text in, text out, and what an omitted argument looks like (None)."""

from tindral_xl import xl_function


@xl_function(name="GREET")
def greet(name):
    """=GREET("Ada") gives "Hello, Ada!"; =GREET() or an empty cell gives "Hello, world!"."""
    return "Hello, %s!" % (name if name not in (None, "") else "world")


@xl_function(name="SLUGIFY")
def slugify(text):
    """ "Hello World, 2024!" becomes "hello-world-2024"."""
    if text is None:
        return None  # an empty cell stays empty
    # Imported at the first call, not when the add-in opens: `re` (with
    # `enum`) costs Excel's start more than the rest of this module.
    import re

    return re.sub(r"[^a-z0-9]+", "-", str(text).lower()).strip("-")


@xl_function(name="WORD_COUNT")
def word_count(text):
    return len(str(text).split()) if text is not None else 0


@xl_function(name="PYTYPE")
def pytype(value):
    """Shows how Excel's value arrived in Python: float, str, bool or NoneType."""
    return type(value).__name__

"""Asynchronous worksheet functions: an ``async def`` lets Excel go on while
it waits (for a web service, a database, a model), and many cells wait at
once rather than one after another."""

from tindral_xl import xl_function


@xl_function(name="SLOW_SQUARE")
async def slow_square(x, seconds=0.5):
    """x squared, after waiting without holding Excel up: =SLOW_SQUARE(12)"""
    # Imported here, not at the top: asyncio is loaded when the first
    # asynchronous call runs, not every time Excel opens the add-in.
    import asyncio

    await asyncio.sleep(seconds)
    return x * x

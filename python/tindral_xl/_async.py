"""The event loop of asynchronous worksheet functions, on a thread of its own.

The add-in imports this module at the first call of an ``async def`` worksheet
function, never at open: asyncio costs start-up time that a workbook without
such functions should not pay. The add-in owns the loop's thread (so that a
close can wait for the thread itself to end): it calls ``new_loop`` and then
runs ``run`` on that thread. Excel's thread calls ``submit`` (and, on a
cancelled calculation or a close, ``cancel_all`` / ``stop``); everything
else runs on the loop's thread. Results go back through the add-in's
``_native.async_return``, which forgets calls Excel no longer waits for.
"""

import asyncio
import sys

_loop = None
# Call id -> Task of the running coroutines. The loop's thread only.
_tasks = {}
# Raised by cancel_all and stop (Excel's thread, under the GIL): a
# coroutine submitted before a raise and not yet started is closed unstarted.
_generation = 0


async def _probe():
    pass


def _coroutine_type():
    probe = _probe()
    kind = type(probe)
    probe.close()
    return kind


_COROUTINE = _coroutine_type()


def new_loop():
    """Makes (and returns) the loop ``submit`` hands coroutines to. Excel's
    thread, just before the add-in starts the loop's thread, which calls
    ``run`` with it."""
    global _loop
    _loop = asyncio.new_event_loop()
    return _loop


def run(loop):
    """The loop's thread: serves the loop until ``stop``, then cancels the
    coroutines still running, gives them a moment to unwind (their finally
    blocks, their sessions) and closes the loop."""
    asyncio.set_event_loop(loop)
    try:
        loop.run_forever()
        tasks = [t for t in _tasks.values() if not t.done()]
        for task in tasks:
            task.cancel()
        if tasks:
            loop.run_until_complete(asyncio.wait(tasks, timeout=1.0))
        loop.run_until_complete(loop.shutdown_asyncgens())
    finally:
        _tasks.clear()
        asyncio.set_event_loop(None)
        loop.close()


def submit(call_id, coroutine):
    """Schedules ``coroutine`` for call ``call_id``; False (nothing done) when
    it is not a coroutine. Excel's thread, after ``new_loop``."""
    if type(coroutine) is not _COROUTINE and not asyncio.iscoroutine(coroutine):
        return False
    loop = _loop
    loop.call_soon_threadsafe(_begin, loop, call_id, coroutine, _generation)
    return True


def _begin(loop, call_id, coroutine, generation):
    if generation != _generation:
        coroutine.close()  # its calculation was cancelled before it started
        return
    task = loop.create_task(coroutine)
    _tasks[call_id] = task
    task.add_done_callback(lambda t, call_id=call_id: _done(call_id, t))


def _done(call_id, task):
    _tasks.pop(call_id, None)
    if task.cancelled():
        return  # the add-in has forgotten its handle already
    native = sys.modules.get("tindral_xl._native")
    if native is None:
        return
    error = task.exception()
    if error is not None:
        native.async_return(call_id, error, True)
    else:
        native.async_return(call_id, task.result(), False)


def _cancel_tasks():
    for task in list(_tasks.values()):
        task.cancel()


def cancel_all():
    """Cancels every coroutine, started or not. Excel's thread."""
    global _generation
    _generation += 1
    loop = _loop
    if loop is not None and not loop.is_closed():
        loop.call_soon_threadsafe(_cancel_tasks)


def stop():
    """Cancels everything and lets ``run`` end; the add-in waits for the
    thread itself. Excel's thread."""
    global _loop, _generation
    _generation += 1
    loop, _loop = _loop, None
    if loop is not None and not loop.is_closed():
        loop.call_soon_threadsafe(loop.stop)

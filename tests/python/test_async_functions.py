"""Asynchronous worksheet functions on the Python side: how the package lists
an ``async def`` (the add-in tells the call kind by the function's code) and
how tindral_xl._async runs, cancels and stops coroutines for the add-in."""

import asyncio
import functools
import importlib
import os
import sys
import threading

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))

CO_COROUTINE = 0x80


@pytest.fixture
def txl():
    import tindral_xl

    importlib.reload(tindral_xl)
    return tindral_xl


def coroutine_code(f):
    return bool(f.__code__.co_flags & CO_COROUTINE)


def test_listed_async_functions_are_always_plain_async_defs_the_add_in_recognises(txl):
    async def plain(x):
        return x

    async def with_default(x, p=2):
        return x ** p

    async def base(a, b):
        return a - b

    txl.register(plain, name="PLAIN")
    txl.register(with_default, name="DEFAULTED")
    # A partial has no code of its own: without a wrapper the add-in would
    # call it synchronously and show a coroutine's repr.
    txl.register(functools.partial(base, 10), name="PARTIAL", args=1)
    # The package's own TINDRAL.ERROR is listed first; only this test's entries count.
    entries = {e[0]: e[1] for e in txl._registry if e[0] != "TINDRAL.ERROR"}
    assert entries["PLAIN"] is plain
    assert all(coroutine_code(fn) for fn in entries.values())
    # The defaults wrapper stays asynchronous and still applies defaults.
    marker = entries["DEFAULTED"]._tindral_omitted
    assert asyncio.run(entries["DEFAULTED"](3.0, marker)) == 9.0
    assert asyncio.run(entries["PARTIAL"](4)) == 6


def test_async_function_takes_at_most_nine_arguments_excel_s_handle_takes_the_tenth(txl):
    async def nine(a, b, c, d, e, f, g, h, i):
        return 0

    async def ten(a, b, c, d, e, f, g, h, i, j):
        return 0

    def sync_ten(a, b, c, d, e, f, g, h, i, j):
        return 0

    txl.register(nine)
    txl.register(sync_ten)
    with pytest.raises(ValueError, match="0 to 9 to an asynchronous function"):
        txl.register(ten)
    assert [n for n in txl.registered() if n != "TINDRAL.ERROR"] == ["nine", "sync_ten"]


class Native:
    """tindral_xl._native's async_return as the loop calls it."""

    def __init__(self):
        self.returns = []
        self.arrived = threading.Event()

    def async_return(self, call_id, value, failed):
        self.returns.append((call_id, value if not failed else repr(value), failed))
        self.arrived.set()
        return True


@pytest.fixture
def loop_module(monkeypatch):
    native = Native()
    monkeypatch.setitem(sys.modules, "tindral_xl._native", native)
    import tindral_xl._async as a

    loop = a.new_loop()
    thread = threading.Thread(target=a.run, args=(loop,))
    thread.start()
    yield a, native, thread
    a.stop()
    thread.join(10)
    assert not thread.is_alive()


def test_results_and_exceptions_go_back_through_the_native_return(loop_module):
    a, native, _ = loop_module

    async def ok(x):
        await asyncio.sleep(0.01)
        return x * 2

    async def bad():
        raise KeyError("k")

    assert a.submit(1, ok(4)) is True
    assert a.submit(2, bad()) is True
    assert a.submit(3, 5) is False, "not a coroutine: the add-in answers it at once"
    for _ in range(100):
        if len(native.returns) == 2:
            break
        native.arrived.wait(0.1)
        native.arrived.clear()
    assert sorted(native.returns) == [(1, 8, False), (2, "KeyError('k')", True)]


def test_cancel_all_cancels_running_and_not_yet_started_coroutines_and_returns_nothing(loop_module):
    a, native, _ = loop_module
    started = threading.Event()
    finished = []

    async def long():
        started.set()
        try:
            await asyncio.sleep(30)
        finally:
            finished.append("unwound")

    a.submit(1, long())
    assert started.wait(10)
    a.submit(2, long())  # queued just before the cancel: closed without ever running
    a.cancel_all()
    for _ in range(50):
        if finished:
            break
        threading.Event().wait(0.02)
    assert finished == ["unwound"], "the running one was cancelled; the queued one never started"
    assert native.returns == []


def test_stop_ends_the_loop_thread_with_a_coroutine_still_waiting(loop_module):
    a, native, thread = loop_module
    unwound = []

    async def forever():
        try:
            await asyncio.sleep(3600)
        finally:
            unwound.append(True)

    a.submit(7, forever())
    threading.Event().wait(0.05)
    a.stop()
    thread.join(10)
    assert not thread.is_alive() and unwound == [True] and native.returns == []

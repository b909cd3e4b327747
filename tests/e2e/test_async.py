"""Asynchronous worksheet functions through xllhost: an ``async def`` is
registered as ">Q...X", its calls return at once, and the values arrive
through xlAsyncReturn from the add-in's event loop; cancelling a calculation
and closing the add-in leave no late return and no thread behind."""

import re

import pytest

ASYNC = r'''
import asyncio
from tindral_xl import xl_function

@xl_function(name="SLOW_SQUARE")
async def slow_square(x, delay=0.05):
    await asyncio.sleep(delay)
    return x * x

@xl_function(name="NAP")
async def nap(seconds):
    await asyncio.sleep(seconds)
    return "woke"

@xl_function(name="BROKEN")
async def broken(x):
    await asyncio.sleep(0)
    raise ValueError("no good: %r" % (x,))

@xl_function(name="GRID")
async def grid(n):
    await asyncio.sleep(0)
    return [[i, "r%d" % i] for i in range(int(n))]

@xl_function(name="PLAIN")
def plain(x):
    return x + 1
'''


@pytest.fixture
def async_addin(addin_folder):
    return addin_folder(package=True, modules={"waits.py": ASYNC}, python=True)


def results(run):
    return [l for l in run.lines if l.startswith("result ")]


@pytest.mark.needs_python
def test_async_def_is_registered_asynchronous_and_its_value_arrives_by_xlasyncreturn(async_addin, host, sandbox):
    run = host(async_addin, "open", "list", "call SLOW_SQUARE n:7", "call PLAIN n:1", "close")
    assert run.rc == 0, run.stderr
    listed = [l for l in run.lines if l.startswith("function ")]
    assert "function xll_slot_1 >QQX SLOW_SQUARE" in listed
    assert "function xll_slot_5 QQ PLAIN" in listed
    # The two handlers are commands, named to xlEventRegister.
    assert "eventregister 2 xll_calc_cancelled" in run.lines
    assert "eventregister 1 xll_calc_ended" in run.lines
    assert results(run) == ["result num 49 xltype=0x0001", "result num 2 xltype=0x0001"]
    assert "event ended xll_calc_ended 1" in run.lines
    assert not [l for l in run.lines if l.startswith("offthread")], "only xlAsyncReturn came from the loop"


@pytest.mark.needs_python
def test_hundred_concurrent_calls_all_return_their_own_values(async_addin, host):
    calls = ["acall SLOW_SQUARE n:%d n:0.5" % i for i in range(100)]
    run = host(async_addin, "open", *calls, "settle", "refused", "close")
    assert run.rc == 0, run.stderr
    pending = [int(l.split()[1]) for l in run.lines if l.startswith("pending ")]
    assert len(pending) == 100
    # Each handle gets the square of its own argument, whatever order the
    # coroutines finished in.
    returned = {}
    for i, line in enumerate(run.lines):
        if line.startswith("async "):
            returned[int(line.split()[1])] = run.lines[i + 1]
    assert returned == {h: "result num %d xltype=0x0001" % (k * k) for k, h in enumerate(pending)}
    assert "settle 100" in run.lines and "refused 0" in run.lines


@pytest.mark.needs_python
def test_exception_gives_value_error_and_logs_the_message_and_arrays_spill(async_addin, host, sandbox):
    run = host(async_addin, "open", "call BROKEN n:3", "call GRID n:2", "close")
    assert run.rc == 0, run.stderr
    assert results(run) == ["result err 15 xltype=0x0010",
                            'result multi 2 2 [0,"r0",1,"r1"] xltype=0x0040']
    assert "Python error in BROKEN: no good: 3.0" in sandbox.log_lines()


@pytest.mark.needs_python
def test_formula_cells_wait_for_their_values_and_show_them(async_addin, host):
    run = host(async_addin, "open", "seed A1:A3 f:=SLOW_SQUARE(2) f:=SLOW_SQUARE(3) f:=GRID(3)", "show A1:A3", "close")
    assert run.rc == 0, run.stderr
    # One calculation: the three calls run at once and it ends (one
    # calculation-ended event) when the last value came back.
    assert run.lines.count("event ended xll_calc_ended 1") == 1
    assert 'show A1:A3 3 1 [{"f":"=SLOW_SQUARE(2)","v":4},{"f":"=SLOW_SQUARE(3)","v":9},{"f":"=GRID(3)","v":0}]' \
        in run.lines


@pytest.mark.needs_python
def test_cancel_mid_flight_returns_no_late_value(async_addin, host, sandbox):
    run = host(async_addin, "open", "acall NAP n:0.6", "acall NAP n:0.6", "sleep 100", "cancel", "sleep 1200",
               "refused", "acall SLOW_SQUARE n:5", "settle", "close")
    assert run.rc == 0, run.stderr
    assert "cancel 2" in run.lines
    assert "event cancelled xll_calc_cancelled 1" in run.lines
    # Neither nap tried to return after the cancel (the add-in forgot them
    # and cancelled their tasks), and the loop still serves new calls.
    assert "refused 0" in run.lines
    assert results(run) == ["result num 25 xltype=0x0001"]
    assert "func_registry: calculation cancelled: 2 pending asynchronous call(s) cancelled" in sandbox.log_lines()


@pytest.mark.needs_python
def test_close_with_pending_calls_ends_the_loop_thread_before_returning(async_addin, host, sandbox):
    # The same add-in opened and closed once without asynchronous calls gives
    # the count of threads a closed add-in leaves (Python's own, the host's).
    run = host(async_addin, "open", "close", "threads", "open", "acall NAP n:30", "acall NAP n:30", "threads",
               "close", "threads", "sleep 300", "refused")
    assert run.rc == 0, run.stderr
    counts = [int(l.split()[1]) for l in run.lines if l.startswith("threads ")]
    if counts[0] >= 0:
        closed, running, closed_again = counts
        assert running > closed
        assert closed_again == closed, "xlAutoClose returned with the loop thread gone"
    assert "refused 0" in run.lines
    assert "func_registry: event loop stopped; 2 pending asynchronous call(s) cancelled" in sandbox.log_lines()


@pytest.mark.needs_python
def test_process_ending_without_close_while_the_loop_runs_exits_cleanly(async_addin, host):
    # The host ends the process the way Windows ends any (ExitProcess: the
    # other threads are ended where they stand, then the modules' detach
    # runs), with the loop thread, the server's threads and a call pending.
    # The add-in's records must not be torn down then: a still-joinable
    # thread object aborted the Windows build here with exit code 3.
    run = host(async_addin, "open", "acall NAP n:30", "call PLAIN n:1")
    assert "result num 2 xltype=0x0001" in run.lines
    assert run.rc == 0, run.stderr


@pytest.mark.needs_python
def test_open_imports_no_asyncio_until_the_first_asynchronous_call(addin_folder, host):
    """asyncio is start-up cost: it comes with the first asynchronous call."""
    probe = r'''
import sys
from tindral_xl import register

async def echo(x):
    return x

register(echo, name="ECHO")
register(lambda: "asyncio" in sys.modules, name="HAS_ASYNCIO")
'''
    addin = addin_folder(package=True, modules={"probe.py": probe}, python=True)
    run = host(addin, "open", "call HAS_ASYNCIO", "call ECHO s:hi", "call HAS_ASYNCIO", "close")
    assert run.rc == 0, run.stderr
    assert results(run) == ["result bool 0 xltype=0x0004", 'result str "hi" xltype=0x0002',
                            "result bool 1 xltype=0x0004"]


def mcp_call(session, name, arguments):
    """One MCP tools/call on /mcp; the tool's structured result."""
    import http.client
    import json

    conn = http.client.HTTPConnection("127.0.0.1", session["port"], timeout=60)
    try:
        body = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "tools/call",
                           "params": {"name": name, "arguments": arguments}})
        conn.request("POST", "/mcp", body=body, headers={"Authorization": "Bearer " + session["token"],
                                                        "Content-Type": "application/json"})
        answer = json.loads(conn.getresponse().read())
    finally:
        conn.close()
    assert "result" in answer and not answer["result"].get("isError"), answer
    return answer["result"]["structuredContent"]


@pytest.mark.needs_python
def test_async_function_written_by_an_agent_registers_asynchronous_and_is_marked(addin_folder, start_host, sandbox):
    addin = addin_folder(package=True, python=True, modules={"plain.py": ASYNC.split("@xl_function(name=\"NAP\")")[0]})
    p = start_host(addin)
    p.command("clock stop", "clock")
    p.command("open", "open ")
    source = ("import asyncio\nfrom tindral_xl import xl_function\n\n"
              "@xl_function(name='AGENT_WAIT')\nasync def agent_wait(x):\n"
              "    '''Waits a moment, then doubles.'''\n    await asyncio.sleep(0.05)\n    return 2 * x\n")
    written = mcp_call(sandbox.session(), "write_module", {"name": "agent_waits", "source": source})
    assert written["functions"] == ["AGENT_WAIT"]
    registered = p.command("advance 1000", "advance ")
    assert "register 0 xll_slot_2 >QX AGENT_WAIT" in registered
    assert [l for l in p.command("call AGENT_WAIT n:21", "result ") if l.startswith("result ")] == [
        "result num 42 xltype=0x0001"]
    listed = {f["name"]: f for f in sandbox.exec_op(op="functions")["functions"]}
    assert listed["AGENT_WAIT"]["async"] is True and listed["AGENT_WAIT"]["state"] == "accepted"
    assert listed["SLOW_SQUARE"]["async"] is True
    mcp_listed = {f["name"]: f for f in mcp_call(sandbox.session(), "list_functions", {})["functions"]}
    assert mcp_listed["AGENT_WAIT"]["async"] is True and mcp_listed["AGENT_WAIT"]["doc"] == "Waits a moment, then doubles."
    p.command("close", "close ")
    p.finish()


@pytest.mark.tsan_only
@pytest.mark.needs_python
@pytest.mark.time_limit(300)
def test_async_calls_cancels_and_closes_race_nothing(async_addin, host, sandbox):
    """Excel's thread, the loop's thread and the returns that cross between
    them, under ThreadSanitizer: calls, a hundred at once, a cancel with
    returns in flight, a close with calls pending, and a reopen."""
    calls = ["acall SLOW_SQUARE n:%d n:0.02" % i for i in range(100)]
    run = host(async_addin, "open", *calls, "settle", "acall NAP n:0.05", "acall NAP n:5", "sleep 50", "cancel",
               "call BROKEN n:1", "call GRID n:3", "acall NAP n:5", "close", "open", "call SLOW_SQUARE n:2", "close",
               timeout=240)
    assert run.rc == 0, run.stderr
    assert "settle 100" in run.lines and "result num 4 xltype=0x0001" in run.lines
    assert sandbox.tsan_reports() == []

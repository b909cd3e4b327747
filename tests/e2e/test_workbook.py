"""Agents read and write the workbook: tindral_xl.excel from /exec, through the
main-thread tick, against the workbook xllhost plays. And the queue's edges:
bad references, the worksheet function that must not wait on its own thread,
a close while a request waits, a request that waits too long."""

import json
import subprocess
import sys
import threading
import time

import pytest

from conftest import ROOT

AGENT = ROOT / "tools" / "agent" / "tindral_agent.py"


def run_code(sandbox, code, timeout=60):
    """Runs agent code; returns the answer, failing with it when the code raised."""
    answer = sandbox.exec_op(timeout=timeout, op="exec", code=code)
    assert answer["ok"], answer
    return answer


class Live:
    """An xllhost that takes its script line by line."""

    def __init__(self, start_host, addin):
        self.p = start_host(addin)

    def run(self, command, until, timeout=30):
        """Sends one command and returns its output lines, up to the first new one starting with `until`."""
        return self.p.command(command, until, timeout)

    def last(self, command, until):
        return self.run(command, until)[-1]


@pytest.fixture
def workbook(start_host, addin_folder):
    def make(modules=None, seed=(), idle=True):
        addin = addin_folder(package=True, python=True, modules=modules or {"empty.py": "X = 1\n"})
        h = Live(start_host, addin)
        for command in seed:
            h.run(command, command.split()[0])
        h.run("open", "open ")
        if idle:
            h.run("idle on", "idle on")
        h.modules = addin.parent / "modules"
        return h

    return make


SEED = ["seed Sheet1!A1:B3 1 2 3 4 s:x e:7", "sheet Data", "seed Data!A1 s:other", "select Sheet1!B2:B3"]


@pytest.mark.needs_python
@pytest.mark.time_limit(180)
def test_agent_reads_a_range_writes_beside_it_and_sets_a_formula_using_a_function_it_just_wrote(workbook, sandbox):
    h = workbook(seed=SEED)
    answer = run_code(sandbox, "from tindral_xl import excel\nrows = excel.read('Sheet1!A1:B3')\nrows")
    assert answer["repr"] == "[[1.0, 2.0], [3.0, 4.0], ['x', XLError('#DIV/0!')]]"
    run_code(sandbox, "excel.write('C1', [[a + b] if isinstance(b, float) else [None] for a, b in rows])")
    (h.modules / "double.py").write_text(
        "from tindral_xl import xl_function\n@xl_function(name='DOUBLE')\ndef double(x):\n    return x * 2\n",
        encoding="utf-8")
    assert sandbox.exec_op(op="load", module="double")["pending"] == ["DOUBLE"]
    answer = run_code(sandbox, "excel.set_formula('D1', '=DOUBLE(21)')\nexcel.calculate()\n"
                               "(excel.read('D1'), excel.sheets(), excel.selection())")
    assert answer["result"] == [[[42.0]], ["Sheet1", "Data"], "Sheet1!$B$2:$B$3"]
    h.run("idle off", "idle off")
    assert h.last("show Sheet1!A1:D3", "show ") == (
        'show Sheet1!A1:D3 3 4 [1,2,3,{"f":"=DOUBLE(21)","v":42},3,4,7,null,"x",{"err":7},null,null]')
    assert h.last("show Data!A1", "show ") == 'show Data!A1 1 1 ["other"]'
    # Every text, array and reference Excel answered was handed back.
    assert h.last("xlowned", "xlowned") == "xlowned 0"


@pytest.mark.needs_python
def test_agent_cli_reads_and_writes_json_rows(workbook, sandbox):
    workbook(seed=["seed A1:B1 s:name e:42"])
    session = str(sandbox.client_session_path())

    def agent(*args):
        r = subprocess.run([sys.executable, str(AGENT), "--session", session] + list(args),
                           capture_output=True, text=True, timeout=60)
        return r.returncode, json.loads(r.stdout) if r.stdout.strip() else None, r.stderr

    rc, answer, _ = agent("write", "A2", '[[1.5, true], [null, {"error": "#N/A"}]]')
    assert (rc, answer["written"]) == (0, 4)
    rc, answer, _ = agent("read", "A1:B3")
    assert rc == 0 and answer["rows"] == [["name", {"error": "#N/A"}], [1.5, True], [None, {"error": "#N/A"}]]
    rc, answer, _ = agent("read", "Nowhere!A1")
    assert rc == 1 and answer["type"] == "ValueError" and "no sheet named 'Nowhere'" in answer["error"]


@pytest.mark.needs_python
def test_bad_references_and_limits_get_clear_errors_and_change_nothing(workbook, sandbox):
    h = workbook(seed=["seed A1:B2 1 2 3 4"])
    run_code(sandbox, "from tindral_xl import excel\n"
                      "def failure(f, *a):\n"
                      "    try:\n"
                      "        f(*a)\n"
                      "    except Exception as e:\n"
                      "        return type(e).__name__ + ': ' + str(e)\n")
    cases = {
        "excel.read, 'A1:B'": "ValueError: read('A1:B'): not a reference Excel understands",
        "excel.read, 'Nope!A1'": "ValueError: read('Nope!A1'): no sheet named 'Nope' in the active workbook",
        "excel.read, 'A:XFD'": "ValueError: read('A:XFD'): 1048576 x 16384 is 17179869184 cells",
        "excel.read, 'A1:A1000001'": "ValueError: read('A1:A1000001'): 1000001 x 1 is 1000001 cells, more than "
                                     "the 1,000,000 one request may read",
        "excel.write, 'XFD1048576', [[1], [2]]": "ValueError: write('XFD1048576'): 2 x 1 values from row 1048576, "
                                                 "column 16384 would end at row 1048577",
        "excel.write, 'A1:B2', [[9, 9, 9]]": "ValueError: write('A1:B2'): the reference is 2 x 2 cells but the "
                                             "values are 1 x 3",
        "excel.write, 'A1', [[1, 2], [3]]": "ValueError: write('A1'): row 2 has 1 values but row 1 has 2",
        "excel.write, 'A1', [[object()]]": "ValueError: write('A1'): row 1, column 1 holds a object",
        "excel.write, 'A1', [[0] * 1000] * 1001": "ValueError: write('A1'): 1001 x 1000 is more than the "
                                                 "1,000,000 cells",
        "excel.set_formula, 'A1:B2', '=1'": "ValueError: set_formula('A1:B2'): a formula goes into one cell",
    }
    for call, expected in cases.items():
        got = run_code(sandbox, "failure(%s)" % call)["result"]
        assert got is not None and got.startswith(expected), (call, got)
    h.run("idle off", "idle off")
    assert h.last("show A1:B2", "show ") == "show A1:B2 2 2 [1,2,3,4]"
    assert h.last("show XFD1048576", "show ") == "show XFD1048576 1 1 [null]"


@pytest.mark.needs_python
def test_worksheet_function_using_the_workbook_raises_instead_of_deadlocking(workbook, sandbox):
    module = ("from tindral_xl import xl_function, excel\n"
              "@xl_function(name='PEEK')\n"
              "def peek():\n"
              "    try:\n"
              "        return excel.read('A1')\n"
              "    except RuntimeError as e:\n"
              "        return str(e)\n"
              "@xl_function(name='PEEK_RAW')\n"
              "def peek_raw():\n"
              "    return excel.read('A1')\n")
    h = workbook(modules={"peek.py": module}, seed=["seed A1 5"], idle=False)
    result = h.last("call PEEK", "result ")
    assert result.startswith('result str "read(\'A1\'): tindral_xl.excel cannot be used on Excel\'s main thread')
    assert h.last("call PEEK_RAW", "result ") == "result err 15 xltype=0x0010"
    assert any(l.startswith("Python error in PEEK_RAW: read('A1'): tindral_xl.excel cannot be used on Excel's "
                            "main thread") for l in sandbox.log_lines())


@pytest.mark.needs_python
def test_close_with_a_waiting_request_fails_it_cleanly(workbook, sandbox):
    # No idle and a stopped clock: no tick runs, the request waits.
    h = workbook(seed=["clock stop", "seed A1 5"], idle=False)
    answers = []
    waiter = threading.Thread(target=lambda: answers.append(
        sandbox.exec_op(op="exec", code="from tindral_xl import excel\nexcel.read('A1')")))
    waiter.start()
    time.sleep(1.0)  # the request reaches the queue
    h.run("close", "close ")
    waiter.join(30)
    assert not waiter.is_alive()
    [answer] = answers
    assert (answer["ok"], answer["type"]) == (False, "RuntimeError")
    assert answer["error"] == "read('A1'): the add-in closed before Excel ran the request; nothing was changed"
    assert "excel_jobs: 1 waiting request(s) failed: the add-in is closing" in sandbox.log_lines()
    assert h.last("timers", "timers ") == "timers 0"


@pytest.mark.needs_python
def test_request_that_excel_never_runs_times_out_withdrawn(workbook, sandbox):
    h = workbook(seed=["clock stop", "seed A1 5"], idle=False)
    answer = sandbox.exec_op(op="exec", code="from tindral_xl import excel\nexcel.write('A1', [[99]], timeout=0.3)")
    assert (answer["ok"], answer["type"]) == (False, "TimeoutError")
    assert "did not run the request within 0.3 s" in answer["error"] and "nothing changed" in answer["error"]
    # The withdrawn write never happens, even when the tick runs later.
    h.run("advance 1000", "advance ")
    assert h.last("show A1", "show ") == "show A1 1 1 [5]"
    h.run("clock go", "clock")
    h.run("idle on", "idle on")
    assert run_code(sandbox, "excel.read('A1')")["result"] == [[5.0]]


def test_jobs_reach_the_cells_through_the_tick_and_close_fails_a_waiting_one(host, sandbox, target):
    # No interpreter: the fixture's own thread plays the agent, so this runs
    # on the Windows build under Wine as well.
    r = host(target.fixture_library("jobs_addin"), "seed A1:B2 1 2 s:x e:7", "select B2", "open", "sleep 4000",
             "show A1:D2", "call JOBS_ON_CELL", "call JOBS_LATE", "close", "timers", "xlowned")
    assert r.rc == 0, r.stderr
    assert [l for l in r.lines if not l.startswith(("register", "xlfree"))] == [
        "seed A1:B2 4", "select B2", "open 1", "ontime xll_register_pending 1", "sleep 4000",
        'show A1:D2 2 4 [1,2,3,{"f":"=JOBS_TWICE(21)","v":42},"x",{"err":7},"sum",null]',
        # Submitted on Excel's own thread: refused (EXCEL_JOBS_ON_MAIN_THREAD), never waited on.
        "result num -1 xltype=0x0001",
        "result bool 1 xltype=0x0004",
        "close 1", "timers 0", "xlowned 0"]
    assert [l for l in sandbox.log_lines() if l.startswith(("jobs_addin", "excel_jobs"))] == [
        "jobs_addin: read: ok 1 2 'x' #7",
        "jobs_addin: write: ok 3 'sum' changed 2",
        "jobs_addin: formula: ok changed 1",
        "jobs_addin: calculate: ok",
        "jobs_addin: read: ok 42",
        "jobs_addin: sheets: ok 'Sheet1'",
        "jobs_addin: selection: ok 'Sheet1!$B$2'",
        "jobs_addin: bad: bad input: no such sheet in the active workbook",
        # The whole sheet's 2^34 cells, counted without overflow on Windows' 32-bit long.
        "jobs_addin: huge: bad input: 1048576 x 16384 is 17179869184 cells, more than the 1,000,000 one request "
        "may read",
        "jobs_addin: agent done",
        "excel_jobs: 1 waiting request(s) failed: the add-in is closing",
        "jobs_addin: late: closed",
        "jobs_addin: closed",
    ]


# --- the tick's pace ------------------------------------------------------------------


def schedules(h):
    line = h.last("schedules", "schedules ")
    return int(line.split()[1])


# After each job the tick re-armed for "now" for two seconds: thousands of
# runs a second on Excel's main thread for every agent request. Counted in
# the host's xlcOnTime calls: at most 20 a second while jobs wait or just
# ran, at most one a second when idle, and the next run never more than
# 50 ms away while jobs come.
@pytest.mark.needs_python
@pytest.mark.time_limit(180)
def test_tick_runs_at_most_20_times_a_second_with_jobs_and_once_a_second_idle(workbook, sandbox):
    import time

    h = workbook(seed=["seed A1 5"])
    before, started = schedules(h), time.monotonic()
    answer = run_code(sandbox, "from tindral_xl import excel\nfor _ in range(40):\n    v = excel.read('A1')\nv")
    assert answer["result"] == [[5.0]]
    busy_runs, busy_seconds = schedules(h) - before, time.monotonic() - started
    timer = h.run("timers", "timers ")
    assert len(timer) == 2 and timer[0].endswith(" xll_register_pending"), timer
    assert 0 <= int(timer[0].split()[1]) <= 50, "while jobs come, the next run is at most 50 ms away: %s" % timer
    # Two seconds of the busy pace follow the last job; then the idle pace.
    time.sleep(2.5)
    idle_from, idle_started = schedules(h), time.monotonic()
    time.sleep(4)
    idle_runs, idle_seconds = schedules(h) - idle_from, time.monotonic() - idle_started
    assert busy_runs <= 20 * busy_seconds + 2, "%d runs in %.2f s while jobs ran" % (busy_runs, busy_seconds)
    assert idle_runs <= idle_seconds + 1, "%d runs in %.2f s idle" % (idle_runs, idle_seconds)

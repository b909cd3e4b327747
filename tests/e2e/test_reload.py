"""Live reload as a user develops worksheet functions: edit a module, reload
it over the agent channel, and the cells answer with the new code; new names
register at the main-thread tick, removed names answer #NAME?. And the tick
itself: xlcOnTime scheduling with xlfNow, re-scheduling, cancel at close."""

import time

import pytest

WEIGHTED = '''
from tindral_xl import xl_function

@xl_function(name="WEIGHTED")
def weighted(a, b):
    return %s
'''


class Live:
    """An open add-in in a host that takes its script line by line."""

    def __init__(self, start_host, addin):
        self.p = start_host(addin)

    def run(self, command, until, timeout=30):
        """Sends one command and returns its output lines, up to the first new one starting with `until`."""
        return self.p.command(command, until, timeout)

    def call(self, what):
        return [l for l in self.run("call " + what, "result ") if l.startswith("result ")][-1]


@pytest.fixture
def live(start_host, addin_folder, sandbox):
    def make(modules):
        addin = addin_folder(package=True, python=True, modules=modules)
        h = Live(start_host, addin)
        h.run("clock stop", "clock")
        h.run("open", "open ")
        h.modules = addin.parent / "modules"
        return h

    yield make


@pytest.mark.needs_python
def test_edited_module_reloads_into_the_cell_without_reopening(live, sandbox):
    h = live({"mystats.py": WEIGHTED % "a * 0.5 + b * 0.25"})
    assert h.call("WEIGHTED n:25 n:20") == "result num 17.5 xltype=0x0001"
    (h.modules / "mystats.py").write_text(WEIGHTED % "a + b", encoding="utf-8")
    answer = sandbox.exec_op(op="reload", module="mystats")
    assert answer["ok"] and answer["rebound"] == ["WEIGHTED"] and answer["pending"] == []
    assert h.call("WEIGHTED n:25 n:20") == "result num 45 xltype=0x0001"
    [f] = [f for f in sandbox.exec_op(op="functions")["functions"] if f["name"] == "WEIGHTED"]
    assert (f["slot"], f["registered_nargs"], f["state"]) == (1, 2, "accepted")  # slot 0: TINDRAL.ERROR


@pytest.mark.needs_python
def test_new_name_registers_at_the_next_tick_and_a_removed_one_answers_name_error(live, sandbox):
    h = live({"mystats.py": WEIGHTED % "a + b"})
    (h.modules / "mystats.py").write_text(
        "from tindral_xl import xl_function\n@xl_function(name='NEWFN')\ndef newfn(x):\n    return x * 3\n",
        encoding="utf-8")
    answer = sandbox.exec_op(op="reload", module="mystats")
    assert (answer["pending"], answer["removed"], answer["rebound"]) == (["NEWFN"], ["WEIGHTED"], [])
    states = {f["name"]: f["state"] for f in sandbox.exec_op(op="functions")["functions"]}
    # Excel has the name until the tick's xlfUnregister.
    assert states == {"NEWFN": "pending", "WEIGHTED": "removing", "TINDRAL.ERROR": "accepted"}
    # Before the tick Excel still calls the old registration: the slot itself says #NAME?.
    assert h.call("WEIGHTED n:1 n:2") == "result err 29 xltype=0x0010"
    out = h.run("advance 1000", "advance ")
    assert "register 0 xll_slot_2 QQ NEWFN" in out
    assert any(l.startswith("unregister ") and l.endswith(" WEIGHTED") for l in out)
    assert out[-1] == "advance 1000 1"
    assert h.call("NEWFN n:4") == "result num 12 xltype=0x0001"
    listed = h.run("list", "list ")
    assert not any(l.endswith(" WEIGHTED") for l in listed)
    states = {f["name"]: f["state"] for f in sandbox.exec_op(op="functions")["functions"]}
    assert states == {"NEWFN": "accepted", "WEIGHTED": "removed", "TINDRAL.ERROR": "accepted"}
    log = sandbox.log_lines()
    assert "Removed function: WEIGHTED (slot 1) answers #NAME? from now on" in log
    assert "Unregistered Excel function: WEIGHTED" in log
    # The name comes back: its slot is registered again at the next tick.
    (h.modules / "mystats.py").write_text(WEIGHTED % "a - b", encoding="utf-8")
    assert sandbox.exec_op(op="reload", module="mystats")["pending"] == ["WEIGHTED"]
    assert "register 0 xll_slot_1 QQQ WEIGHTED" in h.run("advance 1000", "advance ")
    assert h.call("WEIGHTED n:5 n:2") == "result num 3 xltype=0x0001"


@pytest.mark.needs_python
def test_failing_import_binds_nothing_of_its_module_and_logs_why(live, sandbox, target):
    h = live({
        "a_good.py": "from tindral_xl import register\nregister(lambda: 'good', name='GREET')\n",
        "b_bad.py": "from tindral_xl import register\nregister(lambda: 'bad', name='GREET')\n"
                    "register(lambda: 'half', name='HALF')\nraise ValueError('boom')\n",
    })
    assert h.call("GREET") == 'result str "good" xltype=0x4002'
    log = sandbox.log_lines()
    i = log.index("Failed to import module: b_bad")
    assert log[i + 1] == "ValueError: boom"
    # The file as the interpreter names it: under the Wine bridge that is
    # Linux Python, which imported the module by its Unix path.
    bad = h.modules / "b_bad.py"
    assert log[i + 2] == '  File "%s", line 4, in <module>' % (bad if target.python_is_linux else target.path_arg(bad))
    assert "HALF" not in [f["name"] for f in sandbox.exec_op(op="functions")["functions"]]
    # A reload that fails keeps what is bound, and says why.
    (h.modules / "a_good.py").write_text("def broken(:\n", encoding="utf-8")
    answer = sandbox.exec_op(op="reload", module="a_good")
    assert answer["ok"] is False and answer["type"] == "SyntaxError"
    assert h.call("GREET") == 'result str "good" xltype=0x4002'
    assert "Failed to reload module: a_good" in sandbox.log_lines()


@pytest.mark.needs_python
def test_defaults_apply_load_takes_a_new_file_and_the_package_is_never_reloaded(live, sandbox):
    h = live({"m.py": "from tindral_xl import xl_function\n@xl_function(name='POWER_OF')\n"
                      "def power_of(x, p=2):\n    return x ** p\n"})
    assert h.call("POWER_OF n:3") == "result num 9 xltype=0x0001"
    assert h.call("POWER_OF n:3 nil") == "result num 9 xltype=0x0001"
    assert h.call("POWER_OF n:3 n:3") == "result num 27 xltype=0x0001"
    (h.modules / "later.py").write_text("from tindral_xl import register\nregister(lambda: 7, name='LATER')\n",
                                        encoding="utf-8")
    assert sandbox.exec_op(op="reload", module="later")["kind"] == "request"
    assert sandbox.exec_op(op="load", module="later")["pending"] == ["LATER"]
    h.run("advance 1000", "advance ")
    assert h.call("LATER") == "result num 7 xltype=0x0001"
    for name in ("tindral_xl", "tindral_xl._exec_entry"):
        answer = sandbox.exec_op(op="reload", module=name)
        assert answer["kind"] == "request" and "refused" in answer["error"]
    assert {f["name"] for f in sandbox.exec_op(op="functions")["functions"]} == {"POWER_OF", "LATER", "TINDRAL.ERROR"}


@pytest.mark.needs_python
def test_a_name_registered_by_two_modules_warns_naming_both(live, sandbox):
    live({"a_one.py": "from tindral_xl import register\nregister(lambda: 1, name='TWICE')\n",
          "b_two.py": "from tindral_xl import register\nregister(lambda: 2, name='TWICE')\n"})
    assert "WARNING: worksheet function TWICE of module b_two replaces the one of module a_one" in sandbox.log_lines()


@pytest.mark.needs_python
def test_poisoned_exec_entry_is_replaced_at_the_next_open(live, sandbox):
    h = live({})
    code = "import tindral_xl._exec_entry as e\ne.dispatch_request = lambda body: 'poisoned'"
    assert sandbox.exec_op(op="exec", code=code)["ok"]
    h.run("close", "close ")
    h.run("open", "open ")
    assert sandbox.exec_op(op="ping")["ok"]
    assert "func_registry: re-imported tindral_xl._exec_entry" in sandbox.log_lines()


@pytest.mark.needs_python
def test_first_request_made_while_the_add_in_opens_is_answered(start_host, addin_folder, sandbox):
    # The session file is there before Python starts, so an agent's first
    # request can import the exec entry while the opening thread checks it:
    # a half-imported module judged broken and taken out of sys.modules
    # failed that request with "internal error".
    addin = addin_folder(package=True, python=True, modules={})
    answers = []
    for _ in range(5):
        sandbox.session_path.unlink(missing_ok=True)
        p = start_host(addin)
        p.send("open")
        deadline = time.monotonic() + 60
        while sandbox.session() is None and time.monotonic() < deadline:
            time.sleep(0.002)
        # Before Python is up the server says so; the first request it takes
        # to Python is the one that met the opening thread.
        answer = sandbox.exec_op(op="ping")
        while answer.get("error") == "python not initialized" and time.monotonic() < deadline:
            answer = sandbox.exec_op(op="ping")
        answers.append(answer)
        p.send("close")
        p.kill()
    assert [a.get("ok") for a in answers] == [True] * 5, answers


# --- the tick's schedule, with and without an interpreter ------------------------


def tick_script(host, addin):
    return host(addin, "clock stop", "open", "timers", "advance 999", "advance 1", "timers",
                "run xll_register_pending", "timers", "close", "timers", "advance 5000")


def test_tick_is_scheduled_a_second_ahead_reschedules_and_is_cancelled_at_close(host, sandbox, target):
    r = tick_script(host, target.fixture_library("tick_addin"))
    assert r.rc == 0, r.stderr
    lines = [l for l in r.lines if not l.startswith(("register", "xlfree"))]
    assert lines == [
        "clock stop", "open 1",
        "timer 1000 xll_register_pending", "timers 1",
        "advance 999 0",
        "ontime xll_register_pending 1", "advance 1 1",
        "timer 1000 xll_register_pending", "timers 1",
        # Run by name while one is pending: still exactly one schedule.
        "run xll_register_pending 1", "timer 1000 xll_register_pending", "timers 1",
        "close 1", "timers 0", "advance 5000 0",
    ]
    log = [l for l in sandbox.log_lines() if l.startswith("tick_addin")]
    assert log == ["tick_addin: scheduled run", "tick_addin: hook run 1", "tick_addin: run by name",
                   "tick_addin: hook run 2"]


@pytest.mark.needs_python
def test_the_add_ins_tick_runs_quietly_and_stops_at_close(host, sandbox, addin_folder):
    addin = addin_folder(package=True, python=True, modules={"m.py": "X = 1\n"})
    r = tick_script(host, addin)
    assert r.rc == 0, r.stderr
    assert [l for l in r.lines if l.startswith(("timer", "ontime", "close"))] == [
        "timer 1000 xll_register_pending", "timers 1", "ontime xll_register_pending 1",
        "timer 1000 xll_register_pending", "timers 1", "timer 1000 xll_register_pending", "timers 1",
        "close 1", "timers 0"]
    log = sandbox.log_lines()
    # The scheduled run has nothing to do and says nothing; the run by name says it ran.
    assert log.count("func_registry: processing deferred registrations (command)") == 1



# --- what Excel has, across close and open and refusals --------------------------


def mcp_message(session, message, timeout=60):
    """One JSON-RPC message to the add-in's /mcp; the parsed answer."""
    import http.client
    import json

    conn = http.client.HTTPConnection("127.0.0.1", session["port"], timeout=timeout)
    try:
        conn.request("POST", "/mcp", body=json.dumps(message),
                     headers={"Authorization": "Bearer " + session["token"], "Content-Type": "application/json"})
        return json.loads(conn.getresponse().read())
    finally:
        conn.close()


MARKUP_SOURCE = ("from tindral_xl import xl_function\n\n@xl_function(name=\"MARKUP\")\ndef markup(cost, pct):\n"
                 "    return cost * (1 + pct / 100)\n")


# The README's MCP session, run as written (no `idle on`: no tick runs
# between the write and the close): the name a reload left pending was
# rebound by the reopen but never registered, and `call MARKUP` answered
# "unknown function".
@pytest.mark.needs_python
@pytest.mark.time_limit(180)
def test_readme_mcp_walkthrough_registers_the_written_function_at_the_reopen(start_host, addin_folder, sandbox,
                                                                              target):
    import json
    import subprocess
    import sys

    from conftest import ROOT

    addin = addin_folder(package=True, python=True, modules={})
    p = start_host(addin)
    p.command("open", "open ")
    messages = [
        {"jsonrpc": "2.0", "id": 1, "method": "initialize",
         "params": {"protocolVersion": "2025-06-18", "capabilities": {}, "clientInfo": {"name": "demo", "version": "1"}}},
        {"jsonrpc": "2.0", "method": "notifications/initialized"},
        {"jsonrpc": "2.0", "id": 2, "method": "tools/call",
         "params": {"name": "write_module", "arguments": {"name": "pricing", "source": MARKUP_SOURCE}}},
    ]
    proc = subprocess.run([sys.executable, str(ROOT / "tools" / "mcp" / "tindral_mcp.py"),
                           "--session", str(sandbox.client_session_path())],
                          input="".join(json.dumps(m) + "\n" for m in messages), capture_output=True, text=True,
                          env=sandbox.env, timeout=120)
    answers = [json.loads(l) for l in proc.stdout.splitlines() if l.strip()]
    assert [a["id"] for a in answers] == [1, 2], proc.stdout + proc.stderr
    written = answers[1]["result"]
    assert "isError" not in written and written["structuredContent"]["functions"] == ["MARKUP"], written
    out = p.command("close", "close ") + p.command("open", "open ")
    assert any(l.startswith("register 0 xll_slot_") and l.endswith(" QQQ MARKUP") for l in out), out
    assert p.command("call MARKUP n:80 n:25", "result ")[-1] == "result num 100 xltype=0x0001"
    [f] = [f for f in sandbox.exec_op(op="functions")["functions"] if f["name"] == "MARKUP"]
    assert f["state"] == "accepted"
    p.finish()


# A refused xlfUnregister was tried once; `functions` then said "removed"
# while Excel still had the name, for good.
@pytest.mark.needs_python
def test_refused_unregister_is_retried_at_later_ticks_and_functions_says_what_excel_has(live, sandbox):
    h = live({"mystats.py": WEIGHTED % "a + b"})
    h.run("refuse-unregister WEIGHTED", "refuse-unregister")
    (h.modules / "mystats.py").write_text("X = 1\n", encoding="utf-8")
    assert sandbox.exec_op(op="reload", module="mystats")["removed"] == ["WEIGHTED"]
    for _ in range(3):
        out = h.run("advance 1000", "advance ")
        assert any(l.startswith("unregister ") and l.endswith(" WEIGHTED kept") for l in out), out
        assert h.run("timers", "timers ")[-1] == "timers 1", "the tick goes on at its idle pace"
    [f] = [f for f in sandbox.exec_op(op="functions")["functions"] if f["name"] == "WEIGHTED"]
    assert f["state"] == "removing", f
    assert any(l.startswith("function ") and l.endswith(" WEIGHTED") for l in h.run("list", "list "))
    h.run("accept-unregister WEIGHTED", "accept-unregister")
    out = h.run("advance 1000", "advance ")
    assert any(l.startswith("unregister ") and l.endswith(" WEIGHTED") for l in out), out
    [f] = [f for f in sandbox.exec_op(op="functions")["functions"] if f["name"] == "WEIGHTED"]
    assert f["state"] == "removed"
    assert not any(l.endswith(" WEIGHTED") for l in h.run("list", "list ")), "Excel let it go"
    log = sandbox.log_lines()
    assert sum(l.startswith("xlfUnregister failed for WEIGHTED") for l in log) == 1, log
    assert "Unregistered Excel function: WEIGHTED (after 3 refusals)" in log


# --- user modules never shadow what the add-in needs -------------------------------


# A json.py in modules became the json every request imports: /exec answered
# "dispatch failed" and /mcp -32603, with nothing logged.
@pytest.mark.needs_python
def test_user_modules_named_after_the_standard_library_are_refused_and_the_channel_lives(live, sandbox):
    poison = "raise SystemExit('imported in place of the standard library')\n"
    h = live({"json.py": poison, "calendar.py": poison, "threading.py": poison,
              "mystats.py": WEIGHTED % "a + b"})
    for name in ("json", "calendar", "threading"):
        assert ("WARNING: module %s is refused: its name is taken by Python's standard library (rename the file)"
                % name) in sandbox.log_lines()
    assert "Importing module: json" not in sandbox.log_lines()
    assert sandbox.exec_op(op="ping")["ok"] is True
    json_file = sandbox.exec_op(op="eval", expr="__import__('json').__file__")["result"]
    assert "modules" not in json_file.replace("\\", "/").split("/"), json_file
    answer = mcp_message(sandbox.session(), {"jsonrpc": "2.0", "id": 1, "method": "tools/list"})
    assert "result" in answer and answer["result"]["tools"], answer
    assert h.call("WEIGHTED n:1 n:2") == "result num 3 xltype=0x0001"
    # The agent cannot load it either, nor reload Python's own modules.
    assert sandbox.exec_op(op="load", module="json")["kind"] == "request"
    for name in ("os", "sys", "builtins", "encodings"):
        answer = sandbox.exec_op(op="reload", module=name)
        assert answer["kind"] == "request" and "only modules of the modules folder" in answer["error"], answer
    assert sandbox.exec_op(op="ping")["ok"] is True


# write_module sometimes answered "... was written, but loading it failed"
# for the file it had just written. 200 cycles of new and rewritten modules,
# each loaded at once by the write, each checked for the code just written
# (a rewrite keeps the length and lands in the same second as the last).
@pytest.mark.needs_python
@pytest.mark.time_limit(300)
def test_200_write_and_load_cycles_each_load_the_file_just_written(live, sandbox):
    import random

    live({})
    session = sandbox.session()
    rng = random.Random(20)
    written = []
    failures = []
    for i in range(200):
        if written and rng.random() < 0.5:
            name = rng.choice(written)
        else:
            name = "cycle_%03d" % i
            written.append(name)
        value = rng.randrange(100, 1000)
        answer = mcp_message(session, {"jsonrpc": "2.0", "id": i, "method": "tools/call", "params": {
            "name": "write_module", "arguments": {"name": name, "source": "VALUE = %d\n" % value}}})
        result = answer.get("result", {})
        if result.get("isError"):
            failures.append((i, name, result["content"][0]["text"][-300:]))
            continue
        seen = sandbox.exec_op(op="eval", expr="__import__('sys').modules[%r].VALUE" % name).get("result")
        if seen != value:
            failures.append((i, name, "runs %r, wrote %r" % (seen, value)))
    assert failures == [], failures

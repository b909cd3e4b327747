"""Data races between the add-in's threads, caught by the ThreadSanitizer build
(``--target tsan``: build/tsan). Excel's thread calls worksheet functions,
and runs the tick that serves workbook jobs, while /exec and /mcp clients,
reloads that rebind the called slots, /ping and /config run from other
threads, across closes and opens of the add-in. Any race report fails.

CPython is not instrumented: only the add-in's and xllhost's own memory
accesses are watched; the interpreter lock is seen through the pthread calls
that take and give it.
"""

import http.client
import json
import threading
import time

import pytest

pytestmark = [pytest.mark.tsan_only, pytest.mark.needs_python]

LOAD_SECONDS = 26  # the whole mixed load; the host's start and end come on top
# Seconds into the load: close, then open again, with a request running that
# the close interrupts, or one blocked in C for BLOCKED_SECONDS that the
# close gives up on after 5 s, which then ends under the next open's server.
CLOSES_AT = ((7, "spinning"), (13, "blocked"))
BLOCKED_SECONDS = 7

MODULE = '''
from tindral_xl import xl_function

@xl_function(name="WEIGHTED")
def weighted(a, b):
    return a * %d + b

@xl_function(name="SPREAD")
def spread(n):
    return [[i, "row %%d" %% i] for i in range(int(n))]

@xl_function(name="HELLO")
def hello(name):
    return "hello " + str(name)

@xl_function(name="BOOM")
def boom(x):
    raise ValueError("boom %%s" %% x)
'''

SEED = ["seed Sheet1!A1:B3 1 2 3 4 s:x e:7"]


class Tally:
    """What each client saw, and the answers that no state of the add-in explains."""

    def __init__(self):
        self.lock = threading.Lock()
        self.counts = {}
        self.problems = []

    def count(self, what):
        with self.lock:
            self.counts[what] = self.counts.get(what, 0) + 1

    def problem(self, what, detail):
        with self.lock:
            self.problems.append("%s: %s" % (what, detail[:400]))


class Agent:
    """One agent's requests: each on a fresh connection to wherever session.json
    points now, so closes and opens (a new port, a new token) are followed."""

    def __init__(self, sandbox, tally, name):
        self.sandbox = sandbox
        self.tally = tally
        self.name = name

    def session(self):
        try:
            s = self.sandbox.session()
        except ValueError:  # being replaced right now
            return None
        return s if s and "error" not in s else None

    def send(self, method, path, body=None, timeout=60):
        """(status, body bytes), or None when no server was there to answer."""
        s = self.session()
        if s is None:
            return None
        conn = http.client.HTTPConnection("127.0.0.1", s["port"], timeout=timeout)
        try:
            headers = {"Authorization": "Bearer " + s["token"]}
            if body is not None:
                headers["Content-Type"] = "application/json"
            conn.request(method, path, body=None if body is None else json.dumps(body), headers=headers)
            r = conn.getresponse()
            answer = r.status, r.read()
            if r.status == 403 and (self.session() or {}).get("token") != s["token"]:
                # A new open got the port of the old server (freed by the
                # close) and has a new token: this agent's copy was stale.
                return None
            return answer
        except OSError:
            return None  # the server stopped meanwhile (a close)
        finally:
            conn.close()

    def judge(self, what, answer, closing_ok=True):
        """Counts an answer; an answer nothing explains is a problem. The parsed
        body of a good answer, else None."""
        if answer is None:
            self.tally.count("gone")
            return None
        status, raw = answer
        if status == 503 and b'"busy"' in raw:
            self.tally.count("busy")
            return None
        try:
            body = json.loads(raw)
        except ValueError:
            self.tally.problem(what, "%d %r" % (status, raw))
            return None
        if status == 200 and closing_ok and b"closed" in raw and (
                body.get("kind") == "interrupted" or "RuntimeError" in raw.decode("utf-8", "replace")):
            self.tally.count("closing")  # the add-in closed while this request waited or ran
            return None
        if status != 200:
            self.tally.problem(what, "%d %r" % (status, raw))
            return None
        return body


def exec_client(agent, stop):
    """/exec: code, expressions, the registry, workbook reads and writes."""
    ops = [
        {"op": "exec", "code": "total = sum(range(2000))\nprint(total)\ntotal"},
        {"op": "eval", "expr": "[x * x for x in range(50)]"},
        {"op": "functions"},
        {"op": "read", "ref": "Sheet1!A1:B3"},
        {"op": "exec", "code": "from tindral_xl import excel\nexcel.read('A1:B2')"},
        {"op": "write", "ref": "D1", "values": [[1.5, "w"], [None, True]]},
    ]
    i = 0
    while not stop.is_set():
        req = ops[i % len(ops)]
        i += 1
        body = agent.judge("exec %s" % req["op"], agent.send("POST", "/exec", req))
        if body is None:
            pass
        elif body.get("ok"):
            agent.tally.count("exec " + req["op"])
        else:
            agent.tally.problem("exec %s" % req["op"], json.dumps(body))
        time.sleep(0.02)


def mcp_client(agent, stop):
    """/mcp: listing, evaluating, the registry and a workbook read as tools."""
    calls = [
        ("tools/list", {}),
        ("tools/call", {"name": "python_eval", "arguments": {"expr": "sum(range(100))"}}),
        ("tools/call", {"name": "list_functions", "arguments": {}}),
        ("tools/call", {"name": "read_range", "arguments": {"ref": "Sheet1!A1:B3"}}),
        ("ping", {}),
    ]
    i = 0
    while not stop.is_set():
        method, params = calls[i % len(calls)]
        i += 1
        what = "mcp %s %s" % (method, params.get("name", ""))
        body = agent.judge(what, agent.send("POST", "/mcp", {"jsonrpc": "2.0", "id": i, "method": method,
                                                             "params": params}))
        if body is None:
            pass
        elif "result" in body and not body["result"].get("isError"):
            agent.tally.count("mcp")
            if params.get("name") == "read_range":
                agent.tally.count("mcp read_range")
        elif "closed" in json.dumps(body):
            agent.tally.count("closing")
        else:
            agent.tally.problem(what, json.dumps(body))
        time.sleep(0.02)


def reload_client(agent, stop, module_file):
    """Rewrites the module and reloads it, over /exec and /mcp in turn, so
    the slots Excel's thread calls are rebound under it."""
    k = 1
    while not stop.is_set():
        k = k % 5 + 1
        module_file.write_text(MODULE % k, encoding="utf-8")
        if k % 2:
            body = agent.judge("reload", agent.send("POST", "/exec", {"op": "reload", "module": "mixed"}))
            if body is not None and body.get("ok") and "WEIGHTED" in body.get("rebound", []):
                agent.tally.count("reload")
            elif body is not None:
                agent.tally.problem("reload", json.dumps(body))
        else:
            body = agent.judge("reload_module", agent.send("POST", "/mcp", {
                "jsonrpc": "2.0", "id": k, "method": "tools/call",
                "params": {"name": "reload_module", "arguments": {"module": "mixed"}}}))
            if body is not None and "result" in body and not body["result"].get("isError"):
                agent.tally.count("reload")
            elif body is not None and "closed" not in json.dumps(body):
                agent.tally.problem("reload_module", json.dumps(body))
        time.sleep(0.3)


def light_client(agent, stop):
    """What the I/O thread answers itself, and code stopped by its time limit
    (the watchdog's interrupt) every few seconds, tried again while the
    worker is busy."""
    spin_at = time.monotonic() + 2
    while not stop.is_set():
        for path in ("/ping", "/config"):
            answer = agent.send("GET", path, timeout=30)
            if answer is not None and answer[0] == 200:
                agent.tally.count("light")
            elif answer is not None:
                agent.tally.problem(path, "%d %r" % answer)
        if time.monotonic() >= spin_at:
            body = agent.judge("spin", agent.send("POST", "/exec", {"op": "exec", "code": "while True: pass",
                                                                    "timeout": 1}))
            if body is not None and body.get("kind") == "timeout":
                agent.tally.count("timed out")
                spin_at = time.monotonic() + 3
            elif body is not None:
                agent.tally.problem("spin", json.dumps(body))
        time.sleep(0.05)


def run_across_close(agent, how, running):
    """Code that is still running when the add-in closes (it makes the file
    `running` as it starts): spinning in Python, or blocked in one C call.
    Submitted again while another request has the worker."""
    work = "while True: pass" if how == "spinning" else "import time\ntime.sleep(%d)" % BLOCKED_SECONDS
    code = "import pathlib\npathlib.Path(%r).touch()\n%s" % (str(running), work)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        answer = agent.send("POST", "/exec", {"op": "exec", "code": code, "timeout": 60})
        if answer is not None and answer[0] == 503 and b'"busy"' in answer[1]:
            time.sleep(0.01)
            continue
        body = agent.judge("%s at close" % how, answer, closing_ok=False)
        if body is not None and body.get("kind") == "interrupted":
            agent.tally.count("interrupted at close")
        elif answer is None and how == "blocked":
            agent.tally.count("given up at close")  # its connection went with the server
        elif answer is not None:
            agent.tally.problem("%s at close" % how, "%d %r" % answer)
        return


@pytest.mark.time_limit(300)
def test_mixed_load_from_excel_and_agents_reports_no_data_race(target, start_host, addin_folder, sandbox):
    for binary in (target.addin, target.host):
        # A build without the sanitizer would pass this case without looking.
        assert b"__tsan_init" in binary.read_bytes(), "%s is not built with ThreadSanitizer" % binary
    addin = addin_folder(package=True, python=True, modules={"mixed.py": MODULE % 1})
    h = start_host(addin)
    for command in SEED:
        h.command(command, "seed ")
    assert h.command("open", "open ", timeout=180)[-1] == "open 1"
    h.command("idle on", "idle on")  # the tick runs while the script waits: workbook jobs are served
    tally = Tally()
    stop = threading.Event()
    clients = [
        threading.Thread(target=exec_client, args=(Agent(sandbox, tally, "exec"), stop)),
        threading.Thread(target=mcp_client, args=(Agent(sandbox, tally, "mcp"), stop)),
        threading.Thread(target=reload_client, args=(Agent(sandbox, tally, "reload"), stop,
                                                     addin.parent / "modules" / "mixed.py")),
        threading.Thread(target=light_client, args=(Agent(sandbox, tally, "light"), stop)),
    ]
    for c in clients:
        c.start()
    started = time.monotonic()
    closes = list(CLOSES_AT)
    calls = 0
    try:
        while time.monotonic() - started < LOAD_SECONDS:
            if closes and time.monotonic() - started >= closes[0][0]:
                _, how = closes.pop(0)
                running = sandbox.base / how
                spin = threading.Thread(target=run_across_close, args=(Agent(sandbox, tally, how), how, running))
                spin.start()
                waited = time.monotonic()
                while not running.exists() and time.monotonic() - waited < 20:
                    time.sleep(0.01)
                assert h.command("close", "close ", timeout=60)[-1] == "close 1"
                spin.join(60)
                h.command("sleep 200", "sleep ")
                assert h.command("open", "open ", timeout=120)[-1] == "open 1"
                tally.count("reopened")
            for call, expect in (("WEIGHTED n:3 n:2", "result num "), ("SPREAD n:3", "result multi 3 2 "),
                                 ("HELLO s:x", 'result str "hello x"')):
                out = h.command("call " + call, "result ", timeout=60)
                calls += 1
                if not out[-1].startswith(expect):
                    tally.problem("call " + call, out[-1])
            if calls % 150 == 0:
                # A failing call writes the log from Excel's thread while agents' requests write it too.
                out = h.command("call BOOM n:1", "result ", timeout=60)
                if out[-1] != "result err 15 xltype=0x0010":
                    tally.problem("call BOOM", out[-1])
    finally:
        stop.set()
        for c in clients:
            c.join(90)
    assert h.command("close", "close ", timeout=60)[-1] == "close 1"
    rc = h.finish(timeout=120)

    reports = sandbox.tsan_reports()
    assert not reports, "%d ThreadSanitizer report(s), each in a section below; the first:\n\n%s" % (
        len(reports), reports[0])
    assert rc == 0, "xllhost exit %s" % rc
    assert tally.problems == [], "\n".join(tally.problems)
    # The load happened: every kind of work ran, more than once, while the others did.
    seen = tally.counts
    assert calls >= 30, (calls, seen)
    assert seen.get("reopened") == len(CLOSES_AT), seen
    assert seen.get("interrupted at close", 0) + seen.get("given up at close", 0) == len(CLOSES_AT), seen
    for what in ("exec exec", "exec read", "exec write", "exec functions", "mcp", "mcp read_range", "reload",
                 "light", "timed out"):
        assert seen.get(what, 0) >= 2, (what, seen)

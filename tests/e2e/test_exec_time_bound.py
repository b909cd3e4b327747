"""The agent channel's time bound when code will not stop: a request blocked
in a C call past its limit or across a close, the cap on abandoned workers,
the busy answer, and code that holds the interpreter lock in one long C call
while a worksheet function waits.

Each case drives the real add-in with Python in a fresh xllhost; under Wine
the Windows build runs the same cases on its Python bridge.
"""

import json
import re
import socket
import time

import pytest

from test_server import Raw, get, open_by_hand, post_exec, PING_OK

pytestmark = pytest.mark.needs_python

# A call blocked in C (sleep, a read on a silent socket) sees its interrupt
# only when it returns; the worker gives up on it this long after the
# interrupt.
GRACE = 2.0
MAX_ABANDONED = 4


def answer_of(reply):
    head, _, body = reply.partition(b"\r\n\r\n")
    assert head, "no reply"
    return int(head.split(b" ")[1]), json.loads(body)


def post_mcp(token, message):
    body = json.dumps(message).encode()
    return (b"POST /mcp HTTP/1.1\r\nAuthorization: Bearer " + token.encode() +
            b"\r\nContent-Length: " + str(len(body)).encode() + b"\r\n\r\n" + body)


def log_waits_for(sandbox, pattern, timeout=10):
    """The first log line matching `pattern` (a regular expression), waiting
    up to `timeout` seconds for it."""
    deadline = time.monotonic() + timeout
    while True:
        for line in sandbox.log_lines():
            if re.search(pattern, line):
                return line
        if time.monotonic() > deadline:
            raise AssertionError("no log line matches %r; log:\n%s" % (pattern, "\n".join(sandbox.log_lines())))
        time.sleep(0.1)


@pytest.fixture
def silent_server():
    """A listening socket that accepts and never sends: a read on it blocks."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    yield listener.getsockname()[1]
    listener.close()


def blocking_code(kind, port):
    if kind == "sleep":
        return "import time\nprint('blocking')\ntime.sleep(10 ** 6)\n"
    return ("import socket\nprint('blocking')\ns = socket.create_connection(('127.0.0.1', %d))\ns.recv(1)\n" % port)


# --- close and open again --------------------------------------------------------


@pytest.mark.time_limit(90)
@pytest.mark.parametrize("kind", ["sleep", "recv"])
def test_close_during_a_call_blocked_in_c_then_open_serves_the_next_request_at_once(
        kind, silent_server, sandbox, addin_folder, start_host):
    p, session = open_by_hand(sandbox, addin_folder, start_host)
    blocked = Raw(session["port"], timeout=30)
    blocked.send(post_exec(session["token"], json.dumps(
        {"op": "exec", "code": blocking_code(kind, silent_server), "id": 4}).encode()))
    time.sleep(0.5)
    t0 = time.monotonic()
    p.command("close", "close ", timeout=20)
    # Not a speed check: the close's own wait for the server thread ends at
    # 5 s; under that, the thread ended, having given up on the call.
    assert time.monotonic() - t0 < 4.9
    status, answer = answer_of(blocked.read_reply())
    assert status == 200 and answer["kind"] == "interrupted" and answer["abandoned"] is True
    assert answer["id"] == 4 and "may still be running" in answer["error"]
    log_waits_for(sandbox, r"^http_server: /exec request \d+: exec \(id 4\) did not stop within 2 s of the close; "
                           r"its worker is abandoned \(1 of at most 4\)$")

    # The old call still blocks; the new server's requests must not wait on it.
    p.command("open", "open ", timeout=60)
    session = sandbox.session()
    c = Raw(session["port"], timeout=10)
    status, answer = answer_of(c.exchange(post_exec(session["token"], b'{"op":"eval","expr":"1 + 2"}')))
    assert status == 200 and answer["result"] == 3
    status, answer = answer_of(c.exchange(post_mcp(session["token"],
                                                   {"jsonrpc": "2.0", "id": 1, "method": "ping"})))
    assert status == 200 and answer == {"jsonrpc": "2.0", "id": 1, "result": {}}
    p.command("close", "close ", timeout=20)
    assert p.finish() == 0


# --- a call past its limit ------------------------------------------------------------


@pytest.mark.time_limit(90)
def test_exec_blocked_in_c_past_its_limit_is_abandoned_and_the_next_request_runs(python_addin, sandbox):
    _, port, token, _ = python_addin
    c = Raw(port, timeout=30)
    t0 = time.monotonic()
    status, answer = answer_of(c.exchange(post_exec(token, json.dumps(
        {"op": "exec", "code": "import time\ntime.sleep(30)", "timeout": 1, "id": "s"}).encode())))
    took = time.monotonic() - t0
    assert status == 200, answer
    assert answer == {"id": "s", "ok": False, "kind": "timeout", "abandoned": True,
                      "error": "the request ran past its time limit of 1 s and did not stop when interrupted "
                               "(blocked in a C call); it was abandoned and its code may still be running"}
    # Answered once the grace after the limit was over, not when the sleep ends.
    assert 1 + GRACE - 0.5 < took < 20
    log_waits_for(sandbox, r"^http_server: /exec request \d+: exec \(id \"s\"\) ran past its time limit of 1 s and "
                           r"did not stop within 2 s of the interrupt; its worker is abandoned \(1 of at most 4\)$")
    status, answer = answer_of(c.exchange(post_exec(token, b'{"op":"eval","expr":"6 * 7"}')))
    assert status == 200 and answer["result"] == 42, "a fresh worker runs the next request"


@pytest.mark.time_limit(90)
def test_mcp_python_exec_blocked_in_c_past_its_limit_gets_a_json_rpc_answer(python_addin, sandbox):
    _, port, token, _ = python_addin
    c = Raw(port, timeout=30)
    call = {"jsonrpc": "2.0", "id": 31, "method": "tools/call",
            "params": {"name": "python_exec", "arguments": {"code": "import time\ntime.sleep(30)", "timeout": 1}}}
    status, answer = answer_of(c.exchange(post_mcp(token, call)))
    assert status == 200 and answer["id"] == 31 and answer["result"]["isError"] is True
    assert answer["result"]["content"][0]["text"] == (
        "python_exec ran past its time limit (1 s) and did not stop when interrupted (blocked in a C call); "
        "it was abandoned and its code may still be running")
    log_waits_for(sandbox, r"^http_server: /mcp request \d+: tools/call python_exec \(id 31\) ran past its time "
                           r"limit of 1 s")
    status, answer = answer_of(c.exchange(post_mcp(token, {"jsonrpc": "2.0", "id": 32, "method": "ping"})))
    assert status == 200 and answer["result"] == {}


# --- busy, and the cap on abandoned workers ----------------------------------------------


@pytest.mark.time_limit(60)
def test_busy_answer_names_the_running_request_and_how_long_it_has_run(python_addin):
    _, port, token, _ = python_addin
    slow = Raw(port, timeout=30)
    slow.send(post_exec(token, json.dumps({"op": "exec", "code": "import time\ntime.sleep(4)\n7", "id": 5}).encode()))
    c = Raw(port)
    # Named once Python has read the request; from then on every busy answer names it.
    for _ in range(60):
        status, answer = answer_of(c.exchange(post_exec(token, b'{"op":"ping"}')))
        assert status == 503 and answer["ok"] is False and answer["error"] == "busy", answer
        if answer["running"].endswith("(id 5)"):
            break
        time.sleep(0.05)
    assert re.fullmatch(r"/exec request \d+: exec \(id 5\)", answer["running"]), answer
    time.sleep(0.3)
    status, later = answer_of(c.exchange(post_exec(token, b'{"op":"ping"}')))
    assert status == 503 and later["running"] == answer["running"]
    assert later["seconds"] >= 0.3, "it has run at least as long as the test waited since it was named"
    assert answer_of(slow.read_reply())[1]["result"] == 7


@pytest.mark.time_limit(120)
def test_abandoned_workers_beyond_the_cap_are_refused_with_the_reason(python_addin, sandbox):
    _, port, token, _ = python_addin
    c = Raw(port, timeout=30)
    for i in range(MAX_ABANDONED):
        status, answer = answer_of(c.exchange(post_exec(token, json.dumps(
            {"op": "exec", "code": "import time\ntime.sleep(600)", "timeout": 0.2}).encode())))
        assert status == 200 and answer["abandoned"] is True, (i, answer)
    log_waits_for(sandbox, r"its worker is abandoned \(4 of at most 4\)$")
    refused = c.exchange(post_exec(token, b'{"op":"ping"}'))
    assert refused == (
        b"HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nContent-Length: 163\r\n\r\n"
        b'{"ok":false,"error":"too many abandoned requests: 4 requests that did not stop at their time limit are '
        b'still running; no new request runs until one of them ends"}\n')
    assert c.exchange(get("/ping")) == PING_OK


# --- the interpreter lock held in one long C call ---------------------------------------------

# Holds the interpreter lock for 2.5 s in one C call: a function called
# through ctypes.PyDLL keeps the lock, as a long C computation does.
# The loop after the C call gives the interrupt a bytecode boundary to land
# on: code that ended right after the call could finish before the
# interpreter looked for it, and answer "ok" instead of the timeout.
HOLD_LOCK = ("import ctypes, sys\n"
             "if sys.platform == 'win32':\n    ctypes.PyDLL('kernel32').Sleep(2500)\n"
             "else:\n    ctypes.PyDLL(None).usleep(2500000)\n"
             "for _ in range(10**8):\n    pass\n")


@pytest.mark.time_limit(90)
def test_worksheet_call_that_waited_for_agent_code_holding_the_lock_is_logged_with_the_request(
        sandbox, addin_folder, start_host):
    addin = addin_folder(package=True, python=True,
                         modules={"quick.py": "from tindral_xl import register\nregister(lambda: 5, name='five')\n"})
    p = start_host(addin)
    p.command("open", "open ", timeout=120)
    session = sandbox.session()
    c = Raw(session["port"], timeout=30)
    c.send(post_exec(session["token"], json.dumps({"op": "exec", "code": HOLD_LOCK, "timeout": 1, "id": 8}).encode()))
    time.sleep(0.5)
    assert p.command("call five", "result ", timeout=30)[-1] == "result num 5 xltype=0x0001"
    line = log_waits_for(sandbox, r"^func_registry: the call to five waited")
    # The request is named whether or not it is still in its call when the
    # worksheet call gets the lock.
    m = re.fullmatch(r"func_registry: the call to five waited (\d+\.\d) s for the Python lock; agent requests in "
                     r"Python: (/exec request \d+: exec \(id 8\) \(running \d+\.\d s\)"
                     r"|none now; the last was /exec request \d+: exec \(id 8\))", line)
    assert m, line
    assert 1.0 <= float(m.group(1)) < 10
    # The interrupt reached the code only once the C call returned.
    status, answer = answer_of(c.read_reply())
    assert status == 200 and answer["kind"] == "timeout" and answer["id"] == 8
    p.command("close", "close ", timeout=20)
    assert p.finish() == 0

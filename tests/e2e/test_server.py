"""The agent control server as an agent meets it: session.json and raw HTTP bytes.

Most cases run against ``server_addin``, the server alone with no interpreter
behind it, so they hold for the Windows build under Wine as well; the cases
that need Python drive the real add-in on Linux.
"""

import json
import re
import socket
import subprocess
import sys
import threading
import time

import pytest

from conftest import ROOT

LIMIT = 3145728
PING_OK = b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 12\r\n\r\n" + b'{"ok":true}\n'
FORBIDDEN = b'{"error":"forbidden: invalid or missing bearer token"}\n'
NOT_FOUND = b'{"error":"not found"}\n'
NOT_ALLOWED = b'{"error":"method not allowed"}\n'
NO_PYTHON = b'{"ok":false,"error":"python not initialized"}\n'
PY_FAILED = "Python failed to initialize \u2014 check %TEMP%\\tindralxl.log"


def reply(status, reason, body):
    head = "HTTP/1.1 %d %s\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n" % (
        status, reason, len(body))
    return head.encode() + body


class Raw:
    """One loopback connection that sends bytes and reads one reply at a time."""

    def __init__(self, port, timeout=10):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = b""

    def send(self, data):
        self.sock.sendall(data)

    def read_reply(self):
        """One reply's bytes, or b"" when the server closed without one."""
        while b"\r\n\r\n" not in self.buf:
            chunk = self._recv()
            if not chunk:
                return b""
            self.buf += chunk
        head, _, rest = self.buf.partition(b"\r\n\r\n")
        m = re.search(rb"Content-Length: (\d+)", head)
        need = int(m.group(1)) if m else 0
        while len(rest) < need:
            chunk = self._recv()
            if not chunk:
                break
            rest += chunk
        self.buf = rest[need:]
        return head + b"\r\n\r\n" + rest[:need]

    def _recv(self):
        try:
            return self.sock.recv(1 << 16)
        except ConnectionResetError:
            return b""

    def exchange(self, data):
        self.send(data)
        return self.read_reply()

    def close(self):
        self.sock.close()


@pytest.fixture
def server(target, sandbox, addin_folder, start_host):
    """A running server_addin; yields (host process, port, token)."""
    addin = addin_folder(addin=target.fixture_library("server_addin"))
    p = start_host(addin, "open", "echo opened", "wait", "close")
    p.read_until("echo opened", timeout=60)
    session = sandbox.session()
    assert session, "no session file after open"
    yield p, session["port"], session["token"], addin
    p.finish()


def get(path, token=None, method="GET", extra=b""):
    auth = b"Authorization: Bearer " + token.encode() + b"\r\n" if token else b""
    return method.encode() + b" " + path.encode() + b" HTTP/1.1\r\nHost: x\r\n" + auth + extra + b"\r\n"


def test_session_file_exact_bytes_private_and_gone_after_close(server, sandbox, target):
    p, port, token, _ = server
    data = sandbox.session_path.read_bytes()
    pid = json.loads(data)["pid"]
    assert data == b'{"port":%d,"token":"%s","pid":%d}' % (port, token.encode(), pid) + target.line_end
    assert re.fullmatch(r"[0-9a-f]{64}", token)
    if not target.is_wine:
        assert pid == p.proc.pid  # Wine's process ids are its own
    if not target.is_wine:
        assert sandbox.session_path.stat().st_mode & 0o777 == 0o600
        assert sandbox.session_path.parent.stat().st_mode & 0o777 == 0o700
    assert "http_server: listening on http://localhost:%d" % port in sandbox.log_lines()
    assert p.finish() == 0
    assert not sandbox.session_path.exists()


def test_every_route_answers_byte_for_byte(server, target):
    _, port, token, addin = server
    bearer = b"Authorization: Bearer " + token.encode() + b"\r\n"
    upper = b"Authorization: Bearer " + token.upper().encode() + b"\r\n"
    sep = "\\\\" if target.is_wine else "/"
    folder = target.path_arg(addin.parent).replace("\\", "\\\\")
    config = ('{"xll_dir":"%s","modules_path":"%s%smodules"}\n' % (folder, folder, sep)).encode()
    cases = [
        (get("/ping"), reply(200, "OK", b'{"ok":true}\n')),
        (get("/ping", method="POST"), PING_OK),
        (get("/ping?x=1&y=2", method="BREW"), PING_OK),
        (get("/config"), reply(403, "Forbidden", FORBIDDEN)),
        (get("/config", extra=b"Authorization: Bearer\r\n"), reply(403, "Forbidden", FORBIDDEN)),
        (get("/config", extra=b"Authorization: bearer " + token.encode() + b"\r\n"), reply(403, "Forbidden", FORBIDDEN)),
        (get("/config", extra=upper), reply(403, "Forbidden", FORBIDDEN)),
        (get("/config", extra=bearer[:-2] + b"0\r\n"), reply(403, "Forbidden", FORBIDDEN)),
        (get("/config", extra=bearer[:-3] + b"\r\n"), reply(403, "Forbidden", FORBIDDEN)),
        (get("/config", token), reply(200, "OK", config)),
        (get("/config?q", token, method="DELETE"), reply(200, "OK", config)),
        (get("/config", extra=b"authorization: Bearer " + token.encode() + b"\r\n"), reply(200, "OK", config)),
        (get("/exec"), reply(403, "Forbidden", FORBIDDEN)),
        (get("/exec", token), reply(405, "Method Not Allowed", NOT_ALLOWED)),
        (get("/exec", token, method="post"), reply(405, "Method Not Allowed", NOT_ALLOWED)),
        (get("/exec", token, method="POST", extra=b"Content-Length: 2\r\n") + b"{}",
         reply(503, "Service Unavailable", NO_PYTHON)),
        (get("/Exec", token, method="POST"), reply(404, "Not Found", NOT_FOUND)),
        (get("/exec/", token, method="POST"), reply(404, "Not Found", NOT_FOUND)),
        (get("/"), reply(404, "Not Found", NOT_FOUND)),
        (get("/Ping"), reply(404, "Not Found", NOT_FOUND)),
    ]
    conn = Raw(port)
    wrong = []
    for request, expected in cases:
        got = conn.exchange(request)
        if got != expected:
            wrong.append((request, expected, got))
    assert not wrong, "\n".join("%r\n  expected %r\n  got      %r" % w for w in wrong)


def test_mcp_route_checks_token_origin_and_method_on_both_builds(server):
    _, port, token, _ = server
    body = b'{"jsonrpc":"2.0","id":1,"method":"ping"}'
    post = lambda extra: get("/mcp", token, method="POST",
                             extra=extra + b"Content-Length: %d\r\n" % len(body)) + body
    origin_refused = reply(403, "Forbidden", b'{"error":"forbidden: origin not allowed"}\n')
    cases = [
        (get("/mcp", method="POST"), reply(403, "Forbidden", FORBIDDEN)),
        (post(b"Origin: http://evil.example.com\r\n"), origin_refused),
        (post(b"ORIGIN: http://localhost.evil.example.com\r\n"), origin_refused),
        (post(b"Origin: null\r\n"), origin_refused),
        (get("/mcp", token), reply(405, "Method Not Allowed", NOT_ALLOWED)),
        (get("/mcp", token, method="DELETE"), reply(405, "Method Not Allowed", NOT_ALLOWED)),
        # Past the checks the bridge refuses: this add-in has no Python.
        (post(b"Origin: http://localhost:6274\r\n"), reply(503, "Service Unavailable", NO_PYTHON)),
        (post(b"Origin: http://127.0.0.1\r\n"), reply(503, "Service Unavailable", NO_PYTHON)),
        (post(b""), reply(503, "Service Unavailable", NO_PYTHON)),
    ]
    conn = Raw(port)
    wrong = [(r, e, g) for r, e in cases for g in [conn.exchange(r)] if g != e]
    assert not wrong, "\n".join("%r\n  expected %r\n  got      %r" % w for w in wrong)


def test_authorization_after_thirtieth_header_is_not_seen(server):
    _, port, token, _ = server
    # get() sends Host first: with 29 more fields the Authorization is the
    # thirty-first, with 28 the thirtieth.
    auth = b"Authorization: Bearer " + token.encode() + b"\r\n"
    conn = Raw(port)
    fill = b"".join(b"X-F%d: v\r\n" % i for i in range(29))
    assert conn.exchange(get("/config", extra=fill + auth)) == reply(403, "Forbidden", FORBIDDEN)
    fill = b"".join(b"X-F%d: v\r\n" % i for i in range(28))
    assert conn.exchange(get("/config", extra=fill + auth)).startswith(b"HTTP/1.1 200 OK\r\n")


def test_idle_and_half_sent_connections_do_not_block_ping(server):
    _, port, _, _ = server
    idle = Raw(port)
    half = Raw(port)
    half.send(b"GET /ping HTTP/1.1\r\nHost: slow")
    for _ in range(3):
        c = Raw(port, timeout=5)
        assert c.exchange(get("/ping")) == PING_OK
        c.close()
    assert half.exchange(b"\r\n\r\n") == PING_OK
    assert idle.exchange(get("/ping")) == PING_OK


def test_request_reaching_the_size_limit_is_dropped_just_under_is_served(server):
    _, port, _, _ = server
    for total, served in ((LIMIT - 1, True), (LIMIT, False)):
        prefix = b"POST /ping HTTP/1.1\r\nContent-Length: "
        body_len = total - len(prefix) - 7 - 4
        request = prefix + str(body_len).encode() + b"\r\n\r\n" + b"b" * body_len
        assert len(request) == total
        c = Raw(port, timeout=20)
        try:
            c.send(request)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the server may close before it has all of it
        assert c.read_reply() == (PING_OK if served else b"")
    assert Raw(port).exchange(get("/ping")) == PING_OK


def test_long_headers_under_the_limit_are_served(server):
    _, port, _, _ = server
    big = b"X-Big: " + b"h" * 200000 + b"\r\n"
    assert Raw(port).exchange(get("/ping", extra=big)) == PING_OK


def test_no_cors_headers_even_when_asked(server):
    _, port, _, _ = server
    got = Raw(port).exchange(get("/ping", method="OPTIONS", extra=b"Origin: http://evil.example\r\n"
                                 b"Access-Control-Request-Method: POST\r\n"))
    assert got == PING_OK


def opened_instance(start_host, sandbox, addin):
    """One more host with the add-in open and waiting: (host, the session file it wrote)."""
    p = start_host(addin, "open", "echo opened", "wait", "close")
    p.read_until("echo opened", timeout=60)
    return p, sandbox.session()


def test_two_hosts_have_own_servers_and_file_names_the_last(target, sandbox, addin_folder, start_host):
    addin = addin_folder(addin=target.fixture_library("server_addin"))
    first, s1 = opened_instance(start_host, sandbox, addin)
    second, s2 = opened_instance(start_host, sandbox, addin)
    assert s1["port"] != s2["port"] and s1["token"] != s2["token"]
    for s in (s1, s2):
        assert Raw(s["port"]).exchange(get("/config", s["token"])).startswith(b"HTTP/1.1 200 OK\r\n")
    # Each token is only its own server's.
    assert Raw(s1["port"]).exchange(get("/config", s2["token"])) == reply(403, "Forbidden", FORBIDDEN)
    # The first one's close leaves the file that names the second.
    assert first.finish() == 0
    assert sandbox.session() == s2
    assert Raw(s2["port"]).exchange(get("/ping")) == PING_OK
    assert second.finish() == 0
    assert not sandbox.session_path.exists()


def wait_for(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def test_second_instance_close_keeps_the_first_ones_file(target, sandbox, addin_folder, start_host):
    addin = addin_folder(addin=target.fixture_library("server_addin"))
    first, s1 = opened_instance(start_host, sandbox, addin)
    second, s2 = opened_instance(start_host, sandbox, addin)
    assert s2 != s1, "the newest instance's file wins"
    assert second.finish() == 0
    # The first still serves: its file is there again, naming it.
    assert wait_for(lambda: sandbox.session() == s1, 5), sandbox.session()
    assert Raw(s1["port"]).exchange(get("/config", s1["token"])).startswith(b"HTTP/1.1 200 OK\r\n")
    assert first.finish() == 0
    assert not sandbox.session_path.exists()


def test_many_idle_connections_do_not_block_ping_and_are_closed_after_the_idle_deadline(
        target, sandbox, addin_folder, start_host):
    addin = addin_folder(addin=target.fixture_library("server_addin"))
    env = dict(sandbox.env, TINDRAL_TEST_IDLE_MS="1500")
    p = start_host(addin, "open", "echo opened", "wait", "close", env=env)
    p.read_until("echo opened", timeout=60)
    port = sandbox.session()["port"]
    idle = [Raw(port, timeout=10) for _ in range(200)]
    for _ in range(5):
        c = Raw(port, timeout=5)
        assert c.exchange(get("/ping")) == PING_OK
        c.close()
    # The newest of them, never evicted by the pings, is closed by the deadline.
    last = idle[-1]
    t0 = time.monotonic()
    assert last.read_reply() == b""
    assert time.monotonic() - t0 > 0.5, "closed by the idle deadline, not at once"
    for c in idle:
        c.close()
    assert Raw(port).exchange(get("/ping")) == PING_OK
    assert p.finish() == 0


def test_two_open_close_cycles_give_fresh_token_and_port(target, sandbox, addin_folder, start_host):
    addin = addin_folder(addin=target.fixture_library("server_addin"))
    p = start_host(addin, "open", "echo one", "sleep 300", "close", "echo closed", "open", "echo two", "wait", "close")
    p.read_until("echo one", timeout=60)
    s1 = sandbox.session()
    p.read_until("echo two", timeout=60)
    s2 = sandbox.session()
    assert s1["token"] != s2["token"]
    with pytest.raises(OSError):
        Raw(s1["port"], timeout=2).exchange(get("/ping"))
    assert Raw(s2["port"]).exchange(get("/config", s2["token"])).startswith(b"HTTP/1.1 200 OK\r\n")
    assert p.finish() == 0


def test_error_record_outlives_the_stop_after_failed_python_start(host, sandbox, addin_folder, target):
    addin = addin_folder(package=True)  # no python folder: the interpreter cannot start
    r = host(addin, "open")
    assert r.rc == 0
    data = sandbox.session_path.read_bytes()
    record = json.loads(data)
    # Where the log is, as the platform's users name it (no %TEMP% on Linux).
    failed = "Python failed to initialize \u2014 check " + sandbox.log_hint
    assert record["error"] == failed
    expected = '{"port":%d,"token":"%s","error":"%s","pid":%d}' % (
        record["port"], record["token"], failed.replace("\\", "\\\\"), record["pid"])
    assert data == expected.encode("utf-8") + target.line_end
    lines = sandbox.log_lines()
    assert any(l.startswith("xlAutoOpen: Python init failed") for l in lines)
    # The server itself is gone.
    with pytest.raises(OSError):
        Raw(record["port"], timeout=2).exchange(get("/ping"))
    # Closing the add-in removes the record.
    assert host(addin, "open", "close").rc == 0
    assert not sandbox.session_path.exists()


# --- with the interpreter (Linux) ----------------------------------------------------


def post_exec(token, body):
    return (b"POST /exec HTTP/1.1\r\nAuthorization: Bearer " + token.encode() +
            b"\r\nContent-Length: " + str(len(body)).encode() + b"\r\n\r\n" + body)


@pytest.mark.needs_python
def test_exec_runs_in_excel_python_and_keeps_namespace(python_addin):
    _, port, token, _ = python_addin
    c = Raw(port)
    r = c.exchange(post_exec(token, b'{"op":"exec","code":"x = 6*7\\nprint(x)\\nx","id":1}'))
    head, _, body = r.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200 OK\r\n") and body.endswith(b"\n")
    answer = json.loads(body)
    assert answer["ok"] and answer["id"] == 1 and answer["stdout"] == "42\n" and answer["result"] == 42
    answer = json.loads(c.exchange(post_exec(token, b'{"op":"eval","expr":"x+1"}')).partition(b"\r\n\r\n")[2])
    assert answer["result"] == 43


@pytest.mark.needs_python
def test_request_bodies_are_read_as_json_loads_reads_them(python_addin):
    # The add-in reads request bodies itself and hands Python the value; what
    # json.loads reads its own way, or rejects in its own words, goes to
    # Python as text and is answered as before.
    _, port, token, _ = python_addin
    c = Raw(port)

    def ask(body):
        return json.loads(c.exchange(post_exec(token, body)).partition(b"\r\n\r\n")[2])

    # Read by the add-in: escapes and a surrogate pair, a repeated key (the
    # last wins), and the id echoed with each number's type kept.
    answer = ask(b'{"op":"exec","code":"x = 1","code":"print(\'\\u00e9\\ud83d\\ude00\')","id":[1,1.0,-0.0,'
                 b'123456789012345678901234567890,2.5e-3,null,true]}')
    assert answer["ok"] and answer["stdout"] == "\u00e9\U0001F600\n", answer
    assert [(type(v), v) for v in answer["id"]] == [
        (int, 1), (float, 1.0), (float, -0.0), (int, 123456789012345678901234567890), (float, 0.0025),
        (type(None), None), (bool, True)]
    assert str(answer["id"][2]) == "-0.0"
    # Left to json.loads: a lone surrogate, NaN and Infinity, malformed text.
    answer = ask(b'{"op":"ping","id":"a\\ud800"}')
    assert answer["ok"] and answer["id"] == "a\ud800", answer
    answer = ask(b'{"op":"eval","expr":"1","id":NaN}')
    assert answer["ok"] is False and answer["kind"] == "request" and "id" in answer["error"], answer
    answer = ask(b'{"op":"eval","expr":"2","unused":-Infinity}')
    assert answer["ok"] and answer["result"] == 2, answer
    assert ask(b'{"op": "ping",}') == {"ok": False, "kind": "request", "error": "request is not valid JSON: Expecting "
                                       "property name enclosed in double quotes: line 1 column 15 (char 14)"}
    # A backslash only deep in a big body, arriving reads after its start:
    # the body is read in a copy, so when the reader declines (at the
    # -Infinity) json.loads still gets the escape as it was sent.
    for tail in (b'', b',"unused":-Infinity'):
        answer = ask(b'{"op":"eval","expr":"len(\'' + b"y" * 300000 + b'\\u00e9\')"' + tail + b'}')
        assert answer["ok"] and answer["result"] == 300001, answer


@pytest.mark.needs_python
def test_two_mib_body_reaches_python(python_addin):
    _, port, token, _ = python_addin
    n = 2 * 1024 * 1024
    body = b'{"op":"eval","expr":"len(\'' + b"x" * n + b'\')"}'
    r = Raw(port, timeout=30).exchange(post_exec(token, body))
    assert json.loads(r.partition(b"\r\n\r\n")[2])["result"] == n


@pytest.mark.needs_python
def test_invalid_utf8_body_is_500_and_next_request_works(python_addin):
    _, port, token, _ = python_addin
    c = Raw(port)
    assert c.exchange(post_exec(token, b"\xff\xfe")) == reply(
        500, "Internal Server Error", b'{"ok":false,"error":"internal error"}\n')
    assert json.loads(c.exchange(post_exec(token, b'{"op":"ping"}')).partition(b"\r\n\r\n")[2])["ok"] is True


def open_by_hand(sandbox, addin_folder, start_host):
    """An add-in opened from standard input, so the test decides when it
    closes: (host process, session record)."""
    p = start_host(addin_folder(package=True, python=True))
    p.command("open", "open ", timeout=120)
    return p, sandbox.session()


def close_by_hand(p):
    """Closes the add-in of open_by_hand; the seconds the close took."""
    t0 = time.monotonic()
    p.command("close", "close ", timeout=20)
    return time.monotonic() - t0


@pytest.mark.needs_python
@pytest.mark.time_limit(60)
def test_close_during_exec_longer_than_five_seconds_ends_the_host(sandbox, addin_folder, start_host):
    p, session = open_by_hand(sandbox, addin_folder, start_host)
    port, token = session["port"], session["token"]
    slow = Raw(port, timeout=30)
    slow.send(post_exec(token, b'{"op":"exec","code":"import time\\ntime.sleep(7)\\n1"}'))
    time.sleep(0.3)
    # A ping is answered while the exec runs. Its answer is awaited before
    # the close: a request that meets the stop on its way in is never served,
    # and the close must not race the ping.
    ping = Raw(port, timeout=30)
    assert ping.exchange(get("/ping")) == PING_OK
    assert close_by_hand(p) < 6.5, "the stop waits at most 5000 ms for the thread"
    assert not sandbox.session_path.exists()
    # The sleep, blocked in C, is interrupted once it returns: the exec still
    # answers, saying so; a stopped server serves nothing more.
    answer = json.loads(slow.read_reply().partition(b"\r\n\r\n")[2])
    assert answer["ok"] is False and answer["kind"] == "interrupted" and "result" not in answer
    assert ping.exchange(get("/ping")) == b""
    assert p.finish() == 0


def exec_answer(conn, token, request):
    r = conn.exchange(post_exec(token, json.dumps(request).encode()))
    head, _, body = r.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200 OK\r\n"), r
    return json.loads(body)


SPIN = "print('spinning')\nwhile True:\n    try:\n        pass\n    except Exception:\n        pass\n"


@pytest.mark.needs_python
def test_spinning_request_times_out_with_its_output_and_the_next_works(python_addin):
    _, port, token, _ = python_addin
    c = Raw(port, timeout=30)
    answer = exec_answer(c, token, {"op": "exec", "code": SPIN, "timeout": 0.5, "id": 9})
    assert answer["ok"] is False and answer["kind"] == "timeout" and answer["id"] == 9
    assert answer["stdout"] == "spinning\n" and answer["type"] == "RequestTimeout"
    assert exec_answer(c, token, {"op": "eval", "expr": "6 * 7"})["result"] == 42


@pytest.mark.needs_python
def test_short_limit_after_calls_with_long_ones_still_ends_the_call(python_addin):
    # The watchdog sleeps until the deadline of an earlier call and is woken
    # only for a call whose deadline comes sooner: after calls with long
    # limits, a short one must still be cut at its own time, not theirs
    # (the client's 30 s timeout would fail this).
    _, port, token, _ = python_addin
    c = Raw(port, timeout=30)
    for limits in ((600, 300, 600), (600,)):
        for limit in limits:
            assert exec_answer(c, token, {"op": "eval", "expr": "1", "timeout": limit})["result"] == 1
        answer = exec_answer(c, token, {"op": "exec", "code": SPIN, "timeout": 0.5})
        assert answer["kind"] == "timeout" and answer["stdout"] == "spinning\n"


@pytest.mark.needs_python
def test_ping_answered_during_long_exec_and_second_exec_is_busy(python_addin):
    _, port, token, _ = python_addin
    slow = Raw(port, timeout=30)
    slow.send(post_exec(token, json.dumps({"op": "exec", "code": "import time\ntime.sleep(1.5)\n7"}).encode()))
    time.sleep(0.3)
    c = Raw(port)
    assert c.exchange(get("/ping")) == PING_OK
    busy = c.exchange(post_exec(token, b'{"op":"ping"}'))
    assert busy.startswith(b"HTTP/1.1 503 Service Unavailable\r\n")
    assert json.loads(busy.partition(b"\r\n\r\n")[2])["error"] == "busy"
    assert json.loads(slow.read_reply().partition(b"\r\n\r\n")[2])["result"] == 7
    assert exec_answer(c, token, {"op": "ping"})["ok"] is True


@pytest.mark.needs_python
def test_background_thread_prints_do_not_reach_a_later_answer(python_addin):
    _, port, token, _ = python_addin
    c = Raw(port, timeout=30)
    start = ("import threading, time\nstop = threading.Event()\n"
             "def chatter():\n    while not stop.is_set():\n        print('chatter')\n        time.sleep(0.002)\n"
             "threading.Thread(target=chatter, daemon=True).start()\n")
    assert exec_answer(c, token, {"op": "exec", "code": start})["ok"] is True
    answer = exec_answer(c, token, {"op": "exec", "code": "time.sleep(0.2)\nprint('mine')"})
    assert answer["stdout"] == "mine\n"
    exec_answer(c, token, {"op": "exec", "code": "stop.set()"})


@pytest.mark.needs_python
def test_agent_code_reading_input_meets_end_of_input_at_once(python_addin):
    p, port, token, _ = python_addin
    c = Raw(port, timeout=30)
    answer = exec_answer(c, token, {"op": "exec", "code": "input('? ')"})
    assert answer["type"] == "EOFError" and answer["stdout"] == "? "
    assert c.exchange(get("/ping")) == PING_OK


# Linux only: the broken-pipe signal is a Linux matter (Excel's process on
# Windows has none), and under Wine the bridge's Python writes to a Linux
# pipe in a process whose signals Wine, not the add-in, has set up.
@pytest.mark.linux_only
@pytest.mark.needs_python
def test_agent_code_meets_end_of_input_and_a_broken_pipe_as_errors(python_addin):
    p, port, token, _ = python_addin
    c = Raw(port, timeout=30)
    answer = exec_answer(c, token, {"op": "exec", "code": "input('? ')"})
    assert answer["type"] == "EOFError" and answer["stdout"] == "? "
    code = "import os\nr, w = os.pipe()\nos.close(r)\nos.write(w, b'x')"
    answer = exec_answer(c, token, {"op": "exec", "code": code})
    assert answer["kind"] == "exception" and answer["type"] == "BrokenPipeError"
    assert p.proc.poll() is None
    assert c.exchange(get("/ping")) == PING_OK


@pytest.mark.needs_python
@pytest.mark.time_limit(90)
def test_close_during_spinning_request_returns_quickly_and_reopen_serves_exec(sandbox, addin_folder, start_host):
    p, session = open_by_hand(sandbox, addin_folder, start_host)
    spin = Raw(session["port"], timeout=30)
    spin.send(post_exec(session["token"], json.dumps({"op": "exec", "code": SPIN, "timeout": 600}).encode()))
    time.sleep(0.5)
    assert close_by_hand(p) < 5, "the stop ended the request instead of giving up on it"
    answer = json.loads(spin.read_reply().partition(b"\r\n\r\n")[2])
    assert answer["kind"] == "interrupted" and answer["stdout"] == "spinning\n"
    p.command("open", "open ", timeout=60)
    session = sandbox.session()
    c = Raw(session["port"], timeout=10)
    assert exec_answer(c, session["token"], {"op": "eval", "expr": "1 + 2"})["result"] == 3
    assert p.finish() == 0


# --- the agent client ----------------------------------------------------------------

AGENT = ROOT / "tools" / "agent" / "tindral_agent.py"


def agent(sandbox, *args, stdin=None):
    return subprocess.run([sys.executable, str(AGENT)] + list(args), env=sandbox.env, input=stdin,
                          capture_output=True, text=True, timeout=60)


@pytest.mark.needs_python
def test_agent_client_drives_a_running_addin(python_addin, sandbox, target):
    # Under Wine the session file lies in the prefix's profile, which the
    # client does not look in by itself.
    session = ["--session", str(sandbox.client_session_path())] if target.is_wine else []

    def client(*args, stdin=None):
        return agent(sandbox, *session, *args, stdin=stdin)

    r = client("ping")
    version = (ROOT / "VERSION").read_text().strip()
    answer = json.loads(r.stdout)
    # The version comes from the build's copy of VERSION beside the package.
    assert r.returncode == 0 and answer["ok"] is True and answer["version"] == version, answer
    assert re.fullmatch(r"3\.12\.\d+", answer["python"]), answer
    r = client("config")
    assert r.returncode == 0 and "modules_path" in json.loads(r.stdout)
    r = client("exec", stdin="y = 2\ny ** 10\n")
    assert r.returncode == 0 and json.loads(r.stdout)["result"] == 1024
    r = client("eval", "y + 1")
    assert r.returncode == 0 and json.loads(r.stdout)["result"] == 3
    r = client("functions")
    assert r.returncode == 0 and isinstance(json.loads(r.stdout)["functions"], list)
    r = client("exec", "1/0")
    assert r.returncode == 1 and json.loads(r.stdout)["type"] == "ZeroDivisionError"


# The client alone, against no add-in or a fake server: nothing of the
# Windows build takes part, so one run is enough.
@pytest.mark.linux_only
def test_agent_client_explains_missing_file_error_record_and_dead_server(sandbox, tmp_path):
    r = agent(sandbox, "ping")
    assert r.returncode == 2 and "no session file" in r.stderr
    f = tmp_path / "s.json"
    f.write_text('{"port":1,"token":"ab","error":"%s"}\n' % PY_FAILED.replace("\\", "\\\\"), encoding="utf-8")
    r = agent(sandbox, "--session", str(f), "ping")
    assert r.returncode == 2 and "no server" in r.stderr and "Python failed to initialize" in r.stderr
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    f.write_text('{"port":%d,"token":"ab"}\n' % port)
    r = agent(sandbox, "--session", str(f), "ping")
    assert r.returncode == 3 and "no server listening" in r.stderr


class FakeServer:
    """A loopback listener that answers each connection with `answer` (or
    never, when it is None), keeping the request bytes it saw."""

    def __init__(self, answer):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.port = self.sock.getsockname()[1]
        self.answer = answer
        self.seen = b""
        self.conns = []
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                c, _ = self.sock.accept()
            except OSError:
                return
            self.conns.append(c)
            c.settimeout(5)
            try:
                while b"\r\n\r\n" not in self.seen:
                    self.seen += c.recv(65536)
                head, _, rest = self.seen.partition(b"\r\n\r\n")
                m = re.search(rb"Content-Length: (\d+)", head)
                while m and len(rest) < int(m.group(1)):
                    rest += c.recv(65536)
                self.seen = head + b"\r\n\r\n" + rest
                if self.answer is not None:
                    c.sendall(self.answer)
            except OSError:
                pass

    def close(self):
        self.sock.close()
        for c in self.conns:
            c.close()


# The client alone, against no add-in or a fake server: nothing of the
# Windows build takes part, so one run is enough.
@pytest.mark.linux_only
def test_agent_client_tells_busy_and_silence_apart_and_sends_its_time_limit(sandbox, tmp_path):
    busy = FakeServer(reply(503, "Service Unavailable", b'{"ok":false,"error":"busy"}\n'))
    f = tmp_path / "s.json"
    f.write_text('{"port":%d,"token":"ab"}\n' % busy.port)
    r = agent(sandbox, "--session", str(f), "--timeout", "2.5", "eval", "1")
    busy.close()
    assert r.returncode == 5 and "busy" in r.stderr
    assert json.loads(busy.seen.partition(b"\r\n\r\n")[2]) == {"op": "eval", "expr": "1", "timeout": 2.5}
    silent = FakeServer(None)
    f.write_text('{"port":%d,"token":"ab"}\n' % silent.port)
    t0 = time.monotonic()
    r = agent(sandbox, "--session", str(f), "--timeout", "0.2", "ping")
    silent.close()
    assert r.returncode == 4 and "timed out" in r.stderr
    assert time.monotonic() - t0 < 30
    for bad in ("0", "-1", "3601", "x"):
        r = agent(sandbox, "--session", str(f), "--timeout", bad, "ping")
        assert r.returncode == 2 and "--timeout" in r.stderr  # argparse's usage error


def test_listener_port_cannot_be_bound_again_even_with_reuse(server):
    _, port, _, _ = server
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        with pytest.raises(OSError):
            s.bind(("127.0.0.1", port))
    finally:
        s.close()
    assert Raw(port).exchange(get("/ping")) == PING_OK

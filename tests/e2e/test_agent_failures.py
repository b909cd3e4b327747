"""When the agent channel meets trouble: what an agent reads, what the log says,
and that the channel comes back. Each case drives the add-in in xllhost: the
Linux build, or the Windows build under Wine where the case applies."""

import json
import os
import signal
import subprocess
import sys
import time

import pytest

from conftest import ROOT
from test_server import Raw, get, post_exec, reply

AGENT = ROOT / "tools" / "agent" / "tindral_agent.py"
STDIO_SERVER = ROOT / "tools" / "mcp" / "tindral_mcp.py"
INTERNAL = reply(500, "Internal Server Error", b'{"ok":false,"error":"internal error"}\n')
LISTENER_FAILED = "http_server: the listener failed \u2014 stopping the server"


def post_mcp(token, body, extra=b""):
    return (b"POST /mcp HTTP/1.1\r\nAuthorization: Bearer " + token.encode() + b"\r\n" + extra +
            b"Content-Type: application/json\r\nContent-Length: " + str(len(body)).encode() + b"\r\n\r\n" + body)


def body_of(r):
    head, _, body = r.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200 OK\r\n"), r[:300]
    return json.loads(body)


def rpc(conn, token, method, params, id_=1):
    message = {"jsonrpc": "2.0", "id": id_, "method": method, "params": params}
    return body_of(conn.exchange(post_mcp(token, json.dumps(message).encode())))


def exec_op(conn, token, **req):
    return body_of(conn.exchange(post_exec(token, json.dumps(req).encode())))


def opened(sandbox, addin_folder, start_host, modules=None):
    """The add-in with its Python, opened from standard input so the test
    decides when it closes: (host, port, token)."""
    p = start_host(addin_folder(package=True, python=True, modules=modules))
    p.command("open", "open ", timeout=120)
    session = sandbox.session()
    assert session and "error" not in session, session
    return p, session["port"], session["token"]


def reopen(p, sandbox):
    p.command("close", "close ", timeout=30)
    p.command("open", "open ", timeout=120)
    session = sandbox.session()
    return session["port"], session["token"]


# --- the log tells a normal close from a failure ---------------------------------------


@pytest.mark.needs_python
@pytest.mark.time_limit(240)
def test_normal_close_after_requests_logs_a_stop_not_a_listener_failure(sandbox, addin_folder, start_host):
    p, port, token = opened(sandbox, addin_folder, start_host)
    assert exec_op(Raw(port), token, op="eval", expr="1 + 1")["result"] == 2
    port, token = reopen(p, sandbox)
    assert exec_op(Raw(port), token, op="eval", expr="2 + 2")["result"] == 4
    p.command("close", "close ", timeout=30)
    assert p.finish() == 0
    lines = sandbox.log_lines()
    assert LISTENER_FAILED not in lines, lines
    assert lines.count("http_server: stopped") == 2, lines


# --- a broken dispatch is logged and comes back at the next open ---------------------------


@pytest.mark.needs_python
@pytest.mark.time_limit(240)
def test_replaced_entries_fail_with_a_logged_reason_and_are_put_back_at_open(sandbox, addin_folder, start_host):
    p, port, token = opened(sandbox, addin_folder, start_host)
    c = Raw(port)
    # Agent code that blocks both entries: nothing answers them any more.
    code = "import sys\nsys.modules['tindral_xl._mcp_entry'] = None\nsys.modules['tindral_xl._exec_entry'] = None"
    assert exec_op(c, token, op="exec", code=code)["ok"] is True
    assert c.exchange(post_exec(token, b'{"op":"ping"}')) == INTERNAL
    assert c.exchange(post_mcp(token, b'{"jsonrpc":"2.0","id":1,"method":"ping"}')) == INTERNAL
    lines = sandbox.log_lines()
    assert any(l.startswith("http_server: tindral_xl._exec_entry.dispatch_request failed: ModuleNotFoundError: ")
               for l in lines), lines
    assert any(l.startswith("http_server: tindral_xl._mcp_entry.dispatch_mcp failed: ModuleNotFoundError: ")
               for l in lines), lines
    # Close and open: both entries are the package's own again.
    port, token = reopen(p, sandbox)
    c = Raw(port)
    assert exec_op(c, token, op="ping")["ok"] is True
    assert rpc(c, token, "ping", {}) == {"jsonrpc": "2.0", "id": 1, "result": {}}
    assert "func_registry: re-imported tindral_xl._mcp_entry" in sandbox.log_lines()


@pytest.mark.needs_python
@pytest.mark.time_limit(240)
def test_swapped_mcp_dispatch_is_put_back_at_open(sandbox, addin_folder, start_host):
    p, port, token = opened(sandbox, addin_folder, start_host)
    c = Raw(port)
    assert rpc(c, token, "ping", {})["result"] == {}
    code = "import tindral_xl._mcp_entry as m\nm.dispatch_mcp = lambda body: 'broken'"
    assert exec_op(c, token, op="exec", code=code)["ok"] is True
    assert c.exchange(post_mcp(token, b'{"jsonrpc":"2.0","id":1,"method":"ping"}')).endswith(b"\r\n\r\nbroken\n")
    port, token = reopen(p, sandbox)
    assert rpc(Raw(port), token, "ping", {}, id_=2) == {"jsonrpc": "2.0", "id": 2, "result": {}}


@pytest.mark.needs_python
@pytest.mark.time_limit(240)
def test_dispatch_broken_from_inside_says_why_in_the_answer_and_the_log(sandbox, addin_folder, start_host):
    # What a user module shadowing the standard library did: the entry's own
    # json no longer works. Here a module does it on purpose.
    poison = "import tindral_xl._exec_entry as e, tindral_xl._mcp_entry as m\ne.json = m.json = None\n"
    p, port, token = opened(sandbox, addin_folder, start_host, modules={"poison.py": poison})
    c = Raw(port)
    r = c.exchange(post_exec(token, b'{"op":"ping"}'))
    assert r.startswith(b"HTTP/1.1 200 OK\r\n") and b'"kind":"internal"' in r, r
    r = c.exchange(post_mcp(token, b'{"jsonrpc":"2.0","id":7,"method":"ping"}'))
    assert b'"code":-32603' in r, r
    lines = sandbox.log_lines()
    # The add-in reads the /exec body itself: json first fails there on the
    # answer's way out.
    assert "tindral_xl._exec_entry: dispatch failed: AttributeError: 'NoneType' object has no attribute 'dumps'" \
        in lines, lines
    assert "tindral_xl._mcp_entry: dispatch failed: AttributeError: 'NoneType' object has no attribute 'loads'" \
        in lines, lines


# --- sizes and texts an agent can act on -------------------------------------------------------


@pytest.mark.needs_python
@pytest.mark.time_limit(180)
def test_wide_character_output_is_capped_at_a_mebibyte_of_utf8(sandbox, addin_folder, start_host):
    _, port, token = opened(sandbox, addin_folder, start_host)
    r = Raw(port, timeout=60).exchange(post_exec(token, json.dumps(
        {"op": "exec", "code": "print('\\U0001F600' * 1000000, end='')"}).encode()))
    answer = body_of(r)
    kept, _, marker = answer["stdout"].partition("\n[... ")
    assert len(kept.encode("utf-8")) == 1 << 20 and marker == "%d more bytes cut]" % (4000000 - (1 << 20))
    # Escaped as ASCII JSON, an emoji takes 12 bytes: a mebibyte of them is
    # about 3 MB of answer, where the character count made 12.6 MB.
    assert len(r) < 3300000, len(r)


@pytest.mark.needs_python
@pytest.mark.time_limit(180)
def test_mcp_timeout_text_says_the_limit_and_traceback_starts_at_the_agents_code(sandbox, addin_folder, start_host):
    _, port, token = opened(sandbox, addin_folder, start_host)
    c = Raw(port, timeout=60)
    answer = rpc(c, token, "tools/call", {"name": "python_exec", "arguments": {"code": "while True: pass", "timeout": 1}})
    text = answer["result"]["content"][0]["text"]
    assert answer["result"]["isError"] is True
    assert text.rstrip().endswith("RequestTimeout: the request ran past its time limit (1 s)"), text
    answer = exec_op(c, token, op="exec", code="def f():\n    return 1 / 0\nf()")
    first = [l.strip() for l in answer["traceback"].splitlines() if l.strip().startswith("File ")][0]
    assert first.startswith('File "<agent>", line 3'), answer["traceback"]
    assert "tindral_xl" not in answer["traceback"], answer["traceback"]


@pytest.mark.needs_python
@pytest.mark.time_limit(180)
def test_protocol_edges_id_as_infinity_and_origin_port_beyond_65535(sandbox, addin_folder, start_host):
    _, port, token = opened(sandbox, addin_folder, start_host)
    c = Raw(port)
    answer = body_of(c.exchange(post_mcp(token, b'{"jsonrpc":"2.0","id":1e999,"method":"ping"}')))
    assert answer["id"] is None and answer["error"]["code"] == -32600, answer
    for origin in (b"http://localhost:99999", b"http://127.0.0.1:65536"):
        assert c.exchange(post_mcp(token, b'{"jsonrpc":"2.0","id":1,"method":"ping"}', b"Origin: " + origin + b"\r\n")) \
            == reply(403, "Forbidden", b'{"error":"forbidden: origin not allowed"}\n')
    answer = rpc(c, token, "tools/call", {"name": "list_functions", "arguments": {}})
    assert "\n" not in answer["result"]["content"][0]["text"], "list_functions answers compact JSON"


@pytest.mark.needs_python
@pytest.mark.time_limit(240)
def test_oversized_write_module_is_refused_with_its_size_by_both_clients(sandbox, addin_folder, start_host, target):
    _, port, token = opened(sandbox, addin_folder, start_host)
    session = str(sandbox.client_session_path())
    source = "#" * (3 << 20)
    call = {"jsonrpc": "2.0", "id": 1, "method": "tools/call",
            "params": {"name": "write_module", "arguments": {"name": "huge", "source": source}}}
    proc = subprocess.run([sys.executable, str(STDIO_SERVER), "--session", session],
                          input=(json.dumps(call) + "\n").encode(), capture_output=True, timeout=120)
    answer = json.loads(proc.stdout)
    text = answer["result"]["content"][0]["text"]
    assert answer["result"]["isError"] is True and "too large (%d bytes, limit 3144704)" % len(json.dumps(call)) \
        in text, text
    assert "not running" not in text
    proc = subprocess.run([sys.executable, str(AGENT), "--session", session, "exec", "-"], input=source,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 1 and "too large (" in proc.stderr and "limit 3144704)" in proc.stderr, proc.stderr
    # Within the schema's limit and the body cap, the same source is taken.
    small = {"jsonrpc": "2.0", "id": 2, "method": "tools/call",
             "params": {"name": "write_module", "arguments": {"name": "big_ok", "source": "#" * (1 << 20)}}}
    proc = subprocess.run([sys.executable, str(STDIO_SERVER), "--session", session],
                          input=(json.dumps(small) + "\n").encode(), capture_output=True, timeout=120)
    assert "isError" not in json.loads(proc.stdout)["result"], proc.stdout[:500]


# --- a session file that outlived its process -------------------------------------------------


@pytest.mark.linux_only
@pytest.mark.time_limit(120)
def test_session_file_of_a_killed_excel_is_told_stale_by_both_clients(sandbox, addin_folder, start_host, target):
    p = start_host(addin_folder(addin=target.fixture_library("server_addin")), "open", "echo opened", "wait")
    p.read_until("echo opened", timeout=60)
    session = sandbox.session()
    assert session["pid"] == p.proc.pid
    os.kill(p.proc.pid, signal.SIGKILL)
    p.proc.wait(10)
    assert sandbox.session_path.exists(), "a killed process leaves its file behind"
    r = subprocess.run([sys.executable, str(AGENT), "ping"], env=sandbox.env, capture_output=True, text=True,
                       timeout=60)
    assert r.returncode == 3 and "a session file from a process that has ended" in r.stderr, r.stderr
    message = {"jsonrpc": "2.0", "id": 1, "method": "tools/call", "params": {"name": "list_functions"}}
    r = subprocess.run([sys.executable, str(STDIO_SERVER)], env=sandbox.env, input=json.dumps(message) + "\n",
                       capture_output=True, text=True, timeout=60)
    assert "a session file from a process that has ended" in json.loads(r.stdout)["result"]["content"][0]["text"]


# --- where the token may go --------------------------------------------------------------------


@pytest.mark.linux_only
def test_session_folder_linked_to_a_world_writable_folder_gets_no_token(host, sandbox, addin_folder, target, tmp_path):
    shared = tmp_path / "shared"
    shared.mkdir()
    shared.chmod(0o1777)
    (sandbox.appdata / "TindralXL").symlink_to(shared, target_is_directory=True)
    r = host(addin_folder(addin=target.fixture_library("server_addin")), "open", "close")
    assert r.rc == 0
    assert list(shared.iterdir()) == []
    lines = sandbox.log_lines()
    assert any(l.startswith("http_server: session folder ") and "refused: it leads to a folder that others may "
               "write to (mode 777) \u2014 no session file written" in l for l in lines), lines
    assert any(l.startswith("http_server: listening on http://localhost:") for l in lines), "the server still ran"


@pytest.mark.wine_only
def test_session_folder_that_is_a_link_gets_no_token_under_windows(host, sandbox, addin_folder, target, tmp_path):
    shared = tmp_path / "shared"
    shared.mkdir()
    (sandbox.appdata / "TindralXL").symlink_to(shared, target_is_directory=True)
    r = host(addin_folder(addin=target.fixture_library("server_addin")), "open", "close")
    assert r.rc == 0
    lines = sandbox.log_lines()
    if any("refused" in l for l in lines):
        assert list(shared.iterdir()) == []
        assert any(l.startswith("http_server: session folder ") and "is a link (reparse point)" in l
                   for l in lines), lines
    else:
        pytest.skip("this Wine shows a Unix link as a plain folder, not a reparse point")

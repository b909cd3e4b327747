"""tools/mcp/tindral_mcp.py: the stdio server, against a stand-in add-in and none."""

import http.server
import json
import pathlib
import subprocess
import sys
import threading

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "tools" / "mcp" / "tindral_mcp.py"
sys.path.insert(0, str(ROOT / "python"))
sys.path.insert(0, str(SCRIPT.parent))

import tindral_xl  # noqa: E402
import tindral_mcp  # noqa: E402
from tindral_xl import _mcp_entry  # noqa: E402

TOKEN = "ab" * 32
# The oldest Python the script promises to run on, when this machine has it.
PY38 = pathlib.Path.home() / ".pyenv" / "versions" / "3.8.18" / "bin" / "python3.8"


def test_static_copy_agrees_with_the_package():
    assert tindral_mcp.TOOLS == _mcp_entry.TOOLS
    assert tindral_mcp.PROTOCOL_VERSIONS == _mcp_entry.PROTOCOL_VERSIONS
    assert tindral_mcp.VERSION == tindral_xl.__version__
    assert tindral_mcp.INSTRUCTIONS == _mcp_entry.INSTRUCTIONS
    assert tindral_mcp.SERVER_NAME == _mcp_entry.SERVER_NAME


def run_stdio(messages, session_path, python=sys.executable, timeout=60):
    lines = [m if isinstance(m, (str, bytes)) else json.dumps(m) for m in messages]
    data = b"".join((l if isinstance(l, bytes) else l.encode("utf-8")) + b"\n" for l in lines)
    proc = subprocess.run([str(python), str(SCRIPT), "--session", str(session_path)], input=data,
                          capture_output=True, timeout=timeout)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout.decode("ascii").splitlines()
    return [json.loads(l) for l in out], proc.stderr.decode("utf-8", "replace")


def req(id_, method, params=None):
    m = {"jsonrpc": "2.0", "id": id_, "method": method}
    if params is not None:
        m["params"] = params
    return m


SESSION_OF_NOBODY = [
    req(1, "initialize", {"protocolVersion": "2025-06-18", "capabilities": {}, "clientInfo": {"name": "t", "version": "1"}}),
    {"jsonrpc": "2.0", "method": "notifications/initialized"},
    req(2, "tools/list"),
    req(3, "tools/call", {"name": "python_eval", "arguments": {"expr": "1"}}),
    req(4, "ping"),
    req(5, "prompts/list"),
    "this is not json",
    b"\xff\xfe",
    "",
]


@pytest.mark.parametrize("python", [sys.executable, PY38], ids=["current", "py38"])
def test_without_an_addin_lists_tools_and_says_excel_is_not_running(tmp_path, python):
    if not pathlib.Path(python).exists():
        pytest.skip("no Python 3.8 here")
    answers, stderr = run_stdio(SESSION_OF_NOBODY, tmp_path / "missing" / "session.json", python=python)
    assert [a.get("id") for a in answers] == [1, 2, 3, 4, 5, None, None], "one line per request, none for notes"
    assert answers[0]["result"]["serverInfo"] == {"name": "TindralXL", "version": tindral_xl.__version__}
    assert answers[0]["result"]["protocolVersion"] == "2025-06-18"
    assert answers[1]["result"]["tools"] == _mcp_entry.TOOLS
    call = answers[2]["result"]
    assert call["isError"] is True
    assert "Excel with the TindralXL add-in is not running" in call["content"][0]["text"]
    assert answers[3]["result"] == {}
    assert answers[4]["error"]["code"] == -32601
    assert answers[5]["error"]["code"] == -32700 and answers[6]["error"]["code"] == -32700
    assert "no session file" in stderr


def test_error_record_and_dead_port_are_told_apart(tmp_path):
    session = tmp_path / "session.json"
    session.write_text(json.dumps({"port": 1, "token": TOKEN, "error": "Python failed to initialize"}))
    answers, _ = run_stdio([req(1, "tools/call", {"name": "list_functions"})], session)
    assert "Python did not start: Python failed to initialize" in answers[0]["result"]["content"][0]["text"]
    session.write_text(json.dumps({"port": 1, "token": TOKEN}))
    answers, _ = run_stdio([req(1, "tools/call", {"name": "list_functions"})], session)
    assert "no answer on 127.0.0.1:1" in answers[0]["result"]["content"][0]["text"]


class StandIn(http.server.BaseHTTPRequestHandler):
    """An add-in's /mcp: the token, then the package's own dispatch_mcp."""

    seen = []

    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"])).decode("utf-8")
        StandIn.seen.append((self.server.server_port, self.headers.get("Authorization"), body))
        if self.path != "/mcp" or self.headers.get("Authorization") != "Bearer " + TOKEN:
            return self.reply(403, b'{"error":"forbidden: invalid or missing bearer token"}\n')
        text = _mcp_entry.dispatch_mcp(body)
        self.reply(202 if text == "" else 200, (text + "\n").encode() if text else b"")

    def reply(self, status, data):
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass


@pytest.fixture
def standin():
    servers = []

    def start():
        s = http.server.HTTPServer(("127.0.0.1", 0), StandIn)
        threading.Thread(target=s.serve_forever, daemon=True).start()
        servers.append(s)
        return s.server_port

    StandIn.seen = []
    yield start
    for s in servers:
        s.shutdown()
        s.server_close()


def test_forwards_each_message_reading_the_session_file_afresh(tmp_path, standin):
    session = tmp_path / "session.json"
    first, second = standin(), standin()
    session.write_text(json.dumps({"port": first, "token": TOKEN}))
    proc = subprocess.Popen([sys.executable, str(SCRIPT), "--session", str(session)], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        def exchange(message):
            proc.stdin.write((json.dumps(message) + "\n").encode())
            proc.stdin.flush()
            return json.loads(proc.stdout.readline())

        answer = exchange(req(1, "tools/call", {"name": "python_exec", "arguments": {"code": "z = 5\nz * 2"}}))
        assert answer["result"]["structuredContent"]["result"] == 10
        # Excel restarted on another port: the next message finds it there.
        session.write_text(json.dumps({"port": second, "token": TOKEN}))
        answer = exchange(req(2, "tools/call", {"name": "python_exec", "arguments": {"code": 5}}))
        assert answer["error"]["code"] == -32602
        proc.stdin.write(b'{"jsonrpc":"2.0","method":"notifications/initialized"}\n')
        answer = exchange(req("three", "ping"))
        assert answer == {"jsonrpc": "2.0", "id": "three", "result": {}}, "the notification got no line"
        # A token from an earlier start: the add-in refuses, the tool says why.
        session.write_text(json.dumps({"port": second, "token": "cd" * 32}))
        answer = exchange(req(4, "tools/call", {"name": "list_functions"}))
        assert answer["result"]["isError"] is True and "HTTP 403" in answer["result"]["content"][0]["text"]
    finally:
        proc.stdin.close()
        assert proc.wait(30) == 0
    ports = [port for port, _, _ in StandIn.seen]
    assert ports == [first, second, second, second, second]
    assert all(auth == "Bearer " + TOKEN for _, auth, _ in StandIn.seen[:4])


def ended_pid():
    """The id of a process that has ended (and been reaped)."""
    proc = subprocess.Popen([sys.executable, "-c", "pass"])
    proc.wait()
    return proc.pid


def test_session_file_of_an_ended_process_is_told_without_sending_anything(tmp_path, standin):
    session = tmp_path / "session.json"
    port = standin()  # something listens on the port: a stale file's port may be reused
    session.write_text(json.dumps({"port": port, "token": TOKEN, "pid": ended_pid()}))
    answers, stderr = run_stdio([req(1, "tools/call", {"name": "list_functions"})], session)
    text = answers[0]["result"]["content"][0]["text"]
    assert answers[0]["result"]["isError"] is True
    assert "a session file from a process that has ended" in text, text
    assert StandIn.seen == []
    # The add-in's own process still runs: the message goes through.
    session.write_text(json.dumps({"port": port, "token": TOKEN, "pid": __import__("os").getpid()}))
    answers, _ = run_stdio([req(2, "tools/call", {"name": "list_functions"})], session)
    assert "isError" not in answers[0]["result"] and len(StandIn.seen) == 1


def test_message_over_the_addins_size_limit_is_refused_here_with_its_size(tmp_path, standin):
    session = tmp_path / "session.json"
    session.write_text(json.dumps({"port": standin(), "token": TOKEN}))
    code = "#" * (3 << 20)
    big_call = req(1, "tools/call", {"name": "python_exec", "arguments": {"code": code}})
    size = len(json.dumps(big_call).encode())
    answers, _ = run_stdio([big_call, req(2, "ping", {"pad": code})], session)
    result = answers[0]["result"]
    assert result["isError"] is True
    assert result["content"][0]["text"].startswith("the request is too large (%d bytes, limit %d)"
                                                   % (size, tindral_mcp.MAX_BODY))
    assert "not running" not in result["content"][0]["text"]
    assert answers[1]["error"]["code"] == -32600 and "too large" in answers[1]["error"]["message"]
    assert StandIn.seen == [], "nothing that large is sent: the add-in would drop it unanswered"

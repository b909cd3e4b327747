"""MCP as real clients meet it: raw bytes on /mcp, the official SDK over HTTP and
stdio, the Inspector's CLI and the conformance suite, against the add-in running
in xllhost with its Python: the Linux build, or the Windows build under Wine
(whose sockets are the host's, so the Node clients and the stdio server run on
the host against it).

The Node clients come from tests/mcp (package-lock.json, installed by
``npm ci`` in scripts/setup.sh). Without them these tests fail and say how to
install them: a missing registry must not pass for a green run.
"""

import http.server
import json
import shutil
import subprocess
import sys
import threading
import time
import urllib.request

import pytest

from conftest import ROOT
from test_server import Raw, reply

NODE_DIR = ROOT / "tests" / "mcp"
STDIO_SERVER = ROOT / "tools" / "mcp" / "tindral_mcp.py"

pytestmark = pytest.mark.needs_python


def node_tools():
    node = shutil.which("node")
    if not node:
        pytest.fail("node is not installed: run scripts/setup.sh (installs nodejs and npm from Debian)")
    if not (NODE_DIR / "node_modules" / "@modelcontextprotocol" / "sdk").is_dir():
        pytest.fail("the MCP clients are not installed: run `npm ci` in tests/mcp (scripts/setup.sh does)")
    return node


def node_bin(name):
    path = NODE_DIR / "node_modules" / ".bin" / name
    if not path.exists():
        pytest.fail("%s is missing from tests/mcp/node_modules: run `npm ci` in tests/mcp" % name)
    return str(path)


def run(argv, env, timeout=180, cwd=NODE_DIR):
    proc = subprocess.run(argv, cwd=str(cwd), env=env, capture_output=True, text=True, timeout=timeout)
    return proc


def explain(proc):
    return "exit %s\n--- stdout ---\n%s\n--- stderr ---\n%s" % (proc.returncode, proc.stdout, proc.stderr)


@pytest.fixture
def mcp_addin(target, sandbox, addin_folder, start_host):
    """The add-in with its Python, opened in an xllhost that reads further
    commands from standard input."""
    addin = addin_folder(package=True, python=True, modules=True)
    env = sandbox.env
    if target.is_wine and target.python_is_linux:
        # The bridge's Python is Linux's: read_log looks for the log in
        # $TMPDIR, not where GetTempPathW points. Name the same folder the
        # prefix's Temp links to; the add-in itself does not read TMPDIR.
        env = dict(env, TMPDIR=str(sandbox.temp))
    p = start_host(addin, env=env)
    # Idle as Excel is between edits: the add-in's tick runs, so the
    # workbook's tools are served.
    p.proc.stdin.write(b"open\nidle on\necho opened\n")
    p.proc.stdin.flush()
    p.read_until("echo opened", timeout=120)
    session = sandbox.session()
    assert session and "error" not in session, session
    yield p, session["port"], session["token"], addin
    p.kill()


def post_mcp(token, body, extra=b""):
    return (b"POST /mcp HTTP/1.1\r\nAuthorization: Bearer " + token.encode() + b"\r\n" + extra +
            b"Content-Type: application/json\r\nContent-Length: " + str(len(body)).encode() + b"\r\n\r\n" + body)


def rpc_body(r):
    head, _, body = r.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"), r
    return json.loads(body)


@pytest.mark.time_limit(180)
def test_mcp_route_answers_json_rpc_and_bad_input_reaches_nothing(mcp_addin):
    _, port, token, _ = mcp_addin
    c = Raw(port)
    answer = rpc_body(c.exchange(post_mcp(token, json.dumps({
        "jsonrpc": "2.0", "id": 1, "method": "initialize",
        "params": {"protocolVersion": "2025-06-18", "capabilities": {}, "clientInfo": {"name": "raw", "version": "1"}},
    }).encode())))
    assert answer["result"]["serverInfo"]["name"] == "TindralXL"
    note = b'{"jsonrpc":"2.0","method":"notifications/initialized"}'
    assert c.exchange(post_mcp(token, note)) == reply(202, "Accepted", b"")
    assert c.exchange(b"GET /mcp HTTP/1.1\r\nAuthorization: Bearer " + token.encode() + b"\r\n\r\n") == reply(
        405, "Method Not Allowed", b'{"error":"method not allowed"}\n')
    assert c.exchange(post_mcp("0" * 64, note)) == reply(
        403, "Forbidden", b'{"error":"forbidden: invalid or missing bearer token"}\n')
    assert c.exchange(post_mcp(token, note, b"Origin: http://evil.example.com\r\n")) == reply(
        403, "Forbidden", b'{"error":"forbidden: origin not allowed"}\n')
    assert c.exchange(post_mcp(token, note, b"Origin: http://localhost:6274\r\n")) == reply(202, "Accepted", b"")

    # Hostile bodies: each answered by the protocol, none runs anything.
    marker = "import pathlib; pathlib.Path('reached').touch(); reached = 1"
    for body, code in [
        (b"{", -32700),
        (b"\xff\xfe", None),  # not UTF-8: the bridge's fixed 500
        (b"[" * 200000 + b"]" * 200000, -32700),
        (json.dumps([{"jsonrpc": "2.0", "id": 1, "method": "tools/call",
                      "params": {"name": "python_exec", "arguments": {"code": marker}}}]).encode(), -32600),
        (json.dumps({"jsonrpc": "2.0", "id": 2, "method": "tools/call",
                     "params": {"name": "python_exec", "arguments": {"code": marker, "extra": 1}}}).encode(), -32602),
        (json.dumps({"jsonrpc": "2.0", "id": 3, "method": "tools/call",
                     "params": {"name": "python_exec", "arguments": {"code": [marker]}}}).encode(), -32602),
        (json.dumps({"jsonrpc": "2.0", "id": 4, "method": "evaluate", "params": {"code": marker}}).encode(), -32601),
    ]:
        r = c.exchange(post_mcp(token, body))
        if code is None:
            assert r == reply(500, "Internal Server Error", b'{"ok":false,"error":"internal error"}\n')
        else:
            assert rpc_body(r)["error"]["code"] == code, body[:80]
    answer = rpc_body(c.exchange(post_mcp(token, json.dumps({
        "jsonrpc": "2.0", "id": 5, "method": "tools/call",
        "params": {"name": "python_eval", "arguments": {"expr": "'reached' in globals()"}}}).encode())))
    assert answer["result"]["structuredContent"]["result"] is False
    assert Raw(port).exchange(b"GET /ping HTTP/1.1\r\n\r\n").endswith(b'{"ok":true}\n'), "the add-in lives on"


@pytest.mark.time_limit(120)
def test_spinning_tool_call_is_stopped_at_its_own_time_limit_and_the_next_call_runs(mcp_addin):
    _, port, token, _ = mcp_addin
    c = Raw(port)
    call = {"jsonrpc": "2.0", "id": 1, "method": "tools/call",
            "params": {"name": "python_exec", "arguments": {"code": "while True: pass", "timeout": 1}}}
    started = time.monotonic()
    answer = rpc_body(c.exchange(post_mcp(token, json.dumps(call).encode())))
    assert time.monotonic() - started < 20, "the 1 s limit, not the 60 s default, stopped it"
    assert answer["result"]["isError"] is True, answer
    assert "RequestTimeout" in answer["result"]["content"][0]["text"], answer
    call["id"] = 2
    call["params"] = {"name": "python_eval", "arguments": {"expr": "6 * 7"}}
    answer = rpc_body(c.exchange(post_mcp(token, json.dumps(call).encode())))
    assert answer["result"]["structuredContent"]["result"] == 42, answer


@pytest.mark.time_limit(300)
def test_sdk_client_over_http_and_stdio_then_excel_calls_the_new_function(mcp_addin, sandbox):
    node = node_tools()
    p, port, token, _ = mcp_addin
    proc = run([node, "sdk_test.mjs", "--url", "http://127.0.0.1:%d/mcp" % port, "--token", token,
                "--python", sys.executable, "--script", str(STDIO_SERVER),
                "--session", str(sandbox.client_session_path()), "--module", "mcp_sdk_demo"], sandbox.env)
    assert proc.returncode == 0, explain(proc)
    assert "sdk_test: all checks passed" in proc.stdout
    # What write_module added is a worksheet function once Excel registers it.
    p.proc.stdin.write(b"close\nopen\ncall MCP_SDK_DEMO n:21\necho called\n")
    p.proc.stdin.flush()
    p.read_until("echo called", timeout=60)
    assert "result num 42 xltype=0x0001" in p.lines, p.lines


# No add-in runs here, so there is no Windows side to drive under Wine.
@pytest.mark.linux_only
@pytest.mark.time_limit(120)
def test_sdk_stdio_client_without_an_addin_lists_tools_and_is_told_excel_is_not_running(sandbox):
    node = node_tools()
    proc = run([node, "sdk_test.mjs", "--no-addin", "--python", sys.executable, "--script", str(STDIO_SERVER),
                "--session", str(sandbox.session_path)], sandbox.env)
    assert proc.returncode == 0, explain(proc)
    assert "ok stdio-no-addin: tools/call says Excel is not running" in proc.stdout


@pytest.mark.time_limit(240)
def test_inspector_cli_lists_and_calls_tools_over_stdio(mcp_addin, sandbox):
    node_tools()
    inspector = node_bin("mcp-inspector")
    base = [inspector, "--cli", sys.executable, str(STDIO_SERVER), "--session", str(sandbox.client_session_path())]
    proc = run(base + ["--method", "tools/list"], sandbox.env)
    assert proc.returncode == 0, explain(proc)
    names = [t["name"] for t in json.loads(proc.stdout)["tools"]]
    assert names == ["python_exec", "python_eval", "list_functions", "reload_module", "load_module",
                     "write_module", "cell_errors", "list_objects", "inspect_object", "read_log", "read_range", "write_range", "set_formula", "list_sheets",
                     "calculate"]
    proc = run(base + ["--method", "tools/call", "--tool-name", "python_eval", "--tool-arg", "expr=sum(range(10))"],
               sandbox.env)
    assert proc.returncode == 0, explain(proc)
    answer = json.loads(proc.stdout)
    assert answer["structuredContent"]["result"] == 45, answer


class _TokenProxy(http.server.BaseHTTPRequestHandler):
    """Forwards /mcp to the add-in adding the bearer token, so a client that
    cannot send one (the conformance suite) meets the real, token-checking
    route. Every other header, Origin included, passes unchanged."""

    target = None  # (port, token)
    protocol_version = "HTTP/1.1"

    def _forward(self):
        port, token = self.target
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else None
        headers = {k: v for k, v in self.headers.items()
                   if k.lower() not in ("host", "content-length", "connection", "authorization")}
        headers["Authorization"] = "Bearer " + token
        req = urllib.request.Request("http://127.0.0.1:%d%s" % (port, self.path), data=body, headers=headers,
                                     method=self.command)
        try:
            with urllib.request.urlopen(req, timeout=60) as resp:
                status, data = resp.status, resp.read()
        except urllib.error.HTTPError as exc:
            status, data = exc.code, exc.read()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    do_GET = do_POST = do_DELETE = _forward

    def log_message(self, *args):
        pass


# Scenarios of the suite that a tools-only server without logging answers.
CONFORMANCE_EXPECTED_PASS = ["server-initialize", "ping", "tools-list", "dns-rebinding-protection"]


@pytest.mark.time_limit(300)
def test_conformance_suite_server_scenarios(mcp_addin, sandbox, tmp_path):
    node = node_tools()
    version = subprocess.run([node, "--version"], capture_output=True, text=True).stdout.strip()
    if tuple(int(x) for x in version.lstrip("v").split(".")[:3]) < (20, 18, 1):
        pytest.skip("the conformance suite needs Node 20.18.1 or later, this is %s (Debian 12 ships 18)" % version)
    conformance = node_bin("conformance")
    _, port, token, _ = mcp_addin
    _TokenProxy.target = (port, token)
    proxy = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _TokenProxy)
    threading.Thread(target=proxy.serve_forever, daemon=True).start()
    url = "http://localhost:%d/mcp" % proxy.server_port
    results = {}
    try:
        for scenario in CONFORMANCE_EXPECTED_PASS + ["logging-set-level"]:
            proc = run([conformance, "server", "--url", url, "--scenario", scenario,
                        "-o", str(tmp_path / scenario)], sandbox.env)
            results[scenario] = (proc.returncode, proc.stdout + proc.stderr)
    finally:
        proxy.shutdown()
        proxy.server_close()
    report = "\n".join("%s: exit %s" % (s, rc) for s, (rc, _) in results.items())
    print("conformance results:\n" + report)
    for scenario in CONFORMANCE_EXPECTED_PASS:
        rc, out = results[scenario]
        assert rc == 0, "%s failed:\n%s" % (scenario, out)
    # logging is not declared (no notification channel); the suite says so.
    assert results["logging-set-level"][0] != 0

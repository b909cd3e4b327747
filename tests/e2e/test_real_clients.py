"""The agent channel against HTTP clients we did not write: curl for the
routes and HTTP's corners (keep-alive, chunked bodies, Expect: 100-continue),
wrk for load, slowhttptest for slow-header, slow-body and slow-read floods.
All three come from Debian; scripts/setup.sh installs them. Beside them, a
plain socket client that pipelines requests and never reads its answers."""

import http.client
import json
import re
import shutil
import socket
import subprocess
import threading
import time

import pytest

pytestmark = pytest.mark.needs_python


def tool(name):
    path = shutil.which(name)
    assert path, "%s is missing (scripts/setup.sh installs it: apt-get install %s)" % (name, name)
    return path


def curl(*args):
    """curl's transfers; `-w` output is appended to stdout."""
    r = subprocess.run([tool("curl"), "-sS", "--max-time", "20", *args], capture_output=True, timeout=60)
    assert r.returncode == 0, r.stderr.decode(errors="replace")
    return r


def statuses(out):
    """The `-w` trailer lines "@@ CODE CONNECTS" after each transfer, in order."""
    return re.findall(r"@@ (\d{3}) (\d+)", out)


TRAILER = ["-w", "\n@@ %{http_code} %{num_connects}\n"]


def test_curl_reaches_every_route_with_the_replies_it_documents(python_addin, tmp_path):
    _, port, token, _ = python_addin
    base = "http://127.0.0.1:%d" % port
    auth = ["-H", "Authorization: Bearer " + token]

    out = curl(*TRAILER, base + "/ping").stdout.decode()
    assert out.startswith('{"ok":true}\n') and statuses(out) == [("200", "1")]
    out = curl(*TRAILER, base + "/config").stdout.decode()
    assert "forbidden: invalid or missing bearer token" in out and statuses(out)[0][0] == "403"
    out = curl(*TRAILER, *auth, base + "/config").stdout.decode()
    assert '"xll_dir"' in out and statuses(out)[0][0] == "200"
    out = curl(*TRAILER, *auth, base + "/exec").stdout.decode()
    assert statuses(out)[0][0] == "405", "GET /exec"
    out = curl(*TRAILER, *auth, "-H", "Origin: http://evil.example", "--data-binary", "{}", base + "/mcp").stdout.decode()
    assert statuses(out)[0][0] == "403" and "origin not allowed" in out

    # Two requests through one curl run share its connection.
    body = tmp_path / "exec.json"
    body.write_text(json.dumps({"op": "exec", "code": "n = 6 * 7\nn"}))
    out = curl(*TRAILER, *auth, "--data-binary", "@%s" % body, base + "/exec", base + "/exec").stdout.decode()
    answers = [json.loads(line) for line in out.splitlines() if line.startswith("{")]
    assert [a["result"] for a in answers] == [42, 42]
    assert statuses(out) == [("200", "1"), ("200", "0")], "the second transfer reuses the connection"

    # A chunked body, as curl sends one when told.
    out = curl(*TRAILER, *auth, "-H", "Transfer-Encoding: chunked", "--data-binary", "@%s" % body,
               base + "/exec").stdout.decode()
    assert json.loads(out.splitlines()[0])["result"] == 42 and statuses(out)[0][0] == "200"


def test_curl_sends_a_large_body_when_told_to_continue(python_addin, tmp_path):
    _, port, token, _ = python_addin
    # curl asks "Expect: 100-continue" before a body this large and holds it
    # back until the server says go (or a second passes).
    code = "x = 1\n#" + "p" * 1500000 + "\nlen(%r)" % "done"
    body = tmp_path / "big.json"
    body.write_text(json.dumps({"op": "exec", "code": code}))
    r = curl("-v", "-H", "Authorization: Bearer " + token, "--data-binary", "@%s" % body,
             "http://127.0.0.1:%d/exec" % port)
    trace = r.stderr.decode(errors="replace")
    assert "> Expect: 100-continue" in trace
    assert "< HTTP/1.1 100 Continue" in trace, trace[-2000:]
    assert json.loads(r.stdout)["result"] == 4


def wrk(url, token, seconds, connections, folder, lua=""):
    # wrk loads its script once per thread, so it must be a file it can reread.
    script = folder / ("wrk-%d.lua" % connections)
    script.write_text('wrk.headers["Authorization"] = "Bearer %s"\n%s' % (token, lua))
    r = subprocess.run([tool("wrk"), "-t2" if connections > 1 else "-t1", "-c%d" % connections,
                        "-d%ds" % seconds, "-s", str(script), url], capture_output=True, timeout=seconds + 60)
    out = r.stdout.decode(errors="replace")
    assert r.returncode == 0, out + r.stderr.decode(errors="replace")
    done = re.search(r"(\d+) requests in", out)
    assert done and int(done.group(1)) > 0, out
    return out


def test_wrk_load_gets_a_good_answer_to_every_request(python_addin, tmp_path):
    _, port, token, _ = python_addin
    base = "http://127.0.0.1:%d" % port
    # Many connections on /config (token checked on each); one on /exec (a
    # second at once would be told busy).
    for out in (wrk(base + "/config", token, 2, 16, tmp_path),
                wrk(base + "/exec", token, 2, 1, tmp_path, 'wrk.method = "POST"\nwrk.body = \'{"op":"ping"}\'\n')):
        assert "Non-2xx" not in out and "Socket errors" not in out, out


def ask(port, path, token=None, body=None, timeout=5):
    """One request on a connection of its own (GET, or POST with a body): (status, body)."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        headers = {"Authorization": "Bearer " + token} if token else {}
        conn.request("POST" if body else "GET", path, body=body, headers=headers)
        reply = conn.getresponse()
        return reply.status, reply.read()
    finally:
        conn.close()


@pytest.mark.time_limit(180)
@pytest.mark.parametrize("mode", ["-H", "-B"], ids=["slow_headers", "slow_body"])
def test_slowhttptest_flood_leaves_the_channel_answering(python_addin, mode):
    _, port, token, _ = python_addin
    # 600 connections opened at 300 a second, each sending a little every
    # second for 12 s: far past the 64-connection cap, well inside the head
    # deadline, so the server must make room for every real client.
    argv = [tool("slowhttptest"), mode, "-c", "600", "-r", "300", "-i", "1", "-l", "12", "-s", "65536",
            "-x", "16", "-p", "3", "-u", "http://127.0.0.1:%d/exec" % port]
    flood = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    out = []
    reader = threading.Thread(target=lambda: out.append(flood.stdout.read()), daemon=True)
    reader.start()
    try:
        time.sleep(3)  # let it reach its full count
        assert flood.poll() is None, b"".join(out).decode(errors="replace")
        answered = 0
        deadline = time.monotonic() + 6
        while time.monotonic() < deadline:
            assert ask(port, "/ping") == (200, b'{"ok":true}\n')
            status, body = ask(port, "/exec", token, b'{"op":"exec","code":"21 * 2"}')
            assert status == 200 and json.loads(body)["result"] == 42
            answered += 1
            time.sleep(0.2)
        assert answered > 0
    finally:
        flood.wait(timeout=60)
        reader.join(10)
    report = re.sub(r"\x1b\[[0-9;]*m", "", b"".join(out).decode(errors="replace"))
    # The flood really outgrew the cap: the server closed connections to make
    # room, and slowhttptest's own probe was answered throughout.
    closed = [int(n) for n in re.findall(r"closed:\s+(\d+)", report)]
    assert closed and closed[-1] > 0, report[-3000:]
    assert "service available:   NO" not in report, report[-3000:]


@pytest.mark.time_limit(180)
def test_slowhttptest_slow_read_leaves_the_channel_answering(python_addin, target):
    if target.is_wine:
        pytest.skip("under Wine an authorised /exec times out during this flood with or without eviction of "
                    "stuck writers (seen on the build before it too); the server's logic is checked on Linux")
    _, port, token, _ = python_addin
    # Slow read: 300 connections, each pipelining 3 requests (-k) through a
    # receive window of 512 to 1,024 bytes (-w, -y) and reading 32 bytes
    # every 2 s (-z, -n); the connections stuck writing to them must make
    # room for real clients like any other stuck connection.
    argv = [tool("slowhttptest"), "-X", "-c", "300", "-r", "150", "-w", "512", "-y", "1024", "-n", "2", "-z",
            "32", "-k", "3", "-l", "12", "-p", "3", "-u", "http://127.0.0.1:%d/ping" % port]
    flood = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    out = []
    reader = threading.Thread(target=lambda: out.append(flood.stdout.read()), daemon=True)
    reader.start()
    try:
        time.sleep(3)
        assert flood.poll() is None, b"".join(out).decode(errors="replace")
        deadline = time.monotonic() + 6
        answered = 0
        while time.monotonic() < deadline:
            status, body = ask(port, "/exec", token, b'{"op":"exec","code":"21 * 2"}')
            assert status == 200 and json.loads(body)["result"] == 42
            answered += 1
            time.sleep(0.1)
        assert answered > 0
    finally:
        flood.wait(timeout=60)
        reader.join(10)
    report = re.sub(r"\x1b\[[0-9;]*m", "", b"".join(out).decode(errors="replace"))
    assert "service available:   NO" not in report, report[-3000:]


PIPELINED_PINGS = b"GET /ping HTTP/1.1\r\nHost: x\r\n\r\n" * 4096


def non_readers(port, count, seconds):
    """`count` connections that pipeline GET /ping through a receive buffer
    too small for their answers and never read one. Requests are fed until
    no connection takes more for half a second (by then the server has
    filled its own send buffers, which grow to megabytes, and is stuck
    writing to every one of them), or for `seconds` at most."""
    socks = []
    for _ in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
        s.connect(("127.0.0.1", port))
        s.setblocking(False)
        socks.append(s)
    quiet_since = time.monotonic()
    deadline = time.monotonic() + seconds
    while time.monotonic() - quiet_since < 0.5 and time.monotonic() < deadline:
        for s in socks:
            try:
                if s.send(PIPELINED_PINGS):
                    quiet_since = time.monotonic()
            except (BlockingIOError, ConnectionError):
                pass
        time.sleep(0.01)
    return socks


@pytest.mark.time_limit(120)
def test_clients_that_pipeline_and_never_read_do_not_lock_out_authorised_requests(python_addin):
    _, port, token, _ = python_addin
    # 64 of them fill every connection slot, each one stuck writing answers
    # nobody reads; the server must still admit real clients.
    stuck = []
    try:
        stuck += non_readers(port, 64, 10)
        failures = []
        for i in range(200):
            if i % 20 == 0:  # keep the slots full: new non-readers keep coming
                try:
                    stuck += non_readers(port, 1, 1)
                except OSError:
                    pass
            try:
                status, body = ask(port, "/exec", token, b'{"op":"eval","expr":"6 * 7"}')
                if status != 200 or json.loads(body)["result"] != 42:
                    failures.append((status, body[:200]))
            except (OSError, http.client.HTTPException) as exc:
                failures.append(repr(exc))
        assert not failures, "%d of 200 authorised requests failed, e.g. %s" % (len(failures), failures[:3])
    finally:
        for s in stuck:
            s.close()

"""The add-in running in xllhost for the HTTP benchmarks: a scratch folder
with the add-in, the package and the build's Python home, the host idle (as
an Excel nobody types into), and the session the add-in published."""

import contextlib
import http.client
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def lay_out(build, name, modules=None):
    """A scratch folder laid out as Excel finds the add-in: the build's
    TindralXL.so, the package, the build's Python home and a modules folder
    holding `modules` ({file name: source}). Returns its path; the caller
    removes it. Exits with a message when the build is missing."""
    build = os.path.abspath(build)
    addin = os.path.join(build, "TindralXL.so")
    home = os.path.join(build, "python-home")
    if not os.path.exists(addin) or not os.path.isdir(home):
        sys.exit("%s: build first (cmake --build --preset ...): need %s and %s" % (name, addin, home))
    work = tempfile.mkdtemp(prefix="tindral-%s-" % name)
    shutil.copy2(addin, work)
    shutil.copytree(os.path.join(ROOT, "python", "tindral_xl"), os.path.join(work, "tindral_xl"),
                    ignore=shutil.ignore_patterns("__pycache__"))
    os.symlink(home, os.path.join(work, "python"))
    os.mkdir(os.path.join(work, "modules"))
    for file_name, source in (modules or {}).items():
        with open(os.path.join(work, "modules", file_name), "w", encoding="utf-8") as f:
            f.write(source)
    return work


@contextlib.contextmanager
def running(build, name="bench", session_out=None):
    """Yields (port, token); stops the host and removes the folder afterwards.
    `session_out`, a dict, receives the whole session (its "pid" included)."""
    build = os.path.abspath(build)
    work = lay_out(build, name)
    host = None
    try:
        env = dict(os.environ, TMPDIR=work, XDG_CONFIG_HOME=work, HOME=work)
        host = subprocess.Popen([os.path.join(build, "tools", "xllhost", "xllhost"),
                                 os.path.join(work, "TindralXL.so")],
                                stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, env=env)
        host.stdin.write(b"open\nidle on\n")
        host.stdin.flush()
        session = os.path.join(work, "TindralXL", "session.json")
        deadline = time.monotonic() + 60
        while not os.path.exists(session) and time.monotonic() < deadline:
            time.sleep(0.05)
        if not os.path.exists(session):
            sys.exit("%s: the add-in published no session within 60 s" % name)
        s = json.load(open(session))
        if session_out is not None:
            session_out.update(s)
        # The session is published before the interpreter is up: wait for it,
        # so that no benchmark times (or fails on) the start-up.
        while True:
            answer, _ = post(s["port"], s["token"], {"op": "ping"})
            if answer.get("ok") or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        yield s["port"], s["token"]
    finally:
        if host:
            host.stdin.close()
            try:
                host.wait(20)
            except subprocess.TimeoutExpired:
                host.kill()
                host.wait(10)
        shutil.rmtree(work, ignore_errors=True)


def post(port, token, body, timeout=600):
    """One /exec request on a connection of its own: (answer, microseconds)."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        start = time.perf_counter()
        conn.request("POST", "/exec", body=json.dumps(body), headers={"Authorization": "Bearer " + token})
        answer = json.loads(conn.getresponse().read())
        return answer, (time.perf_counter() - start) * 1e6
    finally:
        conn.close()


def pct(samples, p):
    s = sorted(samples)
    return s[min(len(s) - 1, int(round(p / 100.0 * (len(s) - 1))))]

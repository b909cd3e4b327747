#!/usr/bin/env python3
"""Talk to a running TindralXL add-in from the command line (standard library only).

    tindral_agent.py [--session PATH] [--timeout S] ping
    tindral_agent.py [--session PATH] [--timeout S] config
    tindral_agent.py [--session PATH] [--timeout S] exec [CODE]   (CODE from stdin when absent or "-")
    tindral_agent.py [--session PATH] [--timeout S] eval EXPR
    tindral_agent.py [--session PATH] [--timeout S] functions
    tindral_agent.py [--session PATH] [--timeout S] reload MODULE
    tindral_agent.py [--session PATH] [--timeout S] load MODULE     (a file added to modules/ after start)
    tindral_agent.py [--session PATH] [--timeout S] read REF        (e.g. "Sheet1!A1:C10")
    tindral_agent.py [--session PATH] [--timeout S] write REF JSON  (e.g. C1 '[[1, "a"], [2, null]]'; JSON "-": stdin)
    tindral_agent.py [--session PATH] [--timeout S] errors [REF]    (why cells show #VALUE!; e.g. "Sheet1!B3")

The port and bearer token come from session.json, which the add-in writes
at every start: %APPDATA%\\TindralXL\\session.json on Windows,
$XDG_CONFIG_HOME (else ~/.config)/TindralXL/session.json on Linux, or the
file given with --session. The JSON answer is printed on standard output.

`ping` asks the add-in's Python side (`/exec` with op "ping"), so that the
answer names the add-in's version and the interpreter's:
{"ok": true, "op": "ping", "python": "3.12.1", "version": "0.1.0"}. Like any
request through `/exec` it answers busy while another request runs. The
server's own `/ping` needs no token and only says that it is alive.

--timeout S (default 60) is the request's time limit, sent to the add-in for
ping, exec, eval, functions and reload, which interrupts the code when it runs out;
the client waits a little longer than that for the answer.

Exit status:
  0  the answer says ok
  1  the server answered with a failure (an HTTP error, or "ok": false;
     a request that ran out of its time limit answers "kind": "timeout")
  2  no usable session file (missing, unreadable, or an error record), or
     wrong usage (argparse's own code)
  3  the session file is stale: its process has ended, or no server listens
     on its port
  4  timed out waiting for an answer
  5  the server answered busy: another request is running
"""

import argparse
import http.client
import json
import os
import sys

EXIT_OK, EXIT_FAILED, EXIT_NO_SESSION, EXIT_NO_SERVER, EXIT_NO_ANSWER, EXIT_BUSY = 0, 1, 2, 3, 4, 5
EXIT_UNREACHABLE = EXIT_NO_SESSION  # the earlier name

DEFAULT_TIMEOUT = 60.0
MAX_TIMEOUT = 3600.0
# Beyond the request's own limit: the add-in's answer after an interrupt.
ANSWER_GRACE = 5.0
# The add-in drops a request of 3,145,728 bytes or more (head included)
# without an answer; a body within this limit always leaves room for the head.
MAX_REQUEST = 3145728
MAX_BODY = MAX_REQUEST - 1024


class AgentError(Exception):
    """Something other than an answer; carries the exit status."""

    def __init__(self, message, code=EXIT_NO_SESSION):
        super().__init__(message)
        self.code = code


class UsageError(Exception):
    """Arguments that make no request: exit status 1, nothing sent."""


def default_session_path():
    if os.name == "nt":
        base = os.environ.get("APPDATA") or os.path.join(os.path.expanduser("~"), "AppData", "Roaming")
    else:
        base = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(base, "TindralXL", "session.json")


def process_gone(pid):
    """True when no process `pid` runs any more; False when it runs or that
    cannot be told."""
    if type(pid) is not int or pid <= 0:
        return False
    if os.name == "nt":
        import ctypes
        from ctypes import wintypes

        PROCESS_QUERY_LIMITED_INFORMATION, ERROR_INVALID_PARAMETER, STILL_ACTIVE = 0x1000, 87, 259
        kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
        kernel32.OpenProcess.restype = wintypes.HANDLE
        kernel32.OpenProcess.argtypes = [wintypes.DWORD, wintypes.BOOL, wintypes.DWORD]
        kernel32.GetExitCodeProcess.argtypes = [wintypes.HANDLE, ctypes.POINTER(wintypes.DWORD)]
        kernel32.CloseHandle.argtypes = [wintypes.HANDLE]
        if pid > 0xFFFFFFFF:
            return False
        handle = kernel32.OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, False, pid)
        if not handle:
            # No such process; "access denied" means one runs.
            return ctypes.get_last_error() == ERROR_INVALID_PARAMETER
        try:
            code = wintypes.DWORD()
            return bool(kernel32.GetExitCodeProcess(handle, ctypes.byref(code))) and code.value != STILL_ACTIVE
        finally:
            kernel32.CloseHandle(handle)
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except (OSError, OverflowError):
        return False  # another user's process, or a number no process can have
    return False


def read_session(path):
    """Returns (port, token) from the session file, or raises AgentError."""
    try:
        with open(path, "r", encoding="utf-8") as f:
            text = f.read()
    except FileNotFoundError:
        raise AgentError("no session file at %s: is Excel running with the TindralXL add-in open?" % path)
    except OSError as exc:
        raise AgentError("cannot read session file %s: %s" % (path, exc))
    try:
        session = json.loads(text)
        if not isinstance(session, dict):
            raise ValueError("not a JSON object")
    except ValueError as exc:
        raise AgentError("session file %s is not valid: %s" % (path, exc))
    if process_gone(session.get("pid")):
        raise AgentError("%s is a session file from a process that has ended (process %d): Excel closed or "
                         "crashed without removing it; start Excel with the TindralXL add-in"
                         % (path, session["pid"]), EXIT_NO_SERVER)
    if "error" in session:
        raise AgentError("the add-in reports that it has no server: %s" % session["error"])
    port, token = session.get("port"), session.get("token")
    if type(port) is not int or not 0 < port < 65536 or not isinstance(token, str) or not token:
        raise AgentError("session file %s has no usable port and token" % path)
    return port, token


def request(port, token, method, path, body=None, timeout=DEFAULT_TIMEOUT + ANSWER_GRACE):
    """Sends one request to the add-in; returns (status, parsed JSON or text)."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    headers = {"Authorization": "Bearer " + token}
    data = None
    if body is not None:
        data = json.dumps(body).encode("utf-8")
        headers["Content-Type"] = "application/json"
    try:
        try:
            conn.connect()
        except ConnectionRefusedError:
            raise AgentError("no server listening on 127.0.0.1:%d, the port in session.json: "
                             "the file is stale (Excel closed or crashed?)" % port, EXIT_NO_SERVER)
        except OSError as exc:
            raise AgentError("cannot connect to 127.0.0.1:%d, the port in session.json (%s)" % (port, exc),
                             EXIT_NO_SERVER)
        try:
            conn.request(method, path, body=data, headers=headers)
            resp = conn.getresponse()
            raw = resp.read().decode("utf-8", "replace")
        except TimeoutError:
            raise AgentError("timed out after %g s waiting for an answer from 127.0.0.1:%d" % (timeout, port),
                             EXIT_NO_ANSWER)
        except (OSError, http.client.HTTPException) as exc:
            raise AgentError("no answer from the add-in on 127.0.0.1:%d: it closed the connection (%s)"
                             % (port, exc), EXIT_NO_ANSWER)
    finally:
        conn.close()
    try:
        return resp.status, json.loads(raw)
    except ValueError:
        return resp.status, raw


def build(args):
    """Maps a subcommand to (method, path, body)."""
    if args.command == "config":
        return "GET", "/config", None
    if args.command == "ping":
        body = {"op": "ping"}
    elif args.command == "exec":
        code = args.code
        if code is None or code == "-":
            code = sys.stdin.read()
        body = {"op": "exec", "code": code}
    elif args.command == "eval":
        body = {"op": "eval", "expr": args.expr}
    elif args.command == "functions":
        body = {"op": "functions"}
    elif args.command == "reload":
        body = {"op": "reload", "module": args.module}
    elif args.command == "load":
        body = {"op": "load", "module": args.module}
    elif args.command == "read":
        body = {"op": "read", "ref": args.ref}
    elif args.command == "write":
        text = sys.stdin.read() if args.values == "-" else args.values
        try:
            values = json.loads(text)
        except ValueError as exc:
            raise UsageError("write: the values are not JSON: %s" % exc)
        if not isinstance(values, list) or not all(isinstance(row, list) for row in values):
            raise UsageError('write: the values are a JSON list of rows, e.g. [[1, "a"], [2, null]]')
        body = {"op": "write", "ref": args.ref, "values": values}
    elif args.command == "errors":
        body = {"op": "errors"}
        if args.ref is not None:
            body["ref"] = args.ref
    else:
        raise AssertionError(args.command)
    if args.timeout is not None:
        body["timeout"] = args.timeout
    return "POST", "/exec", body


def time_limit(text):
    value = float(text)
    if not 0 < value <= MAX_TIMEOUT:
        raise argparse.ArgumentTypeError("must be above 0 and at most %g seconds" % MAX_TIMEOUT)
    return value


def parse_args(argv):
    p = argparse.ArgumentParser(description="Talk to a running TindralXL add-in.")
    p.add_argument("--session", help="session.json to use (default: the platform's app-data folder)")
    p.add_argument("--timeout", type=time_limit, default=None,
                   help="the request's time limit in seconds, at most 3600 (default: the add-in's 60)")
    sub = p.add_subparsers(dest="command", required=True)
    sub.add_parser("ping", help="is the add-in alive, and which version is it")
    sub.add_parser("config", help="the add-in's folders")
    e = sub.add_parser("exec", help="run Python code in Excel's interpreter")
    e.add_argument("code", nargs="?", help='the code; read from stdin when absent or "-"')
    v = sub.add_parser("eval", help="evaluate one Python expression")
    v.add_argument("expr")
    sub.add_parser("functions", help="list the worksheet functions")
    r = sub.add_parser("reload", help="reload a user module by name")
    r.add_argument("module")
    ld = sub.add_parser("load", help="import a module file added to the modules folder after start")
    ld.add_argument("module")
    rd = sub.add_parser("read", help="read a range of the workbook")
    rd.add_argument("ref", help='an A1 reference, e.g. "Sheet1!A1:C10"')
    wr = sub.add_parser("write", help="write values into the workbook")
    wr.add_argument("ref", help="the target range, or its top-left cell")
    wr.add_argument("values", help='JSON rows, e.g. \'[[1, "a"], [2, null]]\'; "-" reads them from stdin')
    er = sub.add_parser("errors", help="why cells show an error: each cell's last Python exception")
    er.add_argument("ref", nargs="?", help='one cell, e.g. "Sheet1!B3" (default: every cell)')
    return p.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    try:
        method, path, body = build(args)
    except UsageError as exc:
        print("tindral_agent: %s" % exc, file=sys.stderr)
        return EXIT_FAILED
    if body is not None:
        size = len(json.dumps(body).encode("utf-8"))
        if size > MAX_BODY:
            print("tindral_agent: the request is too large (%d bytes, limit %d): the add-in takes requests of "
                  "less than %d bytes" % (size, MAX_BODY, MAX_REQUEST), file=sys.stderr)
            return EXIT_FAILED
    try:
        port, token = read_session(args.session or default_session_path())
        limit = args.timeout if args.timeout is not None else DEFAULT_TIMEOUT
        status, answer = request(port, token, method, path, body, limit + ANSWER_GRACE)
    except AgentError as exc:
        print("tindral_agent: %s" % exc, file=sys.stderr)
        return exc.code
    print(json.dumps(answer, indent=2, ensure_ascii=False) if not isinstance(answer, str) else answer)
    if status == 503 and isinstance(answer, dict) and answer.get("error") == "busy":
        print("tindral_agent: the add-in is busy with another request; try again when it has finished",
              file=sys.stderr)
        return EXIT_BUSY
    if status != 200:
        print("tindral_agent: the add-in answered HTTP %d" % status, file=sys.stderr)
        return EXIT_FAILED
    if isinstance(answer, dict) and answer.get("ok") is False:
        return EXIT_FAILED
    return EXIT_OK


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Talk to a running TindralXL add-in from the command line (standard library only).

    tindral_agent.py [--session PATH] [--timeout S] ping
    tindral_agent.py [--session PATH] config
    tindral_agent.py [--session PATH] exec [CODE]     (CODE from stdin when absent or "-")
    tindral_agent.py [--session PATH] eval EXPR
    tindral_agent.py [--session PATH] functions
    tindral_agent.py [--session PATH] reload MODULE

The port and bearer token come from session.json, which the add-in writes
at every start: %APPDATA%\\TindralXL\\session.json on Windows,
$XDG_CONFIG_HOME (else ~/.config)/TindralXL/session.json on Linux, or the
file given with --session. The JSON answer is printed on standard output.

`ping` asks the add-in's Python side (`/exec` with op "ping"), so that the
answer names the add-in's version and the interpreter's:
{"ok": true, "op": "ping", "python": "3.12.1", "version": "0.1.0"}. The
server's own `/ping` needs no token and only says that it is alive.

Exit status: 0 when the answer says ok; 1 when the server answered with a
failure (an HTTP error, or "ok": false); 2 when there is no usable session
file or the server does not answer.
"""

import argparse
import http.client
import json
import os
import sys

EXIT_OK, EXIT_FAILED, EXIT_UNREACHABLE = 0, 1, 2


class AgentError(Exception):
    """No session, or no server behind it: exit status 2."""


def default_session_path():
    if os.name == "nt":
        base = os.environ.get("APPDATA") or os.path.join(os.path.expanduser("~"), "AppData", "Roaming")
    else:
        base = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(base, "TindralXL", "session.json")


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
    if "error" in session:
        raise AgentError("the add-in reports that it has no server: %s" % session["error"])
    port, token = session.get("port"), session.get("token")
    if type(port) is not int or not 0 < port < 65536 or not isinstance(token, str) or not token:
        raise AgentError("session file %s has no usable port and token" % path)
    return port, token


def request(port, token, method, path, body=None, timeout=30.0):
    """Sends one request to the add-in; returns (status, parsed JSON or text)."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    headers = {"Authorization": "Bearer " + token}
    data = None
    if body is not None:
        data = json.dumps(body).encode("utf-8")
        headers["Content-Type"] = "application/json"
    try:
        conn.request(method, path, body=data, headers=headers)
        resp = conn.getresponse()
        raw = resp.read().decode("utf-8", "replace")
    except (OSError, http.client.HTTPException) as exc:
        raise AgentError("no answer from the add-in on 127.0.0.1:%d (%s); the session file may be stale" % (port, exc))
    finally:
        conn.close()
    try:
        return resp.status, json.loads(raw)
    except ValueError:
        return resp.status, raw


def build(args):
    """Maps a subcommand to (method, path, body)."""
    if args.command == "ping":
        return "POST", "/exec", {"op": "ping"}
    if args.command == "config":
        return "GET", "/config", None
    if args.command == "exec":
        code = args.code
        if code is None or code == "-":
            code = sys.stdin.read()
        return "POST", "/exec", {"op": "exec", "code": code}
    if args.command == "eval":
        return "POST", "/exec", {"op": "eval", "expr": args.expr}
    if args.command == "functions":
        return "POST", "/exec", {"op": "functions"}
    if args.command == "reload":
        return "POST", "/exec", {"op": "reload", "module": args.module}
    raise AssertionError(args.command)


def parse_args(argv):
    p = argparse.ArgumentParser(description="Talk to a running TindralXL add-in.")
    p.add_argument("--session", help="session.json to use (default: the platform's app-data folder)")
    p.add_argument("--timeout", type=float, default=30.0, help="seconds to wait for an answer (default 30)")
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
    return p.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    try:
        port, token = read_session(args.session or default_session_path())
        method, path, body = build(args)
        status, answer = request(port, token, method, path, body, args.timeout)
    except AgentError as exc:
        print("tindral_agent: %s" % exc, file=sys.stderr)
        return EXIT_UNREACHABLE
    print(json.dumps(answer, indent=2, ensure_ascii=False) if not isinstance(answer, str) else answer)
    if status != 200:
        print("tindral_agent: the add-in answered HTTP %d" % status, file=sys.stderr)
        return EXIT_FAILED
    if isinstance(answer, dict) and answer.get("ok") is False:
        return EXIT_FAILED
    return EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
